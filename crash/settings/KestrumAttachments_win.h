// The attachment list object: items guarded by a critical section, written back to the owning
// settings' AddAttachs key after every change.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <string>

#include "crash/settings/KestrumAttachmentList.h"
#include "platform/Handles_win.h"

namespace kestrum {
class TIZQSettings;
}

extern const GUID IID_IZQAttachments;  // {7DE1DA9C-D728-4527-954F-F951B88BEE41}

struct IZQAttachments : public IUnknown {
  virtual void STDMETHODCALLTYPE Lock() = 0;
  virtual void STDMETHODCALLTYPE Unlock() = 0;
  virtual int STDMETHODCALLTYPE GetItemCount() = 0;
  // False for an index outside the list (the outputs stay as they are).
  virtual bool STDMETHODCALLTYPE GetItem(int index, std::string& originalFile, std::string& sendAsFileName, std::string& zipFile,
                                         std::string& fieldName) = 0;
  virtual void STDMETHODCALLTYPE Add(const std::string& originalFile, const std::string& sendAsFileName, const std::string& zipFile,
                                     const std::string& fieldName) = 0;
  virtual bool STDMETHODCALLTYPE Delete(const std::string& originalFile) = 0;
  virtual void STDMETHODCALLTYPE Clear() = 0;
  // A new list (one reference) with copies of the items and no owner.
  virtual IZQAttachments* STDMETHODCALLTYPE Clone() = 0;
};

// The owner's side: the settings object tells the list that it goes away.
struct IZQAttachmentsParent : public IUnknown {
  virtual void STDMETHODCALLTYPE ClearParent() = 0;
};

// Global name: the class name shows at run time.
class TIZQAttachments final : public IZQAttachments, public IZQAttachmentsParent {
 public:
  // One reference. parent: the settings whose AddAttachs key mirrors the list, or none; items:
  // the list's first content (not written back).
  explicit TIZQAttachments(kestrum::TIZQSettings* parent, const std::vector<kestrum::AttachmentSpec>& items = {});

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  void STDMETHODCALLTYPE Lock() override { FSection.Enter(); }
  void STDMETHODCALLTYPE Unlock() override { FSection.Leave(); }
  int STDMETHODCALLTYPE GetItemCount() override;
  bool STDMETHODCALLTYPE GetItem(int index, std::string& originalFile, std::string& sendAsFileName, std::string& zipFile,
                                 std::string& fieldName) override;
  void STDMETHODCALLTYPE Add(const std::string& originalFile, const std::string& sendAsFileName, const std::string& zipFile,
                             const std::string& fieldName) override;
  bool STDMETHODCALLTYPE Delete(const std::string& originalFile) override;
  void STDMETHODCALLTYPE Clear() override;
  IZQAttachments* STDMETHODCALLTYPE Clone() override;

  void STDMETHODCALLTYPE ClearParent() override;

 private:
  ~TIZQAttachments() = default;
  // Writes the list text to the owner, outside the list's lock.
  void WriteBack(const std::string& text);

  LONG FRefCount = 1;
  kestrum::TIZQSettings* FParent;
  kestrum::AttachmentList FItems;
  platform::CriticalSection FSection;
};
