#include "delivery/KestrumAssistant_win.h"

namespace delivery {

kestrum::AssistantRun RunExceptionAssistant(kestrum::IZQException* exception, const kestrum::AssistantDefinition& definition,
                                            HWND parentWindow, kestrum::IZQPropertyAccess* formCache) {
  const TNVModalResult result =
      RunAssistant(exception, exception->Module(), definition, exception->GetCreateScreenShot(), parentWindow, formCache);
  switch (result) {
    case nvmOk: return kestrum::AssistantRun::ok;
    case nvmCancel: return kestrum::AssistantRun::cancelled;
    default: return kestrum::AssistantRun::notShown;
  }
}

}  // namespace delivery
