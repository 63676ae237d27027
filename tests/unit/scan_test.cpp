// Automatic USB ports: what the scan of the USB device registry creates at
// each enumeration, and what it passes over.
#include "test_support.h"

#include <atomic>
#include <map>
#include <thread>

namespace {

const char PrinterId[] = "USB\\VID_1209&PID_0001\\5&2A1B3C4D&0&1";
const char InstanceKey[] = "Enum\\USB\\VID_1209&PID_0001\\5&2A1B3C4D&0&1";

class Scan : public InstalledMonitorTest {
protected:
    void TearDown() override {
        EXPECT_FALSE(registry().exists(portKeyPath(ProbeKeyName))) << "the probe key never remains";
        InstalledMonitorTest::TearDown();
    }

    std::vector<std::string> enumerate() { return enumeratePortNames(2); }

    // Of two instances with one port name, the one enumerated first gets the port (its id here),
    // with only the order of subkeys set: sorted, or in the order made (98).
    std::string portOfTwoWithOneName(bool subkeysInOrderMade) {
        sim::SystemTraits traits = machine().traits();
        traits.subkeysInCreationOrder = subkeysInOrderMade;
        machine().setTraits(traits);
        machine().addUsbPrinter({"USB\\VID_1209&PID_0001\\B-SECOND", "USB-001"});
        machine().addUsbPrinter({"USB\\VID_1209&PID_0001\\A-FIRST", "USB-001"});
        EXPECT_TRUE(initialize());
        EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
        PortRecord* record = FindPortRecord("USB-001");
        return record ? record->config.usb.instanceId : "no port";
    }
};

TEST_F(Scan, NamesThatAreNotOursArePassedOver) {
    const char* names[] = {"usb-001", "LPT1", "USB-1000", "USB-7"};
    int n = 0;
    for (const char* name : names) {
        std::string id = "USB\\VID_1209&PID_0001\\INST" + std::to_string(n++);
        machine().addUsbPrinter({id, name});
    }
    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-7"}) << "a short name of ours is taken";
    EXPECT_TRUE(machine().messageBoxes().empty());
}

TEST_F(Scan, AnEightByteNameWithoutTerminatorIsReadSafely) {
    machine().addUsbPrinter({PrinterId});
    registry().setValue(InstanceKey, "PortName", REG_BINARY, {'U', 'S', 'B', '-', '0', '0', '7', 'X'});
    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-007X"}) << "eight characters fit the read";
}

TEST_F(Scan, APrinterThatIsNotPresentGetsItsPortWhenPluggedIn) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    machine().unplugUsbPrinter(PrinterId);
    ASSERT_TRUE(initialize());
    EXPECT_TRUE(enumerate().empty());
    EXPECT_FALSE(registry().exists(portKeyPath("USB-001")));
    EXPECT_EQ(DriverIndexRebuildPending, 0);
    machine().plugUsbPrinter(PrinterId);
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
}

TEST_F(Scan, TheInterfaceMustEndInTheInstanceKeysNameAndBeAUsbDevice) {
    // An interface of another bus with the same instance key name is no USB device.
    machine().addUsbPrinter({"HID\\VID_1209&PID_0001\\5&2A1B3C4D&0&1"});
    registry().setString(InstanceKey, "PortName", "USB-001");
    ASSERT_TRUE(initialize());
    EXPECT_TRUE(enumerate().empty());
    EXPECT_EQ(DriverIndexRebuildPending, 0);

    // The first matching interface wins, so the other bus's device must go first.
    // Letter case does not matter in the comparison of the last component.
    machine().unplugUsbPrinter("HID\\VID_1209&PID_0001\\5&2A1B3C4D&0&1");
    machine().addUsbPrinter({"USB\\VID_1209&PID_0001\\5&2a1b3c4d&0&1"});
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
    EXPECT_STREQ(FindPortRecord("USB-001")->config.usb.instanceId, "USB\\VID_1209&PID_0001\\5&2a1b3c4d&0&1");
}

TEST_F(Scan, TwoInstancesWithOneNameGiveOnePortToTheFirst) {
    EXPECT_EQ(portOfTwoWithOneName(false), "USB\\VID_1209&PID_0001\\A-FIRST");
}

TEST_F(Scan, TwoInstancesWithOneNameGiveOnePortToTheFirstMadeWhereKeysComeInTheOrderMade) {
    EXPECT_EQ(portOfTwoWithOneName(true), "USB\\VID_1209&PID_0001\\B-SECOND");
}

TEST_F(Scan, AMonitorKeyThatRefusesSubkeysIsReportedAtEveryEnumeration) {
    WHERE_TRAITS(t.registrySecurity);
    machine().addUsbPrinter({PrinterId, "USB-001"});
    registry().refuseAccess(MonitorKeyPath, KEY_CREATE_SUB_KEY);
    ASSERT_TRUE(initialize());
    EXPECT_TRUE(enumerate().empty());
    EXPECT_EQ(DriverIndexRebuildPending, 1) << "the case was dealt with";
    auto boxes = machine().messageBoxes();
    ASSERT_EQ(boxes.size(), 2u) << "the size query and the fill each enumerate";
    EXPECT_EQ(boxes[0].text, "Access is denied.\r\n");
    EXPECT_EQ(boxes[0].caption, "VO DUV Udadizo");
    EXPECT_EQ(boxes[0].owner, machine().desktopWindow());
    EXPECT_EQ(PortList, nullptr);
}

TEST_F(Scan, ADeletedPortComesBackWhileItsPrinterIsPresent) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
    ASSERT_TRUE(DeletePort(nullptr, nullptr, const_cast<LPSTR>("USB-001")));
    EXPECT_FALSE(registry().exists(portKeyPath("USB-001")));
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
}

TEST_F(Scan, APortThatCannotBeSavedLeavesNoHalfWrittenKey) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    machine().failCall("RegSetValueExA", 1, ERROR_CANTWRITE);
    DriverIndexRebuildPending = 0;
    EXPECT_EQ(ScanUsbPortNames(nullptr), 1);
    EXPECT_FALSE(registry().exists(portKeyPath("USB-001")));
    EXPECT_EQ(listedNames(), std::vector<std::string>{"NUL:"});
    EXPECT_EQ(machine().liveAllocations(), 2u);

    // The next start of the monitor still loads every port.
    restartKeepingRegistry();
    EXPECT_TRUE(initialize());
}

// The registry names keys ignoring letter case; a port name compared with
// case would make one more record for the same key at every enumeration.
TEST_F(Scan, AKeyDifferingOnlyInLetterCaseIsThePort) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    addPort("usb-001", usbConfig(PrinterId));
    ASSERT_TRUE(initialize());
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        EXPECT_EQ(enumerate(), std::vector<std::string>{"usb-001"});
        EXPECT_EQ(listedCount(), 1u);
    }
    EXPECT_EQ(DriverIndexRebuildPending, 0) << "nothing new, nothing to rebuild";
    EXPECT_EQ(registry().subkeys(MonitorKeyPath), std::vector<std::string>{"usb-001"});
}

TEST_F(Scan, TwoNamesDifferingOnlyInLetterCaseGiveOnePortToTheFirst) {
    machine().addUsbPrinter({"USB\\VID_1209&PID_0001\\A-FIRST", "USB-00a"});
    machine().addUsbPrinter({"USB\\VID_1209&PID_0001\\B-SECOND", "USB-00A"});
    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-00a"});
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-00a"});
    EXPECT_STREQ(FindPortRecord("USB-00A")->config.usb.instanceId, "USB\\VID_1209&PID_0001\\A-FIRST")
        << "the second never overwrites the first one's configuration";
}

// A failed enumeration of the monitor's key says nothing about the name: only
// the end of the keys means that the port is missing.
TEST_F(Scan, AFailedLookAtTheExistingPortsMakesNoDuplicate) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    ASSERT_TRUE(initialize());
    ASSERT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
    DriverIndexRebuildPending = 0;
    unsigned calls = machine().callCount("RegEnumKeyA");
    ScanUsbPortNames(nullptr);
    unsigned perScan = machine().callCount("RegEnumKeyA") - calls;
    for (unsigned nth = 1; nth <= perScan; nth++) {
        SCOPED_TRACE(nth);
        machine().failCall("RegEnumKeyA", nth, ERROR_BADDB);
        EXPECT_EQ(ScanUsbPortNames(nullptr), 0);
        machine().clearFaults();
        EXPECT_EQ(listedNames(), std::vector<std::string>{"USB-001"});
    }
    EXPECT_EQ(DriverIndexRebuildPending, 0);
}

// A look-up opens the port's key by its name: it costs as much with 65 ports
// as with one, a name that is a path finds nothing, a key that refuses to be
// opened is there, and only a failure that is not "not found" leaves the answer
// unknown. The key's own spelling is read for those who show it.
TEST_F(Scan, ALookUpOpensThePortsKeyByName) {
    addPort("usb-001", usbConfig(PrinterId));
    registry().create(portKeyPath("usb-001\\Inner"));
    ASSERT_TRUE(initialize());
    auto cost = [this] {
        unsigned before = machine().callCount("RegOpenKeyExA") + machine().callCount("RegEnumKeyA");
        EXPECT_EQ(LookUpPortKey("USB-002", nullptr), PortKeyAbsent);
        return machine().callCount("RegOpenKeyExA") + machine().callCount("RegEnumKeyA") - before;
    };
    unsigned one = cost();
    for (int i = 0; i < 64; i++) addPort("P" + std::to_string(i), nullConfig());
    EXPECT_EQ(cost(), one);
    EXPECT_EQ(LookUpPortKey("usb-001\\Inner", nullptr), PortKeyAbsent) << "never opened as a path";
    CHAR spelling[RegistryNameMax];
    EXPECT_EQ(LookUpPortKey("USB-001", spelling), PortKeyPresent);
    EXPECT_STREQ(spelling, "usb-001");
    machine().failCall("RegOpenKeyExA", 2, ERROR_BADDB);
    EXPECT_EQ(LookUpPortKey("USB-001", nullptr), PortKeyUnknown);
    registry().refuseAccess(portKeyPath("usb-001"), KEY_READ);
    EXPECT_EQ(LookUpPortKey("USB-001", nullptr), PortKeyPresent);
}

// The probe key is never a port: one left behind by a failed deletion, in any
// letter case, neither fails the next start nor shows as a port, and the next
// probe takes it over.
TEST_F(Scan, AProbeKeyLeftBehindNeitherFailsTheStartNorStays) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    ASSERT_TRUE(initialize());
    machine().failCall("RegDeleteKeyA", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
    ASSERT_TRUE(registry().exists(portKeyPath(ProbeKeyName))) << "its deletion failed";

    restartKeepingRegistry();
    registry().remove(portKeyPath(ProbeKeyName));
    registry().create(portKeyPath("zevuruzi"));
    machine().addUsbPrinter({"USB\\VID_1209&PID_0002\\5&1&0&2", "USB-002"});
    ASSERT_TRUE(initialize());
    EXPECT_EQ(listedNames(), std::vector<std::string>{"USB-001"});
    EXPECT_EQ(enumerate(), (std::vector<std::string>{"USB-001", "USB-002"}));
    EXPECT_FALSE(registry().exists(portKeyPath(ProbeKeyName))) << "the next probe removed it";
}

// A port whose save failed and whose clean-up failed too is left as a key
// without "Property". The probe's mark names it: the next start passes it over
// and the next scan finishes it.
TEST_F(Scan, APortCutShortIsFinishedByTheNextScanAndNeverFailsAStart) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    machine().onCall("RegCreateKeyA", 2, [this] {  // the port's key: everything after it fails
        machine().inject({"RegSetValueExA", 1, ERROR_CANTWRITE, true});
        machine().inject({"RegDeleteKeyA", 1, ERROR_ACCESS_DENIED, true});
    });
    EXPECT_EQ(ScanUsbPortNames(nullptr), 1);
    machine().clearFaults();
    ASSERT_TRUE(registry().exists(portKeyPath("USB-001")));
    ASSERT_FALSE(registry().value(portKeyPath("USB-001"), "Property").has_value());
    EXPECT_EQ(registry().stringValue(portKeyPath(ProbeKeyName), "PortName"), "USB-001");
    EXPECT_EQ(listedNames(), std::vector<std::string>{"NUL:"});

    restartKeepingRegistry();
    ASSERT_TRUE(initialize()) << "the unfinished port does not fail the start";
    EXPECT_EQ(listedNames(), std::vector<std::string>{"NUL:"});
    EXPECT_EQ(ScanUsbPortNames(nullptr), 0) << "its printer is gone with the old process";
    machine().addUsbPrinter({PrinterId, "USB-001"});
    EXPECT_EQ(enumerate(), (std::vector<std::string>{"NUL:", "USB-001"}));
    EXPECT_EQ(registry().value(portKeyPath("USB-001"), "Property")->data.size(), 556u);
    EXPECT_FALSE(registry().exists(portKeyPath(ProbeKeyName)));

    restartKeepingRegistry();
    ASSERT_TRUE(initialize());
    EXPECT_EQ(listedNames(), (std::vector<std::string>{"NUL:", "USB-001"}));
}

TEST_F(Scan, AnUnfinishedPortWhosePrinterIsGoneMakesWayForTheNextOne) {
    registry().create(portKeyPath("USB-009"));
    registry().setString(portKeyPath(ProbeKeyName), "PortName", "USB-009");
    ASSERT_TRUE(initialize());
    machine().addUsbPrinter({PrinterId, "USB-001"});
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
    EXPECT_FALSE(registry().exists(portKeyPath("USB-009"))) << "the mark is reused: its key goes first";
    restartKeepingRegistry();
    EXPECT_TRUE(initialize());
}

// The mark is outside data: one that names a path below the monitor's key
// marks nothing, and no key is removed for it.
TEST_F(Scan, AMarkThatIsAPathMarksNothing) {
    addPort("USB-009", nullConfig());
    registry().create(portKeyPath("USB-009\\Inner"));
    registry().setString(portKeyPath(ProbeKeyName), "PortName", "USB-009\\Inner");
    machine().addUsbPrinter({PrinterId, "USB-001"});
    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), (std::vector<std::string>{"USB-009", "USB-001"}));
    EXPECT_TRUE(registry().exists(portKeyPath("USB-009\\Inner"))) << "not removed for a mark that is a path";
}

// Only the port the probe marks is taken for unfinished: any other key without
// "Property" is broken, and the start fails as it always did.
TEST_F(Scan, AKeyWithoutPropertyThatIsNotMarkedStillFailsTheStart) {
    addPort("NUL:", nullConfig());
    registry().create(portKeyPath("USB-003"));
    registry().setString(portKeyPath(ProbeKeyName), "PortName", "USB-004");
    EXPECT_REFUSED(ERROR_FILE_NOT_FOUND, InitializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &table));
    EXPECT_EQ(PortList, nullptr);
    registry().remove(portKeyPath(ProbeKeyName));
}

// Two enumerations at once: the second runs between the first one's check
// that the name has no key and the first one's link. It must wait, then find
// the port made.
TEST_F(Scan, TwoEnumerationsAtOnceMakeThePortOnce) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    ASSERT_TRUE(initialize());
    std::atomic<bool> secondDone{false};
    std::thread second;
    machine().onCall("RegCreateKeyA", 2, [&] {  // the first enumeration is about to make the port's key
        second = std::thread([&] {
            DWORD needed = 0, returned = 0;  // the spooler's size query runs a scan too
            EnumPorts(nullptr, 1, nullptr, 0, &needed, &returned);
            secondDone = true;
        });
        // Until the second enumeration has finished, or waits for a lock.
        while (!secondDone && machine().threadsWaitingForLocks() == 0) std::this_thread::yield();
    });
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
    second.join();
    EXPECT_EQ(listedNames(), std::vector<std::string>{"USB-001"});
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
}

// A printer that goes away while the scan looks for another one does not hide
// the one it looks for.
TEST_F(Scan, APrinterGoingAwayDuringTheLookUpDoesNotHideTheOneSought) {
    const char OtherId[] = "USB\\VID_1209&PID_0003\\1&0&1";  // earlier in the order, no port of its own
    machine().addUsbPrinter({OtherId});
    machine().addUsbPrinter({PrinterId, "USB-001"});
    ASSERT_TRUE(initialize());
    // After the first interface has been read, before the second is.
    machine().onCall("SetupDiGetClassDevsA", 3, [&] { machine().unplugUsbPrinter(OtherId); });
    EXPECT_EQ(ScanUsbPortNames(nullptr), 1);
    ASSERT_EQ(listedNames(), std::vector<std::string>{"USB-001"});
    EXPECT_STREQ(FindPortRecord("USB-001")->config.usb.instanceId, PrinterId);
}

// A port is a key of its own below the monitor's key: a name with a backslash
// would make a nested key that no start loads and no check finds again.
TEST_F(Scan, ANameWithABackslashIsPassedOver) {
    machine().addUsbPrinter({PrinterId, "USB-0\\1"});
    ASSERT_TRUE(initialize());
    EXPECT_TRUE(enumerate().empty());
    EXPECT_TRUE(enumerate().empty());
    EXPECT_TRUE(registry().subkeys(MonitorKeyPath).empty());
    EXPECT_EQ(DriverIndexRebuildPending, 0);
}

TEST_F(Scan, WithoutTheMonitorsKeyNoPortIsMade) {
    registry().remove(MonitorKeyPath);
    machine().addUsbPrinter({PrinterId, "USB-001"});
    ASSERT_TRUE(initialize());
    EXPECT_EQ(ScanUsbPortNames(nullptr), 0);
    EXPECT_FALSE(registry().exists(MonitorKeyPath));
}

TEST_F(Scan, NamesTooLongForTheBuffersArePassedOverAndTheWalkGoesOn) {
    registry().setString("Enum\\USB\\" + std::string(300, 'D') + "\\X", "PortName", "USB-009");
    registry().setString("Enum\\USB\\VID_0001\\" + std::string(300, 'I'), "PortName", "USB-008");
    machine().addUsbPrinter({"USB\\VID_FFFF\\ZZ", "USB-002"});
    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-002"});
}

// Every platform call of a scan that creates a port, failed in turn: the port
// is in both the registry and the list, or in neither; nothing stays open.
TEST_F(Scan, EveryFailingCallOfTheScanLeavesRegistryAndListConsistent) {
    auto arrange = [this] {
        module = host::loadZevuruzi();
        installMonitorKey();
        machine().addUsbPrinter({PrinterId, "USB-001"});
        EXPECT_TRUE(initialize());
    };
    arrange();
    for (const CallPoint& point : recordCallPoints([] { ASSERT_EQ(ScanUsbPortNames(nullptr), 1); })) {
        const std::string& call = point.function;
        SCOPED_TRACE(point.name());
        arrange();
        machine().failCall(call, point.nth, ERROR_GEN_FAILURE);
        ScanUsbPortNames(nullptr);
        machine().clearFaults();
        bool listed = FindPortRecord("USB-001") != nullptr;
        bool saved = registry().value(portKeyPath("USB-001"), "Property").has_value();
        EXPECT_EQ(listed, saved);
        EXPECT_EQ(registry().exists(portKeyPath("USB-001")), saved) << "no key without its value";
        // Only a probe whose own deletion failed can remain.
        if (registry().exists(portKeyPath(ProbeKeyName))) {
            EXPECT_TRUE(call == "RegDeleteKeyA" || call == "RegOpenKeyExA");
        }
        registry().remove(portKeyPath(ProbeKeyName));
        EXPECT_EQ(machine().openKeys(), 0u);
        EXPECT_EQ(machine().openDeviceInfoSets(), 0u);
        EXPECT_EQ(machine().liveAllocations(), 1u + (listed ? 1 : 0));
    }
}

}  // namespace
