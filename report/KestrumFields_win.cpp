#include "report/KestrumFields_win.h"

namespace report {

const GUID IID_IZQFields = {0xAF0EA7A7, 0x2B36, 0x46FD, {0xBF, 0x2E, 0x24, 0x5A, 0xBA, 0x27, 0x40, 0xE2}};
const GUID IID_IZQFieldsEx = {0xD9EED670, 0xC965, 0x403D, {0x92, 0xE0, 0xBF, 0x11, 0xD8, 0x54, 0x91, 0x1D}};

}  // namespace report

TIZQFields::TIZQFields(report::FieldListOwner* excParent, report::FieldListOwner* mesParent)
    : excParent_(excParent), mesParent_(mesParent) {
  if (excParent_ || mesParent_) list_.SetOwner(this);
}

TIZQFields::~TIZQFields() = default;

HRESULT STDMETHODCALLTYPE TIZQFields::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, report::IID_IZQFields)) {
    *out = static_cast<report::IZQFields*>(this);
  } else if (IsEqualGUID(iid, report::IID_IZQFieldsEx)) {
    *out = static_cast<report::IZQFieldsEx*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE TIZQFields::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }

ULONG STDMETHODCALLTYPE TIZQFields::Release() {
  const LONG n = InterlockedDecrement(&refCount_);
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

report::IZQFields* STDMETHODCALLTYPE TIZQFields::Clone() {
  auto* copy = new TIZQFields(nullptr, nullptr);
  list_.CopyTo(copy->list_);
  return copy;
}

// Under the list's lock, so that no operation still reaches a parent that is going away.
void STDMETHODCALLTYPE TIZQFields::ClearExcParent() {
  list_.WithoutUpdates([this] { excParent_ = nullptr; });
}

void STDMETHODCALLTYPE TIZQFields::ClearMesParent() {
  list_.WithoutUpdates([this] { mesParent_ = nullptr; });
}

// Updates open on the exception object only: the settings object stores on every change.
void TIZQFields::BeginUpdate() {
  if (excParent_) excParent_->BeginUpdate();
}

void TIZQFields::EndUpdate() {
  if (excParent_) excParent_->EndUpdate();
}

void TIZQFields::Modified(const report::FieldList& list) {
  if (mesParent_) mesParent_->Modified(list);
  if (excParent_) excParent_->Modified(list);
}
