// zevmon usb: the simulated machine's USB printers, installed, removed,
// plugged in and unplugged as the system does it, and what they received.
#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "machine_commands.h"
#include "sim/machine.h"
#include "common/cli.h"
#include "common/registry.h"
#include "common/terminal.h"
#include "common/text.h"

namespace zevmon {

namespace {

using nlohmann::json;

// The words of the usb commands: the printer each names, and how.
struct UsbWords {
    std::string id;  // an instance id, or a port name
    std::string portName;
    bool absent = false;
    bool hexDump = false;
    bool allJobs = false;
    bool listJobs = false;
    bool asJson = false;
};

const char PrinterHelp[] = "the printer: its instance id, quoted (such as 'USB\\VID_1209&PID_0001\\7&0001'), "
                           "or its port name (such as USB-001)";

std::string enumPath(const std::string& instanceId) {
    auto parts = sim::splitKeyPath(instanceId);
    if (parts.size() != 3 || !sim::equalNoCase(parts[0], "USB") || parts[1].empty() || parts[2].empty())
        throw Failure("A USB instance id looks like 'USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1' (quoted, so that the "
                      "shell keeps its & and \\); '" + shown(instanceId) + "' does not.");
    return deviceKey(instanceId);
}

std::string findPrinter(const std::string& typed) {
    std::string idOrPort = nameToFind(typed, "USB printer");
    if (auto id = lookUpPrinter(idOrPort)) return *id;
    if (idOrPort.find('\\') != std::string::npos)
        throw Failure("There is no USB printer " + shown(idOrPort) + " on this machine (see: " +
                      zevmonCommand("usb list") + ").");
    throw Failure("No USB printer of this machine has the port " + shown(idOrPort) +
                  ", and no printer has that instance id (see: " + zevmonCommand("usb list") + ").");
}

int listUsb(bool asJson) {
    json out = json::array();
    auto& registry = sim::machine().registry();
    for (auto& id : sim::machine().usbPrinterIds()) {
        json entry = {{"instanceId", id}};
        sim::machine().withUsbPrinter(id, [&](sim::UsbPrinter& p) {
            entry["present"] = p.present;
            entry["devicePath"] = p.devicePath;
        });
        entry["portName"] = registry.stringValue(enumPath(id), "PortName").value_or("");
        out.push_back(entry);
    }
    if (asJson) {
        std::fprintf(console().out(), "%s\n", jsonOutput(out).c_str());
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    for (auto& e : out)
        rows.push_back({shown(e["instanceId"].get<std::string>()), shown(e["portName"].get<std::string>()),
                        e["present"].get<bool>() ? "plugged" : "unplugged", shown(e["devicePath"].get<std::string>())});
    printTable({{"INSTANCE ID", 40, true}, {"PORTNAME", 10, true}, {"STATE", 9}, {"DEVICE PATH", 0, true}}, rows);
    if (out.empty()) std::fprintf(console().out(), "(no USB printers)\n");
    return 0;
}

// The record keeps its names in UTF-8; shown as every name is.
std::string jobTitle(const ReceivedJob& job) {
    if (job.number == 0) return job.document;
    return fmt::format("job {}, \"{}\" on {}, {}, {}", job.number, shown(utf8ToAnsi(job.document)),
                       shown(utf8ToAnsi(job.port)), job.started, job.outcome);
}

void dumpHex(const std::string& data) {
    for (size_t at = 0; at < data.size(); at += 16) {
        std::string bytes, text;
        for (size_t i = at; i < at + 16 && i < data.size(); i++) {
            unsigned char c = (unsigned char)data[i];
            bytes += fmt::format("{:02x} ", c);
            text += (c >= 32 && c < 127) ? (char)c : '.';
        }
        std::fprintf(console().out(), "%08zx  %-48s %s\n", at, bytes.c_str(), text.c_str());
    }
}

int received(Session& session, const UsbWords& c) {
    std::string id = findPrinter(c.id);
    std::vector<ReceivedJob> jobs =
        session.folder().receivedJobs(id, [&](const std::filesystem::path& p) { return session.live().recording(p); });
    if (c.listJobs) {
        std::vector<std::vector<std::string>> rows;
        // The outcome, a sentence, last: it wraps under itself where the row is too wide.
        for (auto& job : jobs)
            rows.push_back({std::to_string(job.number), std::to_string(job.bytes), job.started,
                            shown(utf8ToAnsi(job.document)), shown(job.outcome)});
        printTable({{"JOB", 5}, {"BYTES", 12}, {"STARTED", 19}, {"DOCUMENT", 18, true}, {"OUTCOME"}}, rows);
        if (jobs.empty()) std::fprintf(console().out(), "(no jobs)\n");
        return 0;
    }
    if (jobs.empty()) {
        if (c.hexDump) std::fprintf(console().out(), "%s received 0 bytes: no job yet.\n", shown(id).c_str());
        notice(shown(id) + " has received no job yet.");
        return 0;
    }
    if (!c.allJobs) jobs.erase(jobs.begin(), jobs.end() - 1);
    for (auto& job : jobs) {
        std::FILE* in = std::fopen(job.data.c_str(), "rb");
        if (!in) throw Failure(fmt::format("{} could not be read: {}.", job.data.string(), fileErrorText(errno)));
        std::string data;
        char buffer[65536];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
            if (c.hexDump) {
                data.append(buffer, got);
            } else if (!writeOutput(buffer, got)) {
                break;  // said at the end, with the reason
            }
        }
        std::fclose(in);
        if (!c.hexDump) continue;
        std::fprintf(console().out(), "%s received %zu bytes in %s.\n", shown(id).c_str(), data.size(),
                     jobTitle(job).c_str());
        dumpHex(data);
    }
    return 0;
}

// The change as the monitor's window sees it: the system tells every window
// of a device that comes or goes.
int tellMonitor(HostRun& run) {
    if (run.monitorStarted)
        run.session->deviceChanged();
    else
        notice(run.notStarted + " It did not see this change.");
    return 0;
}

// A printer plugged in, or unplugged.
int plugged(HostRun& run, bool in) {
    std::string id = findPrinter(run.words<UsbWords>().id);
    bool present = false;
    sim::machine().withUsbPrinter(id, [&](sim::UsbPrinter& p) { present = p.present; });
    if (present == in) {
        result(fmt::format("USB printer {} was already {}; nothing changed.", shown(id), in ? "plugged in" : "unplugged"));
        return 0;
    }
    if (in)
        sim::machine().plugUsbPrinter(id);
    else
        sim::machine().unplugUsbPrinter(id);
    result(fmt::format("USB printer {} {}; WM_DEVICECHANGE was broadcast.", shown(id), in ? "plugged in" : "unplugged"));
    return tellMonitor(run);
}

void declareUsbList(CLI::App& list, HostRun& run) {
    list.add_flag("--json", run.words<UsbWords>().asJson, "JSON instead of a table");
}

int cmdUsbList(HostRun& run) { return listUsb(run.words<UsbWords>().asJson); }

void declareUsbReceived(CLI::App& received, HostRun& run) {
    UsbWords& words = run.words<UsbWords>();
    received.add_option("printer", words.id, PrinterHelp)->type_name(UsbPrinterWord)->required();
    received.add_flag("--hex", words.hexDump, "a hex dump with a count instead of the raw bytes");
    received.add_flag("--all", words.allJobs, "every job it received, oldest first");
    received.add_flag("--list", words.listJobs, "the jobs it received, one a line");
}

int cmdUsbReceived(HostRun& run) { return received(*run.session, run.words<UsbWords>()); }

void declareUsbAdd(CLI::App& add, HostRun& run) {
    UsbWords& words = run.words<UsbWords>();
    add.add_option("instance-id", words.id, "quoted, such as 'USB\\VID_1209&PID_0001\\7&0001'")->type_name("ID")->required();
    add.add_option("--port-name", words.portName, "its PortName value, such as USB-002")->type_name("NAME");
    add.add_flag("--unplugged", words.absent, "installed, but not plugged in");
}

// remove, plug, unplug and clear name a printer, and nothing else.
void declarePrinterWord(CLI::App& command, HostRun& run) {
    command.add_option("printer", run.words<UsbWords>().id, PrinterHelp)->type_name(UsbPrinterWord)->required();
}

// Installing, removing, plugging or unplugging a printer changes the machine
// the way the system would, and tells the monitor's window as the system does.
// The system installs devices whether or not the monitor runs.
int cmdUsbAdd(HostRun& run) {
    UsbWords c = run.words<UsbWords>();
    c.id = nameToMake(c.id, "a USB instance id");
    c.portName = nameToMake(c.portName, "a PortName");
    enumPath(c.id);
    if (auto known = installedPrinterId(c.id)) {
        std::string portName = sim::machine().registry().stringValue(enumPath(*known), "PortName").value_or("");
        throw Failure(fmt::format("USB printer {} is already installed{}; nothing was changed. To install it "
                                  "anew, remove it first ({}).",
                                  shown(*known), portName.empty() ? "" : " with PortName " + shown(portName),
                                  zevmonCommand("usb remove " + shellWord(shown(*known)))));
    }
    sim::UsbPrinterSpec spec(c.id, c.portName);
    spec.present = !c.absent;
    sim::machine().addUsbPrinter(spec);
    result(fmt::format("USB printer {} installed{}{}.", shown(c.id),
                       c.portName.empty() ? "" : " with PortName " + shown(c.portName), c.absent ? ", unplugged" : ""));
    // A name another device has taken leaves one of the two without a port,
    // and one the monitor does not read as its own gets none: said, as the
    // device is installed all the same.
    if (!c.portName.empty())
        for (const InstanceReport& r : run.diagnose().instances) {
            if (r.verdict == "duplicate" && sameName(r.portName, c.portName))
                notice(shown("PortName " + c.portName + " is taken: " + r.instanceKey + ": " + r.reason));
            else if (r.verdict == "passed-over" && !r.waitsForDevice && sameName(r.instanceKey, deviceKey(c.id)))
                notice(shown("PortName " + c.portName + ": " + r.reason));
        }
    return tellMonitor(run);
}

int cmdUsbRemove(HostRun& run) {
    std::string id = findPrinter(run.words<UsbWords>().id);
    sim::machine().removeUsbPrinter(id);
    result("USB printer " + shown(id) + " removed.");
    return tellMonitor(run);
}

int cmdUsbPlug(HostRun& run) { return plugged(run, true); }

int cmdUsbUnplug(HostRun& run) { return plugged(run, false); }

int cmdUsbClear(HostRun& run) {
    std::string id = findPrinter(run.words<UsbWords>().id);
    size_t jobs = run.session->folder().clearReceived(id);
    result(fmt::format("Forgot {} job{} that {} received.", jobs, jobs == 1 ? "" : "s", shown(id)));
    return 0;
}

}  // namespace

const Verb<HostRun> UsbCommands("usb", "the machine's USB printers");
const Verb<HostRun> UsbListCommand("list", "list the USB printers", declareUsbList, nullptr, cmdUsbList, &UsbCommands);
const Verb<HostRun> UsbAddCommand("add", "install a USB printer", declareUsbAdd, nullptr, cmdUsbAdd, &UsbCommands);
const Verb<HostRun> UsbRemoveCommand("remove", "uninstall a USB printer", declarePrinterWord, nullptr, cmdUsbRemove,
                                     &UsbCommands);
const Verb<HostRun> UsbPlugCommand("plug", "plug a USB printer in (the system broadcasts a device change)",
                                   declarePrinterWord, nullptr, cmdUsbPlug, &UsbCommands);
const Verb<HostRun> UsbUnplugCommand("unplug", "unplug a USB printer (the system broadcasts a device change)",
                                     declarePrinterWord, nullptr, cmdUsbUnplug, &UsbCommands);
const Verb<HostRun> UsbReceivedCommand("received", "what a USB printer received in its last job, as bytes",
                                       declareUsbReceived, nullptr, cmdUsbReceived, &UsbCommands);
const Verb<HostRun> UsbClearCommand("clear", "forget what a USB printer received", declarePrinterWord, nullptr,
                                    cmdUsbClear, &UsbCommands);

}  // namespace zevmon
