// ZEVURUZI.DLL as its callers see it: the spooler's table of entry points, the
// registry layout of a port, the monitor's names, and the decisions the
// monitor makes, which a tool may ask in order to explain them. The monitor's
// internals are in monitor.h.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <stddef.h>

// ---------------------------------------------------------------------------
// Names and limits
// ---------------------------------------------------------------------------

// The monitor's registry key below HKEY_LOCAL_MACHINE, as the spooler names it.
#define MonitorKeyPath "System\\CurrentControlSet\\Control\\Print\\Monitors\\VO DUV Udadizo"

// PortKind, held in PortConfig.kind.
#define PortKindNull 0
#define PortKindFile 1
#define PortKindUsb 2

#define UsbEnumKeyPath "Enum\\USB"
#define PrintersKeyPath "System\\CurrentControlSet\\Control\\Print\\Printers"
#define StatusWindowClass "SetQMUsbPortStatus"
#define DriverIndexRebuildCommand "Rundll setupx.dll,DiBuildDriverIndex TRUE"

#define PortNameMax 256        // longest registry key name the monitor reads, with terminator
#define UsbPortNameMax 8       // "USB-" and at most three more, with the terminator
#define PrinterPortValueMax 8  // a printer's "Port" value is read into 8 bytes

// The subkey below the monitor's key that probes it before every port is made,
// and marks, in its "PortName" value, the port being made.
#define ProbeKeyName "ZEVURUZI"

// The device interface class of the printers this monitor makes ports for.
extern const GUID UsbPortInterfaceGuid;

// ---------------------------------------------------------------------------
// A port's stored configuration: value "Property" of its key below the monitor's
// ---------------------------------------------------------------------------

// The USB block of a port's configuration, handed to the USB back-end as a unit.
struct UsbPortConfig {
    GUID interfaceGuid;        // device interface class of the printer
    CHAR instanceId[260];      // device instance id, USB\...
    DWORD usbReserved;         // written as 0, never read
    INT writePipe;             // bulk OUT pipe number; negative: none
    INT readPipe;              // bulk IN pipe number; negative: none
};

// The persisted configuration of a port: registry value "Property", 556 bytes,
// little-endian, with no header; a shorter value leaves the rest zero.
struct PortConfig {
    INT kind;                  // PortKind
    DWORD nullConfig;          // handed to the null back-end, which ignores it
    CHAR fileName[260];        // file port target; empty: ask at every job
    UsbPortConfig usb;
};
static_assert(sizeof(UsbPortConfig) == 288, "USB block layout");
static_assert(sizeof(PortConfig) == 556, "stored configuration layout");
static_assert(offsetof(PortConfig, fileName) == 8, "stored configuration layout");
static_assert(offsetof(PortConfig, usb) == 268, "stored configuration layout");
static_assert(offsetof(PortConfig, usb) + offsetof(UsbPortConfig, instanceId) == 284, "stored configuration layout");
static_assert(offsetof(PortConfig, usb) + offsetof(UsbPortConfig, writePipe) == 548, "stored configuration layout");

// ---------------------------------------------------------------------------
// The table of entry points
// ---------------------------------------------------------------------------

// The spooler's table of entry points of the 95/98/Me family: thirteen function
// pointers (52 bytes on the 32-bit DLL). The system headers' MONITOR is a later one.
struct MONITOR_TABLE {
    BOOL(WINAPI* pfnEnumPorts)(LPSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed,
                               LPDWORD returned);
    BOOL(WINAPI* pfnOpenPort)(LPSTR name, PHANDLE handle);
    BOOL(WINAPI* pfnOpenPortEx)(LPSTR portName, LPSTR printerName, PHANDLE handle, MONITOR_TABLE* monitor);
    BOOL(WINAPI* pfnStartDocPort)(HANDLE port, LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
    BOOL(WINAPI* pfnWritePort)(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written);
    BOOL(WINAPI* pfnReadPort)(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read);
    BOOL(WINAPI* pfnEndDocPort)(HANDLE port);
    BOOL(WINAPI* pfnClosePort)(HANDLE port);
    BOOL(WINAPI* pfnAddPort)(LPSTR serverName, HWND window, LPSTR monitorName);
    BOOL(WINAPI* pfnConfigurePort)(LPSTR serverName, HWND window, LPSTR portName);
    BOOL(WINAPI* pfnDeletePort)(LPSTR serverName, HWND window, LPSTR portName);
    BOOL(WINAPI* pfnGetPrinterDataFromPort)(HANDLE port, DWORD controlId, LPSTR valueName, LPSTR inBuffer,
                                            DWORD inSize, LPSTR outBuffer, DWORD outSize, LPDWORD returned);
    BOOL(WINAPI* pfnSetPortTimeOuts)(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved);
};
static_assert(sizeof(MONITOR_TABLE) == 13 * sizeof(void*), "thirteen slots, nothing else");

extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR registryRoot, MONITOR_TABLE* monitor);

// ---------------------------------------------------------------------------
// The monitor's decisions, asked without changing anything
// ---------------------------------------------------------------------------

// The start: what it makes of one key below the monitor's key.
BOOL IsProbeKeyName(LPCSTR name);
BOOL ReadPortConfigAt(LPCSTR rootPath, LPCSTR name, PortConfig* config);
enum PortKeyStartVerdict {
    PortKeyLoads,              // a port, with its configuration
    PortKeyPassedOver,         // the probe key, or the port it marks as cut short
    PortKeyFailsStart,         // unreadable: the start fails with the read's error
};
PortKeyStartVerdict ClassifyPortKey(LPCSTR rootPath, LPCSTR name, PortConfig* config, LPDWORD error);

// The scan at every enumeration. What a port name finds below the monitor's key:
enum PortKeyLookUp {
    PortKeyAbsent,             // no key of that name: the port is to be made
    PortKeyPresent,            // the port exists
    PortKeyUnfinished,         // a port cut short: to be made whole
    PortKeyUnknown,            // the monitor's key could not be opened or listed
};

// What the scan does with one instance key below Enum\USB:
enum UsbInstanceVerdict {
    UsbInstanceNoPortName,     // no "PortName" value it can read
    UsbInstanceNameTooLong,    // "PortName" needs more than eight bytes
    UsbInstanceNotOurName,     // "PortName" does not begin with "USB-" (letter case counts)
    UsbInstancePortsExhausted, // "USB-000": the value is deleted and the user told
    UsbInstancePortExists,     // the monitor's key has a port of that name
    UsbInstancePortsUnknown,   // the monitor's key cannot be opened or listed: nothing is made
    UsbInstanceNoDevice,       // no present interface ends in the instance key's name
    UsbInstanceNotUsbDevice,   // the matching interface's instance id does not begin with "USB\"
    UsbInstanceNewPort,        // the port is made
    UsbInstanceNotKeyName,     // "PortName" holds a backslash: it cannot name a key of its own
};

struct UsbInstanceDecision {
    UsbInstanceVerdict verdict;
    LONG error;                           // the read of "PortName"
    CHAR portName[UsbPortNameMax + 1];    // as read, always terminated
    CHAR existingKey[PortNameMax];        // UsbInstancePortExists: the port's key, in its own letter case
    BOOL finishesKey;                     // UsbInstanceNewPort: the port's key was left cut short
    CHAR instanceId[PortNameMax];         // the matching interface's instance id, or empty
};

PortKeyLookUp LookUpPortKey(LPCSTR portName, LPSTR keyName);
void DecideUsbInstance(HKEY instanceKey, LPCSTR instanceName, UsbInstanceDecision* decision);

// The refresh: whether a port's device is present, and which printers print to it.
BOOL IsPortDevicePresent(const GUID* interfaceGuid, LPCSTR instanceId);
LONG ReadPrinterPort(HKEY printerKey, LPSTR port);
BOOL PrinterPortMatches(LPCSTR port, LPCSTR portName);
