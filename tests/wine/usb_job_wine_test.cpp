// A typical USB job on the real DLL, from the port's creation to the
// printer's unplugging: Wine's registry, SetupAPI, windows and spooler, with
// the printer's device and pipe files served by the virtual printer in this
// program. The USB job's other cases are rows of tests/common/device_scenarios.cpp.
#include <string>
#include <vector>

#include "virtual_printer.h"
#include "wine_support.h"

namespace {

BOOL startJob(const MONITOR_TABLE& monitor, HANDLE port, const char* printerName = NULL, DWORD jobId = 0) {
    DOC_INFO_1A doc = {(LPSTR) "Letter", NULL, NULL};
    SetLastError(Untouched);
    return monitor.pfnStartDocPort(port, (LPSTR)printerName, jobId, 1, (LPBYTE)&doc);
}

void checkAllClosed(const VirtualPrinter& device) {
    for (const VirtualHandle& handle : device.handles())
        if (handle.open) winetest::fail(__FILE__, __LINE__, "still open: " + handle.name);
}


void runTypicalJob() {
    // An installed printer: the monitor's entry, the device's "PortName",
    // its present interface, and a printer of the spooler on USB-001.
    createMonitorKey();
    UsbInstanceKey instance("ZEVTYPICAL", "USB-001");
    Printer printer("USB\\VID_1209&PID_0001\\ZEVTYPICAL");
    printer.plugIn();
    VirtualPrinter device(printer.devicePath());
    SpoolerPrinter officePrinter("Zev Office Printer", "USB-001");
    CHECK_EQ(officePrinter.attributes() & PRINTER_ATTRIBUTE_WORK_OFFLINE, (DWORD)0);

    HWND statusWindow = NULL;
    MONITOR_TABLE monitor = startMonitorOnVirtualPrinters(&statusWindow);
    CHECK(!IsWindowVisible(statusWindow));

    // One enumeration creates the port and lists it.
    BYTE buffer[4096];
    DWORD needed = Untouched, returned = Untouched;
    CHECK(monitor.pfnEnumPorts(NULL, 2, buffer, sizeof buffer, &needed, &returned));
    CHECK_EQ(returned, (DWORD)1);
    if (returned == 1) {
        const PORT_INFO_2A& info = *(const PORT_INFO_2A*)buffer;
        CHECK_STR(info.pPortName, "USB-001");
        CHECK_STR(info.pMonitorName, "VO DUV Udadizo");
        CHECK_STR(info.pDescription, "USB Port");
        CHECK_EQ(info.fPortType, (DWORD)(PORT_TYPE_WRITE | PORT_TYPE_READ));
    }
    std::string property = readPortProperty("USB-001");
    CHECK_EQ(property.size(), sizeof(PortConfig));
    if (property.size() == sizeof(PortConfig)) {
        const PortConfig& config = *(const PortConfig*)property.data();
        CHECK_EQ(config.kind, PortKindUsb);
        CHECK(IsEqualGUID(config.usb.interfaceGuid, PrinterClass));
        CHECK_STR(config.usb.instanceId, printer.instanceId());
        CHECK_EQ(config.usb.writePipe, 1);
        CHECK_EQ(config.usb.readPipe, 0);
    }

    // The next message of any kind to the window starts the driver index
    // rebuild; the messages after it (the broadcasts below) do not.
    CHECK(rundllCalls().empty());
    SendMessageA(statusWindow, WM_NULL, 0, 0);
    CHECK_EQ(waitForRundllCalls().size(), (size_t)1);

    // A document reaches the printer's OUT pipe intact, and the
    // job's end closes the device, both pipes and the job's printer handle.
    HANDLE port = openPort(monitor, "USB-001");
    if (port == NULL) return;
    CHECK(startJob(monitor, port, "Zev Office Printer", 1));
    HANDLE jobPrinter = ((const PortRecord*)port)->printer;
    CHECK(jobPrinter != NULL);
    std::string document = "\x1B@" + binaryData(20000, 11) + "\x0C";
    writeChunks(monitor, port, document, {2, 16384, (DWORD)document.size() - 16386});
    CHECK(monitor.pfnEndDocPort(port));
    CHECK_EQ(device.handles().size(), (size_t)3);
    checkAllClosed(device);
    CHECK(device.received() == document);
    CHECK_REFUSED(ERROR_INVALID_HANDLE, ClosePrinter(jobPrinter));
    CHECK(monitor.pfnClosePort(port));

    // Unplugged, the printer works offline; plugged in again, it is back online.
    printer.unplug();
    broadcastDeviceChange();
    CHECK_EQ(officePrinter.attributes() & PRINTER_ATTRIBUTE_WORK_OFFLINE, (DWORD)PRINTER_ATTRIBUTE_WORK_OFFLINE);
    printer.plugIn();
    broadcastDeviceChange();
    CHECK_EQ(officePrinter.attributes() & PRINTER_ATTRIBUTE_WORK_OFFLINE, (DWORD)0);

    std::vector<std::string> calls = rundllCalls();
    CHECK_EQ(calls.size(), (size_t)1);
    if (calls.size() == 1) CHECK_STR(calls[0], "Rundll setupx.dll,DiBuildDriverIndex TRUE");
}

}  // namespace

WINE_TEST(TypicalJobFromInstallationToUnplugging) {
    clearMonitorKey();
    DeleteFileA(rundllRecordPath().c_str());
    runTypicalJob();
    DeleteFileA(rundllRecordPath().c_str());
    clearMonitorKey();
}
