// Printers follow their devices: every printer whose "Port" value names one of
// the monitor's USB ports is set online when the device behind that port is
// present, and to work offline when it is absent. A printer of a file or null
// port has no device to follow and is left as it is: marked offline, the
// spooler would hold its jobs for ever. Nothing is cached; each refresh reads
// the ports, the devices and the printers as they are.
#include "../monitor/monitor.h"

static const CHAR PortValueName[] = "Port";

// The device identity of a USB port, copied while the lock is held: the record
// may be deleted by a spooler thread as soon as the lock is released. FALSE
// for a port of another kind, so that a user's own "Work Offline" stands.
static BOOL CopyUsbPortDevice(LPCSTR portName, GUID* interfaceGuid, LPSTR instanceId) {
    BOOL found = FALSE;
    EnterCriticalSection(&MonitorLock);
    PortRecord* record = FindPortRecord(portName);
    if (record != NULL && record->config.kind == PortKindUsb) {
        *interfaceGuid = record->config.usb.interfaceGuid;
        lstrcpynA(instanceId, record->config.usb.instanceId, sizeof(record->config.usb.instanceId));
        found = TRUE;
    }
    LeaveCriticalSection(&MonitorLock);
    return found;
}

static BOOL IsSameDevice(const UsbInterfaceInfo* info, LPCSTR instanceId) {
    return CompareAsciiNoCase(info->instanceId, instanceId, RegistryNameMax) == 0;
}

// Present when an interface of the port's class has the port's instance id.
BOOL IsPortDevicePresent(const GUID* interfaceGuid, LPCSTR instanceId) {
    UsbInterfaceInfo info;
    return FindInterface(interfaceGuid, IsSameDevice, instanceId, &info);
}

// A printer's "Port" value, read into eight bytes as the refresh reads it (the
// buffer has one more, so it is always terminated); a value that needs more
// cannot be read (ERROR_MORE_DATA) and never matches. Returns the registry's result.
LONG ReadPrinterPort(HKEY printerKey, LPSTR port) {
    ZeroMemory(port, PrinterPortValueMax + 1);
    DWORD size = PrinterPortValueMax;
    return RegQueryValueExA(printerKey, PortValueName, NULL, NULL, (LPBYTE)port, &size);
}

// Over eight characters ignoring case: a printer on usb-001 prints to USB-001.
BOOL PrinterPortMatches(LPCSTR port, LPCSTR portName) {
    return CompareAsciiNoCase(portName, port, PrinterPortValueMax) == 0;
}

// The subkeys of the monitor's key (by its fixed path) that name a listed USB port.
void RefreshPrinterStates(void) {
    HKEY monitorKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MonitorKeyPath, 0, KEY_READ, &monitorKey) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; index++) {
        CHAR portName[RegistryNameMax];
        ZeroMemory(portName, sizeof portName);
        if (RegEnumKeyA(monitorKey, index, portName, sizeof portName) != ERROR_SUCCESS) break;
        GUID interfaceGuid;
        CHAR instanceId[UsbPathMax];
        if (!CopyUsbPortDevice(portName, &interfaceGuid, instanceId)) continue;
        SetPrintersForPort(portName, IsPortDevicePresent(&interfaceGuid, instanceId));
    }
    RegCloseKey(monitorKey);
}

// Printers match on their "Port" value, read into eight bytes and compared
// over eight characters ignoring case; a longer value cannot be read and never
// matches. A printer whose key path needs more than RegistryNameMax bytes is
// skipped.
void SetPrintersForPort(LPCSTR portName, BOOL online) {
    HKEY printersKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PrintersKeyPath, 0, KEY_READ, &printersKey) != ERROR_SUCCESS) return;
    CHAR printerName[RegistryNameMax];
    ZeroMemory(printerName, sizeof printerName);
    for (DWORD index = 0; RegEnumKeyA(printersKey, index, printerName, sizeof printerName) == ERROR_SUCCESS; index++) {
        CHAR path[RegistryNameMax];
        ZeroMemory(path, sizeof path);
        HKEY printerKey;
        if (!JoinPath(path, sizeof path, PrintersKeyPath, printerName) ||
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &printerKey) != ERROR_SUCCESS)
            continue;
        CHAR port[PrinterPortValueMax + 1];
        if (ReadPrinterPort(printerKey, port) == ERROR_SUCCESS && PrinterPortMatches(port, portName))
            SetPrinterOnline(printerName, online);
        RegCloseKey(printerKey);
    }
    RegCloseKey(printersKey);
}

// Sets or clears the work-offline attribute through the spooler. The printer's
// information is written back at every refresh, also when the bit already had
// the wanted value. Failures only skip the printer.
BOOL SetPrinterOnline(LPSTR printerName, BOOL online) {
    HANDLE printer;
    if (!OpenPrinterA(printerName, &printer, NULL)) return TRUE;
    DWORD needed = 0;
    GetPrinterA(printer, 2, NULL, 0, &needed);  // fails, and says how much it needs
    PRINTER_INFO_2A* info = (PRINTER_INFO_2A*)GlobalAlloc(GPTR, needed);
    if (info == NULL) {
        ClosePrinter(printer);
        return TRUE;
    }
    if (GetPrinterA(printer, 2, (LPBYTE)info, needed, &needed)) {
        if (online == TRUE)
            info->Attributes &= ~PRINTER_ATTRIBUTE_WORK_OFFLINE;
        else
            info->Attributes |= PRINTER_ATTRIBUTE_WORK_OFFLINE;
        SetPrinterA(printer, 2, (LPBYTE)info, 0);
    }
    GlobalFree(info);
    ClosePrinter(printer);
    return TRUE;
}
