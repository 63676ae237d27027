// USB jobs on the real DLL, from the port's creation to the printer's
// unplugging: Wine's registry, SetupAPI, windows and spooler, with the
// printer's device and pipe files served by the virtual printer in this program.
#include <cstdio>
#include <string>
#include <vector>

#include "virtual_printer.h"
#include "wine_support.h"

namespace {

// The DLL with its file and device calls sent to the virtual printers, before
// it runs anything. Returns once the status window has taken a sent message,
// so its thread has finished starting: Wine kills a process (exit status 137)
// that ends while that thread is still starting.
MONITOR_TABLE startMonitorOnVirtualPrinters(HWND* statusWindow = NULL) {
    CHECK_EQ(interposeFileCalls(LoadLibraryA("ZEVURUZI.DLL")), 7);
    MONITOR_TABLE monitor = startMonitor();
    HWND window = waitForStatusWindow();
    if (window != NULL) SendMessageA(window, WM_NULL, 0, 0);
    if (statusWindow != NULL) *statusWindow = window;
    return monitor;
}

BOOL startJob(const MONITOR_TABLE& monitor, HANDLE port, const char* printerName = NULL, DWORD jobId = 0) {
    DOC_INFO_1A doc = {(LPSTR) "Letter", NULL, NULL};
    SetLastError(Untouched);
    return monitor.pfnStartDocPort(port, (LPSTR)printerName, jobId, 1, (LPBYTE)&doc);
}

void checkAllClosed(const VirtualPrinter& device) {
    for (const VirtualHandle& handle : device.handles())
        if (handle.open) winetest::fail(__FILE__, __LINE__, "still open: " + handle.name);
}

}  // namespace

WINE_TEST(UsbJobGoesThroughTheDeviceAndItsTwoPipes) {
    clearMonitorKey();
    {
        // Another printer of the class comes first: the port's is found by its instance id.
        Printer otherPrinter("USB\\VID_1209&PID_0001\\ZEVJOB0");
        otherPrinter.plugIn();
        VirtualPrinter otherDevice(otherPrinter.devicePath());
        Printer printer("USB\\VID_1209&PID_0001\\ZEVJOB1");
        printer.plugIn();
        const std::string path = printer.devicePath();
        VirtualPrinter device(path);
        writeUsbPort("USB-001", printer.instanceId());
        MONITOR_TABLE monitor = startMonitorOnVirtualPrinters();
        HANDLE port = openPort(monitor, "USB-001");

        // Stored pipes 1 and 0; the descriptors make 00 the OUT pipe and 01 the IN pipe.
        CHECK(startJob(monitor, port));
        std::vector<VirtualHandle> opened = device.handles();
        CHECK_EQ(opened.size(), (size_t)3);
        CHECK_EQ(device.descriptorRequests(), 1);
        if (opened.size() == 3) {
            CHECK_STR(opened[0].name, path);
            CHECK_EQ(opened[0].access, (DWORD)(GENERIC_READ | GENERIC_WRITE));
            CHECK_EQ(opened[0].endOfFileCalls, 1);
            CHECK_STR(opened[1].name, path + "\\00");
            CHECK_EQ(opened[1].access, (DWORD)GENERIC_WRITE);
            CHECK_STR(opened[2].name, path + "\\01");
            CHECK_EQ(opened[2].access, (DWORD)GENERIC_READ);
            for (const VirtualHandle& handle : opened) CHECK_EQ(handle.share, (DWORD)0);
        }

        std::string data = binaryData(9000, 7);
        writeChunks(monitor, port, data, {1, 4095, 4904});
        CHECK_EQ(device.received().size(), data.size());
        CHECK(device.received() == data);

        device.queueInput(std::string("\x00\x10ready\xff", 8));
        char in[64];
        DWORD read = Untouched;
        CHECK(monitor.pfnReadPort(port, (LPBYTE)in, 5, &read));
        CHECK_EQ(read, (DWORD)5);
        CHECK(std::string(in, 5) == std::string("\x00\x10rea", 5));
        CHECK(monitor.pfnReadPort(port, (LPBYTE)in, sizeof in, &read));
        CHECK_EQ(read, (DWORD)3);
        CHECK(std::string(in, 3) == "dy\xff");

        COMMTIMEOUTS timeouts = {10, 20, 30, 40, 5000};
        CHECK(monitor.pfnSetPortTimeOuts(port, &timeouts, 0));
        for (const VirtualHandle& handle : device.handles()) {
            CHECK(handle.hasTimeouts);
            CHECK(memcmp(&handle.timeouts, &timeouts, sizeof timeouts) == 0);
        }

        // Any other control code goes to the device with its input, and its answer comes back.
        const DWORD GetDeviceId = CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_BUFFERED, FILE_ANY_ACCESS);
        device.setControlReply("MFG:Zev;CMD:ESC;");
        char reply[64] = "";
        DWORD returned = Untouched;
        CHECK(monitor.pfnGetPrinterDataFromPort(port, GetDeviceId, (LPSTR) "DeviceId", (LPSTR) "\x01\x02", 2, reply,
                                                sizeof reply, &returned));
        CHECK_EQ(returned, (DWORD)16);
        CHECK_STR(std::string(reply, returned < sizeof reply ? returned : 0), "MFG:Zev;CMD:ESC;");
        std::vector<VirtualControl> controls = device.controls();
        CHECK_EQ(controls.size(), (size_t)1);
        if (controls.size() == 1) {
            CHECK_EQ(controls[0].code, GetDeviceId);
            CHECK_STR(controls[0].input, "\x01\x02");
        }
        CHECK_EQ(device.descriptorRequests(), 1);

        CHECK(monitor.pfnEndDocPort(port));
        CHECK_EQ(device.handles().size(), (size_t)3);
        checkAllClosed(device);
        CHECK(device.received() == data);
        CHECK(otherDevice.handles().empty());
        CHECK(monitor.pfnClosePort(port));
    }
    clearMonitorKey();
}

WINE_TEST(UnpluggedUsbPrinterFailsTheJobAndPrintsAgainOnceReplugged) {
    clearMonitorKey();
    {
        Printer printer("USB\\VID_1209&PID_0001\\ZEVJOB2");
        printer.plugIn();
        VirtualPrinter moved(printer.devicePath() + "\\2");  // first: a name goes to the first path it begins with
        VirtualPrinter device(printer.devicePath());
        writeUsbPort("USB-001", printer.instanceId());
        const std::string stored = readPortProperty("USB-001");
        MONITOR_TABLE monitor = startMonitorOnVirtualPrinters();
        HANDLE port = openPort(monitor, "USB-001");

        CHECK(startJob(monitor, port));
        writeChunks(monitor, port, "first", {5});
        CHECK(monitor.pfnEndDocPort(port));

        printer.unplug();
        CHECK(!startJob(monitor, port));
        CHECK_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
        CHECK_EQ(device.handles().size(), (size_t)3);  // nothing was opened
        DWORD written = Untouched;
        CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnWritePort(port, (LPBYTE) "x", 1, &written));
        CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnEndDocPort(port));

        printer.plugIn();
        CHECK(startJob(monitor, port));
        CHECK_EQ(device.handles().size(), (size_t)6);
        writeChunks(monitor, port, "second", {6});
        CHECK(monitor.pfnEndDocPort(port));
        checkAllClosed(device);
        CHECK_STR(device.received(), "firstsecond");
        CHECK(readPortProperty("USB-001") == stored);

        // Unplugged mid-job, the write failing with ERROR_GEN_FAILURE as Windows
        // 98's USB stack reports it: while the printer is away the write fails at
        // once, and once it is back, at its path or another, the spooler's Retry
        // sends the rest through handles opened anew, once.
        auto opened = [&] { return device.handles().size() + moved.handles().size(); };
        const std::string data = binaryData(9000, 5);
        for (bool elsewhere : {false, true}) {
            std::printf("back at %s path\n", elsewhere ? "another" : "the same");  // names the failures below
            const size_t before = opened();
            CHECK(startJob(monitor, port));
            writeChunks(monitor, port, data.substr(0, 4000), {4000});
            printer.unplug();
            device.pullOut(ERROR_GEN_FAILURE);
            written = Untouched;
            CHECK_REFUSED(ERROR_GEN_FAILURE, monitor.pfnWritePort(port, (LPBYTE)data.data() + 4000, 5000, &written));
            CHECK_EQ(written, (DWORD)0);
            CHECK_EQ(opened() - before, (size_t)3);
            printer.plugIn(elsewhere);
            writeChunks(monitor, port, data.substr(4000), {5000});
            CHECK(monitor.pfnEndDocPort(port));
            CHECK_EQ(opened() - before, (size_t)6);
            checkAllClosed(device);
            checkAllClosed(moved);
        }
        CHECK(device.received() == "firstsecond" + data + data.substr(0, 4000));
        CHECK(moved.received() == data.substr(4000));
        CHECK(monitor.pfnClosePort(port));
    }
    clearMonitorKey();
}

namespace {

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
