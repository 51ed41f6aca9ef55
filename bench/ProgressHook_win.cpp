// Linked into a crash program that has no delivery: gives its exception objects the delivery's
// progress window before WinMain runs, so that a wait for the report shows the please-wait window
// (bench/pleasewait.sh compares the program with and without it). Every call into the window is
// timed; the sum goes to the file KESTRUM_BENCH_WINDOW_TIME names (microseconds) when the window
// closes, which tells the window's own cost from what it does to the rest.
#include <cstdio>
#include <cstdlib>

#include "crash/KestrumDeliveryHooks_win.h"
#include "delivery/KestrumProgress_win.h"

namespace {

LONGLONG g_ticks = 0;

class Timed {
 public:
  Timed() { QueryPerformanceCounter(&start_); }
  ~Timed() {
    LARGE_INTEGER end;
    QueryPerformanceCounter(&end);
    g_ticks += end.QuadPart - start_.QuadPart;
  }

 private:
  LARGE_INTEGER start_;
};

class TimedAlert final : public IProgressAlert {
 public:
  explicit TimedAlert(IProgressAlert* inner) : inner_(inner) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override { return inner_->QueryInterface(iid, out); }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (--refs_ > 0) return refs_;
    inner_->Release();
    delete this;
    return 0;
  }
  std::string STDMETHODCALLTYPE GetTitle() override { return inner_->GetTitle(); }
  void STDMETHODCALLTYPE SetTitle(const std::string& value) override { inner_->SetTitle(value); }
  int STDMETHODCALLTYPE GetPosition() override { return inner_->GetPosition(); }
  void STDMETHODCALLTYPE SetPosition(int value) override {
    Timed t;
    inner_->SetPosition(value);
  }
  void STDMETHODCALLTYPE AddArea(std::int64_t weight, const std::string& text) override { inner_->AddArea(weight, text); }
  void STDMETHODCALLTYPE ClearAreas() override { inner_->ClearAreas(); }
  void STDMETHODCALLTYPE AreaDone() override { inner_->AreaDone(); }
  int STDMETHODCALLTYPE GetCurrentArea() override { return inner_->GetCurrentArea(); }
  void STDMETHODCALLTYPE SetCurrentArea(int value) override {
    Timed t;
    inner_->SetCurrentArea(value);
  }
  void STDMETHODCALLTYPE ProcessMessages() override {
    Timed t;
    inner_->ProcessMessages();
  }
  bool STDMETHODCALLTYPE Show(HWND parentWindow, bool activate) override {
    Timed t;
    return inner_->Show(parentWindow, activate);
  }
  void STDMETHODCALLTYPE Close() override {
    {
      Timed t;
      inner_->Close();
    }
    // The program may end right after the save, before the object goes.
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    if (const char* path = std::getenv("KESTRUM_BENCH_WINDOW_TIME")) {
      if (FILE* out = std::fopen(path, "w")) {
        std::fprintf(out, "%lld\n", g_ticks * 1000000 / f.QuadPart);
        std::fclose(out);
      }
    }
  }

 private:
  IProgressAlert* inner_;
  ULONG refs_ = 1;
};

IProgressAlert* CreateTimed(const std::string& title, HMODULE module, const char* icon) {
  Timed t;
  return new TimedAlert(CreateProgressWindow(title, module, icon));
}

const bool g_installed = [] {
  kestrum::DeliveryHooks hooks = kestrum::DeliveryHooksInUse();
  hooks.createProgressWindow = CreateTimed;
  kestrum::InstallDeliveryHooks(hooks);
  return true;
}();

}  // namespace
