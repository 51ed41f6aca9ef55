#include "app/uMain_win.h"

#include "app/LogFile_win.h"
#include "app/ReceiverLogic.h"
#include "platform/Convert.h"
#include "platform/Handles_win.h"
#include "platform/WideText_win.h"

#include <commdlg.h>
#include <shlobj.h>

#include <optional>
#include <vector>

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

enum : UINT { kMenuUseAsPowerOn = 1, kMenuCopy, kMenuSelectAll, kMenuSaveAs, kMenuClear };

struct Selection {
  DWORD start = 0, end = 0;
};

Selection SelectionOf(HWND memo) {
  Selection s;
  SendMessageA(memo, EM_GETSEL, reinterpret_cast<WPARAM>(&s.start), reinterpret_cast<LPARAM>(&s.end));
  return s;
}

// The log line (between line breaks, not as wrapped on screen) under a point of the screen;
// none below the last line.
std::optional<std::size_t> LogLineAt(HWND memo, const std::string& text, POINT screen) {
  POINT p = screen;
  ScreenToClient(memo, &p);
  const LRESULT hit = SendMessageA(memo, EM_CHARFROMPOS, 0, MAKELPARAM(p.x, p.y));
  if (hit == -1) return std::nullopt;
  // The answer holds the wrapped line's number in 16 bits only; the line under the pointer is
  // on screen, so it is the first visible line or a little after it.
  const LRESULT first = SendMessageA(memo, EM_GETFIRSTVISIBLELINE, 0, 0);
  const LRESULT wrapped = first + static_cast<WORD>(HIWORD(hit) - static_cast<WORD>(first));
  const LRESULT start = SendMessageA(memo, EM_LINEINDEX, static_cast<WPARAM>(wrapped), 0);
  if (start < 0) return std::nullopt;
  // Below the text the control answers its last line: compare with where that line is.
  const LRESULT at = SendMessageA(memo, EM_POSFROMCHAR, static_cast<WPARAM>(start), 0);
  if (at == -1) return std::nullopt;  // the empty line after a final line break
  HDC dc = GetDC(memo);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(memo, WM_GETFONT, 0, 0)));
  TEXTMETRICA tm{};
  GetTextMetricsA(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(memo, dc);
  if (p.y >= static_cast<short>(HIWORD(at)) + tm.tmHeight) return std::nullopt;
  return LineOfOffset(text, static_cast<std::size_t>(start));
}

// Where the keyboard's menu opens: at the caret when it is in view, else at the log's corner.
POINT CaretPoint(HWND memo, DWORD caret) {
  RECT client;
  GetClientRect(memo, &client);
  POINT p{client.left + 4, client.top + 4};
  const LRESULT at = SendMessageA(memo, EM_POSFROMCHAR, caret, 0);
  if (at != -1) {
    const POINT c{static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at)) + 8};
    if (PtInRect(&client, c)) p = c;
  }
  ClientToScreen(memo, &p);
  return p;
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
  // Not part of the description: the window stays as described, the menu comes on top.
  Memo1->OnContextPopup = [this](TMemo* sender, POINT at) { Memo1ContextPopup(sender, at); };
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

void TFormMain::CodeListed(const ListedCode& code) { RememberListedCode(listedCodes_, code); }

void TFormMain::SetStatus(const std::string& deviceStatus, const std::string& vexaVersion) {
  receiverConnected_ = deviceStatus == DeviceStatusText(true);
  lbDeviceStatus->SetCaption(deviceStatus);
  lbVexaVersion->SetCaption(vexaVersion);
}

void TFormMain::Memo1ContextPopup(TMemo*, POINT At) {
  HWND memo = Memo1->Handle();
  const std::string text = Memo1->Text();
  const Selection selection = SelectionOf(memo);
  const bool fromKeyboard = At.x == -1 && At.y == -1;
  std::optional<std::size_t> line;
  if (fromKeyboard) {
    line = LineOfOffset(text, selection.start);
    At = CaretPoint(memo, selection.start);
  } else {
    line = LogLineAt(memo, text, At);
  }
  std::optional<ListedCode> listed;
  if (line) listed = CodeListedAt(Memo1->Lines(), *line, listedCodes_);
  const bool receiverInUse = WorkerThread && receiverConnected_;

  platform::ScopedMenu menu(CreatePopupMenu());
  if (!menu) return;
  auto item = [&](UINT id, const char* caption, bool enabled) {
    AppendMenuA(menu.Get(), MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED), id, caption);
  };
  item(kMenuUseAsPowerOn, "&Use as Power-On Code", listed && receiverInUse);
  AppendMenuA(menu.Get(), MF_SEPARATOR, 0, nullptr);
  item(kMenuCopy, "&Copy", selection.start != selection.end);
  item(kMenuSelectAll, "Select &All", !text.empty());
  AppendMenuA(menu.Get(), MF_SEPARATOR, 0, nullptr);
  item(kMenuSaveAs, "&Save Log As...", true);
  item(kMenuClear, "C&lear Log", !text.empty());
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu.Get(), TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, At.x, At.y, 0, Handle(), nullptr));
  menu.Reset();

  switch (chosen) {
    case kMenuUseAsPowerOn: {
      if (!listed) break;
      if (MessageBoxA(Handle(), PowerOnCodeQuestion(listed->Code).c_str(), "Kelvane", MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
      if (!(WorkerThread && receiverConnected_)) {
        // Unplugged while the question was open: a command would wait for whichever receiver
        // comes next, and the user agreed to write this one.
        MessageBoxA(Handle(), "The receiver is no longer in use; its power-on code was not changed.", "Kelvane",
                    MB_OK | MB_ICONWARNING);
        return;
      }
      const CommandWords command = WriteTrainedCodeCommand(listed->Code);
      // Through the worker like every command; it lists the code the receiver holds afterwards.
      PostCommand(static_cast<LPARAM>(command.Code), command.Argument);
      break;
    }
    case kMenuCopy: SendMessageA(memo, WM_COPY, 0, 0); break;
    case kMenuSelectAll: SendMessageA(memo, EM_SETSEL, 0, -1); break;
    case kMenuSaveAs: SaveLogAs(); break;
    case kMenuClear:
      // As a replacement of the whole text, so that the control's undo brings the log back.
      SendMessageA(memo, EM_SETSEL, 0, -1);
      SendMessageA(memo, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(""));
      break;
    default: break;
  }
}

void TFormMain::SaveLogAs() {
  SYSTEMTIME today;
  GetLocalTime(&today);
  std::vector<wchar_t> file(32768, L'\0');
  const std::wstring name = platform::WideFromAnsi(DefaultLogFileName(today.wYear, today.wMonth, today.wDay));
  name.copy(file.data(), file.size() - 1);
  wchar_t documents[MAX_PATH] = L"";
  const bool haveDocuments =
      SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, documents));

  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = Handle();
  dialog.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = haveDocuments ? documents : nullptr;
  dialog.lpstrDefExt = L"txt";
  dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  if (!GetSaveFileNameW(&dialog)) {
    if (const DWORD error = CommDlgExtendedError())
      MessageBoxW(Handle(), (L"The save dialog could not be shown (error " + std::to_wstring(error) + L").").c_str(),
                  L"Kelvane", MB_OK | MB_ICONERROR);
    return;
  }
  SaveLogTo(file.data());
}

bool TFormMain::SaveLogTo(const std::wstring& path) {
  const DWORD error = ReplaceFileContents(path, WithCrLf(Memo1->Text()));
  if (error == 0) return true;
  const std::wstring message = L"The log could not be saved to\n" + path + L"\n\n" + SystemErrorText(error);
  MessageBoxW(Handle(), message.c_str(), L"Kelvane", MB_OK | MB_ICONERROR);
  return false;
}
