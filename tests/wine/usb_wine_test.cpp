// USB job start under Wine's own SetupAPI: the printer of a port is looked up
// among the present interfaces of its class by its device instance id. Nothing
// answers on a made-up device's path, so a printer that is found fails its
// open with 87, and one that is not found fails with 21.
#include <string>

#include "monitor/monitor.h"
#include "wine_test.h"

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SP_DEVINFO_DATA) == 28, "32-bit SetupAPI records");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "size field and one character");

namespace {

const GUID PrinterClass = {0x6A7AD4E2, 0xAE15, 0x11D7, {0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1}};
#define PrinterClassKey "System\\CurrentControlSet\\Control\\DeviceClasses\\{6A7AD4E2-AE15-11D7-890B-0080AD72B9D1}"

// Wine removes a device together with its interface keys.
void removeDevice(const char* instanceId) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&PrinterClass, NULL);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    if (SetupDiOpenDeviceInfoA(set, instanceId, NULL, 0, &device)) SetupDiRemoveDevice(set, &device);
    SetupDiDestroyDeviceInfoList(set);
}

// A USB printer as its driver would register it: a device of the class with
// one interface, present only while the interface is linked. The Wine prefix is
// shared by every case of a run, so the device goes when the case ends.
class Printer {
public:
    explicit Printer(const char* instanceId) : requestedId_(instanceId) {
        removeDevice(instanceId);  // left by a case that crashed
        HDEVINFO set = SetupDiCreateDeviceInfoList(&PrinterClass, NULL);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        CHECK(SetupDiCreateDeviceInfoA(set, instanceId, &PrinterClass, NULL, NULL, 0, &device));
        CHECK(SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL));
        CHAR id[UsbPathMax] = "";
        CHECK(SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, NULL));
        reportedId_ = id;
        SetupDiDestroyDeviceInfoList(set);
        createInterface();
    }

    ~Printer() {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, interfaceKey_.c_str());
        removeDevice(requestedId_.c_str());
    }

    // The instance id as SetupAPI reports it.
    const std::string& instanceId() const { return reportedId_; }

    void plugIn() {
        if (unplugged_) createInterface();
        unplugged_ = false;
        HKEY control;
        CHECK_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, (interfaceKey_ + "\\#\\Control").c_str(), &control),
                 (LONG)ERROR_SUCCESS);
        DWORD linked = 1;
        CHECK_EQ(RegSetValueExA(control, "Linked", 0, REG_DWORD, (const BYTE*)&linked, sizeof linked),
                 (LONG)ERROR_SUCCESS);
        RegCloseKey(control);
    }

    // Unlinking would leave the device in the present set; deleting the key removes both.
    void unplug() {
        CHECK_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, interfaceKey_.c_str()), (LONG)ERROR_SUCCESS);
        unplugged_ = true;
    }

private:
    // From a set of its own: a set that already holds the interface would not
    // write its key again.
    void createInterface() {
        HDEVINFO set = SetupDiCreateDeviceInfoList(&PrinterClass, NULL);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        CHECK(SetupDiOpenDeviceInfoA(set, reportedId_.c_str(), NULL, 0, &device));
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof interfaceData;
        CHECK(SetupDiCreateDeviceInterfaceA(set, &device, &PrinterClass, NULL, 0, &interfaceData));
        CHAR buffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + UsbPathMax] = {};
        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A*)buffer;
        detail->cbSize = sizeof *detail;
        CHECK(SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, sizeof buffer, NULL, NULL));
        SetupDiDestroyDeviceInfoList(set);
        // The interface's key is named after its path, every backslash made '#'.
        std::string name = detail->DevicePath;
        for (char& c : name)
            if (c == '\\') c = '#';
        interfaceKey_ = std::string(PrinterClassKey "\\") + name;
    }

    std::string requestedId_, reportedId_, interfaceKey_;
    bool unplugged_ = false;
};

void clearMonitorKey() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, MonitorKeyPath); }

void writeUsbPort(const char* name, const std::string& instanceId) {
    PortConfig config;
    ZeroMemory(&config, sizeof config);
    config.kind = PortKindUsb;
    config.usb.interfaceGuid = PrinterClass;
    lstrcpynA(config.usb.instanceId, instanceId.c_str(), sizeof config.usb.instanceId);
    config.usb.writePipe = 1;
    config.usb.readPipe = 0;
    HKEY key;
    CHECK_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, (std::string(MonitorKeyPath "\\") + name).c_str(), &key),
             (LONG)ERROR_SUCCESS);
    CHECK_EQ(RegSetValueExA(key, "Property", 0, REG_BINARY, (const BYTE*)&config, sizeof config),
             (LONG)ERROR_SUCCESS);
    RegCloseKey(key);
}

typedef BOOL(WINAPI* InitializeMonitorExFn)(LPSTR, MONITOR_TABLE*);

MONITOR_TABLE startMonitor() {
    MONITOR_TABLE table = {};
    HMODULE module = LoadLibraryA("ZEVURUZI.DLL");
    CHECK(module != NULL);
    InitializeMonitorExFn initialize = (InitializeMonitorExFn)(void*)GetProcAddress(module, "InitializeMonitorEx");
    CHECK(initialize != NULL);
    if (initialize != NULL) CHECK(initialize((LPSTR)MonitorKeyPath, &table));
    return table;
}

HANDLE openPort(const MONITOR_TABLE& monitor, const char* name) {
    HANDLE port = NULL;
    CHECK(monitor.pfnOpenPort((LPSTR)name, &port));
    return port;
}

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
        Printer printer("USB\\VID_04B8&PID_0202\\ZEV0001");
        writeUsbPort("USB-001", printer.instanceId());
        writeUsbPort("USB-002", "USB\\VID_04B8&PID_0202\\ZEV0009");  // never present
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
        Printer printer("USB\\VID_04B8&PID_0202\\ZEV0002");
        printer.plugIn();
        CHECK_STR(printer.instanceId(), "USB\\VID_04B8&PID_0202\\ZEV0002");
        writeUsbPort("LOWER", "usb\\vid_04b8&pid_0202\\zev0002");
        writeUsbPort("PREFIX", "USB\\VID_04B8&PID_0202\\ZEV000");
        writeUsbPort("LONGER", "USB\\VID_04B8&PID_0202\\ZEV00021");
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
