// The fields list as the component's modules share it: a reference-counted interface over
// FieldList. An exception object holds two (header fields and sections); a settings object holds
// one for its additional fields. Both tell the list when they go (ClearExcParent, ClearMesParent).
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "report/KestrumFields.h"

#include <string>

namespace report {

extern const GUID IID_IZQFields;    // {AF0EA7A7-2B36-46FD-BF2E-245ABA2740E2}
extern const GUID IID_IZQFieldsEx;  // {D9EED670-C965-403D-92E0-BF11D854911D}

struct IZQFields : public IUnknown {
  virtual void STDMETHODCALLTYPE Lock() = 0;
  virtual void STDMETHODCALLTYPE Unlock() = 0;
  virtual int STDMETHODCALLTYPE GetItemCount() = 0;
  virtual std::string STDMETHODCALLTYPE GetItem(int index) = 0;
  virtual void STDMETHODCALLTYPE SetItem(int index, const std::string& value) = 0;
  virtual int STDMETHODCALLTYPE FindItem(const std::string& item) = 0;
  virtual std::string STDMETHODCALLTYPE GetContent(const std::string& item) = 0;
  virtual void STDMETHODCALLTYPE SetContent(const std::string& item, const std::string& value) = 0;
  virtual void STDMETHODCALLTYPE Add(const std::string& item, const std::string& content) = 0;
  virtual void STDMETHODCALLTYPE Insert(int index, const std::string& item, const std::string& content) = 0;
  virtual void STDMETHODCALLTYPE DeleteAt(int index) = 0;
  virtual void STDMETHODCALLTYPE Delete(const std::string& item) = 0;
  // A new list that accepts data, without parents, with the same items. The caller owns one reference.
  virtual IZQFields* STDMETHODCALLTYPE Clone() = 0;
};

struct IZQFieldsEx : public IUnknown {
  virtual void STDMETHODCALLTYPE ClearExcParent() = 0;
  virtual void STDMETHODCALLTYPE ClearMesParent() = 0;
  virtual void STDMETHODCALLTYPE SetAddIndex(int addIndex) = 0;
  virtual void STDMETHODCALLTYPE AcceptData() = 0;
};

}  // namespace report

// Global name: the class name shows at run time. Created with one reference.
class TIZQFields : public report::IZQFields, public report::IZQFieldsEx, private report::FieldListOwner {
 public:
  // excParent: the exception object's updates and change notice; mesParent: the settings object,
  // which stores the items as its additional fields. Either may be null.
  TIZQFields(report::FieldListOwner* excParent, report::FieldListOwner* mesParent);
  TIZQFields(const TIZQFields&) = delete;
  TIZQFields& operator=(const TIZQFields&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  void STDMETHODCALLTYPE Lock() override { list_.Lock(); }
  void STDMETHODCALLTYPE Unlock() override { list_.Unlock(); }
  int STDMETHODCALLTYPE GetItemCount() override { return list_.Count(); }
  std::string STDMETHODCALLTYPE GetItem(int index) override { return list_.Name(index); }
  void STDMETHODCALLTYPE SetItem(int index, const std::string& value) override { list_.SetName(index, value); }
  int STDMETHODCALLTYPE FindItem(const std::string& item) override { return list_.Find(item); }
  std::string STDMETHODCALLTYPE GetContent(const std::string& item) override { return list_.Content(item); }
  void STDMETHODCALLTYPE SetContent(const std::string& item, const std::string& value) override { list_.SetContent(item, value); }
  void STDMETHODCALLTYPE Add(const std::string& item, const std::string& content) override { list_.Add(item, content); }
  void STDMETHODCALLTYPE Insert(int index, const std::string& item, const std::string& content) override {
    list_.Insert(index, item, content);
  }
  void STDMETHODCALLTYPE DeleteAt(int index) override { list_.Delete(index); }
  void STDMETHODCALLTYPE Delete(const std::string& item) override { list_.Delete(item); }
  report::IZQFields* STDMETHODCALLTYPE Clone() override;

  void STDMETHODCALLTYPE ClearExcParent() override;
  void STDMETHODCALLTYPE ClearMesParent() override;
  void STDMETHODCALLTYPE SetAddIndex(int addIndex) override { list_.SetAddIndex(addIndex); }
  void STDMETHODCALLTYPE AcceptData() override { list_.AcceptData(); }

  // The items in order, for composing the report.
  report::FieldList& List() { return list_; }

 private:
  virtual ~TIZQFields();
  void BeginUpdate() override;
  void EndUpdate() override;
  void Modified(const report::FieldList& list) override;

  LONG refCount_ = 1;
  report::FieldListOwner* excParent_;
  report::FieldListOwner* mesParent_;
  report::FieldList list_;
};
