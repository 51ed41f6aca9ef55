#include "delivery/KestrumAssistantForm.h"
#include "delivery/KestrumAssistantRules.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <fstream>
#include <sstream>

namespace delivery {
namespace {

std::string ReadSourceFile(const std::string& relative) {
  const char* root = std::getenv("KELVANE_SOURCE_DIR");
  std::ifstream in(std::string(root ? root : ".") + "/" + relative, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

FormDescription ShippedForm(const std::string& name) {
  const std::string text = ReadSourceFile("delivery/forms/" + name + ".form");
  EXPECT_FALSE(text.empty()) << name;
  const std::vector<std::uint8_t> bytes = WriteFormStream(ParseFormText(text));
  const FormRead r = ReadFormResource(bytes.data(), bytes.size());
  EXPECT_FALSE(r.damaged);
  EXPECT_EQ(r.invalidType, -1);
  return r.form;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<std::uint8_t> out;
  for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

void AppendShort(std::vector<std::uint8_t>& out, const std::string& s) {
  out.push_back(static_cast<std::uint8_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

// --- Reading form resources.

TEST(AssistantFormResource, ShippedFormsRoundTripThroughTheStream) {
  for (const char* name : {"ContactForm", "DetailsForm", "ScrShotForm"}) {
    SCOPED_TRACE(name);
    const FormObject tree = ParseFormText(ReadSourceFile(std::string("delivery/forms/") + name + ".form"));
    const std::vector<std::uint8_t> bytes = WriteFormStream(tree);
    const FormStream back = ParseFormStream(bytes.data(), bytes.size());
    ASSERT_TRUE(back.signatureOk);
    EXPECT_FALSE(back.damaged);
    EXPECT_EQ(back.root, tree);
    EXPECT_EQ(InterpretFormObject(back.root), InterpretFormObject(tree));
  }
}

TEST(AssistantFormResource, ShippedContactFormItems) {
  const FormDescription f = ShippedForm("ContactForm");
  EXPECT_EQ(f.name, "ContactForm");
  EXPECT_EQ(f.message, "Contact Information");
  EXPECT_EQ(f.onAction, "Kestrum.HandleContactForm");
  EXPECT_EQ(f.timer, 0);
  ASSERT_EQ(f.items.size(), 8u);
  const struct {
    const char* name;
    FormItemKind kind;
    const char* caption;
    bool enabled;
  } expected[] = {
      {"ContinueBtn", FormItemKind::button, "Continue", true}, {"SkipBtn", FormItemKind::button, "Skip", false},
      {"CancelBtn", FormItemKind::button, "Cancel", true},     {"Label1", FormItemKind::label, "your name:", true},
      {"NameEdit", FormItemKind::edit, "", true},              {"Label2", FormItemKind::label, "your email:", true},
      {"EmailEdit", FormItemKind::edit, "", true},             {"MemCheck", FormItemKind::checkBox, "remember me", true},
  };
  for (std::size_t i = 0; i < f.items.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(f.items[i].name, expected[i].name);
    EXPECT_EQ(f.items[i].kind, expected[i].kind);
    EXPECT_EQ(f.items[i].caption, expected[i].caption);
    EXPECT_EQ(f.items[i].enabled, expected[i].enabled);
  }
  EXPECT_TRUE(f.items[4].optional);
  EXPECT_FALSE(f.items[6].optional);
  EXPECT_EQ(f.items[4].outputName, "contact name");
  EXPECT_EQ(f.items[6].outputName, "contact email");
  EXPECT_EQ(f.items[6].outputType, otHeader);
  EXPECT_FALSE(f.items[7].checked);

  const FormDescription d = ShippedForm("DetailsForm");
  ASSERT_EQ(d.items.size(), 5u);
  EXPECT_TRUE(d.items[kSkipBtn].enabled);
  EXPECT_EQ(d.items[4].lines, 9);
  EXPECT_EQ(d.items[4].outputType, otOwnSection);
  EXPECT_EQ(d.items[4].outputName, "error details");
  EXPECT_TRUE(d.onAction.empty());

  const FormDescription s = ShippedForm("ScrShotForm");
  EXPECT_EQ(s.activeControl, "ContinueBtn");
  EXPECT_EQ(s.timer, 250);
  ASSERT_EQ(s.items.size(), 6u);
  EXPECT_TRUE(s.items[3].checked);
  EXPECT_EQ(s.items[4].kind, FormItemKind::image);
  EXPECT_TRUE(s.items[4].clickable && s.items[4].border);
}

TEST(AssistantFormResource, PropertyAndClassRules) {
  const FormObject tree = ParseFormText(R"(
object MyForm: TZQMyForm
  Message = 'Hello'
  Timer = 100
  object AbortBtn: INVButton
    Caption = 'Stop'
    Visible = False
  end
  object Extra: XNVButton
    Caption = 'More'
    MinWidth = 90
  end
  object Memo: TNVEdit
    Text = 'one%LF%two%lf%'
    Lines = 3
    OutputType = 'my OWNSECTION please'
    Optional = 'yes'
    Colored = 'no'
    Valid = 0
  end
  object Line: TNVEdit
    OutputType = nvoOwnSection
  end
  object Check: TNVCheckBox
    Text = 'via Text'
    Checked = 'TRUE'
  end
  object Img: TNVImage
    Width = 99999
    Height = -5
  end
  object Other: TZQSecondForm
    MinWidth = 400
  end
  object Odd: TNVLabel
    Caption = 'x'
    Lines = 'not a number'
    Spacing = 'abc'
  end
end
)");
  const std::vector<std::uint8_t> bytes = WriteFormStream(tree);
  const FormRead r = ReadFormResource(bytes.data(), bytes.size());
  const FormDescription& f = r.form;
  EXPECT_EQ(f.name, "MyForm") << "the first non-item object names the form; later ones only add properties";
  EXPECT_EQ(f.minWidth, 400);
  EXPECT_EQ(f.timer, 100);
  ASSERT_EQ(f.items.size(), 9u);
  EXPECT_EQ(f.items[kCancelBtn].caption, "Stop") << "AbortBtn configures CancelBtn";
  EXPECT_FALSE(f.items[kCancelBtn].visible);
  EXPECT_EQ(f.items[kContinueBtn].caption, "Next >");
  EXPECT_EQ(f.items[3].name, "Extra");
  EXPECT_EQ(f.items[3].kind, FormItemKind::button) << "any first letter names the class";
  EXPECT_EQ(f.items[3].minWidth, 90);
  EXPECT_EQ(f.items[4].text, "one\r\ntwo\r\n");
  EXPECT_EQ(f.items[4].outputType, otOwnSection);
  EXPECT_TRUE(f.items[4].optional);
  EXPECT_FALSE(f.items[4].colored);
  EXPECT_FALSE(f.items[4].valid);
  EXPECT_EQ(f.items[5].outputType, otHeader) << "a one-line edit keeps its output in the header";
  EXPECT_EQ(f.items[6].caption, "via Text");
  EXPECT_TRUE(f.items[6].checked);
  EXPECT_EQ(f.items[7].width, 4096) << "sizes are clamped";
  EXPECT_EQ(f.items[7].height, 0);
  EXPECT_EQ(f.items[8].spacing, 0);
}

TEST(AssistantFormResource, NotAFormStreamGivesTheThreeButtons) {
  for (const std::vector<std::uint8_t>& bytes : {Bytes({}), Bytes({'T', 'P', 'F'}), Bytes({'T', 'P', 'F', '1', 3, 'a', 'b', 'c'})}) {
    const FormRead r = ReadFormResource(bytes.data(), bytes.size());
    EXPECT_FALSE(r.damaged);
    EXPECT_EQ(r.form, DefaultFormDescription());
  }
  EXPECT_EQ(ReadFormResource(nullptr, 10).form.items.size(), 3u);
}

TEST(AssistantFormResource, UnknownValueTypeKeepsWhatWasRead) {
  std::vector<std::uint8_t> b = Bytes({'T', 'P', 'F', '0'});
  AppendShort(b, "TZQF");
  AppendShort(b, "F");
  AppendShort(b, "Message");
  b.push_back(6);
  AppendShort(b, "hi");
  b.push_back(0);  // end of properties
  AppendShort(b, "TNVLabel");
  AppendShort(b, "L1");
  AppendShort(b, "Caption");
  b.push_back(6);
  AppendShort(b, "first");
  AppendShort(b, "Spacing");
  b.push_back(0x5d);  // unknown type
  b.insert(b.end(), {1, 2, 3});
  const FormRead r = ReadFormResource(b.data(), b.size());
  EXPECT_EQ(r.invalidType, 0x5d);
  EXPECT_FALSE(r.damaged);
  EXPECT_EQ(r.form.message, "hi");
  ASSERT_EQ(r.form.items.size(), 4u);
  EXPECT_EQ(r.form.items[3].caption, "first");
  EXPECT_EQ(InvalidAssistantResourceMessage(0x5d), "Internal error: Invalid assistant resource ($5d).");
}

TEST(AssistantFormResource, DamagedStreamsAreRefusedNeverOverread) {
  const std::vector<std::uint8_t> good = WriteFormStream(ParseFormText(ReadSourceFile("delivery/forms/ScrShotForm.form")));
  // Every cut of a good stream is damaged, read from an exact-size copy so that the address
  // sanitizer sees any read past the end.
  for (std::size_t n = 5; n < good.size(); ++n) {
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    const FormRead r = ReadFormResource(cut.data(), cut.size());
    EXPECT_TRUE(r.damaged) << "cut at " << n;
  }
  EXPECT_FALSE(ReadFormResource(good.data(), good.size()).damaged);

  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Case> cases;
  {
    std::vector<std::uint8_t> b = Bytes({'T', 'P', 'F', '0', 1, 'F', 1, 'F', 1, 'M', 12, 0xff, 0xff, 0xff, 0xff, 'x', 0, 0});
    cases.push_back({"long string length beyond the data", b});
  }
  {
    std::vector<std::uint8_t> b = Bytes({'T', 'P', 'F', '0'});
    for (int i = 0; i <= kMaxFormDepth + 1; ++i) b.insert(b.end(), {1, 'X', 1, 'n', 0});
    for (int i = 0; i <= kMaxFormDepth + 1; ++i) b.push_back(0);
    cases.push_back({"nested deeper than the limit", b});
  }
  {
    std::vector<std::uint8_t> b = Bytes({'T', 'P', 'F', '0', 1, 'F', 1, 'F', 0});
    for (std::size_t i = 0; i < kMaxFormObjects; ++i) b.insert(b.end(), {8, 'T', 'N', 'V', 'L', 'a', 'b', 'e', 'l', 1, 'l', 0, 0});
    b.push_back(0);
    cases.push_back({"more objects than the limit", b});
  }
  cases.push_back({"no end marks", Bytes({'T', 'P', 'F', '0', 1, 'F', 1, 'F'})});
  cases.push_back({"signature only", Bytes({'T', 'P', 'F', '0'})});
  // What was read of a refused stream never holds more than the limits allow.
  std::function<std::size_t(const FormObject&, int, int&)> count = [&](const FormObject& o, int depth, int& deepest) {
    deepest = std::max(deepest, depth);
    std::size_t n = 1;
    for (const FormObject& child : o.children) n += count(child, depth + 1, deepest);
    return n;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FormRead r = ReadFormResource(c.bytes.data(), c.bytes.size());
    EXPECT_TRUE(r.damaged);
    EXPECT_GE(r.form.items.size(), 3u);
    const FormStream s = ParseFormStream(c.bytes.data(), c.bytes.size());
    int deepest = 0;
    EXPECT_LE(count(s.root, 0, deepest), kMaxFormObjects);
    EXPECT_LE(deepest, kMaxFormDepth);
  }

  // Exactly at the limits is still a form.
  std::vector<std::uint8_t> b = Bytes({'T', 'P', 'F', '0'});
  for (int i = 0; i <= kMaxFormDepth; ++i) b.insert(b.end(), {1, 'X', 1, 'n', 0});
  for (int i = 0; i <= kMaxFormDepth; ++i) b.push_back(0);
  EXPECT_FALSE(ReadFormResource(b.data(), b.size()).damaged);
}

TEST(AssistantFormText, ErrorsNameTheLine) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"object A: B\n  X = 'open\nend\n", "line 2"},
      {"object A: B\n  X = 1 2\nend\n", "line 2"},
      {"object A: B\n  X = 99999999999\nend\n", "line 2"},
      {"object A: B\nend\nobject C: D\nend\n", "line 3"},
      {"object A: B\n", "object without end"},
      {"end\n", "line 1"},
      {"  X = 1\n", "line 1"},
      {"object A B\nend\n", "line 1"},
      {"object A: B\n  object C: D\n  end\n  X = 1\nend\n", "line 4"},
      {"# only a comment\n", "no object"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      ParseFormText(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  const FormObject quoted = ParseFormText("object A: B\n  T = 'it''s ''quoted'''\n  L = -200\n  I = nvoHeader\nend\n");
  ASSERT_EQ(quoted.properties.size(), 3u);
  EXPECT_EQ(quoted.properties[0].text, "it's 'quoted'");
  EXPECT_EQ(quoted.properties[1].text, "-200");
  EXPECT_EQ(quoted.properties[2].kind, FormValueKind::identifier);

  FormObject longText;
  longText.className = "TX";
  longText.name = "x";
  longText.properties.push_back({"Caption", FormValueKind::string, std::string(300, 'c')});
  longText.properties.push_back({"Big", FormValueKind::integer, "-2000000"});
  const std::vector<std::uint8_t> bytes = WriteFormStream(longText);
  EXPECT_EQ(ParseFormStream(bytes.data(), bytes.size()).root, longText) << "long strings and 32-bit integers";
  longText.name = std::string(256, 'n');
  EXPECT_THROW(WriteFormStream(longText), std::invalid_argument);
}

TEST(AssistantFormText, BooleanAndNumberTexts) {
  for (const char* t : {"yes", "YES", "true", "True", "1"}) EXPECT_TRUE(FormBool(t)) << t;
  for (const char* t : {"", "0", "no", "on", "2", "yes "}) EXPECT_FALSE(FormBool(t)) << t;
  const struct {
    const char* text;
    int value;
  } numbers[] = {{"12", 12}, {"-3", 0}, {"+7", 7}, {"", 0}, {"1x", 0}, {"99999999999999999999", 50}, {"40", 40}};
  for (const auto& n : numbers) EXPECT_EQ(FormNumber(n.text, 0, 50), n.value) << n.text;
}

// --- Layout.

// Fixed-width fake text: items 6 pixels a character, 13 high; buttons 8 and 17; heading 9 and 17.
// factor scales everything, as a font at a higher DPI would.
class FakeMetrics : public AssistantMetrics {
 public:
  explicit FakeMetrics(int factor = 1) : f_(factor) {}
  int TextWidth(AssistantFont font, std::string_view text) const override {
    const int per = font == AssistantFont::items ? 6 : font == AssistantFont::buttons ? 8 : 9;
    return static_cast<int>(text.size()) * per * f_;
  }
  int LineHeight(AssistantFont font) const override { return (font == AssistantFont::items ? 13 : 17) * f_; }
  int WrappedHeight(AssistantFont, std::string_view text, int width, bool& oneLine) const override {
    const int perLine = std::max(width / (6 * f_), 1);
    const int lines = std::max(static_cast<int>((text.size() + perLine - 1) / perLine), 1);
    oneLine = lines == 1;
    return lines * 13 * f_;
  }
  int CheckMarkWidth() const override { return 13 * f_; }
  int ScreenHeight() const override { return 768 * f_; }

 private:
  int f_;
};

TEST(AssistantLayout, ShippedFormsAt96Dpi) {
  struct Case {
    const char* form;
    std::pair<int, int> bitmap;
    int width, height;
    std::vector<LayoutRect> rects;
  } cases[] = {
      {"ContactForm", {0, 0}, 315, 206,
       {{8, 165, 85, 32}, {101, 165, 85, 32}, {222, 165, 85, 32}, {21, 38, 269, 13}, {21, 57, 269, 15}, {21, 82, 269, 13},
        {21, 101, 269, 15}, {21, 128, 87, 13}}},
      {"DetailsForm", {0, 0}, 315, 241,
       {{8, 200, 85, 32}, {101, 200, 85, 32}, {222, 200, 85, 32}, {21, 38, 269, 13}, {21, 57, 269, 119}}},
      // A 1024 x 768 screenshot is scaled to the form's width; frame 6 (clickable) + 2 (border).
      {"ScrShotForm", {1024, 768}, 315, 361,
       {{8, 320, 85, 32}, {101, 320, 85, 32}, {222, 320, 85, 32}, {21, 40, 243, 13}, {21, 65, 273, 206}, {21, 281, 269, 13}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
    const FormDescription form = ShippedForm(c.form);
    std::vector<std::pair<int, int>> bitmaps(form.items.size(), c.bitmap);
    const AssistantLayout l = LayOutForm(form, 3, FakeMetrics(), 96, bitmaps);
    EXPECT_EQ(l.clientWidth, c.width);
    EXPECT_EQ(l.clientHeight, c.height);
    ASSERT_EQ(l.items.size(), c.rects.size());
    for (std::size_t i = 0; i < c.rects.size(); ++i) EXPECT_EQ(l.items[i], c.rects[i]) << form.items[i].name;
  }
  const FormDescription shot = ShippedForm("ScrShotForm");
  const AssistantLayout l = LayOutForm(shot, 3, FakeMetrics(), 96, std::vector<std::pair<int, int>>(6, {1024, 768}));
  EXPECT_EQ(l.imageContent[4], (LayoutRect{25, 69, 265, 198}));
}

TEST(AssistantLayout, ScaledDpiScalesEveryDistance) {
  for (const char* name : {"ContactForm", "DetailsForm", "ScrShotForm"}) {
    SCOPED_TRACE(name);
    const FormDescription form = ShippedForm(name);
    const AssistantLayout base = LayOutForm(form, 3, FakeMetrics(1), 96, std::vector<std::pair<int, int>>(form.items.size(), {640, 900}));
    const AssistantLayout twice =
        LayOutForm(form, 3, FakeMetrics(2), 192, std::vector<std::pair<int, int>>(form.items.size(), {1280, 1800}));
    EXPECT_EQ(twice.clientWidth, 2 * base.clientWidth);
    EXPECT_EQ(twice.clientHeight, 2 * base.clientHeight);
    for (std::size_t i = 0; i < base.items.size(); ++i) {
      const LayoutRect& a = base.items[i];
      EXPECT_EQ(twice.items[i], (LayoutRect{2 * a.left, 2 * a.top, 2 * a.width, 2 * a.height})) << form.items[i].name;
    }
  }
  EXPECT_EQ(ScaleToDpi(315, 120), 394);
  EXPECT_EQ(ScaleToDpi(21, 144), 32);
  EXPECT_EQ(ScaleToDpi(21, 0), 21);
}

TEST(AssistantLayout, ButtonRowsAndWidths) {
  FormDescription f = DefaultFormDescription();
  // System-drawn Continue and Cancel without Skip: Cancel at the right, Continue left of it.
  f.items[kContinueBtn].noOwnerDraw = f.items[kCancelBtn].noOwnerDraw = true;
  f.items[kSkipBtn].visible = false;
  AssistantLayout l = LayOutForm(f, 1, FakeMetrics(), 96);
  EXPECT_EQ(l.clientWidth, 315);
  EXPECT_EQ(l.clientHeight, 23 + 40 + 33);
  EXPECT_EQ(l.items[kCancelBtn], (LayoutRect{232, 64, 75, 23}));
  EXPECT_EQ(l.items[kContinueBtn], (LayoutRect{149, 64, 75, 23}));
  EXPECT_EQ(l.items[kSkipBtn].width, 0);

  // Long captions widen the form; the heading and step marker too; MinWidth is a floor.
  f = DefaultFormDescription();
  f.items[kContinueBtn].caption = std::string(30, 'c');  // 240 + 20
  l = LayOutForm(f, 1, FakeMetrics(), 96);
  EXPECT_EQ(l.items[kContinueBtn].width, 260);
  EXPECT_EQ(l.clientWidth, 260 + 85 + 85 + 32);
  EXPECT_EQ(l.items[kCancelBtn].left, l.clientWidth - 8 - 85);
  f = DefaultFormDescription();
  f.message = std::string(40, 'm');
  EXPECT_EQ(LayOutForm(f, 5, FakeMetrics(), 96).clientWidth, 360 + 95 + 36);
  f.minWidth = 600;
  EXPECT_EQ(LayOutForm(f, 5, FakeMetrics(), 96).clientWidth, 600);

  // Extra buttons, spacing, a wrapped label (no heading gap) and a tall image limited by the screen.
  f = DefaultFormDescription();
  FormItem extra;
  extra.kind = FormItemKind::button;
  extra.caption = "Go";
  extra.spacing = 20;
  FormItem label;
  label.kind = FormItemKind::label;
  label.caption = std::string(50, 'w') + ":";
  FormItem image;
  image.kind = FormItemKind::image;
  f.items = {f.items[0], f.items[1], f.items[2], extra, label, image};
  l = LayOutForm(f, 1, FakeMetrics(), 96, {{}, {}, {}, {}, {}, {100, 2000}});
  EXPECT_EQ(l.items[3], (LayoutRect{21, 40, 70, 23}));
  EXPECT_EQ(l.items[4], (LayoutRect{21, 81, 269, 26}));
  EXPECT_EQ(l.items[5], (LayoutRect{21, 121, 12, 256}));
  EXPECT_EQ(l.clientHeight, 32 + 121 + 256 + 33);
}

// --- Rules.

TEST(AssistantRules, ContinueRule) {
  auto edit = [](const char* text, bool optional, bool valid) {
    FormItem e;
    e.kind = FormItemKind::edit;
    e.text = text;
    e.optional = optional;
    e.valid = valid;
    return e;
  };
  const struct {
    const char* name;
    std::vector<FormItem> own;
    bool allowed;
  } cases[] = {
      {"no items", {}, true},
      {"required and empty", {edit("", false, true)}, false},
      {"required, text, valid", {edit("x", false, true)}, true},
      {"required, text, invalid", {edit("x", false, false)}, false},
      {"optional and empty", {edit("", true, true)}, true},
      {"optional and invalid", {edit("x", true, false)}, true},
      {"one of two refuses", {edit("a", false, true), edit("", false, true)}, false},
  };
  for (const auto& c : cases) {
    std::vector<FormItem> items = DefaultFormDescription().items;
    items.insert(items.end(), c.own.begin(), c.own.end());
    EXPECT_EQ(ContinueAllowed(items), c.allowed) << c.name;
  }
  // Items in the button places never refuse.
  std::vector<FormItem> buttonsOnly = {edit("", false, false), edit("", false, false), edit("", false, false)};
  EXPECT_TRUE(ContinueAllowed(buttonsOnly));
}

TEST(AssistantRules, MailAddresses) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"user@example.com", true},
      {"first.last@mail.example.org", true},
      {"user+tag@example.com", true},
      {"o'brien@example.ie", true},
      {"a_b-c@d-e.f", true},
      {"", false},
      {"a@b@example.com", false},
      {"@example.com", false},
      {".user@example.com", false},
      {"user@example.com.", false},
      {"user@.example.com", false},
      {"user@examplecom", false},
      {"user.name@localhost", false},
      {"user@", false},
      {" user@example.com", false},
      {"user@example.com ", false},
      {"us er@example.com", false},
      {"user(at)example.com", false},
      {"user@exa<mple.com", false},
      {"@.", false},
      {"j\xf6rg@example.com", false},
  };
  for (const auto& c : cases) EXPECT_EQ(ValidMailAddress(c.text), c.valid) << c.text;
}

TEST(AssistantRules, SenderOnlyWithNameAndValidAddress) {
  const struct {
    const char* name;
    const char* address;
    const char* from;  // nullptr: unchanged
  } cases[] = {
      {"Ann Smith", "ann@example.com", "Ann Smith <ann@example.com>"},
      {"Ann", "", nullptr},
      {"", "ann@example.com", nullptr},
      {"Ann", "ann@", nullptr},
      {"Ann\r\nBcc: x@y.z", "ann@example.com", "Ann  Bcc: x@y.z <ann@example.com>"},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> from = ContactMailFrom(c.name, c.address);
    if (c.from) {
      ASSERT_TRUE(from) << c.name;
      EXPECT_EQ(*from, c.from);
    } else {
      EXPECT_FALSE(from) << c.name << " / " << c.address;
    }
  }
}

TEST(AssistantRules, OutputsOfFormsClosedWithOk) {
  FinishedForm contact{true, ShippedForm("ContactForm").items};
  contact.items[4].text = "Ann";
  contact.items[6].text = "ann@example.com";
  contact.items[7].outputName = "remember";
  contact.items[7].checked = true;
  FinishedForm details{true, ShippedForm("DetailsForm").items};
  details.items[4].text = "line 1\r\nline 2";
  FinishedForm skipped{false, ShippedForm("DetailsForm").items};
  skipped.items[4].text = "not used";
  FinishedForm emptyText{true, ShippedForm("DetailsForm").items};
  FinishedForm oneLine{true, ShippedForm("DetailsForm").items};
  oneLine.items[4].lines = 1;
  oneLine.items[4].text = "short";

  const std::vector<AssistantOutput> expected = {
      {false, "contact name", "Ann"},
      {false, "contact email", "ann@example.com"},
      {false, "remember", "yes"},
      {true, "error details", "line 1\r\nline 2"},
      {false, "error details", "short"},
  };
  EXPECT_EQ(AssistantOutputs({contact, details, skipped, emptyText, oneLine}), expected);
}

}  // namespace
}  // namespace delivery
