// The monitor's start and its ports: initialisation from the registry, the
// table, the store of the port keys, the port list and its look-ups, and what
// stays untouched when things fail; the Wine program plays the port scenarios.
#include "test_support.h"

#include <map>

namespace {

using Start = MonitorTest;
using PortStore = MonitorTest;
using PortRecords = MonitorTest;

// The shared scenarios on the simulated machine, which sees the monitor's table, list, root and heap too.
class PortScenario : public MonitorTest, public PortHarness, public testing::WithParamInterface<std::string> {
protected:
    bool subkeysInCreationOrder() override { return machine().traits().subkeysInCreationOrder; }
    void addPrinter(const char* name, const char* port) override { machine().addPrinter(name, port); }
    BOOL start(LPSTR root, MONITOR_TABLE* handedOut) override {
        BOOL ok = InitializeMonitorEx(root, handedOut);
        EXPECT_TRUE(machine().waitIdle());
        if (!ok) return ok;
        EXPECT_EQ(std::memcmp(handedOut, &MonitorTable, sizeof MonitorTable), 0);
        EXPECT_TRUE(handedOut->pfnOpenPort == &OpenPort && handedOut->pfnClosePort == &ClosePort &&
                    handedOut->pfnSetPortTimeOuts == &SetPortTimeOuts);
        EXPECT_STREQ(GetMonitorName(), "VO DUV Udadizo");
        return ok;
    }
    HWND window() override { return (HWND)(uintptr_t)0x4242; }
    std::vector<std::string> messagesShown() override {
        std::vector<std::string> shown;
        for (const auto& box : machine().messageBoxes()) shown.push_back(box.caption + ": " + box.text);
        return shown;
    }
    std::string machineFault(const std::vector<const PortRecord*>& listed, bool rootKept) override {
        std::vector<const PortRecord*> held;
        size_t printers = 0, files = 0, odd = 0;
        for (const PortRecord* r = PortList; r; r = r->next)
            held.push_back(r), printers += r->printer != nullptr, files += r->file.handle != nullptr;
        for (const auto& box : machine().messageBoxes()) odd += box.owner != window() || box.type != MB_OK;
        // Blocks, open keys, printer and file handles, boxes not as the spooler asked, rebuilds pending.
        auto holds = std::make_tuple(held, std::string(MonitorRoot ? MonitorRoot : ""), machine().liveAllocations(),
                                     machine().openKeys(), machine().openPrinterHandles(), machine().openHandles(), odd,
                                     (size_t)DriverIndexRebuildPending);
        auto should = std::make_tuple(listed, std::string(rootKept ? MonitorKeyPath : ""), listed.size() + rootKept,
                                      0ul, printers, files, 0ul, 0ul);
        return holds == should ? "" : testing::PrintToString(holds) + ", not " + testing::PrintToString(should);
    }
    void fail(const std::string& what) override { ADD_FAILURE() << what; }
};

TEST_P(PortScenario, Plays) { PlayPortScenario(GetParam(), *this); }

INSTANTIATE_TEST_SUITE_P(Ports, PortScenario, testing::ValuesIn(PortScenarioNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_F(PortStore, ConfigurationRoundTripsThroughTheRegistry) {
    ASSERT_TRUE(initialize());
    PortConfig written = usbConfig("USB\\VID_1209&PID_0005\\5&1A2B3C&0&1");
    written.usb.readPipe = -1;
    ASSERT_TRUE(CreatePortKey("USB-007"));
    ASSERT_TRUE(WritePortConfig("USB-007", &written));
    auto stored = registry().value(portKeyPath("USB-007"), "Property");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, (DWORD)REG_BINARY);
    EXPECT_EQ(stored->data, configBytes(written));
    PortConfig read;
    std::memset(&read, 0xEE, sizeof read);
    ASSERT_TRUE(ReadPortConfigAt(MonitorRoot, "USB-007", &read));
    EXPECT_EQ(std::memcmp(&read, &written, sizeof read), 0);
    EXPECT_EQ(machine().openKeys(), 0u);
}

TEST_F(PortStore, StoreOperationsBeforeInitialisationFailWithDllInitFailed) {
    PortConfig config = nullConfig();
    DWORD count = Marker;
    CHAR name[16];
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, CreatePortKey("USB-001"));
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, DeletePortKey("USB-001"));
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, ReadPortConfigAt(MonitorRoot, "USB-001", &config));
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, WritePortConfig("USB-001", &config));
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, CountPortKeys(&count));
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, GetPortKeyName(name, sizeof name, 0));
    PortRecord record{};
    record.name = const_cast<LPSTR>("USB-001");
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, SavePort(&record));
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, ForgetPort(&record));
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, MarkPortCreation("USB-001"));
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, ClearUnfinishedPort("USB-001"));
    EXPECT_REFUSED(ERROR_DLL_INIT_FAILED, ReadPortConfigAt(nullptr, "USB-001", &config));
    EXPECT_EQ(registry().keyCount(), 1u) << "nothing was created";
}

// Every store call checks its arguments before it opens a key: a refusal
// creates, changes and fills nothing.
TEST_F(PortStore, StoreCallsWithoutANameOrAConfigurationAreRefusedAndTouchNothing) {
    addPort("USB-001", usbConfig("USB\\VID_1209&PID_0001\\1"));
    ASSERT_TRUE(initialize());
    std::string before = registry().exportText();
    PortConfig config;
    std::memset(&config, 0xEE, sizeof config);
    const PortConfig untouched = config;
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, CreatePortKey(nullptr));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, DeletePortKey(nullptr));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, ReadPortConfigAt(MonitorRoot, nullptr, &config));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, ReadPortConfigAt(MonitorRoot, "", &config));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, ReadPortConfigAt(MonitorRoot, "USB-001", nullptr));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, ReadPortConfigAt(MonitorKeyPath, nullptr, &config));
    EXPECT_EQ(std::memcmp(&config, &untouched, sizeof config), 0) << "a refused read fills nothing";
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, WritePortConfig(nullptr, &config));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, WritePortConfig("", &config));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, WritePortConfig("USB-001", nullptr));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, MarkPortCreation(nullptr));

    PortRecord unnamed{};
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, SavePort(nullptr));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, SavePort(&unnamed));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, ForgetPort(nullptr));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, ForgetPort(&unnamed));
    unnamed.name = const_cast<LPSTR>("");
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, SavePort(&unnamed));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, ForgetPort(&unnamed));
    EXPECT_EQ(registry().exportText(), before);
    EXPECT_EQ(machine().openKeys(), 0u);
}

// A key that is not there is ERROR_FILE_NOT_FOUND, never made by the way, and
// a removal takes it for done: the port scan relies on both.
TEST_F(PortStore, KeysThatAreNotThereAreReportedAsNotFoundAndNeverMade) {
    ASSERT_TRUE(initialize());
    ASSERT_FALSE(registry().exists(MonitorKeyPath));
    EXPECT_REFUSED(ERROR_FILE_NOT_FOUND, DeletePortKey("USB-001"));  // not even the monitor's key
    EXPECT_TRUE(RemovePortKey("USB-001"));
    EXPECT_FALSE(registry().exists(MonitorKeyPath));

    installMonitorKey();
    PortConfig config = usbConfig("USB\\VID_1209&PID_0001\\1");
    PortConfig read;
    std::memset(&read, 0xEE, sizeof read);
    const PortConfig untouched = read;
    EXPECT_REFUSED(ERROR_FILE_NOT_FOUND, DeletePortKey("USB-001"));
    EXPECT_TRUE(RemovePortKey("USB-001"));
    EXPECT_REFUSED(ERROR_FILE_NOT_FOUND, ReadPortConfigAt(MonitorRoot, "USB-001", &read));
    EXPECT_EQ(std::memcmp(&read, &untouched, sizeof read), 0);
    // The port's key, and the probe key, are made first.
    EXPECT_REFUSED(ERROR_FILE_NOT_FOUND, WritePortConfig("USB-001", &config));
    EXPECT_REFUSED(ERROR_FILE_NOT_FOUND, MarkPortCreation("USB-001"));
    EXPECT_TRUE(registry().subkeys(MonitorKeyPath).empty());
    EXPECT_EQ(machine().openKeys(), 0u);
}

TEST_F(PortStore, APathThatDoesNotFitItsBufferIsRefused) {
    CHAR buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_REFUSED(ERROR_FILENAME_EXCED_RANGE, JoinPath(buffer, 0, "A", "B"));
    EXPECT_REFUSED(ERROR_FILENAME_EXCED_RANGE, JoinPath(buffer, -1, "A", "B"));
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, 'x')) << "a buffer of no size is not written";
    EXPECT_REFUSED(ERROR_FILENAME_EXCED_RANGE, JoinPath(buffer, 3, "A", "B"));
    EXPECT_EQ(buffer[0], 0) << "left empty";
    ASSERT_TRUE(JoinPath(buffer, 4, "A", "B"));
    EXPECT_STREQ(buffer, "A\\B");
}

TEST_F(PortStore, OverlongPortKeyPathIsRefusedWithoutTouchingTheRegistry) {
    ASSERT_TRUE(initialize());
    std::string longName(512 - sizeof(MonitorKeyPath), 'P');  // root + "\" + name + NUL = 513 bytes
    // Nested keys: one key's name may not pass 256 characters on Windows or Wine.
    for (size_t i = 200; i < longName.size(); i += 201) longName[i] = '\\';
    std::size_t keys = registry().keyCount();
    EXPECT_REFUSED(ERROR_FILENAME_EXCED_RANGE, CreatePortKey(longName.c_str()));
    EXPECT_EQ(registry().keyCount(), keys);
    longName.pop_back();  // exactly 512 bytes with the terminator: fits
    EXPECT_TRUE(CreatePortKey(longName.c_str()));
}

TEST_F(PortStore, CountAndNameOfPortKeys) {
    ASSERT_TRUE(initialize());
    DWORD count = Marker;
    EXPECT_TRUE(CountPortKeys(&count)) << "an absent monitor key holds no ports";
    EXPECT_EQ(count, 0u);
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, CountPortKeys(nullptr));
    addPort("A", nullConfig());  // made in the order every registry lists them
    addPort("B", nullConfig());
    EXPECT_TRUE(CountPortKeys(&count));
    EXPECT_EQ(count, 2u);
    CHAR name[8];
    std::memset(name, 'x', sizeof name);
    EXPECT_TRUE(GetPortKeyName(name, sizeof name, 1));
    EXPECT_EQ(std::string(name, sizeof name), std::string("B\0\0\0\0\0\0\0", 8)) << "the buffer is zero-filled first";
    EXPECT_REFUSED(ERROR_NO_MORE_ITEMS, GetPortKeyName(name, sizeof name, 2));
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, GetPortKeyName(name, 0, 0));
    EXPECT_EQ(machine().openKeys(), 0u);
}

TEST_F(PortRecords, DuplicateNamesAreListedAndTheFirstIsFound) {
    ASSERT_TRUE(initialize());
    PortCreateRequest* request = NewPortCreateRequest("USB-001", nullptr);
    ASSERT_NE(request, nullptr);
    PortRecord* first = CreatePortFromRequest(request);
    PortRecord* second = CreatePortFromRequest(request);
    ASSERT_TRUE(LinkPortRecord(first));
    ASSERT_TRUE(LinkPortRecord(second));
    EXPECT_EQ(listedCount(), 2u);
    EXPECT_EQ(FindPortRecord("usb-001"), first);
    ASSERT_TRUE(UnlinkPortRecord(first));
    EXPECT_EQ(FindPortRecord("USB-001"), second);
    EXPECT_REFUSED(ERROR_UNKNOWN_PORT, FindPortRecord(nullptr));
    // No longer listed.
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, UnlinkPortRecord(first));
    EXPECT_TRUE(FreePortRecord(first));
    EXPECT_TRUE(FreePortRecord(request));
    EXPECT_TRUE(FreeAllPortRecords());
    EXPECT_EQ(PortList, nullptr);
    EXPECT_EQ(machine().liveAllocations(), 1u) << "only the root copy";
}

TEST_F(PortRecords, RecordsNeedAName) {
    ASSERT_TRUE(initialize());
    PortCreateRequest* unnamed = NewPortCreateRequest(nullptr, "\\\\server");
    ASSERT_NE(unnamed, nullptr);
    EXPECT_EQ(unnamed->name, nullptr);
    EXPECT_STREQ(unnamed->serverName, "\\\\server");
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, CreatePortFromRequest(unnamed));

    // With no name pointer, the name buffer serves.
    std::strcpy(unnamed->nameBuffer, "USB-004");
    unnamed->config.kind = PortKindUsb;
    PortRecord* fromBuffer = CreatePortFromRequest(unnamed);
    ASSERT_NE(fromBuffer, nullptr);
    EXPECT_STREQ(fromBuffer->name, "USB-004");
    EXPECT_EQ(fromBuffer->config.kind, PortKindUsb);

    // A record whose name is empty is never linked.
    fromBuffer->name[0] = 0;
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, LinkPortRecord(fromBuffer));
    EXPECT_EQ(PortList, nullptr);
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, CreatePortFromRequest(nullptr));
    // Nor from a port key without a name: the start's reading of a key refuses it.
    PortConfig config;
    DWORD error = 0;
    EXPECT_EQ(ClassifyPortKey(MonitorKeyPath, "", &config, &error), PortKeyFailsStart);
    EXPECT_EQ(error, (DWORD)ERROR_INVALID_PARAMETER);
    FreePortRecord(fromBuffer);
    FreePortRecord(unnamed);
}

TEST_F(PortRecords, PortInfoTextsFollowTheKind) {
    addPort("NUL", nullConfig());
    addPort("FILE", fileConfig("out.prn"));
    addPort("USB-001", usbConfig("USB\\VID_1\\A"));
    PortConfig odd = nullConfig();
    odd.kind = 7;
    addPort("ODD", odd);
    ASSERT_TRUE(initialize());
    struct Expected {
        const char* description;
        DWORD type;
    };
    std::map<std::string, Expected> expected = {{"NUL", {"NULL Port", PORT_TYPE_WRITE}},
                                                {"FILE", {"FILE Port", PORT_TYPE_WRITE}},
                                                {"USB-001", {"USB Port", PORT_TYPE_WRITE | PORT_TYPE_READ}},
                                                {"ODD", {"", PORT_TYPE_WRITE}}};
    for (auto& [name, want] : expected) {
        SCOPED_TRACE(name);
        PortRecord* r = FindPortRecord(name.c_str());
        ASSERT_NE(r, nullptr);
        CHAR monitorName[PortTextMax] = "", description[PortTextMax] = "";
        DWORD type = Marker;
        FillPortInfo(r, monitorName, description, &type);
        EXPECT_STREQ(monitorName, "VO DUV Udadizo");
        EXPECT_STREQ(description, want.description);
        EXPECT_EQ(type, want.type);
    }
    FillPortInfo(FindPortRecord("NUL"), nullptr, nullptr, nullptr);  // every output may be skipped
}

// Every registry and allocation call of the start, failed in turn: the error
// passes through, the list ends empty, and no key or block is left behind.
TEST_F(Start, EveryFailingCallOfTheStartIsReportedAndLeaksNothing) {
    auto arrange = [this] {
        module = host::loadZevuruzi();
        addPort("USB-001", usbConfig("USB\\VID_1\\A"));
        addPort("USB-002", usbConfig("USB\\VID_2\\B"));
        // Without the status thread, every call recorded is the load's own.
        machine().inject({"CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY, true});
    };
    arrange();
    auto points = recordCallPoints([&] { ASSERT_TRUE(initialize()); });
    ASSERT_GT(points.size(), 10u);

    for (const CallPoint& point : points) {
        const std::string& call = point.function;
        const unsigned nth = point.nth;
        if (call.rfind("Reg", 0) != 0 && call != "GlobalAlloc") continue;
        SCOPED_TRACE(point.name());
        arrange();
        const DWORD injected = call == "GlobalAlloc" ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADDB;
        machine().failCall(call, nth, injected);
        SetLastError(Marker);  // not the error left by the previous round
        BOOL ok = initialize();
        if (ok) {
            // Only an unopenable monitor key is absorbed: it means "no ports yet".
            EXPECT_EQ(call, "RegOpenKeyExA");
            EXPECT_EQ(nth, 1u);
            EXPECT_EQ(PortList, nullptr);
        } else {
            EXPECT_EQ(GetLastError(), injected);
            EXPECT_EQ(PortList, nullptr);
        }
        EXPECT_EQ(machine().openKeys(), 0u);
        EXPECT_EQ(machine().liveAllocations(), listedCount() + (MonitorRoot ? 1 : 0));
    }
}

}  // namespace
