// The fields list behind its shared interface: identities, references, and parents that go away.
#include <windows.h>

#include <gtest/gtest.h>

#include "report/KestrumFields_win.h"

namespace report {
namespace {

class Parent : public FieldListOwner {
 public:
  void BeginUpdate() override { ++open; }
  void EndUpdate() override { --open; }
  void Modified(const FieldList& list) override {
    ++modified;
    last = list.AddFieldsText();
  }
  int open = 0, modified = 0;
  std::string last;
};

TEST(TIZQFields, InterfacesReferencesAndParents) {
  Parent exception, settings;
  auto* fields = new TIZQFields(&exception, &settings);
  IZQFieldsEx* ex = nullptr;
  ASSERT_EQ(fields->QueryInterface(IID_IZQFieldsEx, reinterpret_cast<void**>(&ex)), S_OK);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(ex->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(unknown, static_cast<IUnknown*>(static_cast<IZQFields*>(fields))) << "one identity";
  unknown->Release();
  void* none = reinterpret_cast<void*>(1);
  const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(fields->QueryInterface(other, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  ex->AcceptData();
  fields->Lock();
  fields->Add("Ticket", "123");
  fields->Add("Customer", "ACME");
  EXPECT_EQ(exception.open, 1) << "one update across the locked burst";
  fields->Unlock();
  EXPECT_EQ(exception.open, 0);
  EXPECT_EQ(exception.modified, 2);
  EXPECT_EQ(settings.last, "Ticket=123|Customer=ACME");
  EXPECT_EQ(settings.open, 0) << "the settings object stores on every change, it opens no updates";

  IZQFields* copy = fields->Clone();
  EXPECT_EQ(copy->GetItemCount(), 2);
  copy->Add("more", "1");
  EXPECT_EQ(exception.modified, 2) << "a clone has no parents";
  copy->Release();

  ex->ClearExcParent();
  ex->ClearMesParent();
  fields->DeleteAt(0);
  EXPECT_EQ(exception.modified, 2);
  EXPECT_EQ(settings.last, "Ticket=123|Customer=ACME");
  EXPECT_EQ(fields->GetItem(0), "Customer");
  EXPECT_EQ(ex->Release(), 1u);
  EXPECT_EQ(fields->Release(), 0u);
}

}  // namespace
}  // namespace report
