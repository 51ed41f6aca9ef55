// Printing a report: the pages laid out in a fixed-width font over the printable area, through
// the print dialog. The layout's arithmetic is pure (delivery/KestrumDeliver.h).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "crash/KestrumExceptionApi_win.h"
#include "crash/settings/KestrumSettings_win.h"
#include "delivery/KestrumDeliver.h"

namespace delivery {

// The print font (Courier New, 8 points) for dc.
HFONT CreatePrintFont(HDC dc);
// The report laid out on dc in the font selected into it: its lines, their heights word-wrapped
// over the printable width, and their places on the pages.
struct PrintLayout {
  PrintArea area;
  std::vector<std::string> lines;
  std::vector<int> heights;
  std::vector<PrintPlacement> placed;
};
PrintLayout LayOutReport(HDC dc, const std::string& bugReport);
// Prints the report through the print dialog owned by parentWindow.
void PrintBugReportText(const std::string& bugReport, HWND parentWindow, kestrum::IZQSettings* settings);

// The crash flow's print hook.
void PrintExceptionReport(kestrum::IZQException* exception, HWND parentWindow);

}  // namespace delivery
