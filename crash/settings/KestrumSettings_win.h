// The crash-report settings of one module, shared by every copy of the component in the process
// through the registry block in the named section "KestrumSettingsBuf$<pid>".
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "crash/settings/KestrumAttachments_win.h"
#include "crash/settings/KestrumRules.h"
#include "crash/settings/KestrumSettingsSlots_win.h"
#include "crash/settings/KestrumSettingsTypes.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace kestrum {

extern const GUID IID_IZQSettings;        // {27DBC590-890F-463E-8D05-32E33584119F}
extern const GUID IID_IZQModuleSettings;  // {E2196B25-D73A-4F69-B79B-D65539763B31}
extern const GUID IID_IZQPropertyAccess;  // {8C612485-CD17-4C66-8C62-D6D94D54EA50}

template <class T>
using SettingParam = std::conditional_t<std::is_same_v<T, std::string>, const std::string&, T>;

#define KESTRUM_DECLARE_GET(type, name, key) virtual type STDMETHODCALLTYPE name() = 0;
#define KESTRUM_DECLARE_SET(type, name, key) virtual void STDMETHODCALLTYPE name(SettingParam<type> value) = 0;
#define KESTRUM_DECLARE_SPECIAL(type, name, key) KESTRUM_SPECIAL_##name
#define KESTRUM_DECLARE(kind, type, name, key) KESTRUM_DECLARE_##kind(type, name, key)

// Operations outside the key table, in their slots.
#define KESTRUM_SPECIAL_Module virtual HMODULE STDMETHODCALLTYPE Module() = 0;
#define KESTRUM_SPECIAL_GetAdditionalFields \
  virtual std::vector<std::pair<std::string, std::string>> STDMETHODCALLTYPE GetAdditionalFields() = 0;
#define KESTRUM_SPECIAL_GetAdditionalAttachments \
  virtual IZQAttachments* STDMETHODCALLTYPE GetAdditionalAttachments() = 0;
#define KESTRUM_SPECIAL_GetPluginEnabled virtual bool STDMETHODCALLTYPE GetPluginEnabled(const std::string& plugin) = 0;
#define KESTRUM_SPECIAL_SetPluginEnabled \
  virtual void STDMETHODCALLTYPE SetPluginEnabled(const std::string& plugin, bool value) = 0;
#define KESTRUM_SPECIAL_VersionVar virtual std::string STDMETHODCALLTYPE VersionVar() = 0;
#define KESTRUM_SPECIAL_GetAssistant \
  virtual bool STDMETHODCALLTYPE GetAssistant(const std::string& name, AssistantDefinition& out) = 0;
#define KESTRUM_SPECIAL_IsValid virtual bool STDMETHODCALLTYPE IsValid() = 0;
#define KESTRUM_SPECIAL_MinDebugInfoOnly virtual bool STDMETHODCALLTYPE MinDebugInfoOnly() = 0;
#define KESTRUM_SPECIAL_Reload virtual void STDMETHODCALLTYPE Reload() = 0;

// Until the assistant forms exist, GetAssistant hands out the definition the assistant is built
// from, and the additional fields and attachments come as the parsed items of their keys.
struct IZQSettings : public IUnknown {
  KESTRUM_IZQSETTINGS_SLOTS(KESTRUM_DECLARE)
};

struct IZQModuleSettings : public IZQSettings {
  KESTRUM_IZQMODULESETTINGS_SLOTS(KESTRUM_DECLARE)
};

class TIZQSettings;

struct IZQPropertyAccess : public IUnknown {
  virtual bool STDMETHODCALLTYPE GetPropBool(const char* name) = 0;
  virtual std::int32_t STDMETHODCALLTYPE GetPropInt(const char* name) = 0;
  virtual std::string STDMETHODCALLTYPE GetPropStr(const char* name) = 0;
  virtual std::uint32_t STDMETHODCALLTYPE GetPropDw(const char* name) = 0;
  virtual void STDMETHODCALLTYPE FillFormCache(const std::vector<FormCacheForm>& assistantForms) = 0;
  virtual std::vector<bool> STDMETHODCALLTYPE ReadFormCache(std::vector<FormCacheForm>& assistantForms) = 0;
  virtual TIZQSettings* STDMETHODCALLTYPE GetSelf() = 0;
};

#define KESTRUM_OVERRIDE_GET(type, name, key) \
  type STDMETHODCALLTYPE name() override { return ReadSetting<type>(key); }
#define KESTRUM_OVERRIDE_SET(type, name, key) \
  void STDMETHODCALLTYPE name(SettingParam<type> value) override { WriteSetting<type>(key, value); }
#define KESTRUM_OVERRIDE_SPECIAL(type, name, key)
#define KESTRUM_OVERRIDE(kind, type, name, key) KESTRUM_OVERRIDE_##kind(type, name, key)

class TIZQSettings : public IZQModuleSettings, public IZQPropertyAccess {
 public:
  // init true: reference the module's list (FValid tells whether that worked) and read VersionVar.
  // init false: an empty object, for the exception object to fill.
  TIZQSettings(HMODULE module, bool init);
  TIZQSettings(const TIZQSettings&) = delete;
  TIZQSettings& operator=(const TIZQSettings&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IZQSettings / IZQModuleSettings: key getters and setters.
  KESTRUM_IZQSETTINGS_SLOTS(KESTRUM_OVERRIDE)
  KESTRUM_IZQMODULESETTINGS_SLOTS(KESTRUM_OVERRIDE)

  HMODULE STDMETHODCALLTYPE Module() override { return FModule; }
  std::vector<std::pair<std::string, std::string>> STDMETHODCALLTYPE GetAdditionalFields() override;
  // The list built from AddAttachs on the first call, the same one afterwards; a new reference.
  // Changes to it are written back to AddAttachs while this object lives.
  IZQAttachments* STDMETHODCALLTYPE GetAdditionalAttachments() override;
  bool STDMETHODCALLTYPE GetPluginEnabled(const std::string& plugin) override;
  void STDMETHODCALLTYPE SetPluginEnabled(const std::string& plugin, bool value) override;
  std::string STDMETHODCALLTYPE VersionVar() override { return FVersionVar; }
  bool STDMETHODCALLTYPE GetAssistant(const std::string& name, AssistantDefinition& out) override;
  bool STDMETHODCALLTYPE IsValid() override { return FValid; }
  bool STDMETHODCALLTYPE MinDebugInfoOnly() override { return !GetPropStr("MinDebugInfo").empty(); }
  void STDMETHODCALLTYPE Reload() override;

  // IZQPropertyAccess
  bool STDMETHODCALLTYPE GetPropBool(const char* name) override;
  std::int32_t STDMETHODCALLTYPE GetPropInt(const char* name) override;
  std::string STDMETHODCALLTYPE GetPropStr(const char* name) override;
  std::uint32_t STDMETHODCALLTYPE GetPropDw(const char* name) override {
    return static_cast<std::uint32_t>(GetPropInt(name));
  }
  void STDMETHODCALLTYPE FillFormCache(const std::vector<FormCacheForm>& assistantForms) override;
  std::vector<bool> STDMETHODCALLTYPE ReadFormCache(std::vector<FormCacheForm>& assistantForms) override;
  TIZQSettings* STDMETHODCALLTYPE GetSelf() override { return this; }

  // The one overridable lookup: the exception object puts its private list in front.
  virtual TZQProperty* FindProp(const char* name, bool allowDefault, bool write, TPropertyType createTyp);

  bool SetPropBool(const char* name, bool value);
  bool SetPropInt(const char* name, std::int32_t value);
  bool SetPropStr(const char* name, const std::string& value);
  bool SetPropDw(const char* name, std::uint32_t value) { return SetPropInt(name, static_cast<std::int32_t>(value)); }

  // The string as stored (or delegated to the main settings), before placeholders are expanded.
  std::string RawPropStr(const char* name);

  // The placeholders of a settings string, expanded for this object's module.
  std::string ExpandVars(const std::string& text);

 protected:
  virtual ~TIZQSettings();

  bool FValid = false;
  HMODULE FModule = nullptr;
  TZQSettingsModule* FSettings = nullptr;
  std::string FVersionVar;

 private:
  template <class T>
  T ReadSetting(const char* key) {
    if constexpr (std::is_same_v<T, bool>) return GetPropBool(key);
    else if constexpr (std::is_same_v<T, std::string>) return GetPropStr(key);
    else if constexpr (std::is_same_v<T, std::uint32_t>) return GetPropDw(key);
    else return static_cast<T>(GetPropInt(key));
  }
  template <class T>
  void WriteSetting(const char* key, SettingParam<T> value) {
    if constexpr (std::is_same_v<T, bool>) SetPropBool(key, value);
    else if constexpr (std::is_same_v<T, std::string>) SetPropStr(key, value);
    else if constexpr (std::is_same_v<T, std::uint32_t>) SetPropDw(key, value);
    else SetPropInt(key, static_cast<std::int32_t>(value));
  }
  bool IsMainModule();
  IZQPropertyAccess* MainAccess();  // new reference or nullptr

  LONG FRefCount = 1;
  bool FFieldsBuilt = false;
  std::vector<std::pair<std::string, std::string>> FAddFields;
  TIZQAttachments* volatile FAddAttachs = nullptr;
  FormCache FFormCache;
};

// Settings of the program's own module taken at start-up; reads of other modules fall back to
// them. Holds a reference; nullptr clears.
void SetMainSettings(IZQModuleSettings* settings);
IZQModuleSettings* MainSettings();  // borrowed

// Lookups; each returns a new reference (or nullptr where noted) that the caller releases.
IZQModuleSettings* SettingsForModule(HMODULE module);
IZQModuleSettings* SettingsForAddress(const void* address);
IZQModuleSettings* SettingsForCaller();
IZQModuleSettings* SettingsForCallerLevel(int level);
IZQModuleSettings* FindOwnSettings();  // nullptr when no module with settings was found

bool HasSettingsResource(HMODULE module);

// The registry block of this process; nullptr while this copy holds no reference.
struct SettingsRegistry {
  LONG refCount;
  HANDLE section;
  CRITICAL_SECTION lock;
  TZQSettingsModule* first;
  DWORD reserved;
};
SettingsRegistry* SettingsRegistryBlock();
std::string SettingsSectionName(DWORD processId);
std::string SettingsMutexName(DWORD processId);

// Shows "text" with the caption "Kestrum"; tests replace the box to see the text.
using InternalErrorHandler = void (*)(const char* text);
void SetInternalErrorHandler(InternalErrorHandler handler);  // nullptr: the message box
void ShowInternalError(const char* text);

// Deciphers a stored password (bytes after Base64); until mail delivery provides it the stored
// text is kept as it stands.
using PasswordDecoder = std::string (*)(const std::string& stored, const std::string& account, const std::string& server);
void SetPasswordDecoder(PasswordDecoder decoder);

// Small owner for the references the lookups return.
template <class I>
class ZQRef {
 public:
  ZQRef() = default;
  explicit ZQRef(I* p) : p_(p) {}
  ZQRef(const ZQRef&) = delete;
  ZQRef& operator=(const ZQRef&) = delete;
  ~ZQRef() {
    if (p_) p_->Release();
  }
  I* operator->() const { return p_; }
  I* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  I* p_ = nullptr;
};

}  // namespace kestrum
