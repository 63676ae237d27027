// zevmon: the spooler's side of ZEVURUZI.DLL on the command line. It loads the
// monitor into a simulated machine kept in a folder, calls the table exactly as
// the spooler would, and shows what happened.
//
// Exit status: 0 success, 1 an operation failed, 2 a usage error.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "demo.h"
#include "doctor.h"
#include "resources/string_table.h"
#include "session.h"
#include "sim/machine.h"
#include "terminal.h"

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

std::string enumPath(const std::string& instanceId) {
    auto parts = sim::splitKeyPath(instanceId);
    if (parts.size() != 3 || !sim::equalNoCase(parts[0], "USB"))
        throw Failure("A USB instance id looks like USB\\VID_04B8&PID_0202\\5&1A2B3C4D&0&1; '" + instanceId +
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zevmon: drives the ZEVURUZI.DLL port monitor as the print spooler would, on a simulated machine."};
    app.require_subcommand(1);
    Options options;
    options.machine = MachineFolder::defaultFolder();
    std::string machine;
    app.add_option("--machine", machine, "the machine's folder (default: " + options.machine.string() + ")");
    app.add_flag("--trace", options.trace, "print every call of the monitor's table, its result and last error");

    auto* demo = app.add_subcommand("demo", "walk through a typical job on a new, temporary machine");

    unsigned level = 2;
    bool asJson = false;
    auto* ports = app.add_subcommand("ports", "list the ports, as the spooler's EnumPorts sees them");
    ports->add_option("--level", level, "information level, 1 or 2")->check(CLI::Range(1, 2));
    ports->add_flag("--json", asJson, "JSON instead of a table");

    PrintOptions print;
    std::string answer;
    auto* printCmd = app.add_subcommand("print", "print a file, or standard input, to a port");
    printCmd->add_option("port", print.port, "the port, such as USB-001")->required();
    printCmd->add_option("file", print.input, "the file to print; - or nothing for standard input");
    printCmd->add_option("--chunk", print.chunk, "bytes per WritePort call (default 4096)")->check(CLI::PositiveNumber);
    printCmd->add_option("--document", print.document, "the document's name");
    printCmd->add_option("--printer", print.printer, "the printer the job belongs to (default: the port's printer)");
    auto* answerOption =
        printCmd->add_option("--answer", answer, "the path to give the open-file dialog (empty: cancel it)");

    std::string portName;
    auto* deleteCmd = app.add_subcommand("delete-port", "delete a port");
    deleteCmd->add_option("port", portName, "the port")->required();

    auto* printers = app.add_subcommand("printers", "list the printers, their ports and whether they are online");
    printers->add_flag("--json", asJson, "JSON instead of a table");

    auto* usb = app.add_subcommand("usb", "the machine's USB printers");
    usb->require_subcommand(1);
    std::string id, usbPortName;
    bool absent = false, hexDump = false;
    auto* usbList = usb->add_subcommand("list", "list the USB printers");
    usbList->add_flag("--json", asJson, "JSON instead of a table");
    auto* usbAdd = usb->add_subcommand("add", "install a USB printer");
    usbAdd->add_option("instance-id", id, "such as USB\\VID_04B8&PID_0202\\7&0001")->required();
    usbAdd->add_option("--port-name", usbPortName, "its PortName value, such as USB-002");
    usbAdd->add_flag("--unplugged", absent, "installed, but not plugged in");
    auto* usbRemove = usb->add_subcommand("remove", "uninstall a USB printer");
    usbRemove->add_option("instance-id", id, "the printer")->required();
    auto* usbPlug = usb->add_subcommand("plug", "plug a USB printer in (the system broadcasts a device change)");
    usbPlug->add_option("instance-id", id, "the printer")->required();
    auto* usbUnplug = usb->add_subcommand("unplug", "unplug a USB printer (the system broadcasts a device change)");
    usbUnplug->add_option("instance-id", id, "the printer")->required();
    auto* usbReceived = usb->add_subcommand("received", "what a USB printer received, as bytes");
    usbReceived->add_option("instance-id", id, "the printer")->required();
    usbReceived->add_flag("--hex", hexDump, "a hex dump with a count instead of the raw bytes");

    bool assumeYes = false;
    auto* doctor = app.add_subcommand("doctor",
                                      "why a printer has no port, why it stays offline, what would stop the monitor");
    doctor->add_flag("--json", asJson, "one JSON object instead of the report");
    auto* prune = app.add_subcommand("prune", "delete the USB ports whose printers are no longer installed");
    prune->add_flag("--yes", assumeYes, "do not ask");

    std::string exportFile;
    auto* registry = app.add_subcommand("registry", "the machine's registry");
    registry->require_subcommand(1);
    auto* registryExport = registry->add_subcommand("export", "write the registry as a REGEDIT4 file");
    registryExport->add_option("file", exportFile, "the file; standard output if none");

    // An unknown command is named, rather than reported as a missing one.
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--machine") {
            i++;
            continue;
        }
        if (arg.empty() || arg[0] == '-') continue;
        bool known = false;
        for (auto* sub : app.get_subcommands({})) known |= sub->get_name() == arg;
        if (!known) {
            std::fprintf(stderr, "zevmon: unknown command '%s' (see: zevmon --help)\n", arg.c_str());
            return 2;
        }
        break;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    if (!machine.empty()) options.machine = machine;
    if (answerOption->count()) options.fileAnswer = answer;

    try {
        if (demo->parsed()) return runDemo(options.trace);
        if (doctor->parsed()) {
            Session session(options);
            session.load();  // as the machine stands: the monitor's start would change it
            return runDoctor(asJson);
        }
        Session session(options);
        session.start();
        int status = 0;
        try {
        if (ports->parsed()) status = listPorts(session.spooler(), level, asJson);
        if (printCmd->parsed())
            status = printJob(session.spooler(), print,
                              print.printer.empty() ? printerFor(machinePrinters(), print.port) : print.printer);
        if (deleteCmd->parsed()) status = deletePort(session.spooler(), portName);
        if (printers->parsed()) status = listPrinters(machinePrinters(), asJson);
        if (usbList->parsed()) status = listUsb(asJson);
        if (usbAdd->parsed()) {
            enumPath(id);
            sim::UsbPrinterSpec spec(id, usbPortName);
            spec.present = !absent;
            sim::machine().addUsbPrinter(spec);
            std::printf("USB printer %s installed%s%s.\n", id.c_str(),
                        usbPortName.empty() ? "" : (" with PortName " + usbPortName).c_str(), absent ? ", unplugged" : "");
            session.deviceChanged();
        }
        if (usbRemove->parsed()) {
            requirePrinter(id);
            sim::machine().removeUsbPrinter(id);
            session.deviceChanged();
            std::printf("USB printer %s removed.\n", id.c_str());
        }
        if (usbPlug->parsed() || usbUnplug->parsed()) {
            requirePrinter(id);
            if (usbPlug->parsed())
                sim::machine().plugUsbPrinter(id);
            else
                sim::machine().unplugUsbPrinter(id);
            session.deviceChanged();
            std::printf("USB printer %s %s; WM_DEVICECHANGE was broadcast.\n", id.c_str(),
                        usbPlug->parsed() ? "plugged in" : "unplugged");
        }
        if (usbReceived->parsed()) status = received(session, id, hexDump);
        if (prune->parsed()) status = pruneStalePorts(session.spooler(), diagnose(findBuiltInMonitor), assumeYes);
        if (registryExport->parsed()) {
            std::string text = sim::machine().registry().exportText();
            if (exportFile.empty()) {
                std::printf("%s", text.c_str());
            } else {
                std::ofstream out(exportFile, std::ios::binary);
                out << text;
                if (!out) throw Failure("The file " + exportFile + " could not be written.");
                std::printf("The registry was written to %s.\n", exportFile.c_str());
            }
        }
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
