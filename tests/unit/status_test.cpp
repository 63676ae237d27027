// The status watcher: its hidden window, printers following their devices,
// and the driver-index rebuild after new ports.
#include "test_support.h"

namespace {

const char PrinterId[] = "USB\\VID_1209&PID_0001\\5&2A1B3C4D&0&1";

class Status : public InstalledMonitorTest {
protected:
    void SetUp() override {
        InstalledMonitorTest::SetUp();
        machine().addUsbPrinter({PrinterId});
    }
    bool offline(const std::string& printer) {
        return (machine().printerAttributes(printer) & PRINTER_ATTRIBUTE_WORK_OFFLINE) != 0;
    }
    void deviceChange() {
        machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        ASSERT_TRUE(machine().waitIdle());
    }
    HWND statusWindow() { return FindWindowA("SetQMUsbPortStatus", nullptr); }
};

TEST_F(Status, TheHiddenWindowRefreshesOnceInsideItsCreation) {
    addPort("USB-001", usbConfig(PrinterId));
    machine().addPrinter("Office", "USB-001", PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_WORK_OFFLINE);
    unsigned messagesTakenAtFirstRefresh = ~0u;
    machine().onCall("SetPrinterA", 1, [&] { messagesTakenAtFirstRefresh = machine().callCount("GetMessageA"); });
    ASSERT_TRUE(initialize());
    EXPECT_EQ(messagesTakenAtFirstRefresh, 0u) << "refreshed through WM_CREATE, before the message loop";
    EXPECT_FALSE(offline("Office"));
    EXPECT_EQ(machine().printerAttributes("Office"), (DWORD)PRINTER_ATTRIBUTE_LOCAL) << "no other bit changes";

    HWND window = statusWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window));
    auto windows = machine().windows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].style, (DWORD)WS_OVERLAPPEDWINDOW);
    EXPECT_NE(windows[0].threadId, GetCurrentThreadId()) << "a thread of its own";
    EXPECT_EQ(machine().liveThreads(), 1u);
    EXPECT_EQ(machine().openHandles(), 0u) << "the thread's handle is not kept";
}

TEST_F(Status, APrinterGoingAwayDuringTheRefreshDoesNotTakeAnotherOffline) {
    const char OtherId[] = "USB\\VID_1209&PID_0004\\1&0&1";
    machine().removeUsbPrinter(PrinterId);
    machine().addUsbPrinter({OtherId});
    machine().addUsbPrinter({PrinterId});
    addPort("USB-001", usbConfig(PrinterId));
    machine().addPrinter("Office", "USB-001");
    ASSERT_TRUE(initialize());
    ASSERT_FALSE(offline("Office"));
    // After the first interface has been read, before the second is.
    machine().onCall("SetupDiGetClassDevsA", 3, [&] { machine().unplugUsbPrinter(OtherId); });
    deviceChange();
    EXPECT_FALSE(offline("Office")) << "its device never went away";
}

// GetMessageA's -1 is an error, not a message: a loop that took it for one
// would spin inside the spooler for ever. The watcher ends; ports work on.
TEST_F(Status, AFailingMessageLoopEndsTheWatcherInsteadOfSpinning) {
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    ASSERT_EQ(machine().liveThreads(), 1u);
    machine().failCall("GetMessageA", 1, ERROR_INVALID_WINDOW_HANDLE);
    unsigned before = machine().callCount("GetMessageA");
    ASSERT_TRUE(PostMessageA(statusWindow(), WM_NULL, 0, 0));
    for (int i = 0; i < 10000 && machine().liveThreads() > 0; i++) Sleep(1);
    EXPECT_EQ(machine().liveThreads(), 0u) << "the loop ended on -1";
    EXPECT_EQ(machine().moduleReferences(module), 1u) << "the ended thread let go of the module";
    EXPECT_EQ(machine().callCount("GetMessageA"), before + 1);
    HANDLE port = nullptr;
    EXPECT_TRUE(OpenPort(const_cast<LPSTR>("NUL:"), &port));
    EXPECT_TRUE(StartDocPort(port, nullptr, 0, 1, nullptr));
    EXPECT_TRUE(EndDocPort(port));
}

// The scan's look-up compares instance ids ignoring case.
TEST_F(Status, APrinterBackUnderItsIdInAnotherLetterCaseIsOnlineAgain) {
    addPort("USB-001", usbConfig(PrinterId));
    machine().addPrinter("Office", "USB-001");
    ASSERT_TRUE(initialize());
    machine().unplugUsbPrinter(PrinterId);
    deviceChange();
    ASSERT_TRUE(offline("Office"));
    machine().removeUsbPrinter(PrinterId);
    machine().addUsbPrinter({"usb\\vid_1209&pid_0001\\5&2a1b3c4d&0&1"});
    machine().broadcast(WM_WININICHANGE, 0, (LPARAM) "Devices");
    ASSERT_TRUE(machine().waitIdle());
    EXPECT_FALSE(offline("Office"));
}

TEST_F(Status, OnlyPortsBothListedAndUnderTheMonitorsKeyAreRefreshed) {
    addPort("USB-001", usbConfig(PrinterId));
    machine().addPrinter("Listed", "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    machine().addPrinter("Long port value", "USB-0011", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    machine().addPrinter("Not listed", "USB-009", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    ASSERT_TRUE(initialize());
    addPort("USB-009", usbConfig(PrinterId));  // a key that appeared after the start: not a listed port
    deviceChange();
    EXPECT_FALSE(offline("Listed"));
    EXPECT_TRUE(offline("Long port value")) << "eight characters or more never match";
    EXPECT_TRUE(offline("Not listed"));
    EXPECT_EQ(machine().callCount("SetPrinterA"), 2u) << "one per refresh, for the listed printer only";
}

TEST_F(Status, OnlyUsbPortsAreJudgedAndThePrintersOfOtherKindsStayAsTheyAre) {
    addPort("USB-001", usbConfig(PrinterId));
    addPort("NUL:", nullConfig());
    PortConfig file = fileConfig("C:\\out.prn");
    file.usb = usbConfig(PrinterId).usb;
    addPort("FILE:", file);
    machine().addPrinter("Office", "USB-001");
    machine().addPrinter("Null printer", "NUL:");
    machine().addPrinter("File printer", "FILE:", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    ASSERT_TRUE(initialize());
    EXPECT_TRUE(offline("File printer")) << "its USB block names a present device, and is not asked";
    machine().unplugUsbPrinter(PrinterId);
    deviceChange();
    EXPECT_FALSE(offline("Null printer")) << "no device has an empty USB block, and none is asked for";
    EXPECT_EQ(machine().callCount("SetPrinterA"), 2u) << "one per refresh, for the USB port's printer only";
}

TEST_F(Status, APrinterThatCannotBeOpenedIsSkippedAndTheRunGoesOn) {
    addPort("USB-001", usbConfig(PrinterId));
    machine().addPrinter("A first", "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    machine().addPrinter("B second", "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    machine().failCall("OpenPrinterA", 1, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(initialize());
    EXPECT_TRUE(offline("A first"));
    EXPECT_FALSE(offline("B second"));
    deviceChange();
    EXPECT_FALSE(offline("A first"));
}

TEST_F(Status, APrinterNameTooLongForTheKeyPathIsSkipped) {
    addPort("USB-001", usbConfig(PrinterId));
    std::string longest(207, 'P'), tooLong(208, 'Q');
    machine().addPrinter(longest, "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    machine().addPrinter(tooLong, "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    ASSERT_EQ(std::strlen(PrintersKeyPath) + 1 + longest.size() + 1, 256u);
    ASSERT_TRUE(initialize());
    EXPECT_FALSE(offline(longest));
    EXPECT_TRUE(offline(tooLong));
}

TEST_F(Status, FailuresWithinARefreshLeaveNothingOpen) {
    addPort("USB-001", usbConfig(PrinterId));
    machine().addPrinter("Office", "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    for (const char* call : {"GlobalAlloc", "GetPrinterA", "SetPrinterA", "SetupDiGetClassDevsA", "RegQueryValueExA"}) {
        SCOPED_TRACE(call);
        module = host::loadZevuruzi();
        installMonitorKey();
        machine().addUsbPrinter({PrinterId});
        addPort("USB-001", usbConfig(PrinterId));
        machine().addPrinter("Office", "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
        ASSERT_TRUE(initialize());
        machine().inject({call, 1, ERROR_NOT_ENOUGH_MEMORY, true});
        deviceChange();
        machine().clearFaults();
        EXPECT_EQ(machine().openPrinterHandles(), 0u);
        EXPECT_EQ(machine().openKeys(), 0u);
        EXPECT_EQ(machine().openDeviceInfoSets(), 0u);
        EXPECT_EQ(machine().liveAllocations(), 2u) << "the root copy and the port";
    }
}

// The rebuild waits for the window's next message: nothing is posted for it.
TEST_F(Status, ANewPortLeavesTheRebuildToTheWindowsNextMessage) {
    machine().removeUsbPrinter(PrinterId);
    machine().addUsbPrinter({PrinterId, "USB-001"});
    ASSERT_TRUE(initialize());
    DWORD needed, returned;
    EnumPorts(nullptr, 1, nullptr, 0, &needed, &returned);
    ASSERT_NE(FindPortRecord("USB-001"), nullptr) << "the port was made";
    ASSERT_TRUE(machine().waitIdle());
    EXPECT_TRUE(machine().commandLines().empty());
}

TEST_F(Status, WithoutAWindowTheMonitorWorksButNeverRefreshesOrRebuilds) {
    for (const char* call : {"RegisterClassA", "CreateWindowExA", "CreateThread", "GetModuleFileNameA", "LoadLibraryA"}) {
        SCOPED_TRACE(call);
        module = host::loadZevuruzi();
        installMonitorKey();
        machine().addUsbPrinter({PrinterId, "USB-001"});
        machine().addPrinter("Office", "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
        machine().failCall(call, 1, ERROR_NOT_ENOUGH_MEMORY);
        ASSERT_TRUE(initialize());
        EXPECT_EQ(machine().liveThreads(), 0u);
        EXPECT_EQ(statusWindow(), nullptr);
        DWORD needed, returned;
        EnumPorts(nullptr, 1, nullptr, 0, &needed, &returned);
        EXPECT_NE(FindPortRecord("USB-001"), nullptr) << "ports work";
        machine().unplugUsbPrinter(PrinterId);
        machine().broadcast(WM_DEVICECHANGE);
        EXPECT_EQ(machine().callCount("SetPrinterA"), 0u);
        EXPECT_TRUE(machine().commandLines().empty());
        EXPECT_EQ(machine().openHandles(), 0u);
        EXPECT_EQ(machine().moduleReferences(module), 1u) << "no watcher holds the module";
    }
}

}  // namespace
