// Module entry, InitializeMonitorEx and the table of entry points: the
// monitor's boundary with the spooler, and the process-wide state every part shares.
#include "monitor.h"

#define DEFINE_STATE_LOCK(name) CRITICAL_SECTION name;
#define DEFINE_STATE_VALUE(type, name) type name;
MONITOR_PROCESS_STATE(DEFINE_STATE_LOCK, DEFINE_STATE_VALUE)

const MONITOR_TABLE MonitorTable = {
    EnumPorts,
    OpenPort,
    NULL,       // OpenPortEx is not offered
    StartDocPort,
    WritePort,
    ReadPort,
    EndDocPort,
    ClosePort,
    AddPort,
    ConfigurePort,
    DeletePort,
    GetPrinterDataFromPort,
    SetPortTimeOuts,
};

// Process attach stores the module handle and makes the locks. The common
// controls are initialised on every call, whatever the reason.
extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        MonitorModule = instance;
#define MAKE_STATE_LOCK(name) InitializeCriticalSection(&name);
#define SKIP_STATE_VALUE(type, name)
        MONITOR_PROCESS_STATE(MAKE_STATE_LOCK, SKIP_STATE_VALUE)
        DisableThreadLibraryCalls(instance);
    }
    InitCommonControls();
    return TRUE;
}

// InitializeMonitorEx: its block in zevuruzi.h.
// The spooler calls this once with the monitor's registry path below
// HKEY_LOCAL_MACHINE. A later call after success hands out the same table again
// and reloads nothing: the ports, their handles and the status thread of the
// first call stay as they are.
extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR registryRoot, MONITOR_TABLE* monitor) {
    if (monitor == NULL) return Fail(ERROR_INVALID_PARAMETER);
    if (MonitorInitialised) {
        *monitor = MonitorTable;
        return TRUE;
    }

    EnterCriticalSection(&MonitorLock);
    // Nothing reads a root left by a failed call: the table was never handed out.
    if (MonitorRoot != NULL) GlobalFree(MonitorRoot);
    MonitorRoot = NULL;
    if (registryRoot != NULL) {
        int length = lstrlenA(registryRoot);
        LPSTR copy = (LPSTR)GlobalAlloc(GPTR, length + 1);
        if (copy != NULL) CopyMemory(copy, registryRoot, length + 1);
        MonitorRoot = copy;
    }
    LeaveCriticalSection(&MonitorLock);
    if (registryRoot == NULL) return Fail(ERROR_INVALID_PARAMETER);
    if (MonitorRoot == NULL) return FALSE;  // the allocator's error stays

    if (!LoadPortsFromRegistry()) return FALSE;  // the loader has emptied the list

    StartStatusWatcher();
    *monitor = MonitorTable;
    MonitorInitialised = TRUE;
    return TRUE;
}

// The ClosePort slot of MONITOR_TABLE: its block in zevuruzi.h.
// A handle check only: the record stays listed and usable.
BOOL WINAPI ClosePort(HANDLE port) {
    return CheckPortHandle(port) != NULL;
}

// The AddPort and ConfigurePort slots: their block in zevuruzi.h.
// Ports come only from the automatic USB scan: there is nothing to add or
// configure by hand, and the last-error value is left as it was.
BOOL WINAPI AddPort(LPSTR serverName, HWND window, LPSTR monitorName) {
    (void)serverName;
    (void)window;
    (void)monitorName;
    return FALSE;
}

BOOL WINAPI ConfigurePort(LPSTR serverName, HWND window, LPSTR portName) {
    (void)serverName;
    (void)window;
    (void)portName;
    return FALSE;
}
