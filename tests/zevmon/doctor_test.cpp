// Doctor's verdicts, each checked against what the monitor then does: the next
// enumeration, start or refresh must do exactly what doctor said.
#include "tests/unit/test_support.h"
#include "tools/zevmon/common/doctor.h"

#include <algorithm>

namespace {

using zevmon::Diagnosis;
using zevmon::InstanceReport;
using zevmon::PortReport;

const char PrinterId[] = "USB\\VID_1209&PID_0001\\7&1F2E3D4C&0&1";
const char InstanceKey[] = "Enum\\USB\\VID_1209&PID_0001\\7&1F2E3D4C&0&1";

class Doctor : public InstalledMonitorTest {
protected:

    Diagnosis diagnose() {
        // Doctor changes nothing: the registry is the same before and after.
        std::string before = registry().exportText();
        Diagnosis d = zevmon::diagnose([](const std::string& driver, std::string&) {
            return std::optional<zevmon::DllFound>(zevmon::DllFound{driver, "1.0.0.0"});
        });
        EXPECT_EQ(registry().exportText(), before);
        return d;
    }
    const InstanceReport& instance(const Diagnosis& d, const std::string& key = InstanceKey) {
        auto it = std::find_if(d.instances.begin(), d.instances.end(),
                               [&](const InstanceReport& r) { return r.instanceKey == key; });
        EXPECT_NE(it, d.instances.end()) << key;
        static const InstanceReport none;
        return it == d.instances.end() ? none : *it;
    }
    const PortReport* port(const Diagnosis& d, const std::string& name) {
        for (const PortReport& p : d.ports)
            if (p.name == name) return &p;
        return nullptr;
    }
    std::vector<std::string> enumerate() { return enumeratePortNames(1); }
};

TEST_F(Doctor, ANewPrintersPortIsCreatedAsForetold) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    Diagnosis d = diagnose();
    const InstanceReport& r = instance(d);
    EXPECT_EQ(r.verdict, "will-be-created");
    EXPECT_EQ(r.instanceId, PrinterId);
    EXPECT_EQ(r.valueType, (DWORD)REG_SZ);
    EXPECT_TRUE(d.problems.empty());
    ASSERT_NE(port(d, "USB-001"), nullptr);
    EXPECT_TRUE(port(d, "USB-001")->created);

    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
    EXPECT_STREQ(FindPortRecord("USB-001")->config.usb.instanceId, PrinterId);
    EXPECT_EQ(instance(diagnose()).verdict, "port-exists");
}

TEST_F(Doctor, InstancesPassedOverGetNoPortAndSayWhy) {
    struct Case {
        std::string id, portName, verdict;
        bool problem;
    } cases[] = {
        {"USB\\VID_1209&PID_0002\\1&0&1", "USB-1000", "passed-over", true},  // nine bytes with its terminator
        {"USB\\VID_1209&PID_0003\\1&0&1", "usb-003", "passed-over", true},   // ours in the wrong case
        {"USB\\VID_1209&PID_0004\\1&0&1", "LPT1", "passed-over", false},     // another monitor's
    };
    for (auto& c : cases) machine().addUsbPrinter({c.id, c.portName});
    // A printer whose matching interface is no USB device.
    machine().addUsbPrinter({"HID\\VID_1209&PID_0005\\1&0&9"});
    registry().setString("Enum\\USB\\VID_1209&PID_0005\\1&0&9", "PortName", "USB-005");
    // A printer that is not plugged in.
    machine().addUsbPrinter({"USB\\VID_1209&PID_0006\\1&0&6", "USB-006"});
    machine().unplugUsbPrinter("USB\\VID_1209&PID_0006\\1&0&6");

    Diagnosis d = diagnose();
    for (auto& c : cases) {
        const InstanceReport& r = instance(d, "Enum\\USB\\" + c.id.substr(4));
        EXPECT_EQ(r.verdict, c.verdict) << c.portName;
        EXPECT_EQ(r.problem, c.problem) << c.portName << ": " << r.reason;
    }
    EXPECT_NE(instance(d, "Enum\\USB\\VID_1209&PID_0002\\1&0&1").reason.find("8"), std::string::npos);
    const InstanceReport& hid = instance(d, "Enum\\USB\\VID_1209&PID_0005\\1&0&9");
    EXPECT_EQ(hid.verdict, "passed-over");
    EXPECT_NE(hid.reason.find("not a USB device"), std::string::npos);
    const InstanceReport& absent = instance(d, "Enum\\USB\\VID_1209&PID_0006\\1&0&6");
    EXPECT_EQ(absent.verdict, "passed-over");
    EXPECT_NE(absent.reason.find("plugged in"), std::string::npos);
    EXPECT_FALSE(absent.problem) << "a printer switched off is a fact, not a fault";
    EXPECT_EQ(d.problems.size(), 3u);

    ASSERT_TRUE(initialize());
    EXPECT_TRUE(enumerate().empty()) << "none of them gets a port";
    machine().plugUsbPrinter("USB\\VID_1209&PID_0006\\1&0&6");
    EXPECT_EQ(instance(diagnose(), "Enum\\USB\\VID_1209&PID_0006\\1&0&6").verdict, "will-be-created");
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-006"});
}

TEST_F(Doctor, ANameThatCannotBeAKeyAndAMonitorKeyThatCannotBeReadMakeNoPort) {
    machine().addUsbPrinter({PrinterId, "USB-0\\1"});
    machine().addUsbPrinter({"USB\\VID_1209&PID_0002\\2&0&2", "USB-002"});
    Diagnosis d = diagnose();
    EXPECT_EQ(instance(d).verdict, "passed-over");
    EXPECT_NE(instance(d).reason.find("backslash"), std::string::npos);
    EXPECT_EQ(instance(d, "Enum\\USB\\VID_1209&PID_0002\\2&0&2").verdict, "will-be-created");
    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-002"});

    // A monitor key whose subkeys cannot be listed: whether a port exists is unknown.
    ASSERT_TRUE(DeletePort(nullptr, nullptr, const_cast<LPSTR>("USB-002")));
    registry().refuseAccess(MonitorKeyPath, KEY_ENUMERATE_SUB_KEYS);
    Diagnosis later = diagnose();
    const InstanceReport& unknown = instance(later, "Enum\\USB\\VID_1209&PID_0002\\2&0&2");
    EXPECT_EQ(unknown.verdict, "passed-over");
    EXPECT_TRUE(unknown.problem);
    EXPECT_TRUE(enumerate().empty()) << "no port is made on a guess";
}

TEST_F(Doctor, UsbZeroZeroZeroIsDeletedAndTold) {
    machine().addUsbPrinter({PrinterId, "USB-000"});
    Diagnosis d = diagnose();
    EXPECT_EQ(instance(d).verdict, "usb-000");
    EXPECT_FALSE(d.problems.empty());
    ASSERT_TRUE(initialize());
    EXPECT_TRUE(enumerate().empty());
    EXPECT_EQ(machine().messageBoxes().size(), 1u);
    EXPECT_FALSE(registry().value(InstanceKey, "PortName").has_value());
}

TEST_F(Doctor, OfTwoInstancesWithOneNameTheFirstWins) {
    machine().addUsbPrinter({"USB\\VID_1209&PID_0007\\A-FIRST", "USB-007"});
    machine().addUsbPrinter({"USB\\VID_1209&PID_0007\\B-SECOND", "usb-007"});
    registry().setString("Enum\\USB\\VID_1209&PID_0007\\B-SECOND", "PortName", "USB-007");
    Diagnosis d = diagnose();
    EXPECT_EQ(instance(d, "Enum\\USB\\VID_1209&PID_0007\\A-FIRST").verdict, "will-be-created");
    const InstanceReport& second = instance(d, "Enum\\USB\\VID_1209&PID_0007\\B-SECOND");
    EXPECT_EQ(second.verdict, "duplicate");
    EXPECT_NE(second.reason.find("A-FIRST"), std::string::npos);
    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-007"});
    EXPECT_STREQ(FindPortRecord("USB-007")->config.usb.instanceId, "USB\\VID_1209&PID_0007\\A-FIRST");
}

TEST_F(Doctor, AKeyThatWouldFailTheStartIsNamedWithItsError) {
    addPort("NUL:", nullConfig());
    registry().create(portKeyPath("USB-003"));
    Diagnosis d = diagnose();
    EXPECT_TRUE(d.startWouldFail);
    ASSERT_EQ(d.failingKeys.size(), 1u);
    EXPECT_EQ(d.failingKeys[0].key, portKeyPath("USB-003"));
    EXPECT_EQ(d.failingKeys[0].error, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_NE(d.problems.at(0).find("ERROR_FILE_NOT_FOUND, 2"), std::string::npos) << d.problems.at(0);
    SetLastError(Marker);
    EXPECT_FALSE(InitializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &table));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(Doctor, AProbeKeyAndAPortCutShortDoNotFailTheStart) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    registry().create(portKeyPath("USB-001"));
    registry().setString(portKeyPath(ProbeKeyName), "PortName", "USB-001");
    Diagnosis d = diagnose();
    EXPECT_FALSE(d.startWouldFail);
    EXPECT_TRUE(d.monitor.probeKeyLeft);
    EXPECT_EQ(d.monitor.unfinishedPort, "USB-001");
    EXPECT_EQ(instance(d).verdict, "will-be-created");
    EXPECT_NE(instance(d).reason.find("cut short"), std::string::npos);
    ASSERT_TRUE(initialize());
    EXPECT_EQ(enumerate(), std::vector<std::string>{"USB-001"});
    EXPECT_FALSE(registry().exists(portKeyPath(ProbeKeyName)));
}

TEST_F(Doctor, PrintersFollowTheirDevicesAtTheNextRefreshAsForetold) {
    const char OtherId[] = "USB\\VID_1209&PID_0008\\2&0&1";
    machine().addUsbPrinter({PrinterId});
    machine().addUsbPrinter({OtherId});
    addPort("USB-001", usbConfig(PrinterId));
    addPort("USB-002", usbConfig(OtherId));
    machine().addPrinter("Office", "USB-001");
    machine().addPrinter("Lab", "usb-002");
    machine().addPrinter("Hall", "USB-0020");  // eight characters: can never match
    addPort("FILE:", fileConfig("C:\\out.prn"));
    addPort("NUL:", nullConfig());
    machine().addPrinter("Files", "FILE:");
    machine().addPrinter("Nowhere", "NUL:", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    ASSERT_TRUE(initialize());
    machine().unplugUsbPrinter(OtherId);  // no broadcast yet: Lab is still online

    Diagnosis d = diagnose();
    const PortReport* office = port(d, "USB-001");
    const PortReport* lab = port(d, "USB-002");
    const PortReport *files = port(d, "FILE:"), *nowhere = port(d, "NUL:");  // no device: they stay as they are
    ASSERT_TRUE(office && lab && files && nowhere);
    EXPECT_EQ(d.printersHeldOffline, (std::vector<std::pair<std::string, std::string>>{{"Nowhere", "NUL:"}}));
    EXPECT_TRUE(office->present);
    EXPECT_FALSE(lab->present);
    ASSERT_EQ(lab->printers.size(), 1u);
    EXPECT_EQ(lab->printers[0].name, "Lab");
    EXPECT_TRUE(lab->printers[0].online);
    EXPECT_FALSE(lab->printers[0].nextOnline);
    ASSERT_EQ(d.printersNeverMatching.size(), 1u);
    EXPECT_EQ(d.printersNeverMatching[0].first, "Hall");

    machine().addPrinter("Hall", "USB-0020", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    ASSERT_TRUE(machine().waitIdle());
    for (const PortReport* p : {office, lab, files, nowhere})
        for (const auto& printer : p->printers)
            EXPECT_EQ(!(machine().printerAttributes(printer.name) & PRINTER_ATTRIBUTE_WORK_OFFLINE), printer.nextOnline)
                << printer.name;
    EXPECT_TRUE(machine().printerAttributes("Hall") & PRINTER_ATTRIBUTE_WORK_OFFLINE) << "never touched";
}

TEST_F(Doctor, APortWhosePrinterIsUninstalledIsStale) {
    machine().addUsbPrinter({PrinterId, "USB-001"});
    addPort("USB-009", usbConfig("USB\\VID_1209&PID_0009\\GONE"));
    Diagnosis d = diagnose();
    EXPECT_EQ(zevmon::stalePorts(d), std::vector<std::string>{"USB-009"});
    EXPECT_TRUE(d.problems.empty()) << "a stale port harms nothing";
    nlohmann::json j = zevmon::diagnosisJson(d);
    EXPECT_EQ(j["startWouldFail"], false);
    EXPECT_EQ(j["instances"][0]["instanceKey"], InstanceKey);
    EXPECT_EQ(j["instances"][0]["verdict"], "will-be-created");
    EXPECT_EQ(j["ports"].size(), 2u);
    EXPECT_TRUE(j["problems"].is_array());
}

TEST_F(Doctor, AnUnprintableNameIsShownAsBytes) {
    machine().addUsbPrinter({PrinterId});
    registry().setValue(InstanceKey, "PortName", REG_BINARY, {'U', 'S', 'B', '-', 0x01, 0xff, 0, 0, 0, 0});
    Diagnosis d = diagnose();
    EXPECT_EQ(instance(d).verdict, "passed-over");
    nlohmann::json j = zevmon::diagnosisJson(d);
    EXPECT_EQ(j["instances"][0]["stored"]["bytes"], "55 53 42 2D 01 FF 00 00 00 00");
    EXPECT_EQ(j["instances"][0]["stored"]["type"], "REG_BINARY");
}

TEST_F(Doctor, EveryPrinterThatGetsNoPortIsNamedAndAnUnpluggedOneIsNoFault) {
    const std::string A = "USB\\VID_1209&PID_0001\\A1", B = "USB\\VID_1209&PID_0002\\B1",
                      Bare = "USB\\VID_1209&PID_0003\\C1", Full = "USB\\VID_1209&PID_0004\\D1",
                      Never = "USB\\VID_1209&PID_0005\\E1", Away = "USB\\VID_1209&PID_0006\\F1";
    for (auto [id, name] : {std::pair{A, "USB-001"}, {Bare, ""}, {Full, "USB-000"}, {Away, "USB-006"}})
        machine().addUsbPrinter({id, name});
    ASSERT_TRUE(initialize());
    enumerate();
    machine().addUsbPrinter({B, "USB-001"});  // a name another printer's port has taken
    machine().addUsbPrinter({Never, "USB-005"});
    for (const std::string& id : {Never, Away}) machine().unplugUsbPrinter(id);
    Diagnosis d = diagnose();
    // instance id, then its verdict, the instance id of the port that serves it, and whether it is a problem
    std::pair<std::string, std::string> cases[] = {{A, "port-exists " + A + " 0"}, {B, "duplicate " + A + " 1"},
                                                   {Bare, "no-port-name  1"},       {Full, "no-port-name  1"},
                                                   {Never, "passed-over  0"},       {Away, "port-exists " + Away + " 0"}};
    for (auto& [id, expected] : cases) {
        const InstanceReport& r = instance(d, "Enum\\" + id);
        EXPECT_EQ(r.verdict + " " + r.boundTo + " " + std::to_string(r.problem), expected) << r.reason;
    }
    EXPECT_EQ(d.notes.size(), 2u) << "never plugged in and unplugged, alike";
    enumerate();
    EXPECT_EQ(FindPortRecord("USB-001")->config.usb.instanceId, A) << "the second printer never gets it";
}

TEST_F(Doctor, PortsThatLoadButCannotServeAndPrintersWithoutAPortAreProblems) {
    std::vector<BYTE> usb = configBytes(usbConfig(PrinterId)), noId = configBytes(usbConfig(""));
    std::pair<const char*, std::vector<BYTE>> unusable[] = {
        {"USB-001", {'U', 'S', 'B', '-', '0', '0', '1', 0}}, {"USB-002", noId},
        {"USB-008", std::vector<BYTE>(usb.begin(), usb.begin() + 200)}, {"USB-004", {7, 0, 0, 0}}};
    for (auto& [name, stored] : unusable) registry().setValue(portKeyPath(name), "Property", REG_BINARY, stored);
    // The scan matched the instance key to a present device by the id's last component.
    registry().setString("Enum\\USB\\VID_1209&PID_0001\\SER9", "PortName", "USB-009");
    machine().addUsbPrinter({"USB\\VID_1209&PID_0002\\SER9"});
    machine().addUsbPrinter({"USB\\VID_1209&PID_0003\\1&0&3", "usb-003"});
    machine().addPrinter("Far", "USB-077");
    machine().addPrinter("Lower", "usb-003");
    ASSERT_TRUE(initialize());
    enumerate();
    Diagnosis d = diagnose();
    for (auto& [name, stored] : unusable) EXPECT_FALSE(port(d, name)->unusable.empty()) << name;
    EXPECT_TRUE(zevmon::printerHasNoPort(d, "Far") && zevmon::printerHasNoPort(d, "Lower"));
    EXPECT_EQ(zevmon::stalePorts(d), (std::vector<std::string>{"USB-002", "USB-008"})) << "USB-009 serves its device";
    EXPECT_EQ(d.problems.size(), 4u + 1u + 2u) << "four ports, usb-003's name, two printers";
}

}  // namespace
