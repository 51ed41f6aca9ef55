#pragma once
// Everything the crash flow asks of the layer above it (the delivery), in one record.
//
// The flow makes the report and decides what happens to it; saving, sending, printing, the
// assistant forms, the screenshot picture, the please-wait window and the mail passwords' cipher
// live above it. The delivery fills a DeliveryHooks record and installs it with one call at
// start-up (delivery::InstallDelivery in WinMain), before the component is installed, so that no
// exception ever sees half a set. A null hook means the default column.
//
//   hook                  called                                      default (null)
//   saveReport            Save of the box or a handler (ask: the      nothing is saved
//                         user picks the file); the automatic save
//                         (ask false, no window)
//   sendReport            Send of the box or a handler; the           nothing is sent
//                         automatic send (background, no window)
//   printReport           Print of the box or a handler               nothing is printed
//   copyToClipboard       the box's Ctrl+C, the automatic copy        CopyTextToClipboard: plain
//                                                                     text, owned by no window
//   runAssistant          Show with ssAssistant; before a send,       no assistant: the full box
//                         save or print that has an assistant         stands in at Show, actions
//                                                                     go ahead unconfirmed
//   takeScreenShot        the first GetScreenShot of an exception     no exception has a screenshot
//                         with CreateScreenShot on (a new reference
//                         or null: nothing to take)
//   createProgressWindow  once per exception object with PlWaitBox    no please-wait window
//                         on; shown while a thread waits for the
//                         report's completion
//   decodePassword        each time settings are read, for the        the stored text is kept
//                         stored SMTP and HTTP passwords
#include <windows.h>

#include <string>

#include "crash/KestrumExceptionApi_win.h"
#include "crash/KestrumProgressAlert_win.h"
#include "crash/settings/KestrumRules.h"
#include "crash/settings/KestrumSettings_win.h"

namespace kestrum {

enum class AssistantRun {
  notShown,   // none installed, or the form resources are damaged
  ok,         // the outputs are in the report
  cancelled,  // the user stopped it: the action it guards does not happen
};

struct DeliveryHooks {
  // Stores the complete report; ask: let the user choose the file first.
  void (*saveReport)(IZQException* exception, HWND parentWindow, bool ask) = nullptr;
  // Sends the complete report; background: on a thread of its own, whose handle goes into
  // IZQExceptionEx::PSendThread.
  void (*sendReport)(IZQException* exception, HWND parentWindow, bool background) = nullptr;
  void (*printReport)(IZQException* exception, HWND parentWindow) = nullptr;
  bool (*copyToClipboard)(const std::string& text) = nullptr;
  // The assistant of that definition over parentWindow; formCache keeps typed values between
  // exceptions (may be null).
  AssistantRun (*runAssistant)(IZQException* exception, const AssistantDefinition& definition, HWND parentWindow,
                               IZQPropertyAccess* formCache) = nullptr;
  // appOnly: the program's own windows only.
  IUnknown* (*takeScreenShot)(bool appOnly) = nullptr;
  // A new window object (one reference, not shown yet); icon is a bitmap resource of module.
  IProgressAlert* (*createProgressWindow)(const std::string& title, HMODULE module, const char* icon) = nullptr;
  // Deciphers a stored password (its bytes after Base64) of that account on that server.
  std::string (*decodePassword)(const std::string& stored, const std::string& account, const std::string& server) = nullptr;
};

// Replaces the whole record. Tests that change one hook read the record, change it and install it.
void InstallDeliveryHooks(const DeliveryHooks& hooks);
// The record in use, with the default copyToClipboard filled in.
const DeliveryHooks& DeliveryHooksInUse();

// Plain text on the clipboard, owned by no window.
bool CopyTextToClipboard(const std::string& text);

}  // namespace kestrum
