// A form built from a description, for the GUI tests: every event it receives becomes a line of
// its log memo, which the tests read through the window system.
#include <windows.h>

#include <string>

#include "platform/Application_win.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/Forms_win.h"
#include "platform/Thread_win.h"

namespace {

using K = TControlKind;

const TFormDesc kTestForm{
    .Name = "TestForm",
    .Caption = "Platform Test Form",
    .ClientWidth = 400,
    .ClientHeight = 300,
    .OnShow = "FormShow",
    .OnClose = "FormClose",
    .Controls = {
        {.Kind = K::Panel, .Name = "Panel1", .Width = 400, .Height = 120, .Align = alTop},
        {.Kind = K::Label, .Name = "lbInfo", .Parent = "Panel1", .Left = 8, .Top = 8, .Width = 40, .Height = 13,
         .Caption = "Info label"},
        {.Kind = K::Label, .Name = "lbFixed", .Parent = "Panel1", .Left = 8, .Top = 28, .Width = 120, .Height = 13,
         .Caption = "Fixed", .AutoSize = false},
        {.Kind = K::Edit, .Name = "edNumber", .Parent = "Panel1", .Left = 8, .Top = 50, .Width = 60, .Height = 21,
         .Caption = "abc", .Alignment = taRightJustify, .TabOrder = 4},
        {.Kind = K::TrackBar, .Name = "tbSlider", .Parent = "Panel1", .Left = 8, .Top = 80, .Width = 150,
         .Height = 34, .Min = 50, .Max = 150, .Position = 100, .OnChange = "SliderChange",
         .OnChanged = "SliderChanged"},
        {.Kind = K::Label, .Name = "lbPos", .Parent = "Panel1", .Left = 164, .Top = 93, .Width = 3, .Height = 13},
        {.Kind = K::Button, .Name = "btClick", .Parent = "Panel1", .Left = 200, .Top = 8, .Width = 75, .Height = 25,
         .Caption = "Click me", .TabOrder = 0, .OnClick = "ClickClick"},
        {.Kind = K::Button, .Name = "btFault", .Parent = "Panel1", .Left = 200, .Top = 40, .Width = 75,
         .Height = 25, .Caption = "Fault", .TabOrder = 1, .OnClick = "FaultClick"},
        {.Kind = K::Button, .Name = "btThrow", .Parent = "Panel1", .Left = 200, .Top = 72, .Width = 75,
         .Height = 25, .Caption = "Throw", .TabOrder = 2, .OnClick = "ThrowClick"},
        {.Kind = K::Button, .Name = "btWorker", .Parent = "Panel1", .Left = 290, .Top = 8, .Width = 100,
         .Height = 25, .Caption = "Worker", .TabOrder = 3, .OnClick = "WorkerClick"},
        {.Kind = K::Button, .Name = "btDisabled", .Parent = "Panel1", .Left = 290, .Top = 40, .Width = 100,
         .Height = 25, .Caption = "Disabled", .Enabled = false},
        {.Kind = K::Memo, .Name = "Memo1", .Width = 400, .Height = 180, .Align = alClient, .ScrollBars = ssVertical},
    }};

volatile int* volatile g_null = nullptr;

class Worker : public TThread {
 public:
  explicit Worker(TMemo* log) : log_(log) {}

 protected:
  void Execute() override {
    for (int i = 0; i < 10; ++i) {
      Synchronize([&] { log_->AppendLine("worker " + std::to_string(i)); });
      Sleep(5);
    }
  }

 private:
  TMemo* log_;
};

class TTestForm : public TForm {
 public:
  TTestForm() {
    Handler("FormShow", [this](TObject*) {
      ShowPosition();
      Memo1->AppendLine("Show");
    });
    Handler("FormClose", [this](TObject*, TCloseAction&) { Memo1->AppendLine("Close"); });
    Handler("SliderChange", [this](TObject*) {
      ShowPosition();
      Memo1->AppendLine("Change " + std::to_string(tbSlider->Position()));
    });
    Handler("SliderChanged", [this](TObject*) { Memo1->AppendLine("Changed " + std::to_string(tbSlider->Position())); });
    Handler("ClickClick", [this](TObject* sender) {
      Memo1->AppendLine("Click " + static_cast<TControl*>(sender)->Name());
    });
    Handler("FaultClick", [](TObject*) { *g_null = 1; });
    Handler("ThrowClick", [this](TObject*) { Memo1->AppendLine(std::to_string(StrToInt(edNumber->Text()))); });
    Handler("WorkerClick", [this](TObject*) {
      Worker w(Memo1);
      w.Start();
      w.WaitFor();  // the UI thread keeps serving the worker's routines meanwhile
      Memo1->AppendLine("worker done");
    });
    Load(kTestForm);
    Memo1 = Find<TMemo>("Memo1");
    tbSlider = Find<TTrackBar>("tbSlider");
    lbPos = Find<TLabel>("lbPos");
    edNumber = Find<TEdit>("edNumber");
  }

  void ShowPosition() { lbPos->SetCaption(std::to_string(tbSlider->Position()) + "\xB5s"); }

  TMemo* Memo1 = nullptr;
  TTrackBar* tbSlider = nullptr;
  TLabel* lbPos = nullptr;
  TEdit* edNumber = nullptr;
};

TTestForm* g_form = nullptr;

void LogException(TObject* sender, std::exception_ptr e) {
  if (!g_form) return;
  const auto* c = dynamic_cast<TControl*>(sender);
  g_form->Memo1->AppendLine("HandleException " + (c ? c->Name() : std::string("?")) + " " + ExceptionClassName(e) +
                            ": " + ExceptionMessage(e));
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Application->Initialize();
  ApplicationHandleExceptionHook = LogException;
  TTestForm form;
  g_form = &form;
  Application->Run();
  g_form = nullptr;
  return 0;
}
