// The assistant: a sequence of small modal steps (forms) read from form resources, shown before a
// report is sent, saved or printed, or instead of the exception box. What the user enters goes
// into the report as header fields or sections of their own, into the mail sender and into the
// per-user memory of the contact data.
//
// Forms and items live as long as their assistant: their reference counts are the assistant's,
// so a held item keeps the whole assistant alive, and the pointers the getters return are
// borrowed (no reference is added).
//
// The exception object belongs to the crash flow below this folder: the assistant hands it to the
// handlers and reaches the mail sender and the screenshot through IZQException, the report's
// header fields and sections through the component's own IZQExceptionEx.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "crash/KestrumDeliveryHooks_win.h"
#include "crash/KestrumExceptionApi_win.h"
#include "crash/settings/KestrumSettings_win.h"
#include "delivery/KestrumAssistantForm.h"
#include "delivery/KestrumAssistantRules.h"
#include "delivery/KestrumBitmap_win.h"

#include <memory>
#include <string>
#include <vector>

enum TNVModalResult : std::int32_t { nvmInvalid = 0, nvmOk = 1, nvmSkip = 2, nvmCancel = 3 };
enum TNVAction : std::int32_t { nvaFormCreate = 0, nvaFormShow = 1, nvaFormClose = 2, nvaItemEvent = 3 };
using delivery::TOutputType;

struct INVAssistant;
struct INVForm;
struct INVItem;
extern const GUID IID_INVAssistant;  // {14A3AFE4-B39F-4745-8F85-08FFABE8771C}
extern const GUID IID_INVForm;       // {9C62303F-3C4A-4E2F-9C14-74C518871995}
extern const GUID IID_INVItem;       // {36EE4E77-B6B3-41D0-ABA7-3D9B90847EC0}
extern const GUID IID_INVItemEx;     // {94D23487-7861-4FD8-93FA-E62680ECAC99}
extern const GUID IID_INVButton;     // {20E07644-4788-4FDF-8F90-B62C0E61E20B}
extern const GUID IID_INVLabel;      // {EA968486-7DA2-486F-9D40-DE0B7BDECBEC}
extern const GUID IID_INVEdit;       // {22AC205D-0FED-425B-BEBB-9FBAB850C1DC}
extern const GUID IID_INVCheckBox;   // {34E76977-C2B5-4819-B8F6-B6170089A03C}
extern const GUID IID_INVImage;      // {A0DE7AC1-F790-4BDB-B6B2-453AF25A6B7B}

// Called for the events of a form. item is null for events of the whole form and timer ticks;
// exception is null when the assistant runs without one. An exception thrown by a handler is
// swallowed: the assistant runs inside the handling of another exception.
using TNVActionHandler = void (*)(INVForm* form, TNVAction action, INVItem* item, kestrum::IZQException* exception);

struct INVItem : public IUnknown {
  virtual std::string STDMETHODCALLTYPE GetName() = 0;
  virtual HWND STDMETHODCALLTYPE GetHandle() = 0;
  virtual bool STDMETHODCALLTYPE GetTabStop() = 0;
  virtual int STDMETHODCALLTYPE GetSpacing() = 0;
  virtual bool STDMETHODCALLTYPE GetEnabled() = 0;
  virtual void STDMETHODCALLTYPE SetEnabled(bool value) = 0;
  virtual void STDMETHODCALLTYPE SetFocus() = 0;
};

struct INVButton : public INVItem {
  virtual std::string STDMETHODCALLTYPE GetCaption() = 0;
  virtual void STDMETHODCALLTYPE SetCaption(const std::string& value) = 0;
};

struct INVLabel : public INVItem {
  virtual std::string STDMETHODCALLTYPE GetCaption() = 0;
  virtual void STDMETHODCALLTYPE SetCaption(const std::string& value) = 0;
};

struct INVEdit : public INVItem {
  virtual std::string STDMETHODCALLTYPE GetText() = 0;
  // Updates the window and raises nvaItemEvent for the edit.
  virtual void STDMETHODCALLTYPE SetText(const std::string& value) = 0;
  virtual int STDMETHODCALLTYPE GetLines() = 0;
  virtual bool STDMETHODCALLTYPE GetOptional() = 0;
  virtual bool STDMETHODCALLTYPE GetColored() = 0;
  virtual bool STDMETHODCALLTYPE GetValid() = 0;
  // Repaints the edit and decides Continue anew.
  virtual void STDMETHODCALLTYPE SetValid(bool value) = 0;
};

struct INVCheckBox : public INVItem {
  virtual std::string STDMETHODCALLTYPE GetCaption() = 0;
  virtual void STDMETHODCALLTYPE SetCaption(const std::string& value) = 0;
  virtual bool STDMETHODCALLTYPE GetChecked() = 0;
  virtual void STDMETHODCALLTYPE SetChecked(bool value) = 0;
};

struct INVImage : public INVItem {
  virtual std::string STDMETHODCALLTYPE GetFile() = 0;
  virtual INVBitmap* STDMETHODCALLTYPE GetBitmap() = 0;  // borrowed; null when empty
  // The image keeps its own reference; null empties it. The shown copy is fitted to the item.
  virtual void STDMETHODCALLTYPE SetBitmap(INVBitmap* value) = 0;
};

struct INVForm : public IUnknown {
  virtual INVAssistant* STDMETHODCALLTYPE GetAssistant() = 0;
  virtual std::string STDMETHODCALLTYPE GetName() = 0;
  virtual std::string STDMETHODCALLTYPE GetTitle() = 0;
  virtual void STDMETHODCALLTYPE SetTitle(const std::string& value) = 0;
  virtual std::string STDMETHODCALLTYPE GetMessageText() = 0;  // the heading (GetMessage is a macro of the system headers)
  virtual void STDMETHODCALLTYPE SetMessageText(const std::string& value) = 0;
  virtual int STDMETHODCALLTYPE GetItemCount() = 0;
  virtual INVItem* STDMETHODCALLTYPE GetItem(int index) = 0;
  virtual INVButton* STDMETHODCALLTYPE GetContinueBtn() = 0;
  virtual INVButton* STDMETHODCALLTYPE GetSkipBtn() = 0;
  virtual INVButton* STDMETHODCALLTYPE GetCancelBtn() = 0;
  virtual std::string STDMETHODCALLTYPE GetActiveControl() = 0;
  virtual void STDMETHODCALLTYPE SetActiveControl(const std::string& value) = 0;
  virtual int STDMETHODCALLTYPE GetTimer() = 0;
  virtual HWND STDMETHODCALLTYPE GetHandle() = 0;
  virtual TNVModalResult STDMETHODCALLTYPE GetModalResult() = 0;
  virtual TNVActionHandler STDMETHODCALLTYPE GetOnAction() = 0;
  virtual void STDMETHODCALLTYPE SetOnAction(TNVActionHandler value) = 0;
  virtual INVEdit* STDMETHODCALLTYPE FindEdit(const std::string& name) = 0;
  virtual INVLabel* STDMETHODCALLTYPE FindLabel(const std::string& name) = 0;
  virtual INVButton* STDMETHODCALLTYPE FindButton(const std::string& name) = 0;
  virtual INVCheckBox* STDMETHODCALLTYPE FindCheckBox(const std::string& name) = 0;
  virtual INVImage* STDMETHODCALLTYPE FindImage(const std::string& name) = 0;
  virtual void STDMETHODCALLTYPE Skip() = 0;
  virtual TNVModalResult STDMETHODCALLTYPE ShowModal(HWND parentWindow) = 0;
  virtual kestrum::IZQException* STDMETHODCALLTYPE GetException() = 0;
  virtual void STDMETHODCALLTYPE SetException(kestrum::IZQException* value) = 0;
  virtual void* STDMETHODCALLTYPE GetData() = 0;
  virtual void STDMETHODCALLTYPE SetData(void* value) = 0;
};

struct INVAssistant : public IUnknown {
  virtual std::string STDMETHODCALLTYPE GetTitle() = 0;
  virtual void STDMETHODCALLTYPE SetTitle(const std::string& value) = 0;  // every form's title too
  virtual int STDMETHODCALLTYPE GetFormCount() = 0;
  virtual INVForm* STDMETHODCALLTYPE GetForm(int index) = 0;            // null when out of range
  virtual INVForm* STDMETHODCALLTYPE GetFormByName(const std::string& name) = 0;  // any case
  virtual TNVModalResult STDMETHODCALLTYPE GetModalResult() = 0;
  virtual TNVActionHandler STDMETHODCALLTYPE GetOnAction() = 0;
  virtual void STDMETHODCALLTYPE SetOnAction(TNVActionHandler value) = 0;
  virtual TNVModalResult STDMETHODCALLTYPE ShowModal(HWND parentWindow) = 0;
  virtual kestrum::IZQException* STDMETHODCALLTYPE GetException() = 0;
  virtual void STDMETHODCALLTYPE SetException(kestrum::IZQException* value) = 0;
  virtual void* STDMETHODCALLTYPE GetData() = 0;
  virtual void STDMETHODCALLTYPE SetData(void* value) = 0;
};

// Builds the assistant (one reference) with one form per name, read from the resources
// "TZQ" + name in upper case: from the module's resource instance when the first form's resource
// is there, else from the module. A missing form has its three buttons only; a damaged one gives
// no assistant at all (null), so that the caller shows the full box instead. An unknown value
// type shows the internal-error box and keeps the form as read.
INVAssistant* BuildAssistant(HMODULE module, const std::string& title, const std::vector<std::string>& formNames,
                             kestrum::IZQException* exception);

// The built-in handlers, and the table OnAction names are resolved through: names compare without
// regard to case. A program registers its own handlers under "Unit.Routine" before the first
// assistant is built; an unknown name leaves the form without a handler.
void HandleContactForm(INVForm* form, TNVAction action, INVItem* item, kestrum::IZQException* exception);
void HandleScreenshotForm(INVForm* form, TNVAction action, INVItem* item, kestrum::IZQException* exception);

namespace delivery {

void RegisterAssistantHandler(const std::string& name, TNVActionHandler handler);
TNVActionHandler FindAssistantHandler(const std::string& name);

// The contact memory: HKEY_CURRENT_USER\Software\Tarnwell\ContactForm, RememberName and
// RememberEmail. Failures are ignored: an unreadable value reads as empty.
extern const char kContactFormKey[];
struct RememberedContact {
  std::string name, email;
};
RememberedContact ReadRememberedContact();
void WriteRememberedContact(const RememberedContact& contact);
void ForgetRememberedContact();

// The items of every form as they stand, for the form cache and the outputs.
std::vector<FinishedForm> FinishedForms(INVAssistant* assistant);

}  // namespace delivery

// Puts what the forms closed with OK hold into the exception's report: edits as header fields, or
// as sections of their own when so marked and longer than a line, check boxes as "yes" or "no".
// Existing fields of the same name are replaced. Answers what was put.
std::vector<delivery::AssistantOutput> ApplyAssistantOutputs(INVAssistant* assistant, kestrum::IZQException* exception);

namespace delivery {

// The whole use of an assistant for one exception: built from the definition (GetAssistant of the
// exception's settings) and the module's resources, without the screenshot step when the exception
// takes no screenshot, prefilled from formCache when given, shown modally; the cache gets the
// steps confirmed with Continue (also when a later one was cancelled), and on OK the outputs are
// applied. nvmInvalid when the resources are damaged: the caller shows the
// full box instead.
TNVModalResult RunAssistant(kestrum::IZQException* exception, HMODULE module, const kestrum::AssistantDefinition& definition,
                            bool takesScreenShot, HWND parentWindow, kestrum::IZQPropertyAccess* formCache);

// The crash flow's assistant hook: RunAssistant for the exception's own module and settings,
// without the screenshot step when the exception takes no screenshot.
kestrum::AssistantRun RunExceptionAssistant(kestrum::IZQException* exception, const kestrum::AssistantDefinition& definition,
                                            HWND parentWindow, kestrum::IZQPropertyAccess* formCache);

}  // namespace delivery
