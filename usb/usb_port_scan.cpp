// Automatic USB ports: at every enumeration the USB branch of the device
// registry is walked for printer instances whose "PortName" names a port this
// monitor does not have yet, and a USB port bound to the printer's device is
// created, saved and listed for each.
#include "../monitor/monitor.h"

static const CHAR PortNameValue[] = "PortName";
static const CHAR PortsExhaustedText[] =
    "Because the USB Port Number has exceeded the upper limit, the USB Port was not able to be created.\n"
    "Please delete any unnecessary USB Ports.";
static const CHAR PortsExhaustedCaption[] = "Error Message";

// The stored spelling of the subkey of key whose name is name ignoring ASCII
// letter case, into spelling (RegistryNameMax bytes); the name as given when
// the registry matched it by a rule of its own. FALSE when the subkeys cannot be
// listed. Names too long for the buffer are passed over.
static BOOL ReadKeySpelling(HKEY key, LPCSTR name, LPSTR spelling) {
    lstrcpynA(spelling, name, RegistryNameMax);
    for (DWORD index = 0;; index++) {
        CHAR stored[RegistryNameMax];
        ZeroMemory(stored, sizeof stored);
        LONG result = RegEnumKeyA(key, index, stored, sizeof stored);
        if (result == ERROR_MORE_DATA) continue;
        if (result == ERROR_NO_MORE_ITEMS) return TRUE;
        if (result != ERROR_SUCCESS) return FALSE;
        if (CompareAsciiNoCase(stored, name, 0x7fffffff) == 0) {
            lstrcpynA(spelling, stored, RegistryNameMax);
            return TRUE;
        }
    }
}

// The monitor's key by its fixed path: its subkeys are the ports that exist.
// Names compare as the registry compares them, ignoring letter case: a key
// usb-001 is the port USB-001, and making it again would only add a second
// record for the same key at every enumeration. The port's key is opened by
// its name, so that a look-up costs the same whatever the number of ports. A
// name that no key can have (empty, too long, or with a backslash, which would
// be opened as a path to another key) names no port. Only a caller that shows
// the key's own spelling gets it, in keyName (RegistryNameMax bytes): reading
// it lists the monitor's key.
PortKeyLookUp LookUpPortKey(LPCSTR portName, LPSTR keyName) {
    if (keyName != NULL) keyName[0] = 0;
    HKEY monitorKey;
    // Opened to be read as a whole: a key that cannot be listed leaves the answer unknown.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MonitorKeyPath, 0, KEY_READ, &monitorKey) != ERROR_SUCCESS)
        return PortKeyUnknown;
    PortKeyLookUp found = PortKeyAbsent;
    if (IsKeyName(portName) && lstrlenA(portName) < RegistryNameMax) {
        HKEY portKey;
        LONG result = RegOpenKeyExA(monitorKey, portName, 0, KEY_QUERY_VALUE, &portKey);
        if (result == ERROR_SUCCESS) RegCloseKey(portKey);
        // A key that refuses to be opened is there all the same.
        if (result == ERROR_SUCCESS || result == ERROR_ACCESS_DENIED) {
            // A key left by a making cut short is the port still to be made.
            found = IsUnfinishedPortKey(MonitorKeyPath, portName) ? PortKeyUnfinished : PortKeyPresent;
            if (keyName != NULL && !ReadKeySpelling(monitorKey, portName, keyName)) found = PortKeyUnknown;
        } else if (result != ERROR_FILE_NOT_FOUND) {
            // Any other error leaves the answer unknown, and no port is made on a guess.
            found = PortKeyUnknown;
        }
    }
    RegCloseKey(monitorKey);
    return found;
}

// TRUE when a port of that name is to be made: no key has the name, or the one
// that has it is a port cut short.
BOOL IsPortNameUnused(LPCSTR portName) {
    PortKeyLookUp found = LookUpPortKey(portName, NULL);
    return found == PortKeyAbsent || found == PortKeyUnfinished;
}

// The request for a USB port bound to the printer's device: written to by
// pipe 1, read from pipe 0 until the descriptors say otherwise.
static PortCreateRequest* NewUsbPortRequest(LPCSTR serverName, LPCSTR portName, LPCSTR instanceId) {
    PortCreateRequest* request = NewPortCreateRequest(portName, serverName);
    if (request == NULL) return NULL;
    ZeroMemory(&request->config, sizeof(PortConfig));
    request->config.kind = PortKindUsb;
    request->config.usb.interfaceGuid = UsbPortInterfaceGuid;
    SetUsbInstanceId(&request->config.usb, instanceId);
    request->config.usb.usbReserved = 0;
    request->config.usb.writePipe = 1;
    request->config.usb.readPipe = 0;
    return request;
}

// Holding PortCreationLock: the name is checked again, the probe key made and
// marked with the port's name, the port saved and listed, and the mark
// removed. Returns as CreateUsbPort does; a probe that fails leaves its error
// in *probeError for the message that is shown once the lock is released.
// Each step runs only when those before it succeeded; the one way out then
// releases what was made and removes the probe.
static BOOL CreateUsbPortLocked(LPCSTR serverName, LPCSTR portName, LPCSTR instanceId, DWORD* probeError) {
    // Another enumeration may have made the port since this one looked.
    if (!IsPortNameUnused(portName)) return FALSE;
    BOOL result = TRUE;             // dealt with, unless there was no memory for the port
    BOOL keepProbe = FALSE;
    PortCreateRequest* request = NULL;
    PortRecord* record = NULL;
    if (!CreatePortKey(ProbeKeyName)) {
        *probeError = GetLastError();  // the probe goes all the same: it may be made and only its closing failed
    } else if (!ClearUnfinishedPort(portName) || !MarkPortCreation(portName)) {
        // dropped; the next enumeration tries again
    } else if ((request = NewUsbPortRequest(serverName, portName, instanceId)) == NULL ||
               (record = CreatePortFromRequest(request)) == NULL) {
        result = FALSE;
    } else if (!SavePort(record)) {
        // A key left without its "Property" value would fail every later start:
        // it goes with the port. If it cannot go, the mark stays, so that the
        // next start passes it over and the next scan finishes it.
        keepProbe = !RemovePortKey(record->name);
    } else if (LinkPortRecord(record)) {
        record = NULL;  // the list holds it now
    } else {
        ForgetPort(record);
    }
    if (request != NULL) FreePortRecord(request);
    if (record != NULL) FreePortRecord(record);
    // A probe that cannot be removed is harmless: its mark names a whole port
    // or no key at all, and the next probe takes the key over.
    if (!keepProbe) DeletePortKey(ProbeKeyName);
    return result;
}

// The probe subkey shows whether the monitor's key takes new subkeys at all;
// when it does not, the user is told the system's reason and no port is made.
// TRUE when the case was dealt with (port made, or the user told, or the port
// dropped), FALSE when nothing was done. Two enumerations at once must not
// both make the port: the check and the making are one step under a lock of
// their own, never held across a message box.
BOOL CreateUsbPort(LPCSTR serverName, LPCSTR portName, LPCSTR instanceId) {
    if (CompareAscii(instanceId, "USB\\", 4) != 0) return FALSE;
    DWORD probeError = ERROR_SUCCESS;
    EnterCriticalSection(&PortCreationLock);
    BOOL result = CreateUsbPortLocked(serverName, portName, instanceId, &probeError);
    LeaveCriticalSection(&PortCreationLock);
    if (probeError != ERROR_SUCCESS) {
        CHAR text[256];
        if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, probeError, 0, text, sizeof text, NULL) != 0)
            MessageBoxA(GetDesktopWindow(), text, GetMonitorName(), MB_OK);
    }
    return result;
}

// The USB-000 name means the port numbers ran out: the value goes, so that the
// user is told once, through a handle that may delete it.
static void ReportPortsExhausted(HKEY deviceKey, LPCSTR instanceName) {
    HKEY writable;
    if (RegOpenKeyExA(deviceKey, instanceName, 0, KEY_SET_VALUE, &writable) == ERROR_SUCCESS) {
        RegDeleteValueA(writable, PortNameValue);
        RegCloseKey(writable);
    }
    MessageBoxA(GetDesktopWindow(), PortsExhaustedText, PortsExhaustedCaption, MB_OK);
}

// The instance key is named after the last component of its device's instance id.
static BOOL IsInstanceKeysDevice(const UsbInterfaceInfo* info, LPCSTR instanceName) {
    return EndsWithAsciiNoCase(instanceName, LastPathComponent(info->instanceId), RegistryNameMax);
}

// The present printer interface whose instance id ends in the same component
// as the instance key's name; the first one wins.
static void FindInstanceId(LPCSTR instanceName, LPSTR instanceId) {
    ZeroMemory(instanceId, RegistryNameMax);
    UsbInterfaceInfo info;
    if (FindInterface(&UsbPortInterfaceGuid, IsInstanceKeysDevice, instanceName, &info))
        lstrcpynA(instanceId, info.instanceId, RegistryNameMax);
}

// What the scan does with one instance key, decided from the registry and the
// devices present without changing either: the scan acts on the verdict, and
// whoever explains the scan to a user asks the same question, and is told the
// existing port's key in its own spelling, which the scan does not ask for.
static void DecideInstance(HKEY instanceKey, LPCSTR instanceName, UsbInstanceDecision* decision, BOOL spelled) {
    ZeroMemory(decision, sizeof *decision);
    // Read into eight bytes; the buffer has one more, so that an
    // eight-character value is still terminated. A longer one cannot be read.
    DWORD size = UsbPortNameMax;
    decision->error =
        RegQueryValueExA(instanceKey, PortNameValue, NULL, NULL, (LPBYTE)decision->portName, &size);
    if (decision->error == ERROR_MORE_DATA) {
        decision->verdict = UsbInstanceNameTooLong;
    } else if (decision->error != ERROR_SUCCESS) {
        decision->verdict = UsbInstanceNoPortName;
    } else if (CompareAscii(decision->portName, "USB-", 4) != 0) {
        decision->verdict = UsbInstanceNotOurName;
    } else if (CompareAscii(decision->portName, "USB-000", UsbPortNameMax) == 0) {
        decision->verdict = UsbInstancePortsExhausted;
    } else if (!IsKeyName(decision->portName)) {
        // A port is a key below the monitor's: USB-0\1 would make a key USB-0
        // with a subkey, never found again under its own name.
        decision->verdict = UsbInstanceNotKeyName;
    } else {
        PortKeyLookUp found = LookUpPortKey(decision->portName, spelled ? decision->existingKey : NULL);
        if (found == PortKeyPresent) {
            decision->verdict = UsbInstancePortExists;
        } else if (found == PortKeyUnknown) {
            decision->verdict = UsbInstancePortsUnknown;
        } else {
            decision->finishesKey = found == PortKeyUnfinished;
            FindInstanceId(instanceName, decision->instanceId);
            if (decision->instanceId[0] == 0)
                decision->verdict = UsbInstanceNoDevice;
            else if (CompareAscii(decision->instanceId, "USB\\", 4) != 0)
                decision->verdict = UsbInstanceNotUsbDevice;
            else
                decision->verdict = UsbInstanceNewPort;
        }
    }
}

void DecideUsbInstance(HKEY instanceKey, LPCSTR instanceName, UsbInstanceDecision* decision) {
    DecideInstance(instanceKey, instanceName, decision, TRUE);
}

// One instance key: TRUE when a port was dealt with.
static BOOL ScanInstance(LPCSTR serverName, HKEY deviceKey, LPCSTR devicePath, LPCSTR instanceName) {
    CHAR path[RegistryNameMax];
    if (!JoinPath(path, sizeof path, devicePath, instanceName)) return FALSE;
    HKEY instanceKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &instanceKey) != ERROR_SUCCESS) return FALSE;
    BOOL result = FALSE;
    UsbInstanceDecision decision;
    DecideInstance(instanceKey, instanceName, &decision, FALSE);
    if (decision.verdict == UsbInstancePortsExhausted) {
        ReportPortsExhausted(deviceKey, instanceName);
    } else if (decision.verdict == UsbInstanceNoDevice || decision.verdict == UsbInstanceNotUsbDevice ||
               decision.verdict == UsbInstanceNewPort) {
        // The making refuses an instance id that is not a USB device's.
        result = CreateUsbPort(serverName, decision.portName, decision.instanceId);
    }
    RegCloseKey(instanceKey);
    return result;
}

// Names too long for the RegistryNameMax buffers are passed over, and the walk goes on.
BOOL ScanUsbPortNames(LPCSTR serverName) {
    HKEY usbKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UsbEnumKeyPath, 0, KEY_READ, &usbKey) != ERROR_SUCCESS) return FALSE;
    BOOL result = FALSE;
    for (DWORD deviceIndex = 0;; deviceIndex++) {
        CHAR deviceName[RegistryNameMax];
        LONG enumerated = RegEnumKeyA(usbKey, deviceIndex, deviceName, sizeof deviceName);
        if (enumerated == ERROR_MORE_DATA) continue;
        if (enumerated != ERROR_SUCCESS) break;
        CHAR devicePath[RegistryNameMax];
        HKEY deviceKey;
        if (!JoinPath(devicePath, sizeof devicePath, UsbEnumKeyPath, deviceName) ||
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, devicePath, 0, KEY_READ, &deviceKey) != ERROR_SUCCESS)
            continue;
        for (DWORD instanceIndex = 0;; instanceIndex++) {
            CHAR instanceName[RegistryNameMax];
            enumerated = RegEnumKeyA(deviceKey, instanceIndex, instanceName, sizeof instanceName);
            if (enumerated == ERROR_MORE_DATA) continue;
            if (enumerated != ERROR_SUCCESS) break;
            if (ScanInstance(serverName, deviceKey, devicePath, instanceName)) result = TRUE;
        }
        RegCloseKey(deviceKey);
    }
    RegCloseKey(usbKey);
    return result;
}
