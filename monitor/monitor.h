// ZEVURUZI.DLL inside: the records, the process-wide state and the operations
// of the monitor, grouped by the file that holds them, for the monitor's own
// files and the tests that look inside it. Plain Win32: no classes, no
// exceptions, no C or C++ runtime; results are BOOLs with the reason in the
// thread's last-error value. What the DLL exports, and what zevmon and the
// tests compile of it, is zevuruzi.h.
#pragma once

#include "zevuruzi.h"

#include <setupapi.h>
#include <commdlg.h>
#include <commctrl.h>

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

// JobFlags, bits of PortRecord.flags.
#define JobBackEndOpen 0x2
#define JobDeferred 0x8

#define PortTextMax 128        // monitor name and description buffers
#define PortKeyPathMax 512     // MonitorRoot + "\" + port name
#define UsbPathMax 260         // device path, instance id, pipe file name

// State of the file back-end while a job runs.
struct FileTarget {
    HANDLE handle;             // the open target file; 0 when none
    DWORD writeOnly;           // set by every successful open: reads, time-outs and controls are refused
};

// A read of the IN pipe, made by a thread of its own so that ReadPort can stop
// waiting for it. The port and the thread share the record, and the last of
// the two to let go of it frees it: a read that outlives its wait writes into
// its own buffer only, never into a caller's or into freed memory.
#define UsbReadBufferSize 4096
struct UsbPendingRead {
    LONG volatile owners;      // 2 while the thread runs, then 1
    HANDLE pipe;               // the IN pipe the read was made on
    DWORD size;                // asked of ReadFile
    BOOL result;               // ReadFile's, once the thread has ended
    DWORD error;
    DWORD count;               // bytes the read returned
    DWORD taken;               // of those, bytes ReadPort has handed out
    BYTE data[UsbReadBufferSize];
};

// How long ReadPort waits for the printer: the 95 DDK asks it to wait "long
// enough" and then fail, and a 98 spooler is reported to crash on a read that
// returns only after a long delay.
#define UsbReadWaitMilliseconds 1000

// State of the USB back-end while a job runs: 0 = not open; a pipe may hold
// INVALID_HANDLE_VALUE when it failed to open.
struct UsbPipeSet {
    CHAR devicePath[UsbPathMax];  // where device was opened; empty while it is not
    HANDLE device;
    HANDLE writeHandle;
    HANDLE readHandle;
    HANDLE reader;             // the thread of pendingRead, until its bytes are handed out
    UsbPendingRead* pendingRead;
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
    DWORD jobId;               // the job's id in the spooler's queue, with printer
    INT activeKind;            // config.kind latched when the back-end was opened
    FileTarget file;
    UsbPipeSet usb;
};

// What a new port is made from: a name and a configuration. One zero-filled
// allocation followed by copies of the name and the server name.
struct PortCreateRequest {
    LPSTR name;
    LPSTR serverName;          // carried, never used for the record
    CHAR nameBuffer[RegistryNameMax];
    PortConfig config;
};

// One present device interface, as the look-up reports it.
struct UsbInterfaceInfo {
    CHAR devicePath[UsbPathMax];
    CHAR instanceId[UsbPathMax];
};

// ---------------------------------------------------------------------------
// fail.cpp: what every part below the entry points may call
// ---------------------------------------------------------------------------

BOOL Fail(DWORD error);
PortRecord* CheckPortHandle(HANDLE port);

// ---------------------------------------------------------------------------
// monitor_entry.cpp: module entry, initialisation, process-wide state
// ---------------------------------------------------------------------------

// The process-wide state, all zero in a freshly loaded image: one list, for the
// module that defines and initialises it and for the host build, which returns
// it to that state between tests. Lock(name) is a critical section made at
// process attach; Value(type, name) a plain variable.
#define MONITOR_PROCESS_STATE(Lock, Value)                                                              \
    Value(HINSTANCE, MonitorModule)                                                                     \
    Lock(MonitorLock)                  /* guards PortList and the change of MonitorRoot */              \
    Lock(PortCreationLock)             /* makes "no such port yet" and its making one step */           \
    Value(LPSTR, MonitorRoot)          /* registry path of the monitor key below HKLM */                \
    Value(PortRecord*, PortList)                                                                        \
    Value(LONG volatile, DriverIndexRebuildPending)                                                     \
    Value(LONG volatile, MonitorInitialised) /* set once the table has been handed out */

#define DECLARE_STATE_LOCK(name) extern CRITICAL_SECTION name;
#define DECLARE_STATE_VALUE(type, name) extern type name;
MONITOR_PROCESS_STATE(DECLARE_STATE_LOCK, DECLARE_STATE_VALUE)
#undef DECLARE_STATE_LOCK
#undef DECLARE_STATE_VALUE
extern const MONITOR_TABLE MonitorTable;

BOOL WINAPI ClosePort(HANDLE port);
BOOL WINAPI AddPort(LPSTR serverName, HWND window, LPSTR monitorName);
BOOL WINAPI ConfigurePort(LPSTR serverName, HWND window, LPSTR portName);

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

PortRecord* CreatePortFromConfig(LPCSTR name, const PortConfig* config);
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
// port_kinds.cpp: what each kind of port means
// ---------------------------------------------------------------------------

// The operations every back-end offers, on the port's record.
struct BackEnd {
    BOOL (*open)(PortRecord* record);
    BOOL (*close)(PortRecord* record);
    BOOL (*write)(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD written);
    BOOL (*read)(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD read);
    BOOL (*control)(PortRecord* record, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                    LPDWORD returned);
    BOOL (*timeouts)(PortRecord* record, LPCOMMTIMEOUTS timeouts);
};

#define NoDescription 0        // PortKindTraits.descriptionId of a kind without one

// What a port's kind means: the description enumeration reports, the port
// type (a USB port can be read from), and the back-end of its jobs.
struct PortKindTraits {
    INT kind;
    UINT descriptionId;
    DWORD portType;
    const BackEnd* backEnd;
};
// Never NULL: a kind the monitor does not know has traits of its own, and its
// back-end is IdleBackEnd.
const PortKindTraits* TraitsOfKind(INT kind);
const BackEnd* BackEndForKind(INT kind);

// ---------------------------------------------------------------------------
// port_store.cpp: the port keys and their "Property" values
// ---------------------------------------------------------------------------

BOOL CreatePortKey(LPCSTR name);
BOOL DeletePortKey(LPCSTR name);
BOOL WritePortConfig(LPCSTR name, const PortConfig* config);
BOOL CountPortKeys(LPDWORD count);
BOOL GetPortKeyName(LPSTR buffer, DWORD size, DWORD index);
BOOL RemovePortKey(LPCSTR name);
BOOL MarkPortCreation(LPCSTR name);
BOOL IsUnfinishedPortKey(LPCSTR rootPath, LPCSTR name);
BOOL ClearUnfinishedPort(LPCSTR nextName);
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
// jobs/port_io.cpp: I/O dispatch by kind, the null back-end and the idle one
// ---------------------------------------------------------------------------

extern const BackEnd NullBackEnd;
extern const BackEnd IdleBackEnd;

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

BOOL CountInterfaces(const GUID* classGuid, LPDWORD count);
BOOL GetInterface(const GUID* classGuid, DWORD memberIndex, UsbInterfaceInfo* info);
// How a caller recognises its printer among the present interfaces.
typedef BOOL (*InterfaceMatch)(const UsbInterfaceInfo* info, LPCSTR wanted);
BOOL FindInterface(const GUID* classGuid, InterfaceMatch matches, LPCSTR wanted, UsbInterfaceInfo* info);

// ---------------------------------------------------------------------------
// usb/usb_port_scan.cpp: automatic USB ports
// ---------------------------------------------------------------------------

BOOL ScanUsbPortNames(LPCSTR serverName);
BOOL IsPortNameUnused(LPCSTR portName);
BOOL CreateUsbPort(LPCSTR serverName, LPCSTR portName, LPCSTR instanceId);

// ---------------------------------------------------------------------------
// status/status_window.cpp: the status window thread
// ---------------------------------------------------------------------------


BOOL StartStatusWatcher(void);
BOOL StartStatusThread(void);
DWORD WINAPI StatusThreadMain(LPVOID parameter);
LRESULT CALLBACK StatusWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------
// status/printer_state.cpp: printers online or offline with their devices
// ---------------------------------------------------------------------------

void RefreshPrinterStates(void);
void SetPrintersForPort(LPCSTR portName, BOOL online);
BOOL SetPrinterOnline(LPSTR printerName, BOOL online);
