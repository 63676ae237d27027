// ZEVURUZI.DLL as its callers see it, in two parts. First what the DLL
// exports: its entry point, InitializeMonitorEx and the table of entry points
// that the spooler gets from it. Then what is no export but source: the
// monitor's names, the registry layout of a port and the decisions the monitor
// makes, compiled from the monitor's own files into zevmon, which asks them in
// order to explain the monitor, and into the tests. The monitor's internals
// are in monitor.h.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <stddef.h>

// ===========================================================================
// Exported by the DLL
// ===========================================================================

// The spooler's table of entry points of the 95/98/Me family: thirteen function
// pointers (52 bytes on the 32-bit DLL). The system headers' MONITOR is a later
// one. The spooler may call from several threads at once: the calls of a job
// come from a thread of its own for each job.
struct MONITOR_TABLE {
    /******************************************************************
     * EnumPorts
     *
     * Lists the monitor's ports into the spooler's buffer, after the USB
     * scan has made the ports of new printers.
     *
     * PARAMS
     *  serverName [I] Carried into the ports made, never used
     *  level      [I] 1 (PORT_INFO_1A) or 2 (PORT_INFO_2A); 0 counts only
     *  buffer     [O] Records from the front, strings packed from the end
     *  bufferSize [I] Size of buffer in bytes
     *  needed     [O] Bytes the whole list takes
     *  returned   [O] Records written
     *
     * RETURNS
     *  Success: TRUE, with the ports made by this very call listed.
     *  Failure: FALSE, ERROR_INSUFFICIENT_BUFFER with *needed set and
     *           *returned 0, or ERROR_INVALID_LEVEL above 2.
     *
     * NOTES
     *  The spooler calls every monitor in turn to build one list, first
     *  for the size, then to fill; a port may appear in between.
     */
    BOOL(WINAPI* pfnEnumPorts)(LPSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed,
                               LPDWORD returned);

    /******************************************************************
     * OpenPort
     *
     * Hands out a port's handle: the address of its record.
     *
     * PARAMS
     *  name   [I] The port's name; letter case does not matter
     *  handle [O] The port's handle
     *
     * RETURNS
     *  Success: TRUE.
     *  Failure: FALSE, ERROR_UNKNOWN_PORT, or ERROR_INVALID_PARAMETER
     *           without a name or a place for the handle.
     *
     * NOTES
     *  Called at the spooler's start for every port that has a printer,
     *  and when a printer is added.
     */
    BOOL(WINAPI* pfnOpenPort)(LPSTR name, PHANDLE handle);

    /******************************************************************
     * OpenPortEx
     *
     * The open of a language monitor stacked on a port. Not offered: the
     * slot is NULL.
     */
    BOOL(WINAPI* pfnOpenPortEx)(LPSTR portName, LPSTR printerName, PHANDLE handle, MONITOR_TABLE* monitor);

    /******************************************************************
     * StartDocPort
     *
     * Opens the back-end of the port's kind for one job.
     *
     * PARAMS
     *  port        [I] From OpenPort
     *  printerName [I] Opened for the job when jobId is not 0
     *  jobId       [I] The spooler's job, or 0
     *  level       [I] 1 or 2
     *  docInfo     [I] DOC_INFO_1A or DOC_INFO_2A
     *
     * RETURNS
     *  Success: TRUE. A document without a name on a port that cannot
     *           be read from is deferred: nothing opens.
     *  Failure: FALSE with the back-end's error (ERROR_CANCELLED for a
     *           file prompt cancelled, ERROR_NOT_READY for an absent
     *           printer), or ERROR_INVALID_PARAMETER while a job is open.
     *
     * NOTES
     *  No EndDocPort follows a failed start, and the 95 family's spooler
     *  is reported to retry the start, so a failed start holds nothing.
     */
    BOOL(WINAPI* pfnStartDocPort)(HANDLE port, LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);

    /******************************************************************
     * WritePort
     *
     * Hands the job's bytes to the back-end in one write.
     *
     * PARAMS
     *  port    [I] A port with an open job
     *  buffer  [I] The bytes; size [I] at least 1
     *  written [O] What the back-end wrote
     *
     * RETURNS
     *  Success: TRUE; fewer bytes than given may be written.
     *  Failure: FALSE with the back-end's error, or ERROR_INVALID_PARAMETER
     *           without a buffer or an open back-end (a deferred job).
     *
     * NOTES
     *  On FALSE the 95 family's spooler shows its error dialog, and Retry
     *  writes the same bytes again.
     */
    BOOL(WINAPI* pfnWritePort)(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written);

    /******************************************************************
     * ReadPort
     *
     * Reads from the printer: the IN pipe of a USB port.
     *
     * PARAMS
     *  port [I] A port with an open job; buffer [O], size [I], read [O]
     *
     * RETURNS
     *  Success: TRUE, with what the printer sent, within one second on
     *           a USB port, whatever its driver does.
     *  Failure: FALSE, ERROR_TIMEOUT when a USB printer sent nothing in
     *           that second, ERROR_CANTREAD on a null or file port, or
     *           as WritePort.
     *
     * NOTES
     *  Meant for language monitors, but the 98 spooler has been seen to
     *  call it on a port that says it can be read from. A read cut short
     *  stays pending: what it brings goes to the next ReadPort.
     */
    BOOL(WINAPI* pfnReadPort)(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read);

    /******************************************************************
     * EndDocPort
     *
     * Closes the job's back-end and releases its printer handle.
     *
     * RETURNS
     *  Success: TRUE, also for a deferred job.
     *  Failure: FALSE with the back-end's error on closing, or
     *           ERROR_INVALID_PARAMETER when no job is open.
     *
     * NOTES
     *  The 95 documentation asks EndDocPort to tell the spooler that the
     *  job is done: a job with a printer handle is marked sent to the
     *  printer with SetJobA before the handle is closed. A refused SetJobA
     *  changes neither the result nor the last error.
     */
    BOOL(WINAPI* pfnEndDocPort)(HANDLE port);

    /******************************************************************
     * ClosePort
     *
     * Checks the handle; the port stays listed and usable.
     *
     * RETURNS
     *  TRUE, or FALSE with ERROR_INVALID_PARAMETER for no port's handle.
     *
     * NOTES
     *  Called at the spooler's shutdown and when a printer is removed.
     */
    BOOL(WINAPI* pfnClosePort)(HANDLE port);

    /******************************************************************
     * AddPort, ConfigurePort
     *
     * The Add Port and Port Settings buttons. Ports come only from the
     * USB scan: both return FALSE and leave the last error as it was.
     */
    BOOL(WINAPI* pfnAddPort)(LPSTR serverName, HWND window, LPSTR monitorName);
    BOOL(WINAPI* pfnConfigurePort)(LPSTR serverName, HWND window, LPSTR portName);

    /******************************************************************
     * DeletePort
     *
     * Removes a port from the list and its key from the registry.
     *
     * PARAMS
     *  serverName [I] Not used
     *  window     [I] Owner of the message box of a busy port
     *  portName   [I] The port; letter case does not matter
     *
     * RETURNS
     *  Success: TRUE. The port comes back at the next enumeration while
     *           its printer is present and its "PortName" names it.
     *  Failure: FALSE, ERROR_UNKNOWN_PORT, or ERROR_BUSY after telling
     *           the user, while a job (deferred or not) is open on it.
     *
     * NOTES
     *  The 95 family's spooler never deletes a port that is open; other
     *  callers may.
     */
    BOOL(WINAPI* pfnDeletePort)(LPSTR serverName, HWND window, LPSTR portName);

    /******************************************************************
     * GetPrinterDataFromPort
     *
     * A device control on the printer of the open job.
     *
     * PARAMS
     *  controlId [I] The device control code; valueName [I] not used
     *  inBuffer, inSize, outBuffer, outSize [I/O] As DeviceIoControl
     *  returned  [O] Bytes placed in outBuffer
     *
     * RETURNS
     *  Success: TRUE, the USB device's answer.
     *  Failure: FALSE, ERROR_INVALID_PARAMETER on a null or file port or
     *           without an open job, or the driver's error.
     *
     * NOTES
     *  A language monitor of the 95 family sends its IEEE 1284 requests
     *  to the printer this way.
     */
    BOOL(WINAPI* pfnGetPrinterDataFromPort)(HANDLE port, DWORD controlId, LPSTR valueName, LPSTR inBuffer,
                                            DWORD inSize, LPSTR outBuffer, DWORD outSize, LPDWORD returned);

    /******************************************************************
     * SetPortTimeOuts
     *
     * Sets the time-outs of the open job's USB device, then of its pipes.
     *
     * RETURNS
     *  Success: TRUE.
     *  Failure: FALSE, ERROR_INVALID_PARAMETER on a null or file port or
     *           without an open job, or the system's error.
     *
     * NOTES
     *  Who calls it on the 95 family is not documented; there the comm
     *  time-outs are expected to fail on a USB device's handle, and the
     *  pipes keep none.
     */
    BOOL(WINAPI* pfnSetPortTimeOuts)(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved);
};
static_assert(sizeof(MONITOR_TABLE) == 13 * sizeof(void*), "thirteen slots, nothing else");

/**********************************************************************
 * InitializeMonitorEx
 *
 * Loads the ports from the registry, starts the status watcher and fills
 * the spooler's table.
 *
 * PARAMS
 *  registryRoot [I] The monitor's key below HKEY_LOCAL_MACHINE
 *  monitor      [O] The table to fill
 *
 * RETURNS
 *  Success: TRUE. A later call hands out the table again and reloads
 *           nothing.
 *  Failure: FALSE, ERROR_INVALID_PARAMETER without a root or a table,
 *           or the error of a port key that cannot be read.
 *
 * NOTES
 *  The 95 family's spooler deletes registryRoot when the monitor is
 *  deleted.
 */
extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR registryRoot, MONITOR_TABLE* monitor);

// The DLL's entry point: process attach makes the locks.
extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved);

// ===========================================================================
// Not exported: source compiled into zevmon and the tests
// ===========================================================================

// ---------------------------------------------------------------------------
// A call of the table, as a caller that traces its calls reports it
// ---------------------------------------------------------------------------

// One call just made: what it was given, what it gave back, its result and
// the last error it left. The strings are the caller's, valid while it reports.
struct MonitorCall {
    LPCSTR slot;      // "OpenPort", "StartDocPort", "WritePort", "ReadPort", "EndDocPort", "ClosePort"
    HANDLE port;      // the port's handle: given, or given back by OpenPort
    LPCSTR name;      // OpenPort's port, StartDocPort's printer; NULL for none
    LPCSTR document;  // StartDocPort's; NULL for none
    DWORD jobId;      // StartDocPort's
    DWORD level;      // StartDocPort's
    DWORD size;       // the bytes given to WritePort, or room given to ReadPort
    DWORD done;       // the bytes written or read
    BOOL result;
    DWORD error;      // GetLastError() just after the call
};

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

// Every name the monitor reads into a buffer of its own (a key's below the
// monitor's key, Enum\USB or the printers key, a device's instance id), and
// every key path it builds below Enum\USB or the printers key, fits these
// bytes with its terminator; a longer one is passed over.
#define RegistryNameMax 256
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
    CHAR existingKey[RegistryNameMax];    // UsbInstancePortExists: the port's key, in its own letter case
    BOOL finishesKey;                     // UsbInstanceNewPort: the port's key was left cut short
    CHAR instanceId[RegistryNameMax];     // the matching interface's instance id, or empty
};

PortKeyLookUp LookUpPortKey(LPCSTR portName, LPSTR keyName);
void DecideUsbInstance(HKEY instanceKey, LPCSTR instanceName, UsbInstanceDecision* decision);

// The refresh: whether a port's device is present, and which printers print to it.
BOOL IsPortDevicePresent(const GUID* interfaceGuid, LPCSTR instanceId);
LONG ReadPrinterPort(HKEY printerKey, LPSTR port);
BOOL PrinterPortMatches(LPCSTR port, LPCSTR portName);
