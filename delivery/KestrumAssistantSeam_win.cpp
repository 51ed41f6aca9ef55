#include "delivery/KestrumAssistant_win.h"

#include "crash/KestrumException_win.h"
#include "crash/KestrumHandling_win.h"

namespace delivery {

namespace {

// Only the component's own exception object calls the seam, so the report lists are its own.
TIZQException* Own(kestrum::IZQException* exception) { return static_cast<TIZQException*>(exception); }

kestrum::AssistantRun RunForException(kestrum::IZQException* exception, const kestrum::AssistantDefinition& definition,
                                      HWND parentWindow, kestrum::IZQPropertyAccess* formCache) {
  const TNVModalResult result =
      RunAssistant(exception, exception->Module(), definition, exception->GetCreateScreenShot(), parentWindow, formCache);
  switch (result) {
    case nvmOk: return kestrum::AssistantRun::ok;
    case nvmCancel: return kestrum::AssistantRun::cancelled;
    default: return kestrum::AssistantRun::notShown;
  }
}

}  // namespace

void InstallAssistantSeam() {
  AssistantExceptionAccess access = AssistantExceptionAccessInUse();
  access.setHeaderField = [](kestrum::IZQException* e, const std::string& name, const std::string& content) {
    Own(e)->GetBugReportHeader()->SetContent(name, content);
  };
  access.setSection = [](kestrum::IZQException* e, const std::string& name, const std::string& content) {
    Own(e)->GetBugReportSections()->SetContent(name, content);
  };
  access.setMailFrom = [](kestrum::IZQException* e, const std::string& from) { e->SetMailFrom(from); };
  access.getAppendScreenShot = [](kestrum::IZQException* e) { return e->GetAppendScreenShot(); };
  access.setAppendScreenShot = [](kestrum::IZQException* e, bool value) { e->SetAppendScreenShot(value); };
  access.getScreenShot = [](kestrum::IZQException* e) { return ExceptionScreenShot(e); };
  access.setScreenShot = [](kestrum::IZQException* e, INVBitmap* bitmap) { e->SetScreenShot(bitmap); };
  access.tempFolder = [] { return kestrum::ProcessTempFolder(); };
  SetAssistantExceptionAccess(access);
  kestrum::SetAssistantSeam(RunForException);
}

}  // namespace delivery
