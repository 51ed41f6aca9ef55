#pragma once
// The application object: the UI thread's message loop and the program-wide exception handling
// of event handlers.
//
// Every window procedure of the framework catches at its own boundary (C++ exceptions do not
// cross a window procedure) and hands the exception to Application->HandleException(sender).
//
//   HandleException(sender, e): cancels a mouse capture, then calls ApplicationHandleExceptionHook
//     when one is installed, and returns. Without a hook: EAbort is dropped silently, anything
//     else goes to ShowException.
//   ShowException(e): calls ApplicationShowExceptionHook when installed; otherwise shows the
//     message (with a full stop added) in an error box captioned with Title.
//
// Both hooks are seams of the crash-report component (CrashHooks_win.h).

#include <windows.h>

#include <exception>
#include <functional>
#include <string>

#include "platform/CrashHooks_win.h"
#include "platform/Events.h"
#include "platform/Object.h"

class TForm;

class TApplication : public TObject {
 public:
  TApplication();

  // Makes the calling thread the UI thread, installs the fault conversion, declares the process
  // DPI aware and loads the common controls. Call once before the first form is created.
  void Initialize();
  // Shows the main form and runs the message loop until Terminate() or the main form is closed.
  void Run();
  // Handles the messages that are waiting, then returns.
  void ProcessMessages();
  // Ends the message loop (from any thread).
  void Terminate();
  bool Terminated() const { return terminated_; }

  // The first form created becomes the main form unless one is set.
  TForm* MainForm() const { return mainForm_; }
  void SetMainForm(TForm* form) { mainForm_ = form; }

  // Call from a catch block (e defaults to the exception being handled).
  void HandleException(TObject* sender, std::exception_ptr e = std::current_exception());
  void ShowException(std::exception_ptr e);

  std::string Title;  // the executable's name without extension unless set
  // Pixels per logical inch of the screen (96 unless the system is set to a larger scale).
  int Dpi() const { return dpi_; }
  int Scale(int at96) const { return MulDiv(at96, dpi_, 96); }

  // Forms register here so that the loop gives them keyboard navigation (Tab, arrows).
  void RegisterForm(TForm* form);
  void UnregisterForm(TForm* form);

 private:
  bool ProcessMessage(MSG& m);

  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
  bool initialized_ = false;
  int dpi_ = 96;
  DWORD uiThread_ = 0;
};

extern TApplication* Application;
