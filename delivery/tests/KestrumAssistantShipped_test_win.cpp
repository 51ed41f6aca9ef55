// The assistants as Kelvane.exe ships them: its form resources, built into assistant objects
// without showing them, and what the object interfaces answer.
#include <windows.h>

#include <gtest/gtest.h>

#include "delivery/KestrumAssistant_win.h"
#include "testing/Paths_win.h"

namespace {

class ShippedAssistant : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = LoadLibraryExA(testsupport::BesideThisProgram("Kelvane.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program_, nullptr);
    // The contact step reads the remembered data when it is created; none here.
    RegDeleteKeyA(HKEY_CURRENT_USER, delivery::kContactFormKey);
  }
  void TearDown() override {
    if (program_) FreeLibrary(program_);
  }
  HMODULE program_ = nullptr;
};

TEST_F(ShippedAssistant, FormsReadFromTheProgram) {
  INVAssistant* a = BuildAssistant(program_, "Send Assistant", {"ContactForm", "detailsform", "ScrShotForm"}, nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->GetFormCount(), 3);
  const struct {
    const char* name;
    std::vector<const char*> items;
    const char* message;
    int timer;
  } expected[] = {
      {"ContactForm",
       {"ContinueBtn", "SkipBtn", "CancelBtn", "Label1", "NameEdit", "Label2", "EmailEdit", "MemCheck"},
       "Contact Information",
       0},
      {"DetailsForm", {"ContinueBtn", "SkipBtn", "CancelBtn", "Label1", "DetailsMemo"}, "Error Details", 0},
      {"ScrShotForm", {"ContinueBtn", "SkipBtn", "CancelBtn", "AttachCheck", "ScrShotImg", "Label1"}, "Screenshot Configuration", 250},
  };
  for (int i = 0; i < 3; ++i) {
    INVForm* f = a->GetForm(i);
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(f->GetName(), expected[i].name);
    EXPECT_EQ(f->GetMessageText(), expected[i].message);
    EXPECT_EQ(f->GetTimer(), expected[i].timer);
    EXPECT_EQ(f->GetTitle(), "Send Assistant");
    ASSERT_EQ(f->GetItemCount(), static_cast<int>(expected[i].items.size()));
    for (std::size_t j = 0; j < expected[i].items.size(); ++j) EXPECT_EQ(f->GetItem(static_cast<int>(j))->GetName(), expected[i].items[j]);
    EXPECT_EQ(f->GetAssistant(), a);
  }
  INVForm* contact = a->GetFormByName("CONTACTFORM");
  ASSERT_EQ(contact, a->GetForm(0)) << "forms are found without regard to case";
  EXPECT_EQ(contact->GetOnAction(), &HandleContactForm);
  EXPECT_EQ(a->GetForm(1)->GetOnAction(), nullptr);
  EXPECT_EQ(a->GetForm(2)->GetOnAction(), &HandleScreenshotForm);
  EXPECT_EQ(a->GetForm(3), nullptr);
  EXPECT_EQ(a->GetForm(-1), nullptr);

  // Lookups by name are exact and of one kind.
  EXPECT_NE(contact->FindEdit("EmailEdit"), nullptr);
  EXPECT_EQ(contact->FindEdit("emailedit"), nullptr);
  EXPECT_EQ(contact->FindLabel("EmailEdit"), nullptr);
  EXPECT_EQ(contact->FindCheckBox("MemCheck")->GetCaption(), "remember me");
  EXPECT_EQ(contact->GetContinueBtn()->GetCaption(), "Continue");
  EXPECT_FALSE(contact->GetSkipBtn()->GetEnabled());

  // Typing into the address field (here without a window) follows the contact handler's check.
  INVEdit* email = contact->FindEdit("EmailEdit");
  email->SetText("someone@example");
  EXPECT_FALSE(email->GetValid());
  email->SetText("someone@example.com");
  EXPECT_TRUE(email->GetValid());

  // Items keep the assistant alive; the title goes to every form.
  INVItem* held = contact->GetItem(4);
  held->AddRef();
  a->SetTitle("Other");
  EXPECT_EQ(a->GetForm(2)->GetTitle(), "Other");
  a->Release();
  EXPECT_EQ(held->GetName(), "NameEdit");
  held->Release();
}

TEST_F(ShippedAssistant, MissingFormHasTheThreeButtonsAndSkippedFormsReturnAtOnce) {
  INVAssistant* a = BuildAssistant(program_, "T", {"NoSuchForm", "DetailsForm"}, nullptr);
  ASSERT_NE(a, nullptr);
  INVForm* missing = a->GetForm(0);
  EXPECT_EQ(missing->GetName(), "NoSuchForm");
  ASSERT_EQ(missing->GetItemCount(), 3);
  EXPECT_EQ(missing->GetContinueBtn()->GetCaption(), "Next >");
  missing->Skip();
  a->GetForm(1)->Skip();
  EXPECT_EQ(a->ShowModal(nullptr), nvmOk);
  EXPECT_EQ(missing->GetModalResult(), nvmSkip);
  EXPECT_TRUE(delivery::FinishedForms(a).size() == 2 && !delivery::FinishedForms(a)[0].closedWithOk);
  a->Release();
}

TEST_F(ShippedAssistant, PicturesNamedByTheFormAreLoaded) {
  TINVBitmap* picture = TINVBitmap::Create(40, 30);
  ASSERT_NE(picture, nullptr);
  const std::string folder = testsupport::BesideThisProgram("");
  ASSERT_TRUE(picture->SaveBmp(folder + "assistant-picture.bmp"));
  picture->Release();
  ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
  INVAssistant* a = BuildAssistant(GetModuleHandleA(nullptr), "T", {"PictureForm"}, nullptr);
  ASSERT_NE(a, nullptr);
  INVForm* f = a->GetForm(0);
  ASSERT_NE(f->FindImage("Shown"), nullptr);
  INVBitmap* shown = f->FindImage("Shown")->GetBitmap();
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->GetWidth(), 40);
  EXPECT_EQ(shown->GetHeight(), 30);
  EXPECT_EQ(f->FindImage("Missing")->GetBitmap(), nullptr);
  a->Release();
  DeleteFileA((folder + "assistant-picture.bmp").c_str());
}

void OwnHandler(INVForm*, TNVAction, INVItem*, kestrum::IZQException*) {}

TEST(AssistantHandlers, NamesResolveThroughTheTable) {
  EXPECT_EQ(delivery::FindAssistantHandler("KESTRUM.handleContactForm"), &HandleContactForm);
  EXPECT_EQ(delivery::FindAssistantHandler("Kestrum.HandleScreenshotForm"), &HandleScreenshotForm);
  EXPECT_EQ(delivery::FindAssistantHandler("uMain.OnStep"), nullptr) << "unknown: the form runs without a handler";
  EXPECT_EQ(delivery::FindAssistantHandler(""), nullptr);
  delivery::RegisterAssistantHandler("uMain.OnStep", &OwnHandler);
  EXPECT_EQ(delivery::FindAssistantHandler("umain.onstep"), &OwnHandler);
  EXPECT_EQ(delivery::FindAssistantHandler("OnStep"), nullptr) << "a routine is known by the name it was registered under";
}

}  // namespace
