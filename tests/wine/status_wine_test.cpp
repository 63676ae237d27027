// The status watcher of the real DLL: its hidden window on a thread of its
// own. The printers following their devices and the driver-index rebuild are
// rows of tests/common/device_scenarios.cpp.
#include "wine_support.h"

namespace {

BOOL CALLBACK countStatusWindows(HWND window, LPARAM count) {
    char className[64] = "";
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && GetClassNameA(window, className, sizeof className) &&
        lstrcmpA(className, StatusWindowClass) == 0)
        (*(int*)count)++;
    return TRUE;
}

}  // namespace

WINE_TEST(StatusWindowIsHiddenOnAThreadOfItsOwn) {
    clearMonitorKey();
    CHECK(LoadLibraryA("ZEVURUZI.DLL") != NULL);
    CHECK(FindWindowA(StatusWindowClass, NULL) == NULL);  // made by the start, not by the load

    startMonitor();
    HWND window = waitForStatusWindow();
    CHECK(window != NULL);
    CHECK(!IsWindowVisible(window));
    DWORD process = 0;
    CHECK(GetWindowThreadProcessId(window, &process) != GetCurrentThreadId());
    CHECK_EQ(process, GetCurrentProcessId());

    // A second start hands out the table again and makes no second window.
    startMonitor();
    Sleep(200);
    int count = 0;
    EnumWindows(countStatusWindows, (LPARAM)&count);
    CHECK_EQ(count, 1);
}
