// zevmon on Linux: the spooler's side of ZEVURUZI.DLL on the command line. It
// loads the monitor into a simulated machine kept in a folder, calls the table
// exactly as the spooler would, and shows what happened.
//
// Exit status: 0 success, 1 an operation failed, 2 a usage error.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "commands.h"
#include "demo.h"
#include "doctor.h"
#include "resources/string_table.h"
#include "session.h"
#include "sim/machine.h"

namespace {

using namespace zevmon;
using nlohmann::json;

const char PrintersPath[] = "System\\CurrentControlSet\\Control\\Print\\Printers";

// The spooler's printers, as the machine's registry keeps them.
std::vector<PrinterState> machinePrinters() {
    auto& registry = sim::machine().registry();
    std::vector<PrinterState> printers;
    for (auto& name : registry.subkeys(PrintersPath)) {
        std::string port = registry.stringValue(std::string(PrintersPath) + "\\" + name, "Port").value_or("");
        bool offline = sim::machine().printerAttributes(name) & PRINTER_ATTRIBUTE_WORK_OFFLINE;
        printers.push_back({name, port, !offline});
    }
    return printers;
}

// ---- USB printers of the simulated machine ----

struct UsbCommands {
    CLI::App* list = nullptr;
    CLI::App* add = nullptr;
    CLI::App* remove = nullptr;
    CLI::App* plug = nullptr;
    CLI::App* unplug = nullptr;
    CLI::App* received = nullptr;
    std::string id;
    std::string portName;
    bool absent = false;
    bool hexDump = false;
};

void addUsbCommands(CLI::App& app, UsbCommands& c, bool& asJson) {
    auto* usb = app.add_subcommand("usb", "the machine's USB printers");
    usb->require_subcommand(1);
    c.list = usb->add_subcommand("list", "list the USB printers");
    c.list->add_flag("--json", asJson, "JSON instead of a table");
    c.add = usb->add_subcommand("add", "install a USB printer");
    c.add->add_option("instance-id", c.id, "such as USB\\VID_1209&PID_0001\\7&0001")->required();
    c.add->add_option("--port-name", c.portName, "its PortName value, such as USB-002");
    c.add->add_flag("--unplugged", c.absent, "installed, but not plugged in");
    c.remove = usb->add_subcommand("remove", "uninstall a USB printer");
    c.remove->add_option("instance-id", c.id, "the printer")->required();
    c.plug = usb->add_subcommand("plug", "plug a USB printer in (the system broadcasts a device change)");
    c.plug->add_option("instance-id", c.id, "the printer")->required();
    c.unplug = usb->add_subcommand("unplug", "unplug a USB printer (the system broadcasts a device change)");
    c.unplug->add_option("instance-id", c.id, "the printer")->required();
    c.received = usb->add_subcommand("received", "what a USB printer received, as bytes");
    c.received->add_option("instance-id", c.id, "the printer")->required();
    c.received->add_flag("--hex", c.hexDump, "a hex dump with a count instead of the raw bytes");
}

std::string enumPath(const std::string& instanceId) {
    auto parts = sim::splitKeyPath(instanceId);
    if (parts.size() != 3 || !sim::equalNoCase(parts[0], "USB"))
        throw Failure("A USB instance id looks like USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1; '" + instanceId +
                      "' does not.");
    return "Enum\\USB\\" + parts[1] + "\\" + parts[2];
}

void requirePrinter(const std::string& id) {
    if (!sim::machine().withUsbPrinter(id, [](sim::UsbPrinter&) {}))
        throw Failure("There is no USB printer " + id + " on this machine (see: zevmon usb list).");
}

int listUsb(bool asJson) {
    json out = json::array();
    for (auto& id : sim::machine().usbPrinterIds()) {
        json entry = {{"instanceId", id}};
        sim::machine().withUsbPrinter(id, [&](sim::UsbPrinter& p) {
            entry["present"] = p.present;
            entry["devicePath"] = p.devicePath;
        });
        entry["portName"] = sim::machine().registry().stringValue(enumPath(id), "PortName").value_or("");
        out.push_back(entry);
    }
    if (asJson) {
        std::printf("%s\n", out.dump(2).c_str());
        return 0;
    }
    std::printf("%-40s %-10s %-9s %s\n", "INSTANCE ID", "PORTNAME", "STATE", "DEVICE PATH");
    for (auto& e : out)
        std::printf("%-40s %-10s %-9s %s\n", e["instanceId"].get<std::string>().c_str(),
                    e["portName"].get<std::string>().c_str(), e["present"].get<bool>() ? "plugged" : "unplugged",
                    e["devicePath"].get<std::string>().c_str());
    if (out.empty()) std::printf("(no USB printers)\n");
    return 0;
}

int received(Session& session, const std::string& id, bool hexDump) {
    requirePrinter(id);
    std::ifstream in(session.folder().receivedFile(id), std::ios::binary);
    std::string data(std::istreambuf_iterator<char>(in), {});
    if (!hexDump) {
        std::fwrite(data.data(), 1, data.size(), stdout);
        return 0;
    }
    std::printf("%s received %zu bytes.\n", id.c_str(), data.size());
    for (size_t at = 0; at < data.size(); at += 16) {
        std::string bytes, text;
        for (size_t i = at; i < at + 16 && i < data.size(); i++) {
            unsigned char c = (unsigned char)data[i];
            bytes += fmt::format("{:02x} ", c);
            text += (c >= 32 && c < 127) ? (char)c : '.';
        }
        std::printf("%08zx  %-48s %s\n", at, bytes.c_str(), text.c_str());
    }
    return 0;
}

// Installing, removing, plugging or unplugging a printer changes the machine
// the way the system would, and tells the monitor's window as the system does.
int runUsb(Session& session, const UsbCommands& c, bool asJson) {
    if (c.list->parsed()) return listUsb(asJson);
    if (c.received->parsed()) return received(session, c.id, c.hexDump);
    if (c.add->parsed()) {
        enumPath(c.id);
        sim::UsbPrinterSpec spec(c.id, c.portName);
        spec.present = !c.absent;
        sim::machine().addUsbPrinter(spec);
        std::printf("USB printer %s installed%s%s.\n", c.id.c_str(),
                    c.portName.empty() ? "" : (" with PortName " + c.portName).c_str(),
                    c.absent ? ", unplugged" : "");
    } else if (c.remove->parsed()) {
        requirePrinter(c.id);
        sim::machine().removeUsbPrinter(c.id);
        std::printf("USB printer %s removed.\n", c.id.c_str());
    } else {
        requirePrinter(c.id);
        if (c.plug->parsed())
            sim::machine().plugUsbPrinter(c.id);
        else
            sim::machine().unplugUsbPrinter(c.id);
        std::printf("USB printer %s %s; WM_DEVICECHANGE was broadcast.\n", c.id.c_str(),
                    c.plug->parsed() ? "plugged in" : "unplugged");
    }
    session.deviceChanged();
    return 0;
}

int exportRegistry(const std::string& file) {
    std::string text = sim::machine().registry().exportText();
    if (file.empty()) {
        std::printf("%s", text.c_str());
        return 0;
    }
    std::ofstream out(file, std::ios::binary);
    out << text;
    if (!out) throw Failure("The file " + file + " could not be written.");
    std::printf("The registry was written to %s.\n", file.c_str());
    return 0;
}

std::string monitorVersion() {
    const int numbers[] = {MONITOR_VERSION_NUMBERS};
    return fmt::format("{}.{}.{}.{}", numbers[0], numbers[1], numbers[2], numbers[3]);
}

// The monitor is built into zevmon: on the simulated machine, a "Driver" value
// that names ZEVURUZI.DLL finds it.
std::optional<DllFound> findBuiltInMonitor(const std::string& driver, std::string& why) {
    if (!sim::equalNoCase(driver, MONITOR_FILE_NAME)) {
        why = fmt::format("The \"Driver\" value names {}, but the monitor on this machine is {}.", driver,
                          MONITOR_FILE_NAME);
        return std::nullopt;
    }
    return DllFound{std::string(MONITOR_FILE_NAME) + " (built into zevmon)", monitorVersion()};
}

int runDoctor(bool asJson) {
    Diagnosis diagnosis = diagnose(findBuiltInMonitor);
    if (asJson)
        std::printf("%s\n", diagnosisJson(diagnosis).dump(2).c_str());
    else
        std::printf("%s", diagnosisText(diagnosis).c_str());
    return diagnosis.problems.empty() ? 0 : 1;
}

struct HostCommands {
    SharedCommands shared;
    UsbCommands usb;
    CLI::App* demo = nullptr;
    CLI::App* registryExport = nullptr;
    std::string exportFile;
    CLI::Option* answer = nullptr;
    std::string answerPath;
};

// One command on the machine, with the monitor started as the spooler starts it.
int runOnMachine(Session& session, HostCommands& c) {
    SharedCommands& s = c.shared;
    Spooler& spooler = session.spooler();
    if (s.ports->parsed()) return listPorts(spooler, s.level, s.asJson);
    if (s.print->parsed())
        return printJob(spooler, s.job, s.job.printer.empty() ? printerFor(machinePrinters(), s.job.port) : s.job.printer);
    if (s.deletePort->parsed()) return deletePort(spooler, s.portName);
    if (s.printers->parsed()) return listPrinters(machinePrinters(), s.asJson);
    if (s.prune->parsed())
        return pruneStalePorts([&](const std::string& name) { return spooler.deletePort(name); },
                               diagnose(findBuiltInMonitor), s.assumeYes);
    if (c.registryExport->parsed()) return exportRegistry(c.exportFile);
    return runUsb(session, c.usb, s.asJson);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zevmon: drives the ZEVURUZI.DLL port monitor as the print spooler would, on a simulated machine."};
    app.require_subcommand(1);
    Options options;
    options.machine = MachineFolder::defaultFolder();
    std::string machine;
    app.add_option("--machine", machine, "the machine's folder (default: " + options.machine.string() + ")");
    app.add_flag("--trace", options.trace, "print every call of the monitor's table, its result and last error");

    HostCommands c;
    c.demo = app.add_subcommand("demo", "walk through a typical job on a new, temporary machine");
    addSharedCommands(app, c.shared);
    c.answer = c.shared.print->add_option("--answer", c.answerPath,
                                          "the path to give the open-file dialog (empty: cancel it)");
    addUsbCommands(app, c.usb, c.shared.asJson);
    auto* registry = app.add_subcommand("registry", "the machine's registry");
    registry->require_subcommand(1);
    c.registryExport = registry->add_subcommand("export", "write the registry as a REGEDIT4 file");
    c.registryExport->add_option("file", c.exportFile, "the file; standard output if none");

    if (!checkCommandName(app, argc, argv, {"--machine"})) return 2;
    int parsed = parseCommandLine(app, argc, argv);
    if (parsed >= 0) return parsed;
    if (!machine.empty()) options.machine = machine;
    if (c.answer->count()) options.fileAnswer = c.answerPath;

    try {
        if (c.demo->parsed()) return runDemo(options.trace);
        Session session(options);
        if (c.shared.doctor->parsed()) {
            session.load();  // as the machine stands: the monitor's start would change it
            return runDoctor(c.shared.asJson);
        }
        session.start();
        int status;
        try {
            status = runOnMachine(session, c);
        } catch (const Failure&) {
            session.finish();  // what the monitor changed before the failure is kept
            throw;
        }
        session.finish();
        return status;
    } catch (const CLI::ValidationError& e) {
        std::fprintf(stderr, "zevmon: %s\n", e.what());
        return 2;
    } catch (const MachineError& e) {
        std::fprintf(stderr, "zevmon: %s\nThe machine was left as it was.\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zevmon: %s\n", e.what());
        return 1;
    }
}
