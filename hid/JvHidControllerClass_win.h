#pragma once
// HID devices and the controller that lists them, follows the platform's device-change
// notifications and hands devices out (check-out) and back (check-in); and the thread that reads
// a checked-out device's input reports.
//
// Threads: the controller, its events and check-out/check-in belong to the thread that created
// the controller (it must dispatch messages). A checked-out device may be used from one other
// thread at a time; its holder keeps that use apart from the controller's events.

#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "hid/Hid_win.h"
#include "hid/SetupApi_win.h"
#include "platform/Application_win.h"
#include "platform/Events.h"
#include "platform/Exceptions.h"
#include "platform/Handles_win.h"
#include "platform/Thread_win.h"

class TJvHidDevice;
class TJvHidDeviceController;
class TJvHidDeviceReadThread;

KELVANE_EXCEPTION_CLASS(EControllerError, Exception);

using TJvHidPlugEvent = TMethodEvent<void(TJvHidDevice* HidDev)>;
using TJvHidDataEvent = TMethodEvent<void(TJvHidDevice* HidDev, std::uint8_t ReportID, const void* Data, std::uint16_t Size)>;
using TJvHidDataErrorEvent = TMethodEvent<void(TJvHidDevice* HidDev, DWORD Error)>;
using TJvHidEnumerateEvent = TMethodEvent<bool(TJvHidDevice* HidDev, int Idx)>;
using TJvHidNotifyEvent = TMethodEvent<void(TJvHidDeviceController* Sender)>;
using TJvHidCheckCallback = bool (*)(TJvHidDevice* HidDev);

enum TJvHidOpenExMode { omhRead, omhWrite };
using TJvPhysicalDescriptor = std::vector<WORD>;

// Plug-and-play facts of one device interface, read once from the setup library.
class TJvHidPnPInfo {
 public:
  TJvHidPnPInfo(HDEVINFO devs, const SP_DEVINFO_DATA& devData, std::wstring devicePath);

  const DWORD DeviceID;  // the device instance: identifies the device across scans
  const std::wstring DevicePath;

  DWORD Capabilities = 0;
  std::wstring ClassDescr;
  std::wstring ClassGUID;
  std::vector<std::wstring> CompatibleIDs;
  DWORD ConfigFlags = 0;
  std::wstring DeviceDescr;
  std::wstring Driver;
  std::wstring FriendlyName;
  std::vector<std::wstring> HardwareID;
  std::vector<std::wstring> LowerFilters;
  std::wstring Mfg;
  std::vector<std::wstring> UpperFilters;
  std::wstring Service;
  std::wstring Address;
  DWORD BusNumber = 0;
  std::wstring BusType;
  std::wstring Characteristics;
  DWORD DevType = 0;
  std::wstring EnumeratorName;
  DWORD Exclusive = 0;
  DWORD LegacyBusType = 0;
  std::wstring LocationInfo;
  std::wstring PhysDevObjName;
  std::wstring SecuritySDS;
  DWORD UINumber = 0;
  std::wstring UINumberFormat;
};

class TJvHidDevice {
 public:
  // Devices are made by their controller only.
  TJvHidDevice();
  ~TJvHidDevice();
  TJvHidDevice(const TJvHidDevice&) = delete;
  TJvHidDevice& operator=(const TJvHidDevice&) = delete;

  // Handles
  bool OpenFile();
  bool OpenFileEx(TJvHidOpenExMode mode);
  void CloseFile();
  void CloseFileEx(TJvHidOpenExMode mode);

  // Reports
  bool GetFeature(void* report, ULONG size);
  bool SetFeature(void* report, ULONG size);
  bool GetInputReport(void* report, ULONG size);
  bool SetOutputReport(void* report, ULONG size);
  bool FlushQueue();
  bool ReadFile(void* report, DWORD toRead, DWORD& bytesRead);
  bool WriteFile(const void* report, DWORD toWrite, DWORD& bytesWritten);
  bool DeviceIoControl(DWORD ioControlCode, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize, DWORD& bytesReturned);
  bool ReadFileEx(void* report, DWORD toRead, LPOVERLAPPED_COMPLETION_ROUTINE callback);
  bool WriteFileEx(const void* report, DWORD toWrite, LPOVERLAPPED_COMPLETION_ROUTINE callback);
  bool CancelIO(TJvHidOpenExMode mode);

  // Report parsing with the current report parameters
  NTSTATUS GetButtonCaps(PHIDP_BUTTON_CAPS buttonCaps, USHORT& count);
  NTSTATUS GetSpecificButtonCaps(PHIDP_BUTTON_CAPS buttonCaps, USHORT& count);
  NTSTATUS GetValueCaps(PHIDP_VALUE_CAPS valueCaps, USHORT& count);
  NTSTATUS GetSpecificValueCaps(PHIDP_VALUE_CAPS valueCaps, USHORT& count);
  NTSTATUS GetData(PHIDP_DATA dataList, ULONG& dataLength, PCHAR report, ULONG reportLength);
  NTSTATUS SetData(PHIDP_DATA dataList, ULONG& dataLength, PCHAR report, ULONG reportLength);
  NTSTATUS GetUsages(PUSAGE usageList, ULONG& usageLength, PCHAR report, ULONG reportLength);
  NTSTATUS GetButtons(PUSAGE usageList, ULONG& usageLength, PCHAR report, ULONG reportLength);
  NTSTATUS SetUsages(PUSAGE usageList, ULONG& usageLength, PCHAR report, ULONG reportLength);
  NTSTATUS SetButtons(PUSAGE usageList, ULONG& usageLength, PCHAR report, ULONG reportLength);
  NTSTATUS UnsetUsages(PUSAGE usageList, ULONG& usageLength, PCHAR report, ULONG reportLength);
  NTSTATUS UnsetButtons(PUSAGE usageList, ULONG& usageLength, PCHAR report, ULONG reportLength);
  NTSTATUS GetUsagesEx(PUSAGE_AND_PAGE usageList, ULONG& usageLength, PCHAR report, ULONG reportLength);
  NTSTATUS GetButtonsEx(PUSAGE_AND_PAGE usageList, ULONG& usageLength, PCHAR report, ULONG reportLength);
  NTSTATUS GetUsageValue(ULONG& usageValue, PCHAR report, ULONG reportLength);
  NTSTATUS GetScaledUsageValue(LONG& usageValue, PCHAR report, ULONG reportLength);
  NTSTATUS SetUsageValue(ULONG usageValue, PCHAR report, ULONG reportLength);
  NTSTATUS SetScaledUsageValue(LONG usageValue, PCHAR report, ULONG reportLength);
  NTSTATUS GetUsageValueArray(PCHAR usageValue, USHORT usageValueByteLength, PCHAR report, ULONG reportLength);
  NTSTATUS SetUsageValueArray(PCHAR usageValue, USHORT usageValueByteLength, PCHAR report, ULONG reportLength);
  NTSTATUS GetExtendedAttributes(HIDP_REPORT_TYPE reportType, USHORT dataIndex, PHIDP_EXTENDED_ATTRIBUTES attributes, ULONG& length);
  NTSTATUS InitializeReportForID(HIDP_REPORT_TYPE reportType, UCHAR reportID, PCHAR report, ULONG reportLength);

  // Checks the device out of its controller (the controller's check-out variants do the same).
  bool CheckOut();

  // Properties
  const TJvHidPnPInfo& PnPInfo() const { return *FPnPInfo; }
  const HIDD_ATTRIBUTES& Attributes() const { return FAttributes; }
  USHORT VendorID() const { return FAttributes.VendorID; }
  USHORT ProductID() const { return FAttributes.ProductID; }
  USHORT VersionNumber() const { return FAttributes.VersionNumber; }
  bool IsPluggedIn() const { return FIsPluggedIn; }
  bool IsCheckedOut() const { return FIsCheckedOut; }
  bool HasReadWriteAccess() const { return FHasReadWriteAccess; }
  HANDLE HidFileHandle() const { return FHidFileHandle.Get(); }
  HANDLE HidOverlappedRead() const { return FHidOverlappedRead.Get(); }
  HANDLE HidOverlappedWrite() const { return FHidOverlappedWrite.Get(); }
  DWORD HidOverlappedReadResult();
  DWORD HidOverlappedWriteResult();
  HIDP_CAPS Caps();
  HIDD_CONFIGURATION Configuration();
  void SetConfiguration(HIDD_CONFIGURATION config);
  const std::wstring& VendorName();
  const std::wstring& ProductName();
  const std::wstring& SerialNumber();
  const std::vector<std::wstring>& LanguageStrings();
  const TJvPhysicalDescriptor& PhysicalDescriptor();
  PHIDP_PREPARSED_DATA PreparsedData();
  int NumInputBuffers() const { return FNumInputBuffers; }
  void SetNumInputBuffers(int value);
  int NumOverlappedBuffers() const { return FNumOverlappedBuffers; }
  void SetNumOverlappedBuffers(int value);
  ULONG MaxDataListLength() const { return FMaxDataListLength; }
  ULONG MaxUsageListLength() const { return FMaxUsageListLength; }
  ULONG MaxButtonListLength() const { return FMaxButtonListLength; }
  HIDP_REPORT_TYPE ReportTypeParam() const { return FReportTypeParam; }
  void SetReportTypeParam(HIDP_REPORT_TYPE value);
  USAGE UsagePageParam() const { return FUsagePageParam; }
  void SetUsagePageParam(USAGE value);
  USHORT LinkCollectionParam() const { return FLinkCollectionParam; }
  void SetLinkCollectionParam(USHORT value) { FLinkCollectionParam = value; }
  USAGE UsageParam() const { return FUsageParam; }
  void SetUsageParam(USAGE value) { FUsageParam = value; }
  int ThreadSleepTime() const { return FThreadSleepTime; }
  void SetThreadSleepTime(int value);
  int Tag() const { return FTag; }
  void SetTag(int value) { FTag = value; }
  const TJvHidDataEvent& OnData() const { return FData; }
  void SetOnData(const TJvHidDataEvent& value);
  const TJvHidDataErrorEvent& OnDataError() const { return FDataError; }
  void SetOnDataError(const TJvHidDataErrorEvent& value) { FDataError = value; }
  const TJvHidPlugEvent& OnUnplug() const { return FUnplug; }
  void SetOnUnplug(const TJvHidPlugEvent& value) { FUnplug = value; }

 private:
  friend class TJvHidDeviceController;
  friend class TJvHidDeviceReadThread;

  TJvHidDevice(TJvHidPnPInfo* pnpInfo, TJvHidDeviceController* controller);

  bool IsAccessible() const { return FIsPluggedIn && (FIsCheckedOut || FIsEnumerated); }
  void CloseAll();
  void DoUnplug();
  void StartThread();
  void StopThread();
  void RefreshListLengths();
  // The language list of string index 0 into buf (254 units filled with 0xFFFF first); its
  // length n as the last unit decides, 0 when the read fails.
  int ReadLanguageList(WCHAR* buf);

  TJvHidDeviceController* FMyController = nullptr;
  bool FIsPluggedIn = true;
  bool FIsCheckedOut = false;
  bool FIsEnumerated = false;
  platform::ScopedFileHandle FHidFileHandle;
  platform::ScopedFileHandle FHidOverlappedRead;
  platform::ScopedFileHandle FHidOverlappedWrite;
  OVERLAPPED FOvlRead{};
  OVERLAPPED FOvlWrite{};
  HIDD_ATTRIBUTES FAttributes{};
  TJvHidPnPInfo* FPnPInfo = nullptr;
  std::wstring FVendorName;
  std::wstring FProductName;
  std::wstring FSerialNumber;
  TJvPhysicalDescriptor FPhysicalDescriptor;
  PHIDP_PREPARSED_DATA FPreparsedData = nullptr;
  std::vector<std::wstring> FLanguageStrings;
  int FNumInputBuffers = 0;
  int FNumOverlappedBuffers = 0;
  int FThreadSleepTime = 100;
  ULONG FMaxDataListLength = 0;
  ULONG FMaxUsageListLength = 0;
  ULONG FMaxButtonListLength = 0;
  HIDP_REPORT_TYPE FReportTypeParam = HidP_Input;
  USAGE FUsagePageParam = 0;
  USHORT FLinkCollectionParam = 0;
  USAGE FUsageParam = 0;
  TJvHidDataEvent FData;
  TJvHidDataErrorEvent FDataError;
  TJvHidPlugEvent FUnplug;
  bool FHasReadWriteAccess = false;
  TJvHidDeviceReadThread* FDataThread = nullptr;
  int FTag = 0;
};

// An exception that an event handler raises during a change pass does not stop the pass; once
// the pass is complete it goes on to the caller, and from the notification window (where it
// cannot travel further) to Application->HandleException with the controller as sender.
class TJvHidDeviceController : public TObject {
 public:
  // Loads the libraries and, when they are there, makes the notification window of the calling
  // thread and posts it the first device-change notification: the first scan runs when this
  // thread next dispatches its messages. The owner is kept for the caller; it owns nothing here.
  explicit TJvHidDeviceController(void* owner = nullptr);
  ~TJvHidDeviceController() override;
  TJvHidDeviceController(const TJvHidDeviceController&) = delete;
  TJvHidDeviceController& operator=(const TJvHidDeviceController&) = delete;

  // One change pass: scan, then reconcile the list and fire the events.
  void DeviceChange();

  bool CheckOut(TJvHidDevice*& HidDev);
  bool CheckOutByID(TJvHidDevice*& HidDev, int Vid, int Pid);  // Pid -1: any product of the vendor
  bool CheckOutByIndex(TJvHidDevice*& HidDev, int Idx);
  bool CheckOutByProductName(TJvHidDevice*& HidDev, const std::wstring& ProductName);
  bool CheckOutByVendorName(TJvHidDevice*& HidDev, const std::wstring& VendorName);
  bool CheckOutByClass(TJvHidDevice*& HidDev, const std::wstring& ClassName);
  bool CheckOutByCallback(TJvHidDevice*& HidDev, TJvHidCheckCallback Check);
  // Gives a device back; an unplugged one is destroyed (after the change pass, when called
  // from one of its events).
  void CheckIn(TJvHidDevice*& HidDev);

  int CountByID(int Vid, int Pid);
  int CountByProductName(const std::wstring& ProductName);
  int CountByVendorName(const std::wstring& VendorName);
  int CountByClass(const std::wstring& ClassName);
  int CountByCallback(TJvHidCheckCallback Check);
  int Enumerate();

  static std::wstring HidVersion();

  void* Owner() const { return FOwner; }
  const GUID& HidGuid() const { return FHidGuid; }
  int NumCheckedInDevices() const { return FNumCheckedInDevices; }
  int NumCheckedOutDevices() const { return FNumCheckedOutDevices; }
  int NumUnpluggedDevices() const { return FNumUnpluggedDevices; }
  // The listed devices in list order (checked-out and unplugged ones included).
  const std::vector<TJvHidDevice*>& Devices() const { return FList; }
  HWND WindowHandle() const { return FHWnd; }

  int DevThreadSleepTime() const { return FDevThreadSleepTime; }
  void SetDevThreadSleepTime(int value);
  std::string Version() const { return FVersion; }
  void SetVersion(const std::string& value) { FDummy = value; }

  // Events. OnArrival, OnRemoval and OnEnumerate are plain fields; the others hand the new
  // handler to the listed devices (OnDevice...) or run a pass at once (OnDeviceChange).
  TJvHidPlugEvent OnArrival;
  TJvHidPlugEvent OnRemoval;
  TJvHidEnumerateEvent OnEnumerate;
  const TJvHidNotifyEvent& OnDeviceChange() const { return FDeviceChangeEvent; }
  void SetOnDeviceChange(const TJvHidNotifyEvent& value);
  const TJvHidDataEvent& OnDeviceData() const { return FDevDataEvent; }
  void SetOnDeviceData(const TJvHidDataEvent& value);
  const TJvHidDataErrorEvent& OnDeviceDataError() const { return FDevDataErrorEvent; }
  void SetOnDeviceDataError(const TJvHidDataErrorEvent& value);
  const TJvHidPlugEvent& OnDeviceUnplug() const { return FDevUnplugEvent; }
  void SetOnDeviceUnplug(const TJvHidPlugEvent& value);

 private:
  friend class TJvHidDevice;

  static LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void Scan(std::vector<TJvHidDevice*>& found);
  bool CheckOutAt(TJvHidDevice*& HidDev, std::size_t idx, bool match);
  template <class Match>
  bool CheckOutFirst(TJvHidDevice*& HidDev, Match match);
  // Runs fn for the device with its enumerated flag set; with closeAfter, a device that is not
  // checked out has its handles closed again afterwards.
  template <class Fn>
  auto WithEnumerated(TJvHidDevice* dev, bool closeAfter, Fn fn);
  void RemoveFromList(TJvHidDevice* dev);
  void RunPass(LPARAM lParam);

  void* FOwner;
  GUID FHidGuid{};
  TJvHidNotifyEvent FDeviceChangeEvent;
  TJvHidDataEvent FDevDataEvent;
  TJvHidDataErrorEvent FDevDataErrorEvent;
  TJvHidPlugEvent FDevUnplugEvent;
  int FDevThreadSleepTime = 100;
  std::string FVersion = "1.0.35";
  std::string FDummy;
  std::vector<TJvHidDevice*> FList;
  int FNumCheckedInDevices = 0;
  int FNumCheckedOutDevices = 0;
  int FNumUnpluggedDevices = 0;
  bool FInDeviceChange = false;
  LPARAM FLParam = 0;
  HWND FHWnd = nullptr;
  bool FDestroying = false;
  // Unplugged devices checked in during a pass; destroyed when the pass has finished with them.
  std::vector<TJvHidDevice*> FReleaseAfterPass;
};

class TJvHidDeviceReadThread;

namespace jvhid_detail {
// Refuses direct creation before the thread base makes an operating-system thread.
struct TReadThreadGate {
  explicit TReadThreadGate(bool direct);
};
}  // namespace jvhid_detail

class TJvHidDeviceReadThread : private jvhid_detail::TReadThreadGate, public TThread {
 public:
  // Direct creation is not allowed; the device makes its own.
  explicit TJvHidDeviceReadThread(bool createSuspended);

  DWORD FErr = 0;
  TJvHidDevice* Device = nullptr;
  DWORD NumBytesRead = 0;
  std::vector<std::uint8_t> Report;

 protected:
  void Execute() override;

 private:
  friend class TJvHidDevice;
  explicit TJvHidDeviceReadThread(TJvHidDevice* dev);
  void DoData();
  void DoDataError();
  static void WINAPI DummyReadCompletion(DWORD, DWORD, LPOVERLAPPED) {}
};
