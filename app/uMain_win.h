#pragma once
// The main window: opens and closes the receiver (starts and stops the worker), posts the
// receiver's commands and shows the worker's log and status.

#include "app/uHID_win.h"
#include "platform/Forms_win.h"

#include <vector>

class TFormMain : public TForm, public IReceiverView {
 public:
  TFormMain();
  ~TFormMain() override;

  TPanel* Panel1 = nullptr;
  TLabel* lbDeviceStatus = nullptr;
  TLabel* lbVexaVersion = nullptr;
  TLabel* Label4 = nullptr;
  TTrackBar* TrackBar_IR_Polling = nullptr;
  TLabel* Label2 = nullptr;
  TLabel* Label3 = nullptr;
  TEdit* Edit2 = nullptr;
  TLabel* Label1 = nullptr;
  TEdit* Edit1 = nullptr;
  TButton* btOpen = nullptr;
  TButton* btClose = nullptr;
  TButton* btSetIRCode = nullptr;
  TButton* btPowerOnEnable = nullptr;
  TButton* btPowerOnDisable = nullptr;
  TButton* btReadTrainedIRCode = nullptr;
  TButton* btPowerOnEnabled = nullptr;
  TButton* btReadVexaVersion = nullptr;
  TMemo* Memo1 = nullptr;

  void FormShow(TObject* Sender);
  void FormClose(TObject* Sender, TCloseAction& Action);
  void TrackBar_IR_PollingChange(TObject* Sender);
  void TrackBar_IR_PollingChanged(TObject* Sender);
  void btOpenClick(TObject* Sender);
  void btCloseClick(TObject* Sender);
  void OnButtonClick(TObject* Sender);

  // IReceiverView: the worker's display routines land here, on the UI thread.
  void AddLogLine(const std::string& line) override;
  void SetStatus(const std::string& deviceStatus, const std::string& vexaVersion) override;
  void CodeListed(const app::ListedCode& code) override;

  // The log's context menu: a listed code as the power-on code, copy, select all, save, clear.
  void Memo1ContextPopup(TMemo* Sender, POINT At);
  void SaveLogAs();
  // Writes the log to path; a failure is shown to the user and leaves path as it was.
  bool SaveLogTo(const std::wstring& path);

 private:
  bool receiverConnected_ = false;  // as the worker last showed it
  std::vector<app::ListedCode> listedCodes_;  // every code the worker listed, oldest first
};

const TFormDesc& FormMainDescription();

extern TFormMain* FormMain;
// The running worker, or none; and the thread ID of the last worker created (0 before the
// first), where commands are posted. The ID is kept after the worker is closed.
extern THIDThread* WorkerThread;
extern DWORD WorkerThreadID;
