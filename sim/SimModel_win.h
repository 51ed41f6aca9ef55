#pragma once
// The simulated devices, shared by the two test-double DLLs. It lives in the HID double; the
// setup double reaches its enumeration through the functions declared here, which the HID
// double exports under these internal names.

#include <windows.h>
#include <setupapi.h>

#ifdef KELVANE_SIM_BUILD
#define KELVANE_SIM_INTERNAL extern "C" __declspec(dllexport)
#else
#define KELVANE_SIM_INTERNAL extern "C" __declspec(dllimport)
#endif

KELVANE_SIM_INTERNAL HDEVINFO WINAPI KelvaneSim_SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                                                     DWORD Flags);
KELVANE_SIM_INTERNAL WINBOOL WINAPI KelvaneSim_SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                                           const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                                           PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
KELVANE_SIM_INTERNAL WINBOOL WINAPI KelvaneSim_SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData, PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
KELVANE_SIM_INTERNAL WINBOOL WINAPI KelvaneSim_SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                                                 DWORD Property, PDWORD PropertyRegDataType,
                                                                                 PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                                                 PDWORD RequiredSize);
KELVANE_SIM_INTERNAL WINBOOL WINAPI KelvaneSim_SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
