// Sending a finished bug report: the attachments, the sending window, the program's own network
// ways, the mail client (Simple MAPI), the mailto handler and the failure message.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crash/KestrumExceptionApi_win.h"
#include "crash/settings/KestrumSettings_win.h"
#include "delivery/KestrumDeliver.h"
#include "delivery/KestrumNet.h"

struct INVBitmap;

namespace delivery {

enum DeliveryResult : std::uint8_t { kDeliveryFailed = 0, kDelivered = 1, kDeliveryCancelled = 2 };

// The settings of a delivery as they stand now, the stored passwords deciphered already.
DeliverySettings ReadDeliverySettings(kestrum::IZQSettings* settings);

// What a delivery uses of the system that tests replace: the network of the transports (null:
// Winsock), the failure message (null: a message box) and the moment a delivery's temporary
// folder is about to go (tests look at what was made there).
struct DeliverySystem {
  Network* network = nullptr;
  void (*showFailure)(HWND owner, const std::string& text) = nullptr;
  void (*beforeFolderRemoved)(const std::string& folder) = nullptr;
  // The collector's answer after an upload (null: a small message box).
  void (*showAnswer)(HWND owner, const std::string& line) = nullptr;
  std::string outboxFolder;  // "": DefaultOutboxFolder()
};
void SetDeliverySystem(const DeliverySystem& system);

// Sends bugReport by every way the settings allow, in their order, and answers a DeliveryResult.
// background (and not inThread): on a thread of its own, whose handle goes into *pThread (closed
// when pThread is null), answering kDelivered at once. hidden: an automatic send, which never
// asks the user (no mail dialog, no mailto, no failure message). settings may be an exception
// object: MailWasSent and MailWasSaved are read and set through it.
std::uint8_t DeliverBugReport(const std::string& bugReport, INVBitmap* screenShot, HWND parentWindow, bool hidden, bool background,
                              kestrum::IZQSettings* settings, bool inThread, HANDLE* pThread);

// The mail client's Simple MAPI: one mail with the recipients, subject, body and files (sent under
// their names). Without a dialog only when hidden and a recipient is given.
std::uint8_t SendViaMapi(const std::string& recipients, const std::string& subject, const std::string& body, bool hidden,
                         HWND parentWindow, const std::vector<std::string>& names, const std::vector<std::string>& files);
// The registered mailto handler, started with the whole text as the mail body.
std::uint8_t SendViaMailto(const std::string& recipients, const std::string& subject, const std::string& text);

// The report id a delivery of settings carries: the exception object's, else a new one.
std::string ReportIdOf(kestrum::IZQSettings* settings);

// The crash flow's send hook (background: on a thread of its own, whose handle the exception
// keeps; without a window the send is automatic and never asks the user).
void SendExceptionReport(kestrum::IZQException* exception, HWND parentWindow, bool background);
// The settings' password hook: a stored password (its bytes after Base64) deciphered.
std::string DecodeStoredPassword(const std::string& stored, const std::string& account, const std::string& server);

}  // namespace delivery
