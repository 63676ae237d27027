// Port deletion on the real DLL, and its message box as Wine really shows it.
// Enumeration and the automatic USB port are rows of tests/common/device_scenarios.cpp.
#include <vector>

#include "wine_support.h"

WINE_TEST(DeletingABusyPortShowsNowPrinting) {
    clearMonitorKey();
    PortConfig nullPort;
    ZeroMemory(&nullPort, sizeof nullPort);
    writePortConfig("NUL:", nullPort);
    MONITOR_TABLE monitor = startMonitor();
    HANDLE port = openPort(monitor, "NUL:");
    CHECK(monitor.pfnStartDocPort(port, NULL, 0, 1, NULL));

    MessageBoxWatcher watcher;
    CHECK_REFUSED(ERROR_BUSY, monitor.pfnDeletePort(NULL, NULL, (LPSTR) "NUL:"));
    CHECK(keyExists(MonitorKeyPath "\\NUL:"));

    // An unknown name is refused without a word.
    CHECK_REFUSED(ERROR_UNKNOWN_PORT, monitor.pfnDeletePort(NULL, NULL, (LPSTR) "NUL2:"));

    // Once the job has ended the port goes, from the list and the registry.
    CHECK(monitor.pfnEndDocPort(port));
    CHECK(monitor.pfnDeletePort(NULL, NULL, (LPSTR) "NUL:"));
    CHECK(!keyExists(MonitorKeyPath "\\NUL:"));
    HANDLE gone = NULL;
    CHECK(!monitor.pfnOpenPort((LPSTR) "NUL:", &gone));

    const std::vector<ShownBox>& shown = watcher.finish();
    CHECK_EQ(shown.size(), (size_t)1);
    if (!shown.empty()) {
        CHECK_STR(shown[0].caption, "VO DUV Udadizo");
        CHECK_STR(shown[0].text, "Now Printing!!");
    }
    clearMonitorKey();
}
