#include "crash/KestrumPleaseWait_win.h"

#include "crash/KestrumDeliveryHooks_win.h"

namespace kestrum {

namespace {

// The bitmap resource the window shows beside its text, as the settings' module carries it.
constexpr char kIconName[] = "ZQIPLWAIT";

}  // namespace

PleaseWait::~PleaseWait() {
  Close();
  if (alert_) alert_->Release();
}

void PleaseWait::SetAreas(const std::vector<std::int64_t>& weights, const std::string& text) {
  weights_ = weights;
  text_ = text;
}

void PleaseWait::Position(int perMille) {
  position_.store(perMille);
  if (owner_.load() == GetCurrentThreadId()) Pump();
}

void PleaseWait::AreaDone() {
  area_.fetch_add(1);
  position_.store(0);
  if (owner_.load() == GetCurrentThreadId()) Pump();
}

bool PleaseWait::Show(const std::string& title, HMODULE module) {
  DWORD none = 0;
  if (!owner_.compare_exchange_strong(none, GetCurrentThreadId())) return false;
  if (!alert_) {
    const auto create = DeliveryHooksInUse().createProgressWindow;
    alert_ = create ? create(title, module, kIconName) : nullptr;
    if (alert_) {
      for (const std::int64_t w : weights_) alert_->AddArea(w, text_);
    }
  }
  // Not activated: the program's window or the box keeps the keyboard; the window stands in the
  // corner of the work area, above everything.
  if (!alert_ || !alert_->Show(nullptr, false)) {
    owner_.store(0);
    return false;
  }
  shownArea_ = shownPosition_ = -1;
  Pump();
  return true;
}

void PleaseWait::Pump() {
  if (!alert_ || owner_.load() != GetCurrentThreadId()) return;
  const int area = area_.load();
  if (area != shownArea_) {
    alert_->SetCurrentArea(area);
    shownArea_ = area;
    shownPosition_ = -1;
  }
  const int position = position_.load();
  if (area < static_cast<int>(weights_.size()) && position != shownPosition_) {
    alert_->SetPosition(position);  // handles the waiting messages too
    shownPosition_ = position;
  } else {
    alert_->ProcessMessages();
  }
}

void PleaseWait::Close() {
  if (!alert_ || owner_.load() != GetCurrentThreadId()) return;
  alert_->Close();
  owner_.store(0);
}

}  // namespace kestrum
