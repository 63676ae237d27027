// USB job start under Wine's own SetupAPI: the printer of a port is looked up
// among the present interfaces of its class by its device instance id. Nothing
// answers on a made-up device's path, so a printer that is found fails its
// open with 87, and one that is not found fails with 21.
#include <string>

#include "wine_support.h"

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SP_DEVINFO_DATA) == 28, "32-bit SetupAPI records");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "size field and one character");

namespace {

// The error of a failed job start, after checking that the port was left idle
// with nothing open; 0 when the job started (it is ended again).
DWORD startJob(const MONITOR_TABLE& monitor, HANDLE port) {
    SetLastError(0xdeadbeef);
    if (monitor.pfnStartDocPort(port, NULL, 0, 1, NULL)) {
        monitor.pfnEndDocPort(port);
        return 0;
    }
    DWORD error = GetLastError();
    const PortRecord* record = (const PortRecord*)port;
    CHECK(record->usb.device == NULL && record->usb.writeHandle == NULL && record->usb.readHandle == NULL);
    BYTE data = 0x1B;
    DWORD written = 0;
    CHECK(!monitor.pfnWritePort(port, &data, 1, &written));
    CHECK_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    return error;
}

}  // namespace

WINE_TEST(UsbJobStartFollowsThePrintersPresence) {
    clearMonitorKey();
    {
        Printer printer("USB\\VID_1209&PID_0001\\ZEV0001");
        writeUsbPort("USB-001", printer.instanceId());
        writeUsbPort("USB-002", "USB\\VID_1209&PID_0001\\ZEV0009");  // never present
        MONITOR_TABLE monitor = startMonitor();
        HANDLE port = openPort(monitor, "USB-001");
        HANDLE otherPort = openPort(monitor, "USB-002");

        // Registered, but its interface not yet linked: not present.
        CHECK_EQ(startJob(monitor, port), (DWORD)ERROR_NOT_READY);

        printer.plugIn();
        CHECK_EQ(startJob(monitor, port), (DWORD)ERROR_INVALID_PARAMETER);
        CHECK_EQ(startJob(monitor, otherPort), (DWORD)ERROR_NOT_READY);

        printer.unplug();
        CHECK_EQ(startJob(monitor, port), (DWORD)ERROR_NOT_READY);

        // Re-plugged, it is found again with no change to the port.
        printer.plugIn();
        CHECK_EQ(startJob(monitor, port), (DWORD)ERROR_INVALID_PARAMETER);

        CHECK(monitor.pfnClosePort(port));
        CHECK(monitor.pfnClosePort(otherPort));
    }
    clearMonitorKey();
}

WINE_TEST(UsbInstanceIdIsComparedWholeIgnoringCase) {
    clearMonitorKey();
    {
        Printer printer("USB\\VID_1209&PID_0001\\ZEV0002");
        printer.plugIn();
        CHECK_STR(printer.instanceId(), "USB\\VID_1209&PID_0001\\ZEV0002");
        writeUsbPort("LOWER", "usb\\vid_1209&pid_0001\\zev0002");
        writeUsbPort("PREFIX", "USB\\VID_1209&PID_0001\\ZEV000");
        writeUsbPort("LONGER", "USB\\VID_1209&PID_0001\\ZEV00021");
        MONITOR_TABLE monitor = startMonitor();

        // Found, then the open fails: not "not ready".
        HANDLE lower = openPort(monitor, "LOWER");
        CHECK_EQ(startJob(monitor, lower), (DWORD)ERROR_INVALID_PARAMETER);
        HANDLE prefix = openPort(monitor, "PREFIX");
        CHECK_EQ(startJob(monitor, prefix), (DWORD)ERROR_NOT_READY);
        HANDLE longer = openPort(monitor, "LONGER");
        CHECK_EQ(startJob(monitor, longer), (DWORD)ERROR_NOT_READY);
    }
    clearMonitorKey();
}
