// AssistantProbe RESULTFILE ASSISTANT [screenshot|twice]: runs one assistant of its own settings
// for an exception object, the way the handling will, and writes what came of it into RESULTFILE:
// the result, the mail sender, whether the screenshot goes along, and every header field and
// section of its report, whose composed text goes beside it (RESULTFILE.report), when it ended with
// OK. With "screenshot" the exception carries a red 160 x 120 picture; with "twice" a second
// exception follows the first, with the same form cache.
#include <windows.h>

#include "crash/KestrumException_win.h"
#include "crash/KestrumHandling_win.h"
#include "delivery/KestrumAssistant_win.h"
#include "report/KestrumFields_win.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

INVBitmap* g_screenShot = nullptr;

std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

// The colour in the middle of the picture, as the tests compare it.
std::string Describe(INVBitmap* b) {
  if (!b) return "none";
  const std::string bmp = b->AsBmpStr();
  char text[64];
  std::snprintf(text, sizeof text, "%dx%d", b->GetWidth(), b->GetHeight());
  std::string out = text;
  auto* own = static_cast<TINVBitmap*>(b);
  const delivery::PixelView p = own->Pixels();
  const std::uint8_t* px = p.bits + (static_cast<std::size_t>(p.height / 2) * p.width + p.width / 2) * 4;
  std::snprintf(text, sizeof text, " %02x%02x%02x", px[2], px[1], px[0]);
  return out + text;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc < 3) return 2;
  const std::string resultFile = __argv[1];
  const std::string assistant = __argv[2];
  const bool withShot = __argc > 3 && std::string(__argv[3]) == "screenshot";
  const bool twice = __argc > 3 && std::string(__argv[3]) == "twice";

  std::ofstream(resultFile + ".temp", std::ios::binary) << kestrum::ProcessTempFolder() << "\n";
  // The exception takes its picture through the hook, as the handling's objects do.
  kestrum::DeliveryHooks hooks = kestrum::DeliveryHooksInUse();
  hooks.takeScreenShot = [](bool) -> IUnknown* {
    if (g_screenShot) g_screenShot->AddRef();
    return g_screenShot;
  };
  kestrum::InstallDeliveryHooks(hooks);
  if (withShot) {
    TINVBitmap* red = TINVBitmap::Create(160, 120);
    HBRUSH brush = CreateSolidBrush(RGB(255, 0, 0));
    RECT all{0, 0, 160, 120};
    FillRect(red->Canvas(), &all, brush);
    DeleteObject(brush);
    GdiFlush();
    g_screenShot = red;
  }

  kestrum::IZQModuleSettings* settings = kestrum::SettingsForModule(GetModuleHandleA(nullptr));
  kestrum::IZQPropertyAccess* cache = nullptr;
  settings->QueryInterface(kestrum::IID_IZQPropertyAccess, reinterpret_cast<void**>(&cache));
  TIZQException* exception = nullptr;
  TNVModalResult result = nvmInvalid, firstResult = nvmInvalid;
  for (int run = 0; run < (twice ? 2 : 1); ++run) {
    if (exception) exception->Release();
    kestrum::ExceptionFacts facts;
    exception = new TIZQException(settings, facts);
    exception->SetCreateScreenShot(withShot);
    exception->SetAppendScreenShot(withShot);
    kestrum::AssistantDefinition definition;
    if (exception->GetAssistant(assistant, definition)) {
      result = delivery::RunAssistant(exception, exception->Module(), definition, exception->GetCreateScreenShot(), nullptr, cache);
    }
    if (run == 0) firstResult = result;
  }

  std::ofstream out(resultFile, std::ios::binary | std::ios::trunc);
  out << "result=" << result << "\n";
  out << "firstResult=" << firstResult << "\n";
  out << "mailFrom=" << exception->GetMailFrom() << "\n";
  out << "appendScreenShot=" << exception->GetAppendScreenShot() << "\n";
  INVBitmap* shot = delivery::ExceptionScreenShot(exception);
  out << "screenShot=" << Describe(shot) << "\n";
  if (shot) shot->Release();
  if (result == nvmOk) {
    const std::pair<const char*, report::IZQFields*> lists[] = {{"header:", exception->GetBugReportHeader()},
                                                                 {"section:", exception->GetBugReportSections()}};
    for (const auto& [prefix, list] : lists) {
      for (int i = 0; i < list->GetItemCount(); ++i) {
        const std::string name = list->GetItem(i);
        out << prefix << name << "=" << Escaped(list->GetContent(name)) << "\n";
      }
    }
    std::ofstream report(resultFile + ".report", std::ios::binary | std::ios::trunc);
    report << exception->GetBugReport(true);
  }
  out.close();

  if (cache) cache->Release();
  exception->Release();
  settings->Release();
  return 0;
}
