// The status watcher of the real DLL: its hidden window on a thread of its
// own, the printers of Wine's spooler following their devices at every
// broadcast, and the driver-index rebuild after a new port.
#include <string>

#include "wine_support.h"

namespace {

const DWORD Offline = PRINTER_ATTRIBUTE_WORK_OFFLINE;

BOOL CALLBACK countStatusWindows(HWND window, LPARAM count) {
    char className[64] = "";
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && GetClassNameA(window, className, sizeof className) &&
        lstrcmpA(className, StatusWindowClass) == 0)
        (*(int*)count)++;
    return TRUE;
}

std::string printerPortValue(const char* printerName) {
    HKEY key;
    std::string path = std::string(PrintersKeyPath "\\") + printerName;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "(no key)";
    char port[64] = "";
    DWORD size = sizeof port - 1;
    LONG result = RegQueryValueExA(key, "Port", NULL, NULL, (LPBYTE)port, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? port : "(no value)";
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

WINE_TEST(PrintersFollowTheirDeviceAtEveryBroadcast) {
    clearMonitorKey();
    {
        Printer device("USB\\VID_1209&PID_0001\\ZEVSTAT1");
        device.plugIn();
        writeUsbPort("USB-001", device.instanceId());
        SpoolerPrinter printer("Zev Status Printer", "USB-001");
        SpoolerPrinter other("Zev Other Printer", "USB-002");  // not a port of the monitor
        // No device behind a file or null port: its printers keep what they have.
        PortConfig nullConfig = {}, fileConfig = {};
        fileConfig.kind = PortKindFile;
        writePortConfig("NUL:", nullConfig);
        writePortConfig("FILE:", fileConfig);
        SpoolerPrinter filePrinter("Zev File Printer", "FILE:"), heldPrinter("Zev Held Printer", "NUL:");
        heldPrinter.setAttributes(Offline);
        // The refresh reads the value where Wine's spooler keeps it.
        CHECK_STR(printerPortValue("Zev Status Printer"), "USB-001");
        printer.setAttributes(Offline);
        other.setAttributes(Offline);
        CHECK_EQ(printer.attributes() & Offline, Offline);

        // The first refresh comes with the window, and the device is there.
        startMonitor();
        HWND window = waitForStatusWindow();
        CHECK_EQ(printer.attributes() & Offline, (DWORD)0);
        CHECK_EQ(filePrinter.attributes() & Offline, (DWORD)0);

        device.unplug();
        broadcastDeviceChange();
        CHECK_EQ(printer.attributes() & Offline, Offline);

        device.plugIn();
        broadcastDeviceChange();
        CHECK_EQ(printer.attributes() & Offline, (DWORD)0);
        // Only the printers of the port follow its device.
        CHECK_EQ(other.attributes() & Offline, Offline);

        // A settings change refreshes as well.
        device.unplug();
        CHECK_EQ(SendMessageA(window, WM_WININICHANGE, 0, (LPARAM) "windows"), (LRESULT)0);
        CHECK_EQ(printer.attributes() & Offline, Offline);
        CHECK_EQ(filePrinter.attributes() & Offline, (DWORD)0);
        CHECK_EQ(heldPrinter.attributes() & Offline, Offline);
    }
    clearMonitorKey();
}

WINE_TEST(DriverIndexRebuildRunsOnceAfterANewPort) {
    clearMonitorKey();
    createMonitorKey();
    const std::string record = rundllRecordPath();
    DeleteFileA(record.c_str());
    {
        Printer device("USB\\VID_1209&PID_0001\\ZEVRUN1");
        device.plugIn();
        UsbInstanceKey instance("ZEVRUN1", "USB-001");
        MONITOR_TABLE monitor = startMonitor();
        HWND window = waitForStatusWindow();  // a message before any new port runs nothing

        DWORD needed = 0, returned = 0;
        BYTE buffer[64];
        CHECK(monitor.pfnEnumPorts(NULL, 1, buffer, sizeof buffer, &needed, &returned));
        CHECK_EQ(returned, (DWORD)1);
        CHECK(monitor.pfnEnumPorts(NULL, 1, buffer, sizeof buffer, &needed, &returned));

        // Any message will do, and only the first runs it (Wine may have sent
        // one of its own meanwhile). WinExec waits for the stub, which ends at
        // once; the wait below covers a slow start.
        SendMessageA(window, WM_NULL, 0, 0);
        SendMessageA(window, WM_USER, 0, 0);
        for (DWORD until = GetTickCount() + winetest::patient(5000);
             readWholeFile(record).empty() && GetTickCount() < until;)
            Sleep(50);
        Sleep(300);
        CHECK_STR(readWholeFile(record), "Rundll setupx.dll,DiBuildDriverIndex TRUE\r\n");
    }
    DeleteFileA(record.c_str());
    clearMonitorKey();
}
