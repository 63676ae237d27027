// setupapi of the simulated machine: the present device interfaces of a class.
// A device information set is a snapshot of the printers present when it was
// made: their interfaces, and their devices as its device elements, in the
// same order unless the machine reverses the elements.
#include <setupapi.h>

#include <algorithm>
#include <cstring>

#include "state.h"

using sim::machine;

namespace {

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The set, or null with ERROR_INVALID_HANDLE.
const sim::Machine::Usb::Set* members(HDEVINFO set) {
    auto& sets = machine().usb().sets;
    auto it = sets.find((uintptr_t)set);
    return it == sets.end() ? nullptr : &it->second;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags) {
    (void)parent;
    if (sim::failsNow("SetupDiGetClassDevsA")) return INVALID_HANDLE_VALUE;
    // Only what the monitor asks for: the present interfaces of one class.
    if (!(flags & DIGCF_DEVICEINTERFACE) || (flags & DIGCF_ALLCLASSES) || enumerator) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    if (!classGuid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto& usb = machine().usb();
    std::lock_guard<std::mutex> lock(usb.mutex);
    std::vector<std::shared_ptr<sim::UsbPrinter>> found;
    for (auto& p : usb.printers)
        if (sameGuid(p->interfaceClass, *classGuid) && (p->present || !(flags & DIGCF_PRESENT))) found.push_back(p);
    uintptr_t value = usb.nextSet;
    usb.nextSet += 4;
    std::vector<std::shared_ptr<sim::UsbPrinter>> devices(found);
    // SetupAPI promises no order between the two lists; Windows 98's is not
    // known, and its personality reverses them to show what depends on one.
    // Reversed, device element i is the device of interface n-1-i; only the
    // device SetupDiGetDeviceInterfaceDetailA names for an interface is surely its own.
    if (machine().traits().deviceElementsReversed) std::reverse(devices.begin(), devices.end());
    usb.sets[value] = {std::move(found), std::move(devices)};
    return (HDEVINFO)value;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                        DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA data) {
    (void)device;
    if (auto e = sim::fault("SetupDiEnumDeviceInterfaces")) return fail(*e);
    std::lock_guard<std::mutex> lock(machine().usb().mutex);
    auto list = members(set);
    if (!list) return fail(ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (!interfaceClass) return fail(ERROR_INVALID_PARAMETER);
    if (memberIndex >= list->interfaces.size()) return fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = *interfaceClass;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = memberIndex + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    if (auto e = sim::fault("SetupDiGetDeviceInterfaceDetailA")) return fail(*e);
    std::lock_guard<std::mutex> lock(machine().usb().mutex);
    auto list = members(set);
    if (!list) return fail(ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > list->interfaces.size())
        return fail(ERROR_INVALID_PARAMETER);
    if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return fail(ERROR_INVALID_USER_BUFFER);
    if (!detail && detailSize) return fail(ERROR_INVALID_USER_BUFFER);
    if (device && device->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    const auto& printer = list->interfaces[data->Reserved - 1];
    const std::string& path = printer->devicePath;
    DWORD needed = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (detailSize < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (device) {
        // The interface's own device, wherever it stands among the elements.
        DWORD element = (DWORD)(std::find(list->devices.begin(), list->devices.end(), printer) - list->devices.begin());
        device->ClassGuid = printer->interfaceClass;
        device->DevInst = element + 1;
        device->Reserved = element + 1;
    }
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA device) {
    if (auto e = sim::fault("SetupDiEnumDeviceInfo")) return fail(*e);
    std::lock_guard<std::mutex> lock(machine().usb().mutex);
    auto list = members(set);
    if (!list) return fail(ERROR_INVALID_HANDLE);
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (memberIndex >= list->devices.size()) return fail(ERROR_NO_MORE_ITEMS);
    device->ClassGuid = list->devices[memberIndex]->interfaceClass;
    device->DevInst = memberIndex + 1;
    device->Reserved = memberIndex + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA device, LPSTR instanceId, DWORD size,
                                        PDWORD requiredSize) {
    if (auto e = sim::fault("SetupDiGetDeviceInstanceIdA")) return fail(*e);
    std::lock_guard<std::mutex> lock(machine().usb().mutex);
    auto list = members(set);
    if (!list) return fail(ERROR_INVALID_HANDLE);
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA) || device->Reserved == 0 ||
        device->Reserved > list->devices.size())
        return fail(ERROR_INVALID_PARAMETER);
    const std::string& id = list->devices[device->Reserved - 1]->instanceId;
    if (requiredSize) *requiredSize = (DWORD)id.size() + 1;
    if (!instanceId && size) return fail(ERROR_INVALID_USER_BUFFER);
    if (size < id.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(instanceId, id.c_str(), id.size() + 1);
    return TRUE;
}

// An injected failure (FaultMode::Fail) still destroys the set; with
// FailKeepingObject the set stays.
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    auto injected = sim::injectedFault("SetupDiDestroyDeviceInfoList");
    std::lock_guard<std::mutex> lock(machine().usb().mutex);
    auto& sets = machine().usb().sets;
    auto it = sets.find((uintptr_t)set);
    bool found = it != sets.end();
    if (injected && injected->mode == sim::FaultMode::FailKeepingObject) {
        if (found) machine().noteCloseRefused("SetupDiDestroyDeviceInfoList", (uintptr_t)set);
        return fail(injected->error);
    }
    if (found) {
        sets.erase(it);
        machine().noteClosed("SetupDiDestroyDeviceInfoList", (uintptr_t)set);
    }
    if (injected) return fail(injected->error);
    return found ? TRUE : fail(ERROR_INVALID_HANDLE);
}
