#include "crash/settings/KestrumAttachments_win.h"

#include "crash/settings/KestrumSettings_win.h"

const GUID IID_IZQAttachments = {0x7DE1DA9C, 0xD728, 0x4527, {0x95, 0x4F, 0xF9, 0x51, 0xB8, 0x8B, 0xEE, 0x41}};

namespace {
// The internal interface has no identity of its own outside this program.
const GUID kIidAttachmentsParent = {0x2F0C6A51, 0x8E3B, 0x4D7A, {0x9C, 0x12, 0x5B, 0x64, 0x0E, 0xA1, 0x37, 0xC8}};
}  // namespace

TIZQAttachments::TIZQAttachments(kestrum::TIZQSettings* parent, const std::vector<kestrum::AttachmentSpec>& items) : FParent(parent) {
  for (const kestrum::AttachmentSpec& item : items) FItems.Add(item);
}

HRESULT STDMETHODCALLTYPE TIZQAttachments::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IZQAttachments)) {
    *out = static_cast<IZQAttachments*>(this);
  } else if (IsEqualGUID(iid, kIidAttachmentsParent)) {
    *out = static_cast<IZQAttachmentsParent*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE TIZQAttachments::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&FRefCount)); }

ULONG STDMETHODCALLTYPE TIZQAttachments::Release() {
  const LONG count = InterlockedDecrement(&FRefCount);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

int STDMETHODCALLTYPE TIZQAttachments::GetItemCount() {
  platform::AutoLock lock(FSection);
  return static_cast<int>(FItems.Items().size());
}

bool STDMETHODCALLTYPE TIZQAttachments::GetItem(int index, std::string& originalFile, std::string& sendAsFileName, std::string& zipFile,
                                                std::string& fieldName) {
  platform::AutoLock lock(FSection);
  if (index < 0 || static_cast<std::size_t>(index) >= FItems.Items().size()) return false;
  const kestrum::AttachmentSpec& item = FItems.Items()[static_cast<std::size_t>(index)];
  originalFile = item.originalFile;
  sendAsFileName = item.sendAsFileName;
  zipFile = item.zipFile;
  fieldName = item.fieldName;
  return true;
}

void STDMETHODCALLTYPE TIZQAttachments::Add(const std::string& originalFile, const std::string& sendAsFileName, const std::string& zipFile,
                                           const std::string& fieldName) {
  std::string text;
  {
    platform::AutoLock lock(FSection);
    if (!FItems.Add({originalFile, sendAsFileName, zipFile, fieldName})) return;
    text = FItems.Format();
  }
  WriteBack(text);
}

bool STDMETHODCALLTYPE TIZQAttachments::Delete(const std::string& originalFile) {
  std::string text;
  {
    platform::AutoLock lock(FSection);
    if (!FItems.Delete(originalFile)) return false;
    text = FItems.Format();
  }
  WriteBack(text);
  return true;
}

void STDMETHODCALLTYPE TIZQAttachments::Clear() {
  {
    platform::AutoLock lock(FSection);
    if (!FItems.Clear()) return;
  }
  WriteBack({});
}

IZQAttachments* STDMETHODCALLTYPE TIZQAttachments::Clone() {
  auto* copy = new TIZQAttachments(nullptr);
  platform::AutoLock lock(FSection);
  for (const kestrum::AttachmentSpec& item : FItems.Items()) copy->FItems.Add(item);
  return copy;
}

void STDMETHODCALLTYPE TIZQAttachments::ClearParent() {
  platform::AutoLock lock(FSection);
  FParent = nullptr;
}

void TIZQAttachments::WriteBack(const std::string& text) {
  kestrum::TIZQSettings* parent;
  {
    platform::AutoLock lock(FSection);
    parent = FParent;
  }
  if (parent) parent->SetPropStr("AddAttachs", text);
}
