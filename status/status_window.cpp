// The status watcher: a hidden top-level window on a thread of its own that
// lives as long as the process, and keeps the DLL loaded as long as it lives.
// It exists only to receive the system's
// broadcasts: at its creation and at every device or settings change it brings
// the printers' online state up to date, and after new ports have appeared it
// starts the rebuild of the system's driver index, once.
#include "../monitor/monitor.h"

// Every message first: a rebuild asked for by enumeration runs once. The flag
// is tested and cleared in one step, so a request that arrives meanwhile is
// either taken by this run or left for the next message, never lost or doubled.
LRESULT CALLBACK StatusWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (InterlockedCompareExchange(&DriverIndexRebuildPending, 0, 1) == 1)
        WinExec(DriverIndexRebuildCommand, SW_SHOWNORMAL);  // not retried if it fails to start
    switch (message) {
    case WM_CREATE:
    case WM_WININICHANGE:
    case WM_DEVICECHANGE:
        // Every kind of change leads to one full refresh; wParam and lParam do not matter.
        RefreshPrinterStates();
        return 0;
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

// The window is never shown (no WS_VISIBLE) and never destroyed; its first
// refresh runs inside CreateWindowExA, through WM_CREATE.
static DWORD RunStatusWindow(void) {
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = StatusWindowProc;
    windowClass.hInstance = MonitorModule;
    windowClass.lpszClassName = StatusWindowClass;
    if (RegisterClassA(&windowClass) == 0) return 0;
    HWND window = CreateWindowExA(0, StatusWindowClass, NULL, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                  NULL, NULL, MonitorModule, NULL);
    if (window == NULL) return 0;
    MSG message;
    ZeroMemory(&message, sizeof message);
    // -1 is an error, not a message: a loop that went on would spin for ever
    // inside the spooler's process. The watcher ends; the ports work on.
    BOOL got;
    while ((got = GetMessageA(&message, NULL, 0, 0)) != 0) {
        if (got == -1) return 0;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return (DWORD)message.wParam;
}

// The parameter is the thread's reference on the module, let go of in the
// same call that ends the thread, so that no code of the module runs after it.
DWORD WINAPI StatusThreadMain(LPVOID parameter) {
    FreeLibraryAndExitThread((HMODULE)parameter, RunStatusWindow());
}

// The spooler may unload the DLL when the monitor is removed, while the
// window's thread runs on: the next broadcast would run a window procedure
// whose code is gone. So the thread holds a reference on the module of its
// own, taken here before it starts so that it never runs without one. (98 and
// Me have no GetModuleHandleEx: the reference is a LoadLibraryA of the
// module's own file.) The thread is not waited for or stopped: its handle is
// closed at once, which leaves the thread running.
BOOL StartStatusThread(void) {
    CHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameA(MonitorModule, path, sizeof path);
    if (length == 0 || length >= sizeof path) return FALSE;
    HMODULE self = LoadLibraryA(path);
    if (self == NULL) return FALSE;
    DWORD threadId;
    HANDLE thread = CreateThread(NULL, 0, StatusThreadMain, self, 0, &threadId);
    if (thread == NULL) {
        FreeLibrary(self);
        return FALSE;
    }
    CloseHandle(thread);
    return TRUE;
}

// A watcher that cannot start leaves the ports working; only the printer
// states and the driver-index rebuild are then missing.
BOOL StartStatusWatcher(void) {
    InterlockedExchange(&DriverIndexRebuildPending, 0);
    StartStatusThread();
    return TRUE;
}
