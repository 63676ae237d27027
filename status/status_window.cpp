// The status watcher: a hidden top-level window on a thread of its own that
// lives as long as the process. It exists only to receive the system's
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
DWORD WINAPI StatusThreadMain(LPVOID parameter) {
    (void)parameter;
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

// The thread is not waited for or stopped: its handle is closed at once, which
// leaves the thread running.
BOOL StartStatusThread(void) {
    DWORD threadId;
    HANDLE thread = CreateThread(NULL, 0, StatusThreadMain, NULL, 0, &threadId);
    if (thread == NULL) return FALSE;
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
