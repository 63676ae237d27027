// Shows the "Now Printing!!" message box of the real DLL and waits for it to be
// closed: what scripts/screenshot-now-printing.sh photographs for the README. It starts a job
// on a null port and asks the monitor to delete that port.
#include "monitor/zevuruzi.h"

int main() {
    HKEY key;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, MonitorKeyPath "\\NUL:", &key) != ERROR_SUCCESS) return 1;
    PortConfig config;
    ZeroMemory(&config, sizeof config);
    RegSetValueExA(key, "Property", 0, REG_BINARY, (const BYTE*)&config, sizeof config);
    RegCloseKey(key);

    HMODULE module = LoadLibraryA("ZEVURUZI.DLL");
    if (!module) return 1;
    typedef BOOL(WINAPI * InitializeFn)(LPSTR, MONITOR_TABLE*);
    InitializeFn initialize = (InitializeFn)(void*)GetProcAddress(module, "InitializeMonitorEx");
    MONITOR_TABLE table;
    if (!initialize || !initialize((LPSTR)MonitorKeyPath, &table)) return 1;
    HANDLE port = NULL;
    if (!table.pfnOpenPort((LPSTR) "NUL:", &port) || !table.pfnStartDocPort(port, NULL, 0, 1, NULL)) return 1;
    BOOL deleted = table.pfnDeletePort(NULL, GetDesktopWindow(), (LPSTR) "NUL:");  // shows the message
    table.pfnEndDocPort(port);
    table.pfnDeletePort(NULL, NULL, (LPSTR) "NUL:");
    return deleted ? 1 : 0;
}
