#include "app/uMain_win.h"

#include "app/ReceiverLogic.h"
#include "platform/Convert.h"

using namespace app;

TFormMain* FormMain = nullptr;
THIDThread* WorkerThread = nullptr;
DWORD WorkerThreadID = 0;

namespace {

// A control on the panel at its place, in pixels at 96 DPI.
TControlDesc OnPanel(TControlKind kind, const char* name, int left, int top, int width, int height,
                     const char* caption) {
  TControlDesc d;
  d.Kind = kind;
  d.Name = name;
  d.Parent = "Panel1";
  d.Left = left;
  d.Top = top;
  d.Width = width;
  d.Height = height;
  d.Caption = caption;
  return d;
}

TControlDesc Label(const char* name, int left, int top, int width, const char* caption) {
  return OnPanel(TControlKind::Label, name, left, top, width, 13, caption);
}

TControlDesc Button(const char* name, int left, int top, int width, const char* caption, int tabOrder,
                    const char* onClick) {
  TControlDesc d = OnPanel(TControlKind::Button, name, left, top, width, 25, caption);
  d.TabOrder = tabOrder;
  d.OnClick = onClick;
  return d;
}

TControlDesc Edit(const char* name, int left, int top, int width, const char* text, int tabOrder) {
  TControlDesc d = OnPanel(TControlKind::Edit, name, left, top, width, 21, text);
  d.Alignment = taRightJustify;
  d.TabOrder = tabOrder;
  return d;
}

TFormDesc MakeDescription() {
  TFormDesc f;
  f.Name = "FormMain";
  f.Caption = "Kelvane";
  f.ClientWidth = 697;
  f.ClientHeight = 524;
  f.Position = poScreenCenter;
  f.FontName = "Tahoma";
  f.FontHeight = -11;
  f.OnShow = "FormShow";
  f.OnClose = "FormClose";

  TControlDesc panel;
  panel.Kind = TControlKind::Panel;
  panel.Name = "Panel1";
  panel.Width = 697;
  panel.Height = 145;
  panel.Align = alTop;
  panel.TabOrder = 0;

  TControlDesc track = OnPanel(TControlKind::TrackBar, "TrackBar_IR_Polling", 16, 78, 150, 34, "");
  track.Min = 50;
  track.Max = 150;
  track.Position = 100;
  track.TabOrder = 9;
  track.OnChange = "TrackBar_IR_PollingChange";
  track.OnChanged = "TrackBar_IR_PollingChanged";

  TControlDesc memo;
  memo.Kind = TControlKind::Memo;
  memo.Name = "Memo1";
  memo.Width = 697;
  memo.Height = 379;
  memo.Align = alClient;
  memo.ScrollBars = ssVertical;
  memo.TabOrder = 1;

  TControlDesc btClose = Button("btClose", 294, 47, 75, "Close Device", 1, "btCloseClick");
  btClose.Enabled = false;

  f.Controls = {
      panel,
      Label("lbDeviceStatus", 16, 16, 102, "Device: disconnected"),
      Label("lbVexaVersion", 16, 35, 110, "Vexa Version: unknown"),
      Label("Label4", 16, 59, 96, "AVR IR Polling Time:"),
      track,
      Label("Label2", 172, 91, 3, ""),
      Label("Label3", 16, 120, 48, "AVR FRQ:"),
      Edit("Edit2", 70, 118, 57, "12000000", 8),
      Label("Label1", 146, 16, 86, "USB Polling Delay:"),
      Edit("Edit1", 238, 13, 32, "50", 7),
      Button("btOpen", 294, 16, 75, "Open Device", 0, "btOpenClick"),
      btClose,
      Button("btSetIRCode", 377, 16, 177, "Clear Trained Code", 2, "OnButtonClick"),
      Button("btPowerOnEnable", 377, 47, 177, "Set PowerOn Active", 5, "OnButtonClick"),
      Button("btPowerOnDisable", 377, 78, 177, "Set PowerOn not Active", 6, "OnButtonClick"),
      Button("btReadTrainedIRCode", 560, 16, 129, "Read Trained IR Code", 3, "OnButtonClick"),
      Button("btPowerOnEnabled", 560, 47, 129, "Read Power On Enabled", 4, "OnButtonClick"),
      Button("btReadVexaVersion", 560, 78, 129, "Read Vexa Version", 10, "OnButtonClick"),
      memo,
  };
  return f;
}

void PostCommand(LPARAM code, WPARAM argument) {
  // The result is not looked at: without a worker the post reaches nobody.
  PostThreadMessageA(WorkerThreadID, kHidCommandMessage, argument, code);
}

}  // namespace

const TFormDesc& FormMainDescription() {
  static const TFormDesc desc = MakeDescription();
  return desc;
}

TFormMain::TFormMain() {
  Handler("FormShow", [this](TObject* s) { FormShow(s); });
  Handler("FormClose", TCloseEvent([this](TObject* s, TCloseAction& a) { FormClose(s, a); }));
  Handler("TrackBar_IR_PollingChange", [this](TObject* s) { TrackBar_IR_PollingChange(s); });
  Handler("TrackBar_IR_PollingChanged", [this](TObject* s) { TrackBar_IR_PollingChanged(s); });
  Handler("btOpenClick", [this](TObject* s) { btOpenClick(s); });
  Handler("btCloseClick", [this](TObject* s) { btCloseClick(s); });
  Handler("OnButtonClick", [this](TObject* s) { OnButtonClick(s); });
  Load(FormMainDescription());
  Panel1 = Find<TPanel>("Panel1");
  lbDeviceStatus = Find<TLabel>("lbDeviceStatus");
  lbVexaVersion = Find<TLabel>("lbVexaVersion");
  Label4 = Find<TLabel>("Label4");
  TrackBar_IR_Polling = Find<TTrackBar>("TrackBar_IR_Polling");
  Label2 = Find<TLabel>("Label2");
  Label3 = Find<TLabel>("Label3");
  Edit2 = Find<TEdit>("Edit2");
  Label1 = Find<TLabel>("Label1");
  Edit1 = Find<TEdit>("Edit1");
  btOpen = Find<TButton>("btOpen");
  btClose = Find<TButton>("btClose");
  btSetIRCode = Find<TButton>("btSetIRCode");
  btPowerOnEnable = Find<TButton>("btPowerOnEnable");
  btPowerOnDisable = Find<TButton>("btPowerOnDisable");
  btReadTrainedIRCode = Find<TButton>("btReadTrainedIRCode");
  btPowerOnEnabled = Find<TButton>("btPowerOnEnabled");
  btReadVexaVersion = Find<TButton>("btReadVexaVersion");
  Memo1 = Find<TMemo>("Memo1");
}

TFormMain::~TFormMain() {
  // Whatever way the window goes, the worker must not outlive it.
  if (WorkerThread) btCloseClick(this);
}

void TFormMain::FormShow(TObject*) { Label2->SetCaption(SliderPositionText(TrackBar_IR_Polling->Position())); }

void TFormMain::FormClose(TObject*, TCloseAction&) {
  // The worker no longer runs, touches the window or uses the device once the program ends.
  btCloseClick(this);
}

void TFormMain::TrackBar_IR_PollingChange(TObject*) {
  Label2->SetCaption(SliderPositionText(TrackBar_IR_Polling->Position()));
}

void TFormMain::TrackBar_IR_PollingChanged(TObject*) {
  const std::int32_t frq = StrToInt(Edit2->Text());
  const std::int64_t ticks = PollingTicks(TrackBar_IR_Polling->Position(), frq);
  PostCommand(CmdWritePollingTime, PollingTimeWord(ticks));
}

void TFormMain::btOpenClick(TObject*) {
  if (WorkerThread) return;
  // Converted before anything is built: a bad text raises and leaves no half-made worker.
  const std::int32_t delay = StrToInt(Edit1->Text());
  WorkerThread = new THIDThread(this);
  WorkerThreadID = WorkerThread->ThreadID();
  WorkerThread->SetVendorID(kReceiverVendorID);
  WorkerThread->SetProductID(kReceiverProductID);
  WorkerThread->SetPoolingDelay(delay);
  WorkerThread->Start();
  btOpen->SetEnabled(false);
  btClose->SetEnabled(true);
}

void TFormMain::btCloseClick(TObject*) {
  if (!WorkerThread) return;
  WorkerThread->Terminate();
  WorkerThread->WaitFor();  // keeps serving the worker's display routines meanwhile
  THIDThread* worker = WorkerThread;
  WorkerThread = nullptr;
  delete worker;  // its controller's unplug notification resets the labels
  btOpen->SetEnabled(true);
  btClose->SetEnabled(false);
}

void TFormMain::OnButtonClick(TObject* Sender) {
  struct Command {
    TButton* button;
    LPARAM code;
    WPARAM argument;
  } const commands[] = {
      {btPowerOnEnabled, CmdReadPowerOn, 0},      {btReadTrainedIRCode, CmdReadTrainedCode, 0},
      {btPowerOnEnable, CmdWritePowerOn, 1},      {btPowerOnDisable, CmdWritePowerOn, 0},
      {btSetIRCode, CmdClearTrainedCode, 0},      {btReadVexaVersion, CmdReadVersion, 0},
  };
  for (const Command& c : commands)
    if (Sender == c.button) PostCommand(c.code, c.argument);
}

void TFormMain::AddLogLine(const std::string& line) { Memo1->AppendLine(line); }

void TFormMain::SetStatus(const std::string& deviceStatus, const std::string& vexaVersion) {
  lbDeviceStatus->SetCaption(deviceStatus);
  lbVexaVersion->SetCaption(vexaVersion);
}
