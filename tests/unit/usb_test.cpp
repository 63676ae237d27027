// USB printers: finding the present interfaces of a class, and jobs that reach
// a printer through its device and pipe files.
#include "test_support.h"

#include <chrono>
#include <map>

namespace {

const char PrinterId[] = "USB\\VID_1209&PID_0001\\5&2A1B3C4D&0&1";
const char OtherId[] = "USB\\VID_1209&PID_0001\\5&2A1B3C4D&0&2";

std::vector<BYTE> configurationAndInterface() { return {9, 2, 0, 0, 1, 1, 0, 0xC0, 0, 9, 4, 0, 0, 2, 7, 1, 2, 0}; }
std::vector<BYTE> endpoint(BYTE address, BYTE attributes) { return {7, 5, address, attributes, 64, 0, 0}; }
std::vector<BYTE> operator+(std::vector<BYTE> a, const std::vector<BYTE>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::vector<BYTE> bytes(const std::string& s) { return std::vector<BYTE>(s.begin(), s.end()); }

class Usb : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        machine().addUsbPrinter({PrinterId});
    }
    void TearDown() override {
        EXPECT_EQ(machine().openHandles(), 0u) << "device or pipe handles left open";
        EXPECT_EQ(machine().openDeviceInfoSets(), 0u) << "device information sets left";
        MonitorTest::TearDown();
    }

    HANDLE startUsbPort(const PortConfig& config = usbConfig(PrinterId), BOOL* started = nullptr) {
        addPort("USB-001", config);
        EXPECT_TRUE(initialize());
        HANDLE port = nullptr;
        EXPECT_TRUE(OpenPort(const_cast<LPSTR>("USB-001"), &port));
        SetLastError(Marker);
        BOOL ok = StartDocPort(port, nullptr, 0, 1, nullptr);
        if (started)
            *started = ok;
        else
            EXPECT_TRUE(ok) << GetLastError();
        return port;
    }
    PortRecord* record(HANDLE port) { return static_cast<PortRecord*>(port); }
    void setPrinter(const std::function<void(sim::UsbPrinter&)>& f) { ASSERT_TRUE(machine().withUsbPrinter(PrinterId, f)); }
    std::map<int, std::vector<BYTE>> received() {
        std::map<int, std::vector<BYTE>> r;
        machine().withUsbPrinter(PrinterId, [&](sim::UsbPrinter& p) { r = p.received; });
        return r;
    }
    std::string devicePath() {
        std::string path;
        machine().withUsbPrinter(PrinterId, [&](sim::UsbPrinter& p) { path = p.devicePath; });
        return path;
    }
};

TEST_F(Usb, InterfacesOfAClassAreCountedAndLookedUp) {
    DWORD count = Marker;
    GUID otherClass = sim::UsbPrinterClass;
    otherClass.Data1 ^= 1;
    EXPECT_TRUE(CountInterfaces(&otherClass, &count));
    EXPECT_EQ(count, 0u) << "no device of that class";

    machine().addUsbPrinter({OtherId});
    sim::UsbPrinterSpec elsewhere{"USB\\VID_1111&PID_2222\\9"};
    elsewhere.interfaceClass = otherClass;
    machine().addUsbPrinter(elsewhere);
    EXPECT_TRUE(CountInterfaces(&UsbPortInterfaceGuid, &count));
    EXPECT_EQ(count, 2u);

    UsbInterfaceInfo info{};
    ASSERT_TRUE(GetInterface(&UsbPortInterfaceGuid, 1, &info));
    EXPECT_STREQ(info.instanceId, OtherId);
    EXPECT_STREQ(info.devicePath, "\\\\?\\usb#vid_1209&pid_0001#5&2a1b3c4d&0&2#{6a7ad4e2-ae15-11d7-890b-0080ad72b9d1}");
    ASSERT_TRUE(GetInterface(&UsbPortInterfaceGuid, 0, &info));
    EXPECT_STREQ(info.instanceId, PrinterId);
    EXPECT_REFUSED(ERROR_NO_MORE_ITEMS, GetInterface(&UsbPortInterfaceGuid, 2, &info));

    machine().unplugUsbPrinter(OtherId);
    EXPECT_TRUE(CountInterfaces(&UsbPortInterfaceGuid, &count));
    EXPECT_EQ(count, 1u) << "only present devices";

    count = Marker;
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, CountInterfaces(&UsbPortInterfaceGuid, nullptr));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, CountInterfaces(nullptr, &count));
    EXPECT_EQ(count, Marker);
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, GetInterface(nullptr, 0, &info));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, GetInterface(&UsbPortInterfaceGuid, 0, nullptr));

    // A search needs a class, a way to match, something to match and a place
    // for the answer; without them the caller's record keeps what it held.
    InterfaceMatch any = [](const UsbInterfaceInfo*, LPCSTR) -> BOOL { return TRUE; };
    std::strcpy(info.instanceId, "caller's id");
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, FindInterface(nullptr, any, PrinterId, &info));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, FindInterface(&UsbPortInterfaceGuid, nullptr, PrinterId, &info));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, FindInterface(&UsbPortInterfaceGuid, any, nullptr, &info));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, FindInterface(&UsbPortInterfaceGuid, any, PrinterId, nullptr));
    EXPECT_STREQ(info.instanceId, "caller's id");
    EXPECT_TRUE(FindInterface(&UsbPortInterfaceGuid, any, PrinterId, &info));
    EXPECT_STREQ(info.instanceId, PrinterId);
}

TEST_F(Usb, CountingReportsSetupApiFailures) {
    DWORD count = Marker;
    machine().failCall("SetupDiGetClassDevsA", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_REFUSED(ERROR_NOT_ENOUGH_MEMORY, CountInterfaces(&UsbPortInterfaceGuid, &count));
    EXPECT_EQ(count, 0u);

    machine().addUsbPrinter({OtherId});
    machine().failCall("SetupDiEnumDeviceInterfaces", 2, ERROR_GEN_FAILURE);
    EXPECT_REFUSED(ERROR_GEN_FAILURE, CountInterfaces(&UsbPortInterfaceGuid, &count));
    EXPECT_EQ(count, 1u) << "the interfaces counted before the failure";
}

// The device information set is destroyed after a failed look-up; SetupAPI may
// set its own last error there. The caller must still hear why the look-up failed.
TEST_F(Usb, ALookUpThatFailsReportsItsOwnErrorNotTheCleanUps) {
    DWORD count = Marker;
    machine().failCall("SetupDiEnumDeviceInterfaces", 1, ERROR_GEN_FAILURE);
    machine().failCall("SetupDiDestroyDeviceInfoList", 1, ERROR_INVALID_HANDLE);
    EXPECT_REFUSED(ERROR_GEN_FAILURE, CountInterfaces(&UsbPortInterfaceGuid, &count));

    UsbInterfaceInfo info{};
    machine().failCall("SetupDiDestroyDeviceInfoList", 1, ERROR_INVALID_HANDLE);
    EXPECT_REFUSED(ERROR_NO_MORE_ITEMS, GetInterface(&UsbPortInterfaceGuid, 1, &info));

    auto isOther = [](const UsbInterfaceInfo* i, LPCSTR wanted) -> BOOL {
        return std::strcmp(i->instanceId, wanted) == 0;
    };
    machine().failCall("SetupDiDestroyDeviceInfoList", 1, ERROR_INVALID_HANDLE);
    EXPECT_REFUSED(ERROR_NO_MORE_ITEMS, FindInterface(&UsbPortInterfaceGuid, isOther, OtherId, &info));

    // For a job that means "not ready", the answer for a printer that is not
    // plugged in, rather than a failure to open it.
    addPort("USB-002", usbConfig(OtherId));
    ASSERT_TRUE(initialize());
    HANDLE port = nullptr;
    ASSERT_TRUE(OpenPort(const_cast<LPSTR>("USB-002"), &port));
    machine().failCall("SetupDiDestroyDeviceInfoList", 1, ERROR_INVALID_HANDLE);
    EXPECT_REFUSED(ERROR_NOT_READY, StartDocPort(port, nullptr, 0, 1, nullptr));
}

TEST_F(Usb, ALookUpFillsOnlyWhatSetupApiAnswers) {
    UsbInterfaceInfo info;
    std::strcpy(info.devicePath, "caller's path");
    std::strcpy(info.instanceId, "caller's id");
    machine().failCall("SetupDiGetDeviceInstanceIdA", 1, ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetInterface(&UsbPortInterfaceGuid, 0, &info));
    EXPECT_STREQ(info.instanceId, "caller's id");
    EXPECT_EQ(std::string(info.devicePath), devicePath());

    // The device comes with the path: without one there is no id either.
    std::strcpy(info.devicePath, "caller's path");
    machine().failCall("SetupDiGetDeviceInterfaceDetailA", 2, ERROR_INVALID_USER_BUFFER);  // the fill, not the size query
    ASSERT_TRUE(GetInterface(&UsbPortInterfaceGuid, 0, &info));
    EXPECT_STREQ(info.devicePath, "caller's path");
    EXPECT_STREQ(info.instanceId, "caller's id");

    machine().failCall("GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_TRUE(GetInterface(&UsbPortInterfaceGuid, 0, &info));
    EXPECT_STREQ(info.devicePath, "caller's path");
    EXPECT_EQ(machine().liveAllocations(), 0u);
}

// A set need not list its device elements in the order of its interfaces:
// each path still goes with its own printer's id, and a job to its own printer.
TEST_F(Usb, EachInterfaceGoesWithItsOwnDeviceWhateverTheOrderOfTheSetsElements) {
    machine().addUsbPrinter({OtherId});
    sim::SystemTraits traits = machine().traits();
    traits.deviceElementsReversed = true;
    machine().setTraits(traits);
    UsbInterfaceInfo info{};
    ASSERT_TRUE(GetInterface(&UsbPortInterfaceGuid, 0, &info));
    EXPECT_EQ(info.instanceId + std::string(" at ") + info.devicePath, PrinterId + (" at " + devicePath()));
    HANDLE port = startUsbPort(usbConfig(OtherId));
    DWORD written = 0;
    ASSERT_TRUE(WritePort(port, (LPBYTE) "page", 4, &written));
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_TRUE(received().empty()) << "the job reached another port's printer";
    EXPECT_EQ(machine().usbReceived(OtherId), bytes("page"));
}

// A set made while another printer comes or goes may miss a present one: it is
// looked for again in a fresh set, while an absent printer fails at once.
TEST_F(Usb, APrinterThatOneSetMissesIsLookedForInTheNext) {
    addPort("USB-001", usbConfig(PrinterId));
    ASSERT_TRUE(initialize());
    HANDLE port = nullptr;
    ASSERT_TRUE(OpenPort(const_cast<LPSTR>("USB-001"), &port));
    machine().onCall("SetupDiGetClassDevsA", 1, [this] { machine().unplugUsbPrinter(PrinterId); });
    machine().onCall("SetupDiGetClassDevsA", 2, [this] { machine().plugUsbPrinter(PrinterId); });
    ASSERT_TRUE(StartDocPort(port, nullptr, 0, 1, nullptr)) << GetLastError();
    ASSERT_TRUE(EndDocPort(port));
    machine().unplugUsbPrinter(PrinterId);
    unsigned before = machine().callCount("SetupDiGetClassDevsA");
    EXPECT_REFUSED(ERROR_NOT_READY, StartDocPort(port, nullptr, 0, 1, nullptr));
    EXPECT_EQ(machine().callCount("SetupDiGetClassDevsA") - before, 2u) << "two sets, no more";
}

TEST_F(Usb, ADevicePathTooLongForTheRecordIsNotCopied) {
    machine().removeUsbPrinter(PrinterId);
    std::string longInstance = "USB\\VID_1209&PID_0001\\" + std::string(220, '7');
    machine().addUsbPrinter({longInstance});
    UsbInterfaceInfo info{};
    std::strcpy(info.devicePath, "untouched");
    ASSERT_TRUE(GetInterface(&UsbPortInterfaceGuid, 0, &info));
    EXPECT_STREQ(info.devicePath, "untouched") << "a cut path would name another device";
    EXPECT_EQ(std::string(info.instanceId), longInstance);
}

TEST_F(Usb, TheDescriptorWalkChoosesTheLastQualifyingEndpointOfEachDirection) {
    struct Case {
        const char* what;
        std::vector<BYTE> descriptors;
        INT writePipe, readPipe;
    };
    const std::vector<Case> cases = {
        {"bulk pair", configurationAndInterface() + endpoint(0x01, 2) + endpoint(0x82, 2), 0, 1},
        {"trailing interrupt IN", configurationAndInterface() + endpoint(0x01, 2) + endpoint(0x82, 2) + endpoint(0x83, 3),
         0, 2},
        {"leading isochronous", configurationAndInterface() + endpoint(0x03, 1) + endpoint(0x01, 2) + endpoint(0x82, 2),
         1, 2},
        {"no endpoints keeps the configured pipes", configurationAndInterface(), 1, 0},
        {"class-specific descriptor between", configurationAndInterface() + std::vector<BYTE>{5, 0x21, 1, 2, 3} +
                                                  endpoint(0x02, 2) + endpoint(0x81, 2),
         0, 1},
        {"zero length stops the walk", endpoint(0x01, 2) + std::vector<BYTE>{0, 5} + endpoint(0x82, 2), 0, 0},
        {"length 1 stops the walk", std::vector<BYTE>{1, 5} + endpoint(0x82, 2), 1, 0},
        {"a length past the end stops the walk", endpoint(0x01, 2) + std::vector<BYTE>{9, 5, 0x82, 2}, 0, 0},
        {"a 3-byte endpoint counts but is not read", std::vector<BYTE>{3, 5, 0x81} + endpoint(0x02, 2), 1, 0},
        {"a lone header byte", std::vector<BYTE>{7}, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UsbPortConfig config = usbConfig(PrinterId).usb;
        // An exact-size heap copy, so that a read past the end is caught.
        std::vector<BYTE> exact(c.descriptors);
        ChooseUsbPipes(exact.data(), (DWORD)exact.size(), &config);
        EXPECT_EQ(config.writePipe, c.writePipe);
        EXPECT_EQ(config.readPipe, c.readPipe);
    }
}

TEST_F(Usb, PipesChosenByTheWalkAreOpenedAndRememberedUntilTheNextStart) {
    setPrinter([](sim::UsbPrinter& p) {
        p.descriptors = configurationAndInterface() + endpoint(0x03, 1) + endpoint(0x01, 2) + endpoint(0x82, 2) +
                        endpoint(0x83, 3);
    });
    HANDLE port = startUsbPort();
    std::string data = "to pipe 01";
    ASSERT_TRUE(WritePort(port, (LPBYTE)data.data(), (DWORD)data.size(), nullptr));
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_EQ(received(), (std::map<int, std::vector<BYTE>>{{1, bytes(data)}}));
    EXPECT_EQ(record(port)->config.usb.writePipe, 1);
    EXPECT_EQ(record(port)->config.usb.readPipe, 3);
    auto stored = registry().value(portKeyPath("USB-001"), "Property");
    EXPECT_EQ(stored->data, configBytes(usbConfig(PrinterId))) << "never written back";
}

TEST_F(Usb, ARefusedDescriptorRequestKeepsTheConfiguredPipes) {
    // Endpoints in the order of the stored pipes (IN first), so that the pipes
    // kept are the ones the driver lets the job write to and read from.
    setPrinter([](sim::UsbPrinter& p) {
        p.descriptors = configurationAndInterface() + endpoint(0x82, 2) + endpoint(0x01, 2);
        p.descriptorError = ERROR_GEN_FAILURE;
    });
    HANDLE port = startUsbPort();
    std::string data = "via the stored pipes";
    ASSERT_TRUE(WritePort(port, (LPBYTE)data.data(), (DWORD)data.size(), nullptr));
    setPrinter([](sim::UsbPrinter& p) { p.toRead = {'!'}; });
    BYTE b = 0;
    DWORD read = 0;
    ASSERT_TRUE(ReadPort(port, &b, 1, &read));
    EXPECT_EQ(b, '!');
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_EQ(received(), (std::map<int, std::vector<BYTE>>{{1, bytes(data)}})) << "write pipe 01, read pipe 00";
}

// The stored pipes of a new port (write 1, read 0) are the wrong way round for
// a printer whose OUT endpoint comes first. Without descriptors the job cannot
// know: every write then fails with the driver's error, and nothing is taken
// for delivered.
TEST_F(Usb, StoredPipesTheWrongWayRoundFailTheJobsWritesOpenly) {
    setPrinter([](sim::UsbPrinter& p) { p.descriptorError = ERROR_GEN_FAILURE; });  // OUT 0x01 first, IN 0x82
    HANDLE port = startUsbPort();
    DWORD written = Marker;
    EXPECT_REFUSED(ERROR_INVALID_FUNCTION, WritePort(port, (LPBYTE) "page", 4, &written));
    EXPECT_EQ(written, 0u);
    BYTE b = 0;
    DWORD read = Marker;
    EXPECT_REFUSED(ERROR_INVALID_FUNCTION, ReadPort(port, &b, 1, &read));
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_TRUE(received().empty()) << "nothing reached the printer";
}

TEST_F(Usb, ANegativeReadPipeOpensNoReadPipe) {
    setPrinter([](sim::UsbPrinter& p) { p.descriptors = configurationAndInterface() + endpoint(0x01, 2); });
    PortConfig config = usbConfig(PrinterId);
    config.usb.readPipe = -1;
    HANDLE port = startUsbPort(config);
    EXPECT_EQ(record(port)->usb.readHandle, nullptr);
    BYTE buffer[4];
    DWORD read = Marker;
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, ReadPort(port, buffer, sizeof buffer, &read));
    EXPECT_TRUE(WritePort(port, buffer, sizeof buffer, nullptr));
    EXPECT_TRUE(EndDocPort(port));
}

TEST_F(Usb, ANegativeWritePipeOpensNoWritePipeAndRefusesWrites) {
    setPrinter([](sim::UsbPrinter& p) {
        p.descriptors = configurationAndInterface() + endpoint(0x82, 2);
        p.toRead = {'O', 'K'};
    });
    PortConfig config = usbConfig(PrinterId);
    config.usb.writePipe = -1;
    HANDLE port = startUsbPort(config);
    EXPECT_EQ(record(port)->usb.writeHandle, nullptr);
    DWORD written = Marker;
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, WritePort(port, (LPBYTE) "page", 4, &written));
    EXPECT_EQ(written, Marker);
    BYTE answer[4];
    DWORD read = 0;
    EXPECT_TRUE(ReadPort(port, answer, sizeof answer, &read)) << "the read pipe works on";
    EXPECT_EQ(std::string((char*)answer, read), "OK");
    EXPECT_TRUE(EndDocPort(port));
    EXPECT_TRUE(received().empty());
}

// The back-end's calls outside a job, on pipes never opened or on no pipes at
// all: each is refused before it reaches the driver.
TEST_F(Usb, PipesThatAreNotOpenRefuseEveryCall) {
    UsbPipeSet closed{};
    BYTE buffer[8];
    DWORD count = Marker;
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    for (UsbPipeSet* pipes : {&closed, (UsbPipeSet*)nullptr}) {
        SCOPED_TRACE(pipes != nullptr ? "not open" : "no pipe set");
        EXPECT_REFUSED(ERROR_INVALID_PARAMETER, WriteUsbPipe(pipes, buffer, sizeof buffer, &count));
        EXPECT_REFUSED(ERROR_INVALID_PARAMETER, ReadUsbPipe(pipes, buffer, sizeof buffer, &count));
        EXPECT_REFUSED(ERROR_INVALID_PARAMETER,
                       ControlUsbDevice(pipes, GetDescriptorsIoctl, nullptr, 0, buffer, sizeof buffer, &count));
        EXPECT_REFUSED(ERROR_INVALID_PARAMETER, SetUsbPipeTimeouts(pipes, &timeouts));
    }
    EXPECT_EQ(count, Marker);
    for (const char* call : {"WriteFile", "ReadFile", "DeviceIoControl", "SetCommTimeouts"})
        EXPECT_EQ(machine().callCount(call), 0u) << call;
}

// Another printer, earlier in SetupAPI's order, going away while the job's
// printer is looked up must not hide the job's printer.
TEST_F(Usb, APrinterGoingAwayDuringTheLookUpDoesNotHideTheJobsPrinter) {
    machine().removeUsbPrinter(PrinterId);
    machine().addUsbPrinter({OtherId});
    machine().addUsbPrinter({PrinterId});
    addPort("USB-001", usbConfig(PrinterId));
    ASSERT_TRUE(initialize());
    HANDLE port = nullptr;
    ASSERT_TRUE(OpenPort(const_cast<LPSTR>("USB-001"), &port));
    // After the first interface has been read, before the second is.
    machine().onCall("SetupDiGetClassDevsA", 3, [&] { machine().unplugUsbPrinter(OtherId); });
    ASSERT_TRUE(StartDocPort(port, nullptr, 0, 1, nullptr)) << GetLastError();
    EXPECT_TRUE(WritePort(port, (LPBYTE) "page", 4, nullptr));
    EXPECT_TRUE(EndDocPort(port));
    EXPECT_EQ(machine().usbReceived(PrinterId), bytes("page"));
}

// Unplugged mid-job and back before the next write with its OUT pipe refused:
// the reopening fails with the write's own error and leaves nothing open; the
// next write tries again.
TEST_F(Usb, AReopeningThatCannotOpenThePipeFailsWithTheWritesOwnError) {
    HANDLE port = startUsbPort();
    ASSERT_TRUE(WritePort(port, (LPBYTE) "half", 4, nullptr));
    machine().unplugUsbPrinter(PrinterId);
    setPrinter([](sim::UsbPrinter& p) { p.pipeOpenErrors[0] = ERROR_GEN_FAILURE; });
    machine().plugUsbPrinter(PrinterId);
    DWORD written = Marker;
    EXPECT_REFUSED(machine().traits().unpluggedDeviceError, WritePort(port, (LPBYTE) "next", 4, &written));
    EXPECT_EQ(machine().openHandles(), 0u);
    setPrinter([](sim::UsbPrinter& p) { p.pipeOpenErrors.clear(); });
    EXPECT_TRUE(WritePort(port, (LPBYTE) "next", 4, &written));
    EXPECT_TRUE(EndDocPort(port));
    EXPECT_EQ(machine().usbReceived(PrinterId), bytes("halfnext"));
}

TEST_F(Usb, TimeoutsGoToTheDeviceFirstAndThenToBothPipes) {
    sim::SystemTraits traits = machine().traits();
    traits.commTimeoutsOnlyOnCommPorts = false;  // the order matters where a USB device takes them
    machine().setTraits(traits);
    HANDLE port = startUsbPort();
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    setPrinter([](sim::UsbPrinter& p) { p.refuseTimeouts = {-1}; });
    EXPECT_REFUSED(ERROR_INVALID_FUNCTION, SetPortTimeOuts(port, &timeouts, 0));
    setPrinter([](sim::UsbPrinter& p) {
        EXPECT_TRUE(p.timeouts.empty()) << "the pipes keep theirs";
        p.refuseTimeouts = {0};
    });
    // The OUT pipe refuses; its error outlives the IN pipe's success.
    EXPECT_REFUSED(ERROR_INVALID_FUNCTION, SetPortTimeOuts(port, &timeouts, 0));
    setPrinter([](sim::UsbPrinter& p) {
        EXPECT_EQ(p.timeouts.count(1), 1u) << "the IN pipe is set all the same";
        EXPECT_EQ(p.timeouts.count(0), 0u);
    });
    EXPECT_TRUE(EndDocPort(port));
}

// A pipe that failed to open fails its transfers with ERROR_INVALID_HANDLE;
// the device still answers, so nothing is reopened after a failed write.
TEST_F(Usb, APipeThatCannotBeOpenedLetsTheJobStartButFailsItsTransfers) {
    setPrinter([](sim::UsbPrinter& p) { p.pipeOpenErrors[0] = ERROR_GEN_FAILURE; });
    HANDLE port = startUsbPort();
    EXPECT_EQ(record(port)->usb.writeHandle, INVALID_HANDLE_VALUE);
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, WritePort(port, (LPBYTE) "x", 1, nullptr));
    DWORD count = Marker;
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, WritePort(port, (LPBYTE) "x", 1, &count));
    EXPECT_EQ(count, 0u);
    unsigned closesBefore = machine().callCount("CloseHandle");
    EXPECT_TRUE(EndDocPort(port));
    EXPECT_EQ(machine().callCount("CloseHandle") - closesBefore, 2u) << "the failed pipe is not closed";
    UsbPipeSet pipes{};
    EXPECT_TRUE(CloseUsbPipes(&pipes)) << "closing again closes nothing";
    EXPECT_EQ(machine().callCount("CloseHandle") - closesBefore, 2u);
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, CloseUsbPipes(nullptr));

    setPrinter([](sim::UsbPrinter& p) { p.pipeOpenErrors = {{1, ERROR_GEN_FAILURE}}; });
    ASSERT_TRUE(StartDocPort(port, nullptr, 0, 1, nullptr));
    BYTE b = 0;
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, ReadPort(port, &b, 1, &count));
    EXPECT_TRUE(EndDocPort(port));
}

TEST_F(Usb, OpenRefusesWhatItCannotSearchFor) {
    UsbPipeSet pipes{};
    UsbPortConfig config = usbConfig("").usb;
    EXPECT_REFUSED(ERROR_OPEN_FAILED, OpenUsbPipes(&pipes, &config));
    EXPECT_REFUSED(ERROR_OPEN_FAILED, OpenUsbPipes(nullptr, &config));
    config = usbConfig(PrinterId).usb;
    machine().failCall("SetupDiGetClassDevsA", 1, ERROR_GEN_FAILURE);
    EXPECT_REFUSED(ERROR_OPEN_FAILED, OpenUsbPipes(&pipes, &config));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, SetUsbInstanceId(nullptr, "USB\\X"));
    EXPECT_TRUE(SetUsbInstanceId(&config, "USB\\X\\1"));
    EXPECT_STREQ(config.instanceId, "USB\\X\\1");
}

TEST_F(Usb, PipeFileNamesHaveTwoDigitsAtLeastAndMustFit) {
    CHAR name[MAX_PATH];
    ASSERT_TRUE(BuildPipeFileName(name, "\\\\?\\usb#p", 0));
    EXPECT_STREQ(name, "\\\\?\\usb#p\\00");
    ASSERT_TRUE(BuildPipeFileName(name, "\\\\?\\usb#p", 12));
    EXPECT_STREQ(name, "\\\\?\\usb#p\\12");
    ASSERT_TRUE(BuildPipeFileName(name, "\\\\?\\usb#p", 9999999));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, BuildPipeFileName(name, "\\\\?\\usb#p", 10000000));  // eight digits
    EXPECT_STREQ(name, "");
    std::string path(256, 'p');
    ASSERT_TRUE(BuildPipeFileName(name, path.c_str(), 1)) << "256 + 3 + terminator = 260";
    path += 'p';
    EXPECT_REFUSED(ERROR_FILENAME_EXCED_RANGE, BuildPipeFileName(name, path.c_str(), 1));
}

TEST_F(Usb, AnUnnamedDocumentOnAUsbPortIsNotDeferred) {
    addPort("USB-001", usbConfig(PrinterId));
    ASSERT_TRUE(initialize());
    HANDLE port = nullptr;
    ASSERT_TRUE(OpenPort(const_cast<LPSTR>("USB-001"), &port));
    DOC_INFO_1A unnamed{};
    ASSERT_TRUE(StartDocPort(port, nullptr, 0, 1, (LPBYTE)&unnamed));
    EXPECT_EQ(record(port)->flags, (DWORD)JobBackEndOpen);
    EXPECT_NE(record(port)->usb.device, nullptr);
    EXPECT_TRUE(EndDocPort(port));
}

// Every platform call of a USB job's start and end, failed in turn: nothing is
// left open, and the start either fails with one of its own errors or goes on.
// ReadPort waits no longer than its bound whatever the driver does; what a
// read brings late, or beyond what a ReadPort takes, goes to the next ones;
// the job's writes go on; EndDocPort leaves no reading thread or memory.
TEST_F(Usb, AReadEndsWithinItsBoundAndKeepsWhatComesLate) {
    HANDLE port = startUsbPort();
    setPrinter([](sim::UsbPrinter& p) { p.readsWait = true; });
    BYTE answer[8] = {};
    DWORD read = Marker;
    machine().failCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_REFUSED(ERROR_NOT_ENOUGH_MEMORY, ReadPort(port, answer, sizeof answer, &read));
    auto started = std::chrono::steady_clock::now();
    EXPECT_REFUSED(ERROR_TIMEOUT, ReadPort(port, answer, sizeof answer, &read));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10 * std::chrono::milliseconds(UsbReadWaitMilliseconds));
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(WritePort(port, (LPBYTE) "page", 4, &read));
    setPrinter([](sim::UsbPrinter& p) { p.toRead = {'L', 'A', 'T', 'E'}; });
    for (const char* part : {"LA", "TE"}) {
        ASSERT_TRUE(ReadPort(port, answer, 2, &read));
        EXPECT_EQ(std::string((char*)answer, read), part);
    }
    EXPECT_REFUSED(ERROR_TIMEOUT, ReadPort(port, answer, 2, &read));  // silent again
    machine().unplugUsbPrinter(PrinterId);
    EXPECT_REFUSED(machine().traits().unpluggedDeviceError, ReadPort(port, answer, 2, &read));
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_TRUE(machine().waitIdle());
    EXPECT_EQ(machine().liveAllocations(), 2u) << "the root copy and the port";
    EXPECT_EQ(machine().usbReceived(PrinterId), bytes("page"));
}

// Whichever call of a read cut short, or of the job's end after it, fails,
// no handle, thread or memory of the read is left.
TEST_F(Usb, EveryFailingCallOfAReadCutShortLeavesNothingBehind) {
    HANDLE port = startUsbPort();
    setPrinter([](sim::UsbPrinter& p) { p.readsWait = true; });
    BYTE answer[4];
    DWORD read;
    auto step = [&] {
        ReadPort(port, answer, sizeof answer, &read);
        EndDocPort(port);
    };
    for (const CallPoint& point : recordCallPoints(step)) {
        SCOPED_TRACE(point.name());
        ASSERT_TRUE(StartDocPort(port, nullptr, 0, 1, nullptr));
        machine().failCall(point.function, point.nth, ERROR_GEN_FAILURE);
        step();
        machine().clearFaults();
        EXPECT_TRUE(machine().waitIdle());
        EXPECT_EQ(machine().openHandles(), 0u);
        EXPECT_EQ(machine().liveAllocations(), 2u) << "the root copy and the port";
    }
}

TEST_F(Usb, EveryFailingCallOfAUsbJobLeavesNothingOpen) {
    addPort("USB-001", usbConfig(PrinterId));
    ASSERT_TRUE(initialize());
    HANDLE port = nullptr;
    ASSERT_TRUE(OpenPort(const_cast<LPSTR>("USB-001"), &port));
    auto points = recordCallPoints([&] {
        ASSERT_TRUE(StartDocPort(port, nullptr, 0, 1, nullptr));
        ASSERT_TRUE(EndDocPort(port));
    });
    for (const CallPoint& point : points) {
        SCOPED_TRACE(point.name());
        record(port)->config = usbConfig(PrinterId);
        machine().failCall(point.function, point.nth, ERROR_GEN_FAILURE);
        SetLastError(Marker);
        BOOL started = StartDocPort(port, nullptr, 0, 1, nullptr);
        DWORD error = GetLastError();
        EndDocPort(port);
        machine().clearFaults();
        // A look-up that cannot be made, a printer not found, a device not opened.
        if (!started) {
            EXPECT_TRUE(error == ERROR_OPEN_FAILED || error == ERROR_NOT_READY || error == ERROR_INVALID_PARAMETER)
                << error;
        }
        EXPECT_EQ(record(port)->flags, 0u);
        EXPECT_EQ(machine().openHandles(), 0u);
        EXPECT_EQ(machine().openDeviceInfoSets(), 0u);
        EXPECT_EQ(machine().liveAllocations(), 2u) << "the root copy and the port";
    }
}

}  // namespace
