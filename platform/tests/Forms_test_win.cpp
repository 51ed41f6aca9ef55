// Forms from descriptions and the application's exception handling, in this process with the
// form hidden: events are driven with the same messages the controls send to their parents.
#include "platform/Forms_win.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Application_win.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"

namespace {

using K = TControlKind;

volatile int* volatile g_null = nullptr;

// What the window of the receiver tool looks like, as data: a top panel with controls, a memo
// that fills the rest.
TFormDesc Description() {
  return {
      .Name = "FormTest",
      .Caption = "Form Test",
      .ClientWidth = 697,
      .ClientHeight = 524,
      .OnShow = "FormShow",
      .Controls = {
          {.Kind = K::Panel, .Name = "Panel1", .Width = 697, .Height = 145, .Align = alTop},
          {.Kind = K::Label, .Name = "lbStatus", .Parent = "Panel1", .Left = 16, .Top = 16, .Width = 10,
           .Height = 13, .Caption = "Device: disconnected"},
          {.Kind = K::Label, .Name = "lbEmpty", .Parent = "Panel1", .Left = 172, .Top = 91, .Width = 3, .Height = 13},
          {.Kind = K::TrackBar, .Name = "tb", .Parent = "Panel1", .Left = 16, .Top = 78, .Width = 150, .Height = 34,
           .TabOrder = 3, .Min = 50, .Max = 150, .Position = 100, .OnChange = "TbChange", .OnChanged = "TbChanged"},
          {.Kind = K::Edit, .Name = "Edit1", .Parent = "Panel1", .Left = 238, .Top = 13, .Width = 32, .Height = 21,
           .Caption = "50", .Alignment = taRightJustify, .TabOrder = 2},
          {.Kind = K::Button, .Name = "btA", .Parent = "Panel1", .Left = 294, .Top = 16, .Width = 75, .Height = 25,
           .Caption = "Open Device", .TabOrder = 0, .OnClick = "Click"},
          {.Kind = K::Button, .Name = "btB", .Parent = "Panel1", .Left = 294, .Top = 47, .Width = 75, .Height = 25,
           .Caption = "Close Device", .Enabled = false, .TabOrder = 1, .OnClick = "Click"},
          {.Kind = K::Memo, .Name = "Memo1", .Width = 697, .Height = 379, .Align = alClient,
           .ScrollBars = ssVertical},
      }};
}

class TFormTest : public TForm {
 public:
  std::vector<std::string> events;
  std::function<void()> onClick;  // what the click handler does besides logging

  explicit TFormTest(const TFormDesc& desc = Description()) {
    Handler("FormShow", [this](TObject*) { events.push_back("Show"); });
    Handler("TbChange", [this](TObject*) { events.push_back("Change " + std::to_string(tb()->Position())); });
    Handler("TbChanged", [this](TObject*) {
      events.push_back("Changed " + std::to_string(tb()->Position()));
      if (onClick) onClick();
    });
    Handler("Click", [this](TObject* s) {
      events.push_back("Click " + static_cast<TControl*>(s)->Name());
      if (onClick) onClick();
    });
    Load(desc);
  }
  TTrackBar* tb() const { return Find<TTrackBar>("tb"); }
  TMemo* memo() const { return Find<TMemo>("Memo1"); }
  void SendCommand(const char* button) {
    TControl* b = Find<TButton>(button);
    SendMessageA(GetParent(b->Handle()), WM_COMMAND, MAKEWPARAM(b->Id(), BN_CLICKED),
                 reinterpret_cast<LPARAM>(b->Handle()));
  }
  void SendScroll(WORD code) {
    SendMessageA(GetParent(tb()->Handle()), WM_HSCROLL, MAKEWPARAM(code, 0), reinterpret_cast<LPARAM>(tb()->Handle()));
  }
};

struct Reported {
  std::string sender, cls, message;
};
std::vector<Reported> g_reported;
std::vector<std::string> g_shown;

class Forms : public ::testing::Test {
 protected:
  void SetUp() override {
    Application->Initialize();
    g_reported.clear();
    g_shown.clear();
    ApplicationHandleExceptionHook = [](TObject* sender, std::exception_ptr e) {
      auto* c = dynamic_cast<TControl*>(sender);
      g_reported.push_back({c ? c->Name() : sender ? sender->ClassName() : "", ExceptionClassName(e),
                            ExceptionMessage(e)});
    };
    ApplicationShowExceptionHook = [](std::exception_ptr e) { g_shown.push_back(ExceptionDisplayText(e)); };
  }
  void TearDown() override {
    ApplicationHandleExceptionHook = nullptr;
    ApplicationShowExceptionHook = nullptr;
  }
  RECT Bounds(TControl* c) { return c->BoundsRect(); }
};

TEST_F(Forms, LayoutAsDescribedAt96Dpi) {
  ASSERT_EQ(Application->Dpi(), 96) << "the Wine test prefix runs at 96 DPI";
  TFormTest f;
  int w = 0, h = 0;
  f.ClientSize(w, h);
  EXPECT_EQ(w, 697);
  EXPECT_EQ(h, 524);
  EXPECT_EQ(f.Caption(), "Form Test");

  const RECT panel = Bounds(f.Find<TPanel>("Panel1"));
  EXPECT_EQ(panel.left, 0);
  EXPECT_EQ(panel.top, 0);
  EXPECT_EQ(panel.right, 697);
  EXPECT_EQ(panel.bottom, 145);
  const RECT memo = Bounds(f.memo());
  EXPECT_EQ(memo.left, 0);
  EXPECT_EQ(memo.top, 145);
  EXPECT_EQ(memo.right, 697);
  EXPECT_EQ(memo.bottom, 524);

  const RECT button = Bounds(f.Find<TButton>("btA"));
  EXPECT_EQ(button.left, 294);
  EXPECT_EQ(button.top, 16);
  EXPECT_EQ(button.right - button.left, 75);
  EXPECT_EQ(button.bottom - button.top, 25);
  EXPECT_EQ(f.Find<TButton>("btA")->Caption(), "Open Device");
  EXPECT_TRUE(f.Find<TButton>("btA")->Enabled());
  EXPECT_FALSE(f.Find<TButton>("btB")->Enabled());
  EXPECT_EQ(f.Find<TEdit>("Edit1")->Text(), "50");
  EXPECT_TRUE(GetWindowLongA(f.Find<TEdit>("Edit1")->Handle(), GWL_STYLE) & ES_RIGHT);
  EXPECT_TRUE(GetWindowLongA(f.memo()->Handle(), GWL_STYLE) & WS_VSCROLL);
  EXPECT_EQ(f.tb()->Min(), 50);
  EXPECT_EQ(f.tb()->Max(), 150);
  EXPECT_EQ(f.tb()->Position(), 100);
  EXPECT_FALSE(GetWindowLongA(f.tb()->Handle(), GWL_STYLE) & TBS_ENABLESELRANGE);

  // Window ids follow the list; a control is found again from its window.
  EXPECT_EQ(f.Find<TPanel>("Panel1")->Id(), 100);
  EXPECT_EQ(f.memo()->Id(), 107);
  EXPECT_EQ(TControl::FromHandle(f.tb()->Handle()), f.tb());

  // Resizing the window keeps the panel on top at full width and the memo filling the rest.
  SetWindowPos(f.Handle(), nullptr, 0, 0, 800, 700, SWP_NOMOVE | SWP_NOZORDER);
  f.ClientSize(w, h);
  EXPECT_EQ(Bounds(f.Find<TPanel>("Panel1")).right, w);
  EXPECT_EQ(Bounds(f.memo()).bottom, h);
  EXPECT_EQ(Bounds(f.memo()).top, 145);
}

TEST_F(Forms, FontIsTahomaEightPoint) {
  TFormTest f;
  for (const char* name : {"btA", "Edit1", "Memo1", "lbStatus"}) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(f.Find<TControl>(name)->Handle(), WM_GETFONT, 0, 0));
    LOGFONTA lf{};
    ASSERT_TRUE(GetObjectA(font, sizeof lf, &lf)) << name;
    EXPECT_EQ(lf.lfHeight, -11) << name;
    EXPECT_STREQ(lf.lfFaceName, "Tahoma") << name;
  }
}

TEST_F(Forms, LabelsTakeTheSizeOfTheirText) {
  TFormTest f;
  TLabel* status = f.Find<TLabel>("lbStatus");
  const RECT r = Bounds(status);
  EXPECT_EQ(r.left, 16);
  EXPECT_EQ(r.top, 16);
  EXPECT_EQ(r.bottom - r.top, 13);
  EXPECT_GT(r.right - r.left, 60) << "the described width 10 would cut the text";
  TLabel* empty = f.Find<TLabel>("lbEmpty");
  EXPECT_EQ(Bounds(empty).right - Bounds(empty).left, 3);  // no text: the described size
  empty->SetCaption("100\xB5s");
  EXPECT_GT(Bounds(empty).right - Bounds(empty).left, 20);
  EXPECT_EQ(Bounds(empty).left, 172);
  EXPECT_EQ(empty->Caption(), "100\xB5s");
}

TEST_F(Forms, TabOrderAsGiven) {
  TFormTest f;
  std::vector<std::string> order;
  HWND first = GetNextDlgTabItem(f.Handle(), nullptr, FALSE);
  HWND w = first;
  do {
    order.push_back(TControl::FromHandle(w) ? TControl::FromHandle(w)->Name() : "?");
    w = GetNextDlgTabItem(f.Handle(), w, FALSE);
  } while (w && w != first && order.size() < 20);
  // btB is disabled and so skipped; the panel's controls come before the memo.
  EXPECT_EQ(order, (std::vector<std::string>{"btA", "Edit1", "tb", "Memo1"}));
}

TEST_F(Forms, BrokenDescriptionsAreRefused) {
  auto loadFails = [](TFormDesc d, const std::string& part) {
    try {
      TFormTest f(d);
      ADD_FAILURE() << "loaded: " << part;
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find(part), std::string::npos) << e.Message();
    }
  };
  TFormDesc d = Description();
  d.Controls[5].OnClick = "NoSuchHandler";
  loadFails(d, "NoSuchHandler");
  d = Description();
  d.Controls[1].Parent = "Memo1";
  loadFails(d, "Memo1");
  d = Description();
  d.Controls[2].Name = "lbStatus";
  loadFails(d, "lbStatus");
  TFormTest ok;
  EXPECT_THROW(ok.Find<TButton>("Memo1"), Exception);
  EXPECT_THROW(ok.Find<TButton>("nothing"), Exception);
}

TEST_F(Forms, TrackBarEvents) {
  TFormTest f;
  f.tb()->SetPosition(120);  // by code: no event
  EXPECT_TRUE(f.events.empty());
  for (WORD code : {TB_LINEUP, TB_LINEDOWN, TB_PAGEUP, TB_PAGEDOWN, TB_THUMBPOSITION, TB_THUMBTRACK, TB_TOP,
                    TB_BOTTOM, TB_ENDTRACK})
    f.SendScroll(code);
  EXPECT_EQ(f.events, std::vector<std::string>(8, "Change 120")) << "every code but TB_ENDTRACK";

  // A mouse release on the control fires OnChanged after the control's own handling, also when
  // the position stays; the other buttons count as well.
  f.events.clear();
  for (UINT m : {WM_LBUTTONUP, WM_RBUTTONUP, WM_MBUTTONUP}) SendMessageA(f.tb()->Handle(), m, 0, MAKELPARAM(1, 1));
  EXPECT_EQ(f.events, std::vector<std::string>(3, "Changed 120"));

  // Keyboard: OnChange only.
  f.events.clear();
  SendMessageA(f.tb()->Handle(), WM_KEYDOWN, VK_RIGHT, 0);
  SendMessageA(f.tb()->Handle(), WM_KEYUP, VK_RIGHT, 0);
  EXPECT_EQ(f.events, (std::vector<std::string>{"Change 121"}));
}

TEST_F(Forms, FaultInAHandlerArrivesAtHandleExceptionAndTheProgramGoesOn) {
  TFormTest f;
  f.onClick = [] { *g_null = 5; };
  f.SendCommand("btA");
  ASSERT_EQ(g_reported.size(), 1u);
  EXPECT_EQ(g_reported[0].sender, "btA");
  EXPECT_EQ(g_reported[0].cls, "EAccessViolation");
  const std::string& m = g_reported[0].message;
  EXPECT_EQ(m.rfind("Zugriffsverletzung bei Adresse $", 0), 0u) << m;
  EXPECT_NE(m.find(" in Modul 'platform_forms_test.exe'. Schreiben von Adresse $0"), std::string::npos) << m;

  // A C++ exception, then a normal click: the form keeps working.
  f.onClick = [] { StrToInt("x1"); };
  f.SendCommand("btA");
  f.onClick = nullptr;
  f.SendCommand("btA");
  ASSERT_EQ(g_reported.size(), 2u);
  EXPECT_EQ(g_reported[1].cls, "EConvertError");
  EXPECT_EQ(g_reported[1].message, "''x1'' ist kein g\xFCltiger Integer-Wert");
  EXPECT_EQ(f.events.back(), "Click btA");
  EXPECT_EQ(f.events.size(), 3u);
}

TEST_F(Forms, ExceptionFromTheControlsOwnWindowProcedure) {
  // OnChanged runs inside the track bar's subclassed procedure, not in the parent's.
  TFormTest f;
  f.onClick = [] { throw EDBEditError("falsch"); };
  SendMessageA(f.tb()->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(1, 1));
  ASSERT_EQ(g_reported.size(), 1u);
  EXPECT_EQ(g_reported[0].sender, "tb");
  EXPECT_EQ(g_reported[0].cls, "EDBEditError");
}

TEST_F(Forms, DefaultHandlingShowsAllButEAbort) {
  ApplicationHandleExceptionHook = nullptr;
  TFormTest f;
  f.onClick = [] { throw EAbort("still"); };
  f.SendCommand("btA");
  EXPECT_TRUE(g_shown.empty());
  f.onClick = [] { throw EConvertError("Text"); };
  f.SendCommand("btA");
  f.onClick = [] { throw EConvertError("Ende."); };
  f.SendCommand("btA");
  EXPECT_EQ(g_shown, (std::vector<std::string>{"Text.", "Ende."}));
}

TEST_F(Forms, MemoAppendsLinesWithoutLimit) {
  TFormTest f;
  TMemo* m = f.memo();
  m->AppendLine("one");
  m->AppendLine("");
  m->AppendLine("three");
  EXPECT_EQ(m->Text(), "one\r\n\r\nthree\r\n");
  EXPECT_EQ(m->Lines(), (std::vector<std::string>{"one", "", "three"}));
  // Text typed by the user without a final line break: the next line starts on a new line.
  m->SetText("typed");
  m->AppendLine("next");
  EXPECT_EQ(m->Text(), "typed\r\nnext");
  m->AppendLine("after");
  EXPECT_EQ(m->Lines(), (std::vector<std::string>{"typed", "next", "after"}));

  // Far beyond the edit control's default limit of 30000 characters, nothing is dropped.
  m->Clear();
  const std::string line(60, 'x');
  for (int i = 0; i < 2000; ++i) m->AppendLine(std::to_string(i) + line);
  const auto lines = m->Lines();
  ASSERT_EQ(lines.size(), 2000u);
  EXPECT_EQ(lines.back(), "1999" + line);
  EXPECT_EQ(m->LineCount(), 2000);
}

TEST_F(Forms, ClosingTheMainFormEndsTheLoop) {
  TFormTest f;
  Application->SetMainForm(&f);
  int closes = 0;
  f.OnClose = [&](TObject*, TCloseAction& a) {
    if (++closes == 1) a = caNone;  // refused once
  };
  SendMessageA(f.Handle(), WM_CLOSE, 0, 0);
  MSG m;
  EXPECT_FALSE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
  SendMessageA(f.Handle(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(closes, 2);
  EXPECT_FALSE(IsWindowVisible(f.Handle()));
}

}  // namespace

namespace {

// This test program links the same resource object as the product.
TEST(Resources, ManifestSelectsCommonControls6AndDpiAwareness) {
  HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(res, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(nullptr, res))),
                             SizeofResource(nullptr, res));
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(manifest.find("<dpiAware>true</dpiAware>"), std::string::npos);

  // The controls come from the side-by-side version 6 assembly (Wine's copy reports 5.x from
  // DllGetVersion, so the assembly path is what tells).
  Application->Initialize();
  char path[MAX_PATH] = {};
  GetModuleFileNameA(GetModuleHandleA("comctl32.dll"), path, MAX_PATH);
  std::string lower(path);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(lower.find("\\winsxs\\x86_microsoft.windows.common-controls_6595b64144ccf1df_6."), std::string::npos)
      << path;
}

TEST(Resources, VersionInformation) {
  HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
  ASSERT_NE(res, nullptr);
  const auto* block = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, res)));
  const DWORD size = SizeofResource(nullptr, res);
  // VS_VERSIONINFO: the fixed part follows the key "VS_VERSION_INFO" (UTF-16) on a 4-byte boundary.
  const DWORD signature = 0xFEEF04BD;
  bool found = false;
  for (DWORD i = 0; i + sizeof(VS_FIXEDFILEINFO) <= size; i += 4) {
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, block + i, sizeof fixed);
    if (fixed.dwSignature == signature) {
      found = true;
      EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
      EXPECT_EQ(fixed.dwFileVersionMS, fixed.dwProductVersionMS);
      break;
    }
  }
  EXPECT_TRUE(found);
  const std::string text(reinterpret_cast<const char*>(block), size);
  // "ProductName" is stored as UTF-16.
  const char wide[] = "P\0r\0o\0d\0u\0c\0t\0N\0a\0m\0e\0";
  EXPECT_NE(text.find(std::string(wide, sizeof wide - 1)), std::string::npos);
}

}  // namespace
