#include "delivery/KestrumPrint_win.h"

#include <commdlg.h>

#include "delivery/KestrumBugReportFile_win.h"

namespace delivery {

namespace {

constexpr UINT kPrintFormat = DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS | DT_LEFT | DT_TOP;

}  // namespace

HFONT CreatePrintFont(HDC dc) {
  return CreateFontA(-MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Courier New");
}

PrintLayout LayOutReport(HDC dc, const std::string& bugReport) {
  PrinterMetrics m;
  m.widthMm = GetDeviceCaps(dc, HORZSIZE);
  m.heightMm = GetDeviceCaps(dc, VERTSIZE);
  m.widthPx = GetDeviceCaps(dc, HORZRES);
  m.heightPx = GetDeviceCaps(dc, VERTRES);
  m.offsetXPx = GetDeviceCaps(dc, PHYSICALOFFSETX);
  m.offsetYPx = GetDeviceCaps(dc, PHYSICALOFFSETY);
  PrintLayout layout;
  layout.area = PrintAreaOf(m);
  layout.lines = PrintLines(bugReport);
  layout.heights.reserve(layout.lines.size());
  for (const std::string& line : layout.lines) {
    RECT r{layout.area.left, 0, layout.area.left + layout.area.width, 0};
    DrawTextA(dc, line.c_str(), static_cast<int>(line.size()), &r, kPrintFormat | DT_CALCRECT);
    layout.heights.push_back(r.bottom - r.top);
  }
  layout.placed = PlacePrintLines(layout.heights, layout.area);
  return layout;
}

namespace {

// The pages go out one by one; a failure of the device ends the job as far as it got.
void PrintOnPrinter(HDC dc, const std::string& bugReport, const std::string& jobName) {
  HFONT font = CreatePrintFont(dc);
  HGDIOBJ oldFont = SelectObject(dc, font);
  const PrintLayout layout = LayOutReport(dc, bugReport);
  const std::vector<std::string>& lines = layout.lines;
  const std::vector<int>& heights = layout.heights;
  const std::vector<PrintPlacement>& placed = layout.placed;
  const PrintArea& area = layout.area;
  DOCINFOA doc{};
  doc.cbSize = sizeof doc;
  doc.lpszDocName = jobName.c_str();
  if (StartDocA(dc, &doc) > 0) {
    bool ok = StartPage(dc) > 0;
    // The font goes with each new page on some drivers.
    SelectObject(dc, font);
    int page = 0;
    for (std::size_t i = 0; ok && i < lines.size(); ++i) {
      if (placed[i].page != page) {
        ok = EndPage(dc) > 0 && StartPage(dc) > 0;
        SelectObject(dc, font);
        page = placed[i].page;
      }
      RECT r{area.left, placed[i].top, area.left + area.width, placed[i].top + heights[i]};
      if (ok) DrawTextA(dc, lines[i].c_str(), static_cast<int>(lines[i].size()), &r, kPrintFormat);
    }
    if (ok) EndPage(dc);
    if (ok) {
      EndDoc(dc);
    } else {
      AbortDoc(dc);
    }
  }
  SelectObject(dc, oldFont);
  DeleteObject(font);
}

}  // namespace

void PrintExceptionReport(kestrum::IZQException* exception, HWND parentWindow) {
  PrintBugReportText(exception->GetBugReport(true), parentWindow, exception);
}

void PrintBugReportText(const std::string& bugReport, HWND parentWindow, kestrum::IZQSettings* settings) {
  if (DialogWouldBlock(250)) {
    MessageBeep(MB_OK);
    return;
  }
  PRINTDLGA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = parentWindow;
  dialog.Flags = PD_RETURNDC | PD_NOPAGENUMS | PD_NOSELECTION | PD_HIDEPRINTTOFILE | PD_NONETWORKBUTTON | PD_NOWARNING |
                 PD_USEDEVMODECOPIESANDCOLLATE;
  if (!PrintDlgA(&dialog)) return;
  if (dialog.hDC) {
    PrintOnPrinter(dialog.hDC, bugReport, settings ? settings->GetPrintBtnCaption() : std::string("Print"));
    DeleteDC(dialog.hDC);
  }
  if (dialog.hDevMode) GlobalFree(dialog.hDevMode);
  if (dialog.hDevNames) GlobalFree(dialog.hDevNames);
}

}  // namespace delivery
