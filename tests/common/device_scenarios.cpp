#include "tests/common/device_scenarios.h"

#include <cstring>

#include "tests/common/job_scenarios.h"  // binaryData

namespace {

const DWORD Untouched = 0xdeadbeef;
const DWORD Offline = PRINTER_ATTRIBUTE_WORK_OFFLINE;
const char Rebuild[] = "Rundll setupx.dll,DiBuildDriverIndex TRUE";

PortConfig usbPort(const std::string& instanceId) {
    static const GUID printerClass = {0x6A7AD4E2, 0xAE15, 0x11D7, {0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1}};
    PortConfig config;
    ZeroMemory(&config, sizeof config);
    config.kind = PortKindUsb;
    config.usb.interfaceGuid = printerClass;
    lstrcpynA(config.usb.instanceId, instanceId.c_str(), sizeof config.usb.instanceId);
    config.usb.writePipe = 1;  // as the scan stores them: the descriptors decide at each job
    config.usb.readPipe = 0;
    return config;
}

PortConfig otherPort(INT kind, const std::string& instanceId) {
    PortConfig config = usbPort(instanceId);  // a USB block that names a present device is still not asked
    config.kind = kind;
    return config;
}

std::string text(DWORD value) { return std::to_string(value); }

// The port's "Property" as stored; empty without one.
std::string storedProperty(const char* port) {
    std::string path = std::string(MonitorKeyPath "\\") + port, value(sizeof(PortConfig) + 1, '\0');
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    DWORD size = (DWORD)value.size();
    LONG result = RegQueryValueExA(key, "Property", NULL, NULL, (LPBYTE)&value[0], &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? value.substr(0, size) : "";
}

// One scenario being played: its checks name it.
class Play {
public:
    Play(const std::string& name, DeviceHarness& harness) : name_(name), h(harness) {}

    void check(bool ok, const std::string& what) {
        if (!ok) h.fail(name_ + ": " + what);
    }
    void same(DWORD actual, DWORD expected, const std::string& what) {
        check(actual == expected, what + " is " + text(actual) + ", want " + text(expected));
    }
    void same(const std::string& actual, const std::string& expected, const std::string& what) {
        check(actual == expected, what + " differs (" + text((DWORD)actual.size()) + " bytes, want " +
                                      text((DWORD)expected.size()) + ")");
    }
    // The call failed with this code.
    void refused(BOOL ok, DWORD error, const std::string& what) {
        DWORD got = GetLastError();
        check(!ok && got == error, what + " ends " + text(ok) + " with " + text(got) + ", want " + text(error));
    }

    HANDLE open(const MONITOR_TABLE& monitor, const char* name) {
        HANDLE port = NULL;
        check(monitor.pfnOpenPort != NULL && monitor.pfnOpenPort((LPSTR)name, &port), std::string(name) + " opens");
        return port;
    }
    BOOL start(const MONITOR_TABLE& monitor, HANDLE port, const char* printer = NULL, DWORD jobId = 0) {
        DOC_INFO_1A doc = {(LPSTR) "Letter", NULL, NULL};
        SetLastError(Untouched);
        return monitor.pfnStartDocPort(port, (LPSTR)printer, jobId, 1, (LPBYTE)&doc);
    }
    // A start that fails leaves the port idle with nothing open, and refuses
    // the job's calls.
    void refusedIdle(const MONITOR_TABLE& monitor, HANDLE port, DWORD error, const std::string& what) {
        refused(start(monitor, port), error, what + ": the start");
        const PortRecord* record = (const PortRecord*)port;
        check(record->flags == 0 && record->usb.device == NULL && record->usb.writeHandle == NULL &&
                  record->usb.readHandle == NULL,
              what + ": the port is left holding something");
        DWORD written = Untouched;
        SetLastError(Untouched);
        refused(monitor.pfnWritePort(port, (LPBYTE) "x", 1, &written), ERROR_INVALID_PARAMETER, what + ": a write");
        SetLastError(Untouched);
        refused(monitor.pfnEndDocPort(port), ERROR_INVALID_PARAMETER, what + ": the end");
    }
    void job(const MONITOR_TABLE& monitor, HANDLE port, const std::string& data) {
        check(start(monitor, port), "a job to a present printer fails with " + text(GetLastError()));
        write(monitor, port, data, {(DWORD)data.size()});
        check(monitor.pfnEndDocPort(port), "the job's end fails");
    }
    void write(const MONITOR_TABLE& monitor, HANDLE port, const std::string& data, const std::vector<DWORD>& chunks) {
        DWORD offset = 0;
        for (DWORD chunk : chunks) {
            DWORD written = Untouched;
            check(monitor.pfnWritePort(port, (LPBYTE)data.data() + offset, chunk, &written) && written == chunk,
                  "a write of " + text(chunk) + " takes " + text(written) + ", error " + text(GetLastError()));
            offset += chunk;
        }
    }
    void allClosed(const std::string& id) {
        for (const DeviceOpen& open : h.opens(id)) check(!open.open, "still open: " + open.name);
    }
    void offline(const char* printer, bool expected, const std::string& when) {
        check(h.offline(printer) == expected,
              std::string(printer) + (expected ? " is online " : " is offline ") + when);
    }

private:
    std::string name_;

public:
    DeviceHarness& h;
};

const char JobId[] = "USB\\VID_1209&PID_0001\\ZEVJOB1";
const char OtherId[] = "USB\\VID_1209&PID_0001\\ZEVJOB0";

// Another printer of the class comes first: the port's is found by its
// instance id. The stored pipes are 1 and 0; the descriptors make 00 the OUT
// pipe and 01 the IN pipe.
void jobThroughTheDeviceAndItsPipes(Play& p) {
    for (const char* id : {OtherId, JobId}) p.h.addPrinter(id), p.h.plug(id);
    p.h.writePort("USB-001", usbPort(JobId));
    MONITOR_TABLE monitor = p.h.startMonitor();
    HANDLE port = p.open(monitor, "USB-001");
    const PortRecord* record = (const PortRecord*)port;
    p.check(p.start(monitor, port), "the job does not start: " + text(GetLastError()));
    p.same(record->flags, JobBackEndOpen, "the job's flags");
    p.same(record->config.usb.writePipe, 0, "the write pipe");
    p.same(record->config.usb.readPipe, 1, "the read pipe");
    std::vector<DeviceOpen> opens = p.h.opens(JobId);
    p.same((DWORD)opens.size(), 3, "the files opened");
    p.same(p.h.descriptorRequests(JobId), 1, "the descriptor requests");
    const std::string path = p.h.devicePath(JobId);
    const char* const names[] = {"", "\\00", "\\01"};
    const DWORD access[] = {GENERIC_READ | GENERIC_WRITE, GENERIC_WRITE, GENERIC_READ};
    for (size_t i = 0; i < opens.size() && i < 3; i++) {
        p.same(opens[i].name, path + names[i], "the name of open " + text((DWORD)i));
        p.same(opens[i].access, access[i], "the access of " + opens[i].name);
        p.same(opens[i].share, 0, "the sharing of " + opens[i].name);
        p.same(opens[i].endOfFileCalls, i == 0 ? 1 : 0, "the end-of-file calls on " + opens[i].name);
    }

    const std::string data = binaryData(9000, 7);
    p.write(monitor, port, data, {1, 4095, 4904});
    p.same(p.h.received(JobId), data, "what the printer received");

    p.h.queueInput(JobId, std::string("\x00\x10ready\xff", 8));
    char in[64];
    DWORD read = Untouched;
    p.check(monitor.pfnReadPort(port, (LPBYTE)in, 5, &read), "the first read fails");
    p.same(std::string(in, read == 5 ? 5 : 0), std::string("\x00\x10rea", 5), "the first read");
    p.check(monitor.pfnReadPort(port, (LPBYTE)in, sizeof in, &read), "the second read fails");
    p.same(std::string(in, read == 3 ? 3 : 0), "dy\xff", "the second read");

    // The device first, then both pipes; 98 takes time-outs on communications ports only.
    COMMTIMEOUTS timeouts = {10, 20, 30, 40, 5000};
    SetLastError(Untouched);
    BOOL set = monitor.pfnSetPortTimeOuts(port, &timeouts, 0);
    const bool only = p.h.traits().commTimeoutsOnlyOnCommPorts;
    if (only) p.refused(set, ERROR_INVALID_HANDLE, "the time-outs");
    else p.check(set, "the time-outs fail with " + text(GetLastError()));
    for (const DeviceOpen& open : p.h.opens(JobId))
        p.check(only ? !open.hasTimeouts
                     : open.hasTimeouts && std::memcmp(&open.timeouts, &timeouts, sizeof timeouts) == 0,
                "the time-outs of " + open.name);

    // Any other control code goes to the device with its input, and its answer comes back.
    const DWORD GetDeviceId = CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_BUFFERED, FILE_ANY_ACCESS);
    p.h.answerControls(JobId, "MFG:Zev;CMD:ESC;");
    char reply[64] = "";
    DWORD returned = Untouched;
    p.check(monitor.pfnGetPrinterDataFromPort(port, GetDeviceId, (LPSTR) "DeviceId", (LPSTR) "\x01\x02", 2, reply,
                                              sizeof reply, &returned),
            "the device control fails");
    p.same(std::string(reply, returned == 16 ? 16 : 0), "MFG:Zev;CMD:ESC;", "the control's answer");
    std::vector<DeviceControl> controls = p.h.controls(JobId);
    p.check(controls.size() == 1 && controls[0].code == GetDeviceId && controls[0].input == "\x01\x02",
            "the device saw " + text((DWORD)controls.size()) + " controls, not the one sent");
    p.same(p.h.descriptorRequests(JobId), 1, "the descriptor requests after the job's calls");

    // The end closes the device and both pipes, and the port forgets them.
    p.check(monitor.pfnEndDocPort(port), "the job's end fails");
    p.same((DWORD)p.h.opens(JobId).size(), 3, "the files opened by the whole job");
    p.allClosed(JobId);
    p.check(record->usb.device == NULL && record->usb.writeHandle == NULL && record->usb.readHandle == NULL,
            "the port keeps a handle of the ended job");
    p.same(p.h.received(JobId), data, "what the printer received in all");
    p.same((DWORD)p.h.opens(OtherId).size(), 0, "the files opened on the other printer");
    p.check(monitor.pfnClosePort(port), "the port does not close");
}

// A job starts only while its printer is plugged in, and an unplugged one is
// found again when it comes back, with no change to the port.
void startFollowsThePrintersPresence(Play& p) {
    p.h.addPrinter(JobId);  // known, not yet plugged in
    p.h.writePort("USB-001", usbPort(JobId));
    p.h.writePort("USB-002", usbPort("USB\\VID_1209&PID_0001\\ZEVNEVER"));
    MONITOR_TABLE monitor = p.h.startMonitor();
    HANDLE port = p.open(monitor, "USB-001"), never = p.open(monitor, "USB-002");
    p.refusedIdle(monitor, port, ERROR_NOT_READY, "not plugged in yet");

    p.h.plug(JobId);
    p.job(monitor, port, "first");
    p.refusedIdle(monitor, never, ERROR_NOT_READY, "a printer never present");

    p.h.unplug(JobId);
    p.refusedIdle(monitor, port, ERROR_NOT_READY, "unplugged");
    p.same((DWORD)p.h.opens(JobId).size(), 3, "the files opened while unplugged");

    p.h.plug(JobId);
    p.job(monitor, port, "second");
    p.same((DWORD)p.h.opens(JobId).size(), 6, "the files opened by the second job");
    p.allClosed(JobId);
    p.same(p.h.received(JobId), "firstsecond", "what the printer received");
    const PortConfig stored = usbPort(JobId);
    p.same(storedProperty("USB-001"), std::string((const char*)&stored, sizeof stored), "the port's stored configuration");

    // Found, but its device cannot be opened: not "not ready".
    p.h.refuseOpens(JobId);
    p.refusedIdle(monitor, port, ERROR_INVALID_PARAMETER, "a device that cannot be opened");
    p.check(monitor.pfnClosePort(port) && monitor.pfnClosePort(never), "the ports do not close");
}

// The whole instance id, in any letter case; a prefix or a longer id is another printer.
void instanceIdComparedWholeIgnoringCase(Play& p) {
    const std::string id = "USB\\VID_1209&PID_0002\\ZEV0002";
    p.h.addPrinter(id);
    p.h.plug(id);
    p.h.writePort("LOWER", usbPort("usb\\vid_1209&pid_0002\\zev0002"));
    p.h.writePort("PREFIX", usbPort(id.substr(0, id.size() - 1)));
    p.h.writePort("LONGER", usbPort(id + "1"));
    MONITOR_TABLE monitor = p.h.startMonitor();
    p.job(monitor, p.open(monitor, "LOWER"), "page");
    p.refusedIdle(monitor, p.open(monitor, "PREFIX"), ERROR_NOT_READY, "a prefix of the id");
    p.refusedIdle(monitor, p.open(monitor, "LONGER"), ERROR_NOT_READY, "a longer id");
    p.same(p.h.received(id), "page", "what the printer received");
}

// Unplugged mid-job, every call fails with the driver's error and the job still
// ends and closes. Once the printer is back, at its path or another, the
// spooler's Retry sends the rest through handles opened anew, once.
void unpluggedMidJobAndRetried(Play& p) {
    p.h.addPrinter(JobId);
    p.h.plug(JobId);
    p.h.writePort("USB-001", usbPort(JobId));
    MONITOR_TABLE monitor = p.h.startMonitor();
    HANDLE port = p.open(monitor, "USB-001");
    const DeviceTraits traits = p.h.traits();

    p.check(p.start(monitor, port), "the job does not start");
    p.write(monitor, port, "half", {4});
    p.h.unplug(JobId);
    DWORD written = Untouched;
    SetLastError(Untouched);
    p.refused(monitor.pfnWritePort(port, (LPBYTE) "rest", 4, &written), traits.unpluggedDeviceError,
              "a write to the printer pulled out");
    p.same(written, 0, "the bytes it wrote");
    COMMTIMEOUTS timeouts = {};
    SetLastError(Untouched);
    p.refused(monitor.pfnSetPortTimeOuts(port, &timeouts, 0),
              traits.commTimeoutsOnlyOnCommPorts ? ERROR_INVALID_HANDLE : traits.unpluggedDeviceError,
              "time-outs for the printer pulled out");
    p.check(monitor.pfnEndDocPort(port), "the job's end fails");
    p.allClosed(JobId);
    p.same(p.h.received(JobId), "half", "what the printer received");
    p.h.plug(JobId);

    const std::string data = binaryData(9000, 5);
    for (bool elsewhere : {false, true}) {
        const std::string back = elsewhere ? "back at another path: " : "back at its path: ";
        const DWORD before = (DWORD)p.h.opens(JobId).size();
        p.check(p.start(monitor, port), back + "the job does not start");
        p.write(monitor, port, data, {4000});
        p.h.unplug(JobId);
        written = Untouched;
        SetLastError(Untouched);
        p.refused(monitor.pfnWritePort(port, (LPBYTE)data.data() + 4000, 5000, &written),
                  traits.unpluggedDeviceError, back + "the write as it is pulled out");
        p.same(written, 0, back + "the bytes it wrote");
        p.same((DWORD)p.h.opens(JobId).size() - before, 3, back + "the files opened before the Retry");
        p.h.plug(JobId, elsewhere);
        p.write(monitor, port, data.substr(4000), {5000});
        p.check(monitor.pfnEndDocPort(port), back + "the job's end fails");
        p.same((DWORD)p.h.opens(JobId).size() - before, 6, back + "the files opened by the job");
        p.allClosed(JobId);
    }
    p.same(p.h.received(JobId), "half" + data + data.substr(0, 4000) + data.substr(4000), "what the printer received");
    p.check(monitor.pfnClosePort(port), "the port does not close");
}

// Printers follow their port's device at every broadcast and settings change;
// only USB ports of the monitor are judged, so a file or null port's printer,
// or a printer of another monitor's port, keeps what it has.
void printersFollowTheirDevice(Play& p) {
    const char id[] = "USB\\VID_1209&PID_0003\\ZEVSTAT1";
    p.h.addPrinter(id);
    p.h.plug(id);
    p.h.writePort("USB-001", usbPort(id));
    p.h.writePort("NUL:", otherPort(PortKindNull, ""));
    p.h.writePort("FILE:", otherPort(PortKindFile, id));
    struct Kept {
        const char *name, *port;
        bool offline;
    };
    const Kept kept[] = {{"Zev Other Printer", "USB-002", true}, {"Zev File Printer", "FILE:", false},
                         {"Zev Held File Printer", "FILE:", true}, {"Zev Null Printer", "NUL:", false},
                         {"Zev Held Printer", "NUL:", true}};
    for (const Kept& k : kept) p.h.addSpoolerPrinter(k.name, k.port, k.offline);
    p.h.addSpoolerPrinter("Zev Status Printer", "USB-001", true);
    p.h.addSpoolerPrinter("Zev Status Copy", "usb-001", true);  // the port's name in another letter case
    auto follow = [&](bool present, const std::string& when) {
        for (const char* printer : {"Zev Status Printer", "Zev Status Copy"}) p.offline(printer, !present, when);
        for (const Kept& k : kept) p.offline(k.name, k.offline, when);
    };

    // The first refresh comes with the window, and the device is there.
    p.h.startMonitor();
    follow(true, "after the start");
    p.h.unplug(id);
    p.h.deviceChange();
    follow(false, "once unplugged");
    p.h.plug(id);
    p.h.deviceChange();
    follow(true, "once back");
    p.h.unplug(id);
    p.h.settingsChange();
    follow(false, "after a settings change");
}

// A port the monitor made leaves the driver-index rebuild to the status
// window's next message, of any kind, and the rebuild runs once for all the
// ports made before it.
void rebuildOnceAfterNewPorts(Play& p) {
    const char id[] = "USB\\VID_1209&PID_0004\\ZEVRUN1";
    p.h.installMonitor();
    p.h.addPrinter(id, "USB-001");
    p.h.plug(id);
    MONITOR_TABLE monitor = p.h.startMonitor();
    p.h.message(WM_NULL);
    p.same((DWORD)p.h.rebuilds(0).size(), 0, "the rebuilds before any new port");

    BYTE buffer[64];
    DWORD needed = 0, returned = 0;
    p.check(monitor.pfnEnumPorts(NULL, 1, buffer, sizeof buffer, &needed, &returned) && returned == 1,
            "the enumeration does not make the printer's port");
    p.check(monitor.pfnEnumPorts(NULL, 1, buffer, sizeof buffer, &needed, &returned), "a second enumeration fails");
    p.h.message(WM_NULL);
    p.h.message(WM_USER + 7);
    p.h.deviceChange();
    std::vector<std::string> runs = p.h.rebuilds(1);
    p.check(runs == std::vector<std::string>{Rebuild}, "the rebuild did not run once: " + text((DWORD)runs.size()));

    for (int i = 0; i < 2; i++) {
        p.check(monitor.pfnDeletePort(NULL, NULL, (LPSTR) "USB-001"), "the port is not deleted");
        p.check(monitor.pfnEnumPorts(NULL, 1, buffer, sizeof buffer, &needed, &returned) && returned == 1,
                "the enumeration does not make the port again");
    }
    p.h.message(WM_NULL);
    p.same((DWORD)p.h.rebuilds(2).size(), 2, "the rebuilds after two more new ports");
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
    };
    return all;
}

}  // namespace

const std::vector<std::string>& DeviceScenarioNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const Scenario& scenario : Scenarios()) all.push_back(scenario.name);
        return all;
    }();
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
