#include "tests/common/device_scenarios.h"
#include "tests/common/scenario_names.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "tests/common/enum_answer.h"
#include "tests/common/job_scenarios.h"  // binaryData
#include "tests/common/port_scenarios.h"  // PortConfigOf, SetKeyValue

namespace {

const DWORD Untouched = 0xdeadbeef;
const char Rebuild[] = "Rundll setupx.dll,DiBuildDriverIndex TRUE";

PortConfig usbPort(const std::string& instanceId) { return PortConfigOf(PortKindUsb, instanceId.c_str()); }

PortConfig otherPort(INT kind, const std::string& instanceId) {
    PortConfig config = usbPort(instanceId);  // a USB block that names a present device is still not asked
    config.kind = kind;
    return config;
}

template <typename T> std::string text(const T& value) { return std::to_string((long long)value); }
std::string text(const std::string& value) { return std::to_string(value.size()) + " bytes"; }

// A value below HKEY_LOCAL_MACHINE as stored, "(none)" without one, "(no key)" without its key.
std::string storedValue(const std::string& path, const char* name, DWORD type = REG_BINARY) {
    std::string value(sizeof(PortConfig) + 1, '\0');
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "(no key)";
    DWORD size = (DWORD)value.size(), stored = REG_NONE;
    LONG result = RegQueryValueExA(key, name, NULL, &stored, (LPBYTE)&value[0], &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || stored != type) return "(none)";
    return type == REG_SZ ? value.c_str() : value.substr(0, size);
}
std::string storedProperty(const char* port) { return storedValue(std::string(MonitorKeyPath "\\") + port, "Property"); }
std::string instanceKey(const std::string& id) { return "Enum\\" + id; }
void writePort(const char* name, const PortConfig& config) {
    SetKeyValue(std::string(MonitorKeyPath "\\") + name, "Property", REG_BINARY, &config, sizeof config);
}

// A failed check names the scenario, its line and what it checked.
#define CHECK_THAT(condition) p.check((condition), __LINE__, #condition)
#define SAME(actual, expected) p.same((actual), (expected), __LINE__, #actual)
// The call failed with this code; the last error is set to a marker first.
#define REFUSED(error, ...) (SetLastError(Untouched), p.refused((__VA_ARGS__), (error), __LINE__, #__VA_ARGS__))

// One scenario being played, with the steps every scenario takes.
class Play {
public:
    Play(const std::string& name, DeviceHarness& harness) : h(harness), name_(name) {}

    void check(bool ok, int line, const std::string& what) {
        if (!ok) h.fail(name_ + ", line " + text((DWORD)line) + ": " + what);
    }
    template <typename A, typename B> void same(const A& actual, const B& expected, int line, const char* what) {
        bool equal;
        if constexpr (std::is_integral_v<A>) equal = (long long)actual == (long long)expected;
        else equal = actual == expected;
        check(equal, line, std::string(what) + " is " + text(actual) + ", want " + text(A(expected)));
    }
    void refused(BOOL ok, DWORD error, int line, const char* what) {
        DWORD got = GetLastError();
        check(!ok && got == error, line, std::string(what) + " ends " + text(ok) + " with " + text(got) + ", want " + text(error));
    }

    HANDLE open(const MONITOR_TABLE& monitor, const char* name) {
        HANDLE port = NULL;
        check(monitor.pfnOpenPort((LPSTR)name, &port), __LINE__, std::string(name) + " does not open");
        return port;
    }
    BOOL start(const MONITOR_TABLE& monitor, HANDLE port, const char* printer = NULL, DWORD jobId = 0) {
        DOC_INFO_1A doc = {(LPSTR) "Letter", NULL, NULL};
        SetLastError(Untouched);
        return monitor.pfnStartDocPort(port, (LPSTR)printer, jobId, 1, (LPBYTE)&doc);
    }
    // A start that fails leaves the port idle with nothing open, and refuses the job's calls.
    void refusedIdle(const MONITOR_TABLE& monitor, HANDLE port, DWORD error, int line) {
        Play& p = *this;
        const PortRecord* record = (const PortRecord*)port;
        check(!start(monitor, port) && GetLastError() == error, line, "the start ends with " + text(GetLastError()));
        check(record->flags == 0 && record->usb.device == NULL && record->usb.writeHandle == NULL &&
                  record->usb.readHandle == NULL, line, "the port is left holding something");
        DWORD written = Untouched;
        REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnWritePort(port, (LPBYTE) "x", 1, &written));
        REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnEndDocPort(port));
    }
    void write(const MONITOR_TABLE& monitor, HANDLE port, const std::string& data, const std::vector<DWORD>& chunks) {
        DWORD offset = 0;
        for (DWORD chunk : chunks) {
            DWORD written = Untouched;
            check(monitor.pfnWritePort(port, (LPBYTE)data.data() + offset, chunk, &written) && written == chunk,
                  __LINE__, "a write of " + text(chunk) + " takes " + text(written) + ", error " + text(GetLastError()));
            offset += chunk;
        }
    }
    void job(const MONITOR_TABLE& monitor, HANDLE port, const std::string& data) {
        check(start(monitor, port), __LINE__, "a job to a present printer fails with " + text(GetLastError()));
        write(monitor, port, data, {(DWORD)data.size()});
        check(monitor.pfnEndDocPort(port), __LINE__, "the job's end fails");
    }
    // As the printer's installation leaves it: the monitor's key, the device's
    // "PortName", the printer plugged in; then the monitor started.
    MONITOR_TABLE installedPrinter(const char* id, const char* portName) {
        h.installMonitor();
        h.addPrinter(id, portName);
        h.plug(id);
        return h.startMonitor();
    }
    void allClosed(const std::string& id) {
        for (const DeviceOpen& open : h.opens(id)) check(!open.open, __LINE__, "still open: " + open.name);
    }

    DeviceHarness& h;

private:
    std::string name_;
};

const char JobId[] = "USB\\VID_1209&PID_0001\\ZEVJOB1";
const char OtherId[] = "USB\\VID_1209&PID_0001\\ZEVJOB0";

// Another printer of the class comes first: the port's is found by its
// instance id. The stored pipes are 1 and 0; the descriptors make 00 the OUT
// pipe and 01 the IN pipe.
void jobThroughTheDeviceAndItsPipes(Play& p) {
    for (const char* id : {OtherId, JobId}) p.h.addPrinter(id), p.h.plug(id);
    writePort("USB-001", usbPort(JobId));
    MONITOR_TABLE monitor = p.h.startMonitor();
    HANDLE port = p.open(monitor, "USB-001");
    const PortRecord* record = (const PortRecord*)port;
    CHECK_THAT(p.start(monitor, port));
    SAME(record->flags, JobBackEndOpen);
    SAME(record->config.usb.writePipe, 0);
    SAME(record->config.usb.readPipe, 1);
    std::vector<DeviceOpen> opens = p.h.opens(JobId);
    SAME(opens.size(), 3);
    SAME(p.h.descriptorRequests(JobId), 1);
    const char* const pipes[] = {"", "\\00", "\\01"};
    const DWORD access[] = {GENERIC_READ | GENERIC_WRITE, GENERIC_WRITE, GENERIC_READ};
    for (size_t i = 0; i < opens.size() && i < 3; i++) {
        SAME(opens[i].name, p.h.devicePath(JobId) + pipes[i]);
        SAME(opens[i].access, access[i]);
        SAME(opens[i].share, 0);
        SAME(opens[i].endOfFileCalls, i == 0 ? 1 : 0);
    }

    const std::string data = binaryData(9000, 7);
    p.write(monitor, port, data, {1, 4095, 4904});
    SAME(p.h.received(JobId), data);

    p.h.queueInput(JobId, std::string("\x00\x10ready\xff", 8));
    char in[64];
    DWORD read = Untouched;
    CHECK_THAT(monitor.pfnReadPort(port, (LPBYTE)in, 5, &read) && read == 5 &&
               std::string(in, 5) == std::string("\x00\x10rea", 5));
    CHECK_THAT(monitor.pfnReadPort(port, (LPBYTE)in, sizeof in, &read) && read == 3 && std::string(in, 3) == "dy\xff");

    // The device first, then both pipes; 98 takes time-outs on communications ports only.
    COMMTIMEOUTS timeouts = {10, 20, 30, 40, 5000};
    const bool only = p.h.traits().commTimeoutsOnlyOnCommPorts;
    if (only) REFUSED(ERROR_INVALID_HANDLE, monitor.pfnSetPortTimeOuts(port, &timeouts, 0));
    else CHECK_THAT(monitor.pfnSetPortTimeOuts(port, &timeouts, 0));
    for (const DeviceOpen& open : p.h.opens(JobId))
        CHECK_THAT(only ? !open.hasTimeouts
                        : open.hasTimeouts && std::memcmp(&open.timeouts, &timeouts, sizeof timeouts) == 0);

    // Any other control code goes to the device with its input, and its answer comes back.
    const DWORD GetDeviceId = CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_BUFFERED, FILE_ANY_ACCESS);
    p.h.answerControls(JobId, "MFG:Zev;CMD:ESC;");
    char reply[64] = "";
    DWORD returned = Untouched;
    CHECK_THAT(monitor.pfnGetPrinterDataFromPort(port, GetDeviceId, (LPSTR) "DeviceId", (LPSTR) "\x01\x02", 2, reply,
                                                 sizeof reply, &returned));
    SAME(std::string(reply, returned == 16 ? 16 : 0), "MFG:Zev;CMD:ESC;");
    std::vector<DeviceControl> controls = p.h.controls(JobId);
    CHECK_THAT(controls.size() == 1 && controls[0].code == GetDeviceId && controls[0].input == "\x01\x02");
    SAME(p.h.descriptorRequests(JobId), 1);

    // The end closes the device and both pipes, and the port forgets them.
    CHECK_THAT(monitor.pfnEndDocPort(port));
    SAME(p.h.opens(JobId).size(), 3);
    p.allClosed(JobId);
    CHECK_THAT(record->usb.device == NULL && record->usb.writeHandle == NULL && record->usb.readHandle == NULL);
    SAME(p.h.received(JobId), data);
    SAME(p.h.opens(OtherId).size(), 0);
    CHECK_THAT(monitor.pfnClosePort(port));
}

// A job starts only while its printer is plugged in, and an unplugged one is
// found again when it comes back, with no change to the port.
void startFollowsThePrintersPresence(Play& p) {
    p.h.addPrinter(JobId);  // known, not yet plugged in
    writePort("USB-001", usbPort(JobId));
    writePort("USB-002", usbPort("USB\\VID_1209&PID_0001\\ZEVNEVER"));
    MONITOR_TABLE monitor = p.h.startMonitor();
    HANDLE port = p.open(monitor, "USB-001"), never = p.open(monitor, "USB-002");
    p.refusedIdle(monitor, port, ERROR_NOT_READY, __LINE__);
    p.h.plug(JobId);
    p.job(monitor, port, "first");
    p.refusedIdle(monitor, never, ERROR_NOT_READY, __LINE__);
    p.h.unplug(JobId);
    p.refusedIdle(monitor, port, ERROR_NOT_READY, __LINE__);
    SAME(p.h.opens(JobId).size(), 3);
    p.h.plug(JobId);
    p.job(monitor, port, "second");
    SAME(p.h.opens(JobId).size(), 6);
    p.allClosed(JobId);
    SAME(p.h.received(JobId), "firstsecond");
    const PortConfig stored = usbPort(JobId);
    SAME(storedProperty("USB-001"), std::string((const char*)&stored, sizeof stored));
    // Found, but its device cannot be opened: not "not ready".
    p.h.refuseOpens(JobId);
    p.refusedIdle(monitor, port, ERROR_INVALID_PARAMETER, __LINE__);
    CHECK_THAT(monitor.pfnClosePort(port) && monitor.pfnClosePort(never));
}

// The whole instance id, in any letter case; a prefix or a longer id is another printer.
void instanceIdComparedWholeIgnoringCase(Play& p) {
    const std::string id = "USB\\VID_1209&PID_0002\\ZEV0002";
    p.h.addPrinter(id);
    p.h.plug(id);
    writePort("LOWER", usbPort("usb\\vid_1209&pid_0002\\zev0002"));
    writePort("PREFIX", usbPort(id.substr(0, id.size() - 1)));
    writePort("LONGER", usbPort(id + "1"));
    MONITOR_TABLE monitor = p.h.startMonitor();
    p.job(monitor, p.open(monitor, "LOWER"), "page");
    p.refusedIdle(monitor, p.open(monitor, "PREFIX"), ERROR_NOT_READY, __LINE__);
    p.refusedIdle(monitor, p.open(monitor, "LONGER"), ERROR_NOT_READY, __LINE__);
    SAME(p.h.received(id), "page");
}

// Unplugged mid-job, every call fails with the driver's error and the job still
// ends and closes. Once the printer is back, at its path or another, the
// spooler's Retry sends the rest through handles opened anew, once.
void unpluggedMidJobAndRetried(Play& p) {
    p.h.addPrinter(JobId);
    p.h.plug(JobId);
    writePort("USB-001", usbPort(JobId));
    MONITOR_TABLE monitor = p.h.startMonitor();
    HANDLE port = p.open(monitor, "USB-001");
    const DeviceTraits traits = p.h.traits();
    CHECK_THAT(p.start(monitor, port));
    p.write(monitor, port, "half", {4});
    p.h.unplug(JobId);
    DWORD written = Untouched;
    REFUSED(traits.unpluggedDeviceError, monitor.pfnWritePort(port, (LPBYTE) "rest", 4, &written));
    SAME(written, 0);
    COMMTIMEOUTS timeouts = {};
    REFUSED(traits.commTimeoutsOnlyOnCommPorts ? ERROR_INVALID_HANDLE : traits.unpluggedDeviceError,
            monitor.pfnSetPortTimeOuts(port, &timeouts, 0));
    CHECK_THAT(monitor.pfnEndDocPort(port));
    p.allClosed(JobId);
    SAME(p.h.received(JobId), "half");
    p.h.plug(JobId);

    const std::string data = binaryData(9000, 5);
    for (bool elsewhere : {false, true}) {
        const DWORD before = (DWORD)p.h.opens(JobId).size();
        CHECK_THAT(p.start(monitor, port));
        p.write(monitor, port, data, {4000});
        p.h.unplug(JobId);
        written = Untouched;
        REFUSED(traits.unpluggedDeviceError, monitor.pfnWritePort(port, (LPBYTE)data.data() + 4000, 5000, &written));
        SAME(written, 0);
        SAME(p.h.opens(JobId).size() - before, 3);
        p.h.plug(JobId, elsewhere);
        p.write(monitor, port, data.substr(4000), {5000});
        CHECK_THAT(monitor.pfnEndDocPort(port));
        SAME(p.h.opens(JobId).size() - before, 6);
        p.allClosed(JobId);
    }
    SAME(p.h.received(JobId), "half" + data + data.substr(0, 4000) + data.substr(4000));
    CHECK_THAT(monitor.pfnClosePort(port));
}

// Printers follow their port's device at every broadcast and settings change;
// only USB ports of the monitor are judged, so a file or null port's printer,
// or a printer of another monitor's port, keeps what it has.
void printersFollowTheirDevice(Play& p) {
    const char id[] = "USB\\VID_1209&PID_0003\\ZEVSTAT1";
    p.h.addPrinter(id);
    p.h.plug(id);
    writePort("USB-001", usbPort(id));
    writePort("NUL:", otherPort(PortKindNull, ""));
    writePort("FILE:", otherPort(PortKindFile, id));
    const struct {
        const char *name, *port;
        bool offline;  // kept, or set by the refresh when NULL
    } printers[] = {{"Zev Other Printer", "USB-002", true}, {"Zev File Printer", "FILE:", false},
                    {"Zev Held File Printer", "FILE:", true}, {"Zev Null Printer", "NUL:", false},
                    {"Zev Held Printer", "NUL:", true}, {"Zev Status Printer", "USB-001", true},
                    {"Zev Status Copy", "usb-001", true}};  // the port's name in another letter case
    const size_t followers = 5;
    for (const auto& printer : printers) p.h.addSpoolerPrinter(printer.name, printer.port, printer.offline);
    auto follow = [&](bool present, int line) {
        for (size_t i = 0; i < sizeof printers / sizeof printers[0]; i++)
            p.check(p.h.offline(printers[i].name) == (i < followers ? printers[i].offline : !present), line,
                    std::string(printers[i].name) + " is not as it should be");
    };
    // The first refresh comes with the window, and the device is there.
    p.h.startMonitor();
    follow(true, __LINE__);
    p.h.unplug(id);
    p.h.deviceChange();
    follow(false, __LINE__);
    p.h.plug(id);
    p.h.deviceChange();
    follow(true, __LINE__);
    p.h.unplug(id);
    p.h.settingsChange();
    follow(false, __LINE__);
}

// A port the monitor made leaves the driver-index rebuild to the status
// window's next message, of any kind, and the rebuild runs once for all the
// ports made before it.
void rebuildOnceAfterNewPorts(Play& p) {
    const char id[] = "USB\\VID_1209&PID_0004\\ZEVRUN1";
    MONITOR_TABLE monitor = p.installedPrinter(id, "USB-001");
    p.h.message(WM_NULL);
    SAME(p.h.rebuilds(0).size(), 0);
    BYTE buffer[64];
    DWORD needed = 0, returned = 0;
    CHECK_THAT(monitor.pfnEnumPorts(NULL, 1, buffer, sizeof buffer, &needed, &returned) && returned == 1);
    CHECK_THAT(monitor.pfnEnumPorts(NULL, 1, buffer, sizeof buffer, &needed, &returned));
    p.h.message(WM_NULL);
    p.h.message(WM_USER + 7);
    p.h.deviceChange();
    CHECK_THAT(p.h.rebuilds(1) == std::vector<std::string>{Rebuild});
    for (int i = 0; i < 2; i++) {
        CHECK_THAT(monitor.pfnDeletePort(NULL, NULL, (LPSTR) "USB-001"));
        CHECK_THAT(monitor.pfnEnumPorts(NULL, 1, buffer, sizeof buffer, &needed, &returned) && returned == 1);
    }
    p.h.message(WM_NULL);
    SAME(p.h.rebuilds(2).size(), 2);
}

// From the printer's installation to its unplugging: the monitor's entry, the
// device's "PortName", its present interface and a printer of the spooler on
// the port. One enumeration makes the port; the next message of any kind to
// the window starts the driver-index rebuild, the broadcasts after it do not.
void typicalJob(Play& p) {
    const char id[] = "USB\\VID_1209&PID_0001\\ZEVTYPICAL", printer[] = "Zev Office Printer";
    p.h.addSpoolerPrinter(printer, "USB-001", false);
    MONITOR_TABLE monitor = p.installedPrinter(id, "USB-001");
    CHECK_THAT(!IsWindowVisible(FindWindowA(StatusWindowClass, NULL)));
    BYTE buffer[4096];
    DWORD needed = Untouched, returned = Untouched;
    CHECK_THAT(monitor.pfnEnumPorts(NULL, 2, buffer, sizeof buffer, &needed, &returned) && returned == 1);
    const PORT_INFO_2A& info = *(const PORT_INFO_2A*)buffer;
    if (returned == 1) {
        SAME(std::string(info.pPortName), "USB-001");
        SAME(std::string(info.pMonitorName), "VO DUV Udadizo");
        SAME(std::string(info.pDescription), "USB Port");
        SAME(info.fPortType, PORT_TYPE_WRITE | PORT_TYPE_READ);
    }
    const PortConfig made = usbPort(id);
    SAME(storedProperty("USB-001"), std::string((const char*)&made, sizeof made));
    SAME(p.h.rebuilds(0).size(), 0);
    p.h.message(WM_NULL);
    SAME(p.h.rebuilds(1).size(), 1);

    // The document reaches the OUT pipe intact; the end closes the device, both
    // pipes and the job's printer handle.
    HANDLE port = p.open(monitor, "USB-001");
    CHECK_THAT(p.start(monitor, port, printer, 1));
    HANDLE jobPrinter = ((const PortRecord*)port)->printer;
    CHECK_THAT(jobPrinter != NULL);
    const std::string document = "\x1B@" + binaryData(20000, 11) + "\x0C";
    p.write(monitor, port, document, {2, 16384, (DWORD)document.size() - 16386});
    CHECK_THAT(monitor.pfnEndDocPort(port));
    SAME(p.h.opens(id).size(), 3);
    p.allClosed(id);
    SAME(p.h.received(id), document);
    REFUSED(ERROR_INVALID_HANDLE, ClosePrinter(jobPrinter));
    CHECK_THAT(monitor.pfnClosePort(port));

    // Unplugged, the printer works offline; plugged in again, it is back online.
    p.h.unplug(id);
    p.h.deviceChange();
    CHECK_THAT(p.h.offline(printer));
    p.h.plug(id);
    p.h.deviceChange();
    CHECK_THAT(!p.h.offline(printer));
    CHECK_THAT(p.h.rebuilds(1) == std::vector<std::string>{Rebuild});
}

// One enumeration makes the port of a new printer and lists it: its record
// packed at level 2, its configuration stored byte for byte, the device's
// "PortName" kept. The next finds it and makes nothing; it carries a job.
void newPrinterGetsItsPort(Play& p) {
    const char id[] = "USB\\VID_1209&PID_0001\\ZEVAUTO1";
    p.h.addPrinter(id, "USB-001");
    p.h.plug(id);
    MONITOR_TABLE monitor = p.h.startMonitor();
    std::vector<BYTE> buffer(256, 0xCC);
    DWORD needed = Untouched, returned = Untouched;
    // No monitor key: every name counts as taken, and nothing is made.
    CHECK_THAT(monitor.pfnEnumPorts(NULL, 2, buffer.data(), (DWORD)buffer.size(), &needed, &returned) && returned == 0);
    SAME(storedValue(MonitorKeyPath, "Driver"), "(no key)");
    p.h.installMonitor();
    CHECK_THAT(monitor.pfnEnumPorts(NULL, 2, buffer.data(), (DWORD)buffer.size(), &needed, &returned));
    SAME(needed, sizeof(PORT_INFO_2A) + 32);  // 52 for the 32-bit record
    SAME(returned, 1);
    const PORT_INFO_2A& info = *(const PORT_INFO_2A*)buffer.data();
    if (returned == 1) {
        SAME(std::string(info.pPortName), "USB-001");
        SAME(std::string(info.pMonitorName), "VO DUV Udadizo");
        SAME(std::string(info.pDescription), "USB Port");
        SAME(info.fPortType, PORT_TYPE_WRITE | PORT_TYPE_READ);
        // Strings are packed down from the end of the buffer given, not of the space needed.
        CHECK_THAT(info.pPortName == (LPSTR)buffer.data() + buffer.size() - 8);
    }
    std::string expected(556, '\0');
    expected[0] = PortKindUsb;
    expected.replace(268, 16, "\xE2\xD4\x7A\x6A\x15\xAE\xD7\x11\x89\x0B\x00\x80\xAD\x72\xB9\xD1", 16);
    expected.replace(284, sizeof id - 1, id);
    expected[548] = 1;  // write pipe 1, read pipe 0
    SAME(storedProperty("USB-001"), expected);
    SAME(storedValue(std::string(MonitorKeyPath "\\") + ProbeKeyName, "Property"), "(no key)");
    p.h.message(WM_NULL);
    SAME(p.h.rebuilds(1).size(), 1);

    CHECK_THAT(monitor.pfnEnumPorts(NULL, 1, buffer.data(), (DWORD)buffer.size(), &needed, &returned) &&
               returned == 1 && std::string(((const PORT_INFO_1A*)buffer.data())->pName) == "USB-001");
    SAME(storedValue(instanceKey(id), "PortName", REG_SZ), "USB-001");
    p.h.message(WM_NULL);
    SAME(p.h.rebuilds(1).size(), 1);
    SAME(p.h.messageBoxes().size(), 0);
    p.job(monitor, p.open(monitor, "USB-001"), "page");
    SAME(p.h.received(id), "page");
}

// "USB-000" means the port numbers ran out: the name is deleted through the
// device's key and said once, although the spooler enumerates twice.
void portNumbersRanOut(Play& p) {
    const char id[] = "USB\\VID_1209&PID_0001\\ZEVFULL";
    MONITOR_TABLE monitor = p.installedPrinter(id, "USB-000");
    DWORD needed = 0, returned = Untouched;
    CHECK_THAT(monitor.pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned) && returned == 0);
    SAME(storedValue(instanceKey(id), "PortName", REG_SZ), "(none)");
    CHECK_THAT(monitor.pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned));
    CHECK_THAT(p.h.messageBoxes() ==
               std::vector<std::string>{"Error Message: Because the USB Port Number has exceeded the upper limit, the "
                                        "USB Port was not able to be created.\nPlease delete any unnecessary USB Ports."});
    SAME(storedValue(std::string(MonitorKeyPath "\\USB-000"), "Property"), "(no key)");
    p.h.message(WM_NULL);
    SAME(p.h.rebuilds(0).size(), 0);
}

// The spooler's buffer: records from the front, each string with its
// terminator from the back, in record order; a buffer too small, a level
// without records and a level that does not exist write nothing. The ports
// are made in the order every registry lists them.
void enumerationPacksTheRecords(Play& p) {
    writePort("FILE:", otherPort(PortKindFile, ""));
    writePort("USB-001", usbPort("USB\\VID_1209&PID_0001\\ZEVENUM1"));
    writePort("USB-002", usbPort("USB\\VID_1209&PID_0001\\ZEVENUM2"));
    MONITOR_TABLE monitor = p.h.startMonitor();
    std::vector<BYTE> buffer(512, 0xCC);
    const std::vector<BYTE> untouched = buffer;
    DWORD needed = Untouched, returned = Untouched;
    auto enumerate = [&](DWORD level, LPBYTE into, DWORD size) {
        needed = returned = Untouched;
        SetLastError(Untouched);
        return monitor.pfnEnumPorts(NULL, level, into, size, &needed, &returned);
    };
    auto answer = [&](DWORD level, DWORD size) {
        EnumAnswer read = ReadEnumAnswer(level, buffer.data(), size, returned, needed);
        SAME(read.fault, "");
        return read.ports;
    };
    const DWORD level1 = 3 * sizeof(PORT_INFO_1A) + 6 + 8 + 8;  // 34 for the 32-bit record
    REFUSED(ERROR_INSUFFICIENT_BUFFER, enumerate(1, buffer.data(), 0));
    CHECK_THAT(needed == level1 && returned == 0);
    REFUSED(ERROR_INSUFFICIENT_BUFFER, enumerate(1, buffer.data(), level1 - 1));
    CHECK_THAT(returned == 0 && buffer == untouched);
    CHECK_THAT(enumerate(1, buffer.data(), level1) && needed == level1 && returned == 3);
    const PORT_INFO_1A* records1 = (const PORT_INFO_1A*)buffer.data();
    CHECK_THAT(records1[0].pName == (LPSTR)buffer.data() + level1 - 6);  // the first name is placed last
    CHECK_THAT(records1[2].pName == (LPSTR)buffer.data() + level1 - 22);
    std::vector<EnumAnswerPort> ports = answer(1, level1);
    CHECK_THAT(ports.size() == 3 && ports[0].name == "FILE:" && ports[1].name == "USB-001" && ports[2].name == "USB-002");
    CHECK_THAT(std::equal(buffer.begin() + level1, buffer.end(), untouched.begin() + level1));

    // Level 0 counts and writes nothing; a level above 2, compared unsigned, is refused.
    buffer = untouched;
    CHECK_THAT(enumerate(0, buffer.data(), 0) && needed == 0 && returned == 3);
    for (DWORD level : {3u, 0x80000001u}) {
        REFUSED(ERROR_INVALID_LEVEL, enumerate(level, buffer.data(), (DWORD)buffer.size()));
        CHECK_THAT(needed == Untouched && returned == Untouched);
    }
    REFUSED(ERROR_INSUFFICIENT_BUFFER, enumerate(2, NULL, 64));  // no buffer holds nothing
    CHECK_THAT(buffer == untouched);

    // Level 2 of two ports, in a buffer larger than needed: the strings go down from its end.
    CHECK_THAT(monitor.pfnDeletePort(NULL, NULL, (LPSTR) "USB-002"));
    const DWORD level2 = 2 * sizeof(PORT_INFO_2A) + 6 + 15 + 10 + 8 + 15 + 9, size = level2 + 10;
    REFUSED(ERROR_INSUFFICIENT_BUFFER, enumerate(2, buffer.data(), level2 - 1));
    CHECK_THAT(needed == level2 && returned == 0 && buffer == untouched);
    CHECK_THAT(enumerate(2, buffer.data(), size) && needed == level2 && returned == 2);
    const PORT_INFO_2A* records2 = (const PORT_INFO_2A*)buffer.data();
    CHECK_THAT(records2[0].pPortName == (LPSTR)buffer.data() + size - 6);
    CHECK_THAT(records2[0].pMonitorName == (LPSTR)buffer.data() + size - 6 - 15);
    SAME(buffer[2 * sizeof(PORT_INFO_2A)], 0xCC);  // the gap between records and strings
    ports = answer(2, size);
    if (ports.size() == 2) {
        CHECK_THAT(ports[0].name == "FILE:" && ports[0].description == "FILE Port" && ports[0].type == PORT_TYPE_WRITE);
        CHECK_THAT(ports[1].name == "USB-001" && ports[1].monitorName == "VO DUV Udadizo" &&
                   ports[1].description == "USB Port" && ports[1].type == (PORT_TYPE_WRITE | PORT_TYPE_READ) &&
                   ports[1].reserved == 0);
    }
    CHECK_THAT(std::equal(buffer.begin() + size, buffer.end(), untouched.begin() + size));
    CHECK_THAT(monitor.pfnEnumPorts(NULL, 2, buffer.data(), size, NULL, NULL));
}

struct Scenario {
    std::string name;
    void (*play)(Play&);
};

// Each row opens with the scenario's name, which names its Wine case.
const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> all = {
        {"UsbJobGoesThroughTheDeviceAndItsTwoPipes", jobThroughTheDeviceAndItsPipes},
        {"UsbJobStartFollowsThePrintersPresence", startFollowsThePrintersPresence},
        {"UsbInstanceIdIsComparedWholeIgnoringCase", instanceIdComparedWholeIgnoringCase},
        {"UnpluggedUsbPrinterFailsTheJobAndTheRetryReachesItBackAtEitherPath", unpluggedMidJobAndRetried},
        {"PrintersFollowTheirDeviceAtEveryBroadcast", printersFollowTheirDevice},
        {"DriverIndexRebuildRunsOnceAfterNewPorts", rebuildOnceAfterNewPorts},
        {"TypicalJobFromInstallationToUnplugging", typicalJob},
        {"EnumPortsCreatesTheUsbPortOfANewPrinter", newPrinterGetsItsPort},
        {"PortNameUsb000IsDeletedAndReportedOnce", portNumbersRanOut},
        {"EnumPortsPacksTheRecordsOfEveryLevel", enumerationPacksTheRecords},
    };
    return all;
}

}  // namespace

const std::vector<std::string>& DeviceScenarioNames() {
    static const std::vector<std::string> names = ScenarioNamesOf(Scenarios());
    return names;
}

void PlayDeviceScenario(const std::string& name, DeviceHarness& harness) {
    for (const Scenario& scenario : Scenarios())
        if (scenario.name == name) {
            Play play(name, harness);
            return scenario.play(play);
        }
    harness.fail("no device scenario named " + name);
}
