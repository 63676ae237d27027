// zevmon.exe links the monitor's own decision functions for doctor, and they
// call SetupAPI's device functions. Windows 95 has no SETUPAPI.DLL, and it
// refuses to start a program that imports from a DLL it cannot find, so the
// import slots those functions go through are defined here, as
// win9x_runtime.cpp does for the runtime: each loads SETUPAPI.DLL at its first
// call, and without it fails as a SetupAPI call fails, with
// ERROR_CALL_NOT_IMPLEMENTED. The tool then starts on Windows 95 and can say
// that the monitor needs Windows 98 or Me.
#include "setupapi_on_demand.h"

#include <windows.h>
#include <setupapi.h>

namespace {

FARPROC setupApi(const char* name) {
    static HMODULE module = LoadLibraryA("SETUPAPI.DLL");
    FARPROC function = module ? GetProcAddress(module, name) : NULL;
    if (!function) SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return function;
}

template <typename Function>
Function lookUp(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(setupApi(name)));
}

HDEVINFO WINAPI getClassDevs(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
    auto call = lookUp<decltype(&SetupDiGetClassDevsA)>("SetupDiGetClassDevsA");
    return call ? call(classGuid, enumerator, parent, flags) : INVALID_HANDLE_VALUE;
}

BOOL WINAPI enumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    auto call = lookUp<decltype(&SetupDiEnumDeviceInterfaces)>("SetupDiEnumDeviceInterfaces");
    return call ? call(set, device, classGuid, index, data) : FALSE;
}

BOOL WINAPI destroyDeviceInfoList(HDEVINFO set) {
    auto call = lookUp<decltype(&SetupDiDestroyDeviceInfoList)>("SetupDiDestroyDeviceInfoList");
    return call ? call(set) : FALSE;
}

BOOL WINAPI getDeviceInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                     PSP_DEVINFO_DATA device) {
    auto call = lookUp<decltype(&SetupDiGetDeviceInterfaceDetailA)>("SetupDiGetDeviceInterfaceDetailA");
    return call ? call(set, data, detail, size, required, device) : FALSE;
}

BOOL WINAPI enumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) {
    auto call = lookUp<decltype(&SetupDiEnumDeviceInfo)>("SetupDiEnumDeviceInfo");
    return call ? call(set, index, device) : FALSE;
}

BOOL WINAPI getDeviceInstanceId(HDEVINFO set, PSP_DEVINFO_DATA device, PSTR id, DWORD size, PDWORD required) {
    auto call = lookUp<decltype(&SetupDiGetDeviceInstanceIdA)>("SetupDiGetDeviceInstanceIdA");
    return call ? call(set, device, id, size, required) : FALSE;
}

}  // namespace

namespace zevmon {

bool systemHasSetupApi() { return setupApi("SetupDiGetClassDevsA") != NULL; }

}  // namespace zevmon

// The import-address slots, by the names the monitor's objects refer to.
extern "C" {
void* importGetClassDevs asm("__imp__SetupDiGetClassDevsA@16") = (void*)&getClassDevs;
void* importEnumDeviceInterfaces asm("__imp__SetupDiEnumDeviceInterfaces@20") = (void*)&enumDeviceInterfaces;
void* importDestroyDeviceInfoList asm("__imp__SetupDiDestroyDeviceInfoList@4") = (void*)&destroyDeviceInfoList;
void* importGetDeviceInterfaceDetail asm("__imp__SetupDiGetDeviceInterfaceDetailA@24") =
    (void*)&getDeviceInterfaceDetail;
void* importEnumDeviceInfo asm("__imp__SetupDiEnumDeviceInfo@12") = (void*)&enumDeviceInfo;
void* importGetDeviceInstanceId asm("__imp__SetupDiGetDeviceInstanceIdA@20") = (void*)&getDeviceInstanceId;
}
