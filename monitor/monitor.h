// ZEVURUZI.DLL: the records, the process-wide state and the operations of the
// monitor, grouped by the file that holds them. Plain Win32: no classes, no
// exceptions, no C or C++ runtime; results are BOOLs with the reason in the
// thread's last-error value.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <setupapi.h>
#include <commdlg.h>
#include <commctrl.h>
#include <stddef.h>

// The system headers map these names to their A/W forms; here they name the
// monitor's own entry points.
#undef EnumPorts
#undef AddPort
#undef ConfigurePort
#undef DeletePort

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

#define PortSignature 0x8940

// The monitor's registry key below HKEY_LOCAL_MACHINE, as the spooler names it.
#define MonitorKeyPath "System\\CurrentControlSet\\Control\\Print\\Monitors\\VO DUV Udadizo"

// PortKind, held in PortConfig.kind and latched per job in PortRecord.activeKind.
#define PortKindNull 0
#define PortKindFile 1
#define PortKindUsb 2

// JobFlags, bits of PortRecord.flags.
#define JobBackEndOpen 0x2
#define JobDeferred 0x8

#define PortNameMax 256        // longest registry key name the monitor reads, with terminator
#define PortTextMax 128        // monitor name and description buffers
#define PortKeyPathMax 512     // MonitorRoot + "\" + port name
#define UsbPathMax 260         // device path, instance id, pipe file name

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

// State of the file back-end while a job runs.
struct FileTarget {
    HANDLE handle;             // the open target file; 0 when none
    DWORD writeOnly;           // set by every successful open: reads, time-outs and controls are refused
};

// State of the USB back-end while a job runs: 0 = not open; a pipe may hold
// INVALID_HANDLE_VALUE when it failed to open.
struct UsbPipeSet {
    HANDLE device;
    HANDLE writeHandle;
    HANDLE readHandle;
};

// One port: its configuration, the spooler's port handle (by address) and the
// state of the job open on it. One zero-filled allocation that ends with the name.
struct PortRecord {
    DWORD signature;           // PortSignature
    DWORD recordSize;          // the whole allocation
    PortRecord* next;
    DWORD flags;               // JobFlags
    LPSTR name;                // points at the copy behind the record
    CHAR monitorName[PortTextMax];
    CHAR description[PortTextMax];
    DWORD portType;
    PortConfig config;
    HANDLE printer;            // the job's printer handle, or 0
    INT activeKind;            // config.kind latched when the back-end was opened
    FileTarget file;
    UsbPipeSet usb;
};

// What a new port is made from: a name and a configuration. One zero-filled
// allocation followed by copies of the name and the server name.
struct PortCreateRequest {
    LPSTR name;
    LPSTR serverName;          // carried, never used for the record
    CHAR nameBuffer[PortNameMax];
    PortConfig config;
};

// One present device interface, as the look-up reports it.
struct UsbInterfaceInfo {
    CHAR devicePath[UsbPathMax];
    CHAR instanceId[UsbPathMax];
};

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

// ---------------------------------------------------------------------------
// monitor_entry.cpp: module entry, initialisation, process-wide state
// ---------------------------------------------------------------------------

extern HINSTANCE MonitorModule;
extern CRITICAL_SECTION MonitorLock;        // guards PortList and the change of MonitorRoot
extern CRITICAL_SECTION PortCreationLock;   // makes "no such port yet" and its making one step
extern LPSTR MonitorRoot;                   // registry path of the monitor key below HKLM
extern PortRecord* PortList;
extern LONG volatile DriverIndexRebuildPending;
extern LONG volatile MonitorInitialised;      // set once the table has been handed out
extern const MONITOR_TABLE MonitorTable;

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR registryRoot, MONITOR_TABLE* monitor);
BOOL WINAPI ClosePort(HANDLE port);
BOOL WINAPI AddPort(LPSTR serverName, HWND window, LPSTR monitorName);
BOOL WINAPI ConfigurePort(LPSTR serverName, HWND window, LPSTR portName);
PortRecord* CheckPortHandle(HANDLE port);
BOOL Fail(DWORD error);

// ---------------------------------------------------------------------------
// text.cpp: strings without a C runtime
// ---------------------------------------------------------------------------

int CompareAsciiNoCase(LPCSTR a, LPCSTR b, int maxChars);
int CompareAscii(LPCSTR a, LPCSTR b, int maxChars);
BOOL EndsWithAsciiNoCase(LPCSTR text, LPCSTR tail, int maxChars);
LPCSTR LastPathComponent(LPCSTR path);
BOOL IsKeyName(LPCSTR name);
BOOL JoinPath(LPSTR buffer, int bufferSize, LPCSTR head, LPCSTR tail);

// ---------------------------------------------------------------------------
// port_record.cpp: PortRecord and PortList
// ---------------------------------------------------------------------------

PortRecord* CreatePortFromRegistry(LPCSTR keyName);
PortRecord* CreatePortFromRequest(const PortCreateRequest* request);
PortCreateRequest* NewPortCreateRequest(LPCSTR name, LPCSTR serverName);
BOOL LinkPortRecord(PortRecord* record);
BOOL UnlinkPortRecord(PortRecord* record);
PortRecord* FindPortRecord(LPCSTR name);
BOOL FreePortRecord(void* record);
BOOL FreeAllPortRecords(void);
void FillPortInfo(PortRecord* record, LPSTR monitorName, LPSTR description, LPDWORD portType);
LPCSTR GetMonitorName(void);
BOOL WINAPI OpenPort(LPSTR name, PHANDLE handle);

// ---------------------------------------------------------------------------
// port_store.cpp: the port keys and their "Property" values
// ---------------------------------------------------------------------------

BOOL CreatePortKey(LPCSTR name);
BOOL DeletePortKey(LPCSTR name);
BOOL ReadPortConfig(LPCSTR name, PortConfig* config);
BOOL ReadPortConfigAt(LPCSTR rootPath, LPCSTR name, PortConfig* config);
BOOL WritePortConfig(LPCSTR name, const PortConfig* config);
BOOL CountPortKeys(LPDWORD count);
BOOL GetPortKeyName(LPSTR buffer, DWORD size, DWORD index);
BOOL RemovePortKey(LPCSTR name);
BOOL MarkPortCreation(LPCSTR name);
BOOL IsUnfinishedPortKey(LPCSTR rootPath, LPCSTR name);
BOOL ClearUnfinishedPort(LPCSTR nextName);
BOOL IsProbeKeyName(LPCSTR name);
BOOL IsPassedOverAtStart(LPCSTR rootPath, LPCSTR name, DWORD readError);
// What the next start makes of one key below the monitor's key.
#define PortKeyLoads 0
#define PortKeyPassedOver 1
#define PortKeyFailsStart 2
DWORD ClassifyPortKey(LPCSTR rootPath, LPCSTR name, PortConfig* config, LPDWORD error);
BOOL SavePort(const PortRecord* record);
BOOL ForgetPort(const PortRecord* record);
BOOL LoadPortsFromRegistry(void);

// ---------------------------------------------------------------------------
// port_enum.cpp: enumeration and deletion
// ---------------------------------------------------------------------------

BOOL WINAPI EnumPorts(LPSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed,
                      LPDWORD returned);
BOOL EnumeratePorts(DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed, LPDWORD returned);
BOOL WINAPI DeletePort(LPSTR serverName, HWND window, LPSTR portName);

// ---------------------------------------------------------------------------
// jobs/port_jobs.cpp: job start and end
// ---------------------------------------------------------------------------

BOOL WINAPI StartDocPort(HANDLE port, LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
BOOL WINAPI EndDocPort(HANDLE port);
BOOL OpenJobBackEnd(PortRecord* record, DWORD level, LPBYTE docInfo);
BOOL CloseJobBackEnd(PortRecord* record);
BOOL IsDeferredJob(PortRecord* record, DWORD level, LPBYTE docInfo);

// ---------------------------------------------------------------------------
// jobs/port_io.cpp: I/O dispatch by kind, and the null back-end
// ---------------------------------------------------------------------------

// The operations every back-end offers, on the port's record. A kind without a
// back-end (BackEndForKind returns NULL) opens nothing and accepts everything.
struct BackEnd {
    BOOL (*open)(PortRecord* record);
    BOOL (*close)(PortRecord* record);
    BOOL (*write)(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD written);
    BOOL (*read)(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD read);
    BOOL (*control)(PortRecord* record, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                    LPDWORD returned);
    BOOL (*timeouts)(PortRecord* record, LPCOMMTIMEOUTS timeouts);
};

extern const BackEnd NullBackEnd;
const BackEnd* BackEndForKind(INT kind);

// What a port's kind means: the description enumeration reports, the port
// type (a USB port can be read from), and the back-end of its jobs.
struct PortKindTraits {
    INT kind;
    UINT descriptionId;
    DWORD portType;
    const BackEnd* backEnd;
};
const PortKindTraits* TraitsOfKind(INT kind);  // NULL for a kind the monitor does not know

BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written);
BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read);
BOOL WINAPI GetPrinterDataFromPort(HANDLE port, DWORD controlId, LPSTR valueName, LPSTR inBuffer, DWORD inSize,
                                   LPSTR outBuffer, DWORD outSize, LPDWORD returned);
BOOL WINAPI SetPortTimeOuts(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved);

// ---------------------------------------------------------------------------
// jobs/file_target.cpp: the file back-end
// ---------------------------------------------------------------------------

extern const BackEnd FileBackEnd;
BOOL OpenFileTarget(FileTarget* target, LPCSTR fileName);
BOOL CloseFileTarget(FileTarget* target);
BOOL WriteFileTarget(FileTarget* target, LPBYTE buffer, DWORD size, LPDWORD written);
BOOL ReadFileTarget(FileTarget* target, LPBYTE buffer, DWORD size, LPDWORD read);
BOOL SetFileTargetTimeouts(FileTarget* target, LPCOMMTIMEOUTS timeouts);
BOOL ControlFileTarget(FileTarget* target, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                       DWORD outSize, LPDWORD returned);

// ---------------------------------------------------------------------------
// jobs/usb_pipes.cpp: the USB pipe back-end
// ---------------------------------------------------------------------------

// The driver's request for the device's USB descriptors.
#define GetDescriptorsIoctl CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define UsbDescriptorBufferSize 256

extern const BackEnd UsbBackEnd;
BOOL OpenUsbPipes(UsbPipeSet* pipes, UsbPortConfig* usbConfig);
BOOL CloseUsbPipes(UsbPipeSet* pipes);
BOOL WriteUsbPipe(UsbPipeSet* pipes, LPBYTE buffer, DWORD size, LPDWORD written);
BOOL ReadUsbPipe(UsbPipeSet* pipes, LPBYTE buffer, DWORD size, LPDWORD read);
BOOL ControlUsbDevice(UsbPipeSet* pipes, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                      LPDWORD returned);
BOOL SetUsbPipeTimeouts(UsbPipeSet* pipes, LPCOMMTIMEOUTS timeouts);
BOOL SetUsbInstanceId(UsbPortConfig* usbConfig, LPCSTR instanceId);
void ChooseUsbPipes(const BYTE* descriptors, DWORD length, UsbPortConfig* usbConfig);
BOOL BuildPipeFileName(LPSTR name, LPCSTR devicePath, INT pipe);

// ---------------------------------------------------------------------------
// usb/usb_interfaces.cpp: present device interfaces of a class
// ---------------------------------------------------------------------------

extern const GUID UsbPortInterfaceGuid;
BOOL CountInterfaces(const GUID* classGuid, LPDWORD count);
BOOL GetInterface(const GUID* classGuid, DWORD memberIndex, UsbInterfaceInfo* info);
// How a caller recognises its printer among the present interfaces.
typedef BOOL (*InterfaceMatch)(const UsbInterfaceInfo* info, LPCSTR wanted);
BOOL FindInterface(const GUID* classGuid, InterfaceMatch matches, LPCSTR wanted, UsbInterfaceInfo* info);

// ---------------------------------------------------------------------------
// usb/usb_port_scan.cpp: automatic USB ports
// ---------------------------------------------------------------------------

#define ProbeKeyName "ZEVURUZI"
#define UsbEnumKeyPath "Enum\\USB"
#define UsbPortNameMax 8       // "USB-" and at most three more, with the terminator

// What a port name finds below the monitor's key.
#define PortKeyAbsent 0        // no key of that name: the port is to be made
#define PortKeyPresent 1       // the port exists
#define PortKeyUnfinished 2    // a port cut short: to be made whole
#define PortKeyUnknown 3       // the monitor's key could not be opened or listed

// What the scan does with one instance key below Enum\USB.
#define UsbInstanceNoPortName 0      // no "PortName" value it can read
#define UsbInstanceNameTooLong 1     // "PortName" needs more than eight bytes
#define UsbInstanceNotOurName 2      // "PortName" does not begin with "USB-" (letter case counts)
#define UsbInstancePortsExhausted 3  // "USB-000": the value is deleted and the user told
#define UsbInstancePortExists 4      // the monitor's key has a port of that name
#define UsbInstancePortsUnknown 5    // the monitor's key cannot be opened or listed: nothing is made
#define UsbInstanceNoDevice 6        // no present interface ends in the instance key's name
#define UsbInstanceNotUsbDevice 7    // the matching interface's instance id does not begin with "USB\"
#define UsbInstanceNewPort 8         // the port is made
#define UsbInstanceNotKeyName 9      // "PortName" holds a backslash: it cannot name a key of its own

struct UsbInstanceDecision {
    DWORD verdict;                        // UsbInstance*
    LONG error;                           // the read of "PortName"
    CHAR portName[UsbPortNameMax + 1];    // as read, always terminated
    CHAR existingKey[PortNameMax];        // UsbInstancePortExists: the port's key, in its own letter case
    BOOL finishesKey;                     // UsbInstanceNewPort: the port's key was left cut short
    CHAR instanceId[PortNameMax];         // the matching interface's instance id, or empty
};

int ScanUsbPortNames(LPCSTR serverName);
DWORD LookUpPortKey(LPCSTR portName, LPSTR keyName);
void DecideUsbInstance(HKEY instanceKey, LPCSTR instanceName, UsbInstanceDecision* decision);
int IsPortNameUnused(LPCSTR portName);
int CreateUsbPort(LPCSTR serverName, LPCSTR portName, LPCSTR instanceId);

// ---------------------------------------------------------------------------
// status/status_window.cpp: the status window thread
// ---------------------------------------------------------------------------

#define StatusWindowClass "SetQMUsbPortStatus"
#define DriverIndexRebuildCommand "Rundll setupx.dll,DiBuildDriverIndex TRUE"

BOOL StartStatusWatcher(void);
BOOL StartStatusThread(void);
DWORD WINAPI StatusThreadMain(LPVOID parameter);
LRESULT CALLBACK StatusWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------
// status/printer_state.cpp: printers online or offline with their devices
// ---------------------------------------------------------------------------

#define PrintersKeyPath "System\\CurrentControlSet\\Control\\Print\\Printers"
#define PrinterPortValueMax 8  // a printer's "Port" value is read into 8 bytes

void RefreshPrinterStates(void);
BOOL IsPortDevicePresent(const GUID* interfaceGuid, LPCSTR instanceId);
LONG ReadPrinterPort(HKEY printerKey, LPSTR port);
BOOL PrinterPortMatches(LPCSTR port, LPCSTR portName);
void SetPrintersForPort(LPCSTR portName, BOOL online);
BOOL SetPrinterOnline(LPSTR printerName, BOOL online);
