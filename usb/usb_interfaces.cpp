// Look-up of the present device interfaces of a class through SetupAPI. Nothing
// is cached: every call builds its own device information set and destroys it,
// so each answer is the machine as it is at that moment.
#include "../monitor/monitor.h"

// {6A7AD4E2-AE15-11D7-890B-0080AD72B9D1}: the interfaces of the printers this monitor makes ports for.
const GUID UsbPortInterfaceGuid = {0x6A7AD4E2, 0xAE15, 0x11D7, {0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1}};

// Only devices present now, listed by their interfaces of the class.
static HDEVINFO OpenPresentInterfaces(const GUID* classGuid) {
    return SetupDiGetClassDevsA(classGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

// The interface at index in the set, into a record of the platform's size.
static BOOL EnumInterface(HDEVINFO set, const GUID* classGuid, DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
    ZeroMemory(data, sizeof *data);
    data->cbSize = sizeof *data;
    return SetupDiEnumDeviceInterfaces(set, NULL, classGuid, index, data);
}

BOOL CountInterfaces(const GUID* classGuid, LPDWORD count) {
    if (classGuid == NULL || count == NULL) return Fail(ERROR_INVALID_PARAMETER);
    HDEVINFO set = OpenPresentInterfaces(classGuid);
    if (set == INVALID_HANDLE_VALUE) {
        *count = 0;
        return FALSE;  // SetupAPI's error stays
    }
    DWORD index = 0, error;
    for (;; index++) {
        SP_DEVICE_INTERFACE_DATA data;
        if (!EnumInterface(set, classGuid, index, &data)) {
            error = GetLastError();
            break;
        }
    }
    *count = index;
    SetupDiDestroyDeviceInfoList(set);
    if (error == ERROR_NO_MORE_ITEMS) return TRUE;
    return Fail(error);
}

// Copies the device path out of a detail record of the given size, if the
// record holds a terminated path that fits: a path cut short would name
// another device, so a path too long is not copied at all.
static void CopyDevicePath(UsbInterfaceInfo* info, const SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size) {
    DWORD available = size - (DWORD)offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    for (DWORD i = 0; i < available && i < sizeof(info->devicePath); i++) {
        if (detail->DevicePath[i] == 0) {
            CopyMemory(info->devicePath, detail->DevicePath, i + 1);
            return;
        }
    }
}

// Fills in the path and the instance id of one interface of the set, as far as
// SetupAPI answers; a field it does not answer keeps what info held. The
// device is the one SetupAPI names for this very interface: the set's device
// elements need not be in the order of its interfaces, nor as many, and a
// device taken by index would give one printer's path another's instance id.
// Without a path there is no device either, so the instance id stays unwritten.
static void FillInterfaceInfo(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData, UsbInterfaceInfo* info) {
    // Without a buffer the call fails and reports the size it needs.
    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailA(set, interfaceData, NULL, 0, &requiredSize, NULL);
    // A record smaller than its own head, or no memory, leaves both fields unwritten.
    DWORD detailSize = requiredSize;
    if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return;
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A*)GlobalAlloc(GPTR, detailSize);
    if (detail == NULL) return;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA deviceData;
    ZeroMemory(&deviceData, sizeof deviceData);
    deviceData.cbSize = sizeof deviceData;
    if (SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize, &requiredSize, &deviceData)) {
        CopyDevicePath(info, detail, detailSize);
        SetupDiGetDeviceInstanceIdA(set, &deviceData, info->instanceId, sizeof(info->instanceId), &requiredSize);
    }
    GlobalFree(detail);
}

// Success means the interface at memberIndex exists; its path and instance id
// are filled in as far as SetupAPI answers, and a field it does not answer keeps
// what the caller put there.
BOOL GetInterface(const GUID* classGuid, DWORD memberIndex, UsbInterfaceInfo* info) {
    if (classGuid == NULL || info == NULL) return Fail(ERROR_INVALID_PARAMETER);
    HDEVINFO set = OpenPresentInterfaces(classGuid);
    if (set == INVALID_HANDLE_VALUE) return FALSE;

    SP_DEVICE_INTERFACE_DATA interfaceData;
    if (!EnumInterface(set, classGuid, memberIndex, &interfaceData)) {
        DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        return Fail(error);
    }
    FillInterfaceInfo(set, &interfaceData, info);
    SetupDiDestroyDeviceInfoList(set);
    return TRUE;
}

// One search of a fresh set: TRUE when an interface matches; otherwise FALSE
// with ERROR_NO_MORE_ITEMS when the set was listed to its end, or with
// SetupAPI's error. *listed counts the interfaces looked at.
static BOOL SearchPresentInterfaces(const GUID* classGuid, InterfaceMatch matches, LPCSTR wanted,
                                    UsbInterfaceInfo* info, LPDWORD listed) {
    *listed = 0;
    HDEVINFO set = OpenPresentInterfaces(classGuid);
    if (set == INVALID_HANDLE_VALUE) return FALSE;  // SetupAPI's error stays
    BOOL found = FALSE;
    DWORD error = ERROR_SUCCESS;
    while (!found) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        if (!EnumInterface(set, classGuid, *listed, &interfaceData)) {
            error = GetLastError();
            break;
        }
        ZeroMemory(info, sizeof *info);
        FillInterfaceInfo(set, &interfaceData, info);
        found = info->instanceId[0] != 0 && matches(info, wanted);
        ++*listed;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!found) SetLastError(error);
    return found;
}

// The search behind every look-up of a printer by its instance id: one device
// information set for a whole search, so that the answer is the machine at
// one moment. Counting in one set and reading each index in another let an
// interface that went away meanwhile shift the one sought to an index already
// passed, and a present printer was missed.
// A set built while another printer of the class comes or goes can still miss
// a present one (the system lists the interfaces as they change), so a search
// that finds nothing is made once more in a fresh set, and a third time when
// the two sets did not list as many interfaces. No waiting: a printer that is
// really absent is reported so at once.
// Each interface starts from an empty info; one whose instance id SetupAPI
// does not answer is never a match. FALSE with ERROR_NO_MORE_ITEMS when no
// interface matches; FALSE with SetupAPI's error when the interfaces could not
// be listed to their end.
BOOL FindInterface(const GUID* classGuid, InterfaceMatch matches, LPCSTR wanted, UsbInterfaceInfo* info) {
    if (classGuid == NULL || matches == NULL || wanted == NULL || info == NULL) return Fail(ERROR_INVALID_PARAMETER);
    DWORD listed = 0, listedBefore = 0;
    for (int search = 0; search < 3; search++) {
        if (SearchPresentInterfaces(classGuid, matches, wanted, info, &listed)) return TRUE;
        if (GetLastError() != ERROR_NO_MORE_ITEMS) break;
        if (search == 1 && listed == listedBefore) break;
        listedBefore = listed;
    }
    DWORD error = GetLastError();
    ZeroMemory(info, sizeof *info);
    return Fail(error);
}
