// zevmon on Linux: the spooler's side of ZEVURUZI.DLL on the command line. It
// loads the monitor into a simulated machine kept in a folder, calls the table
// exactly as the spooler would, and shows what happened.
//
// Exit status: 0 success, 1 an operation failed, 2 a usage error, 130 a job
// cancelled with Ctrl-C.
#include <fmt/format.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "common/cli.h"
#include "common/commands.h"
#include "demo.h"
#include "common/doctor.h"
#include "resources/string_table.h"
#include "session.h"
#include "sim/machine.h"
#include "common/terminal.h"

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
    CLI::App* clear = nullptr;
    std::string id;
    std::string portName;
    bool absent = false;
    bool hexDump = false;
    bool allJobs = false;
    bool listJobs = false;
};

const char PrinterHelp[] = "the printer: its instance id, quoted (such as 'USB\\VID_1209&PID_0001\\7&0001'), "
                           "or its port name (such as USB-001)";

void addUsbCommands(CLI::App& app, UsbCommands& c, bool& asJson) {
    auto* usb = app.add_subcommand("usb", "the machine's USB printers");
    usb->require_subcommand(1);
    c.list = usb->add_subcommand("list", "list the USB printers");
    c.list->add_flag("--json", asJson, "JSON instead of a table");
    c.add = usb->add_subcommand("add", "install a USB printer");
    c.add->add_option("instance-id", c.id, "quoted, such as 'USB\\VID_1209&PID_0001\\7&0001'")->required();
    c.add->add_option("--port-name", c.portName, "its PortName value, such as USB-002");
    c.add->add_flag("--unplugged", c.absent, "installed, but not plugged in");
    c.remove = usb->add_subcommand("remove", "uninstall a USB printer");
    c.remove->add_option("printer", c.id, PrinterHelp)->required();
    c.plug = usb->add_subcommand("plug", "plug a USB printer in (the system broadcasts a device change)");
    c.plug->add_option("printer", c.id, PrinterHelp)->required();
    c.unplug = usb->add_subcommand("unplug", "unplug a USB printer (the system broadcasts a device change)");
    c.unplug->add_option("printer", c.id, PrinterHelp)->required();
    c.received = usb->add_subcommand("received", "what a USB printer received in its last job, as bytes");
    c.received->add_option("printer", c.id, PrinterHelp)->required();
    c.received->add_flag("--hex", c.hexDump, "a hex dump with a count instead of the raw bytes");
    c.received->add_flag("--all", c.allJobs, "every job it received, oldest first");
    c.received->add_flag("--list", c.listJobs, "the jobs it received, one a line");
    c.clear = usb->add_subcommand("clear", "forget what a USB printer received");
    c.clear->add_option("printer", c.id, PrinterHelp)->required();
}

std::string enumPath(const std::string& instanceId) {
    auto parts = sim::splitKeyPath(instanceId);
    if (parts.size() != 3 || !sim::equalNoCase(parts[0], "USB") || parts[1].empty() || parts[2].empty())
        throw Failure("A USB instance id looks like 'USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1' (quoted, so that the "
                      "shell keeps its & and \\); '" + instanceId + "' does not.");
    return "Enum\\USB\\" + parts[1] + "\\" + parts[2];
}

std::optional<std::string> installedId(const std::string& id) {
    for (auto& known : sim::machine().usbPrinterIds())
        if (sim::equalNoCase(known, id)) return known;
    return std::nullopt;
}

// The printer as the machine knows it: by instance id, in any letter case as
// the system compares them, or by port name (its "PortName", or the port's
// stored instance id).
std::optional<std::string> lookUpPrinter(const std::string& idOrPort) {
    if (auto id = installedId(idOrPort)) return id;
    auto& registry = sim::machine().registry();
    for (auto& id : sim::machine().usbPrinterIds()) {
        auto parts = sim::splitKeyPath(id);
        if (parts.size() != 3) continue;
        auto portName = registry.stringValue("Enum\\USB\\" + parts[1] + "\\" + parts[2], "PortName");
        if (portName && sim::equalNoCase(*portName, idOrPort)) return id;
    }
    auto stored = registry.value(std::string(MonitorKeyPath) + "\\" + idOrPort, "Property");
    if (stored && stored->data.size() == sizeof(PortConfig)) {
        PortConfig config;
        std::memcpy(&config, stored->data.data(), sizeof config);
        config.usb.instanceId[sizeof config.usb.instanceId - 1] = 0;
        if (config.kind == PortKindUsb) return installedId(config.usb.instanceId);
    }
    return std::nullopt;
}

std::string findPrinter(const std::string& idOrPort) {
    if (auto id = lookUpPrinter(idOrPort)) return *id;
    if (idOrPort.find('\\') != std::string::npos)
        throw Failure("There is no USB printer " + idOrPort + " on this machine (see: zevmon usb list).");
    throw Failure("No USB printer of this machine has the port " + idOrPort +
                  ", and no printer has that instance id (see: zevmon usb list).");
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

std::string jobTitle(const ReceivedJob& job) {
    if (job.number == 0) return job.document;
    return fmt::format("job {}, \"{}\" on {}, {}, {}", job.number, job.document, job.port, job.started, job.outcome);
}

void dumpHex(const std::string& data) {
    for (size_t at = 0; at < data.size(); at += 16) {
        std::string bytes, text;
        for (size_t i = at; i < at + 16 && i < data.size(); i++) {
            unsigned char c = (unsigned char)data[i];
            bytes += fmt::format("{:02x} ", c);
            text += (c >= 32 && c < 127) ? (char)c : '.';
        }
        std::printf("%08zx  %-48s %s\n", at, bytes.c_str(), text.c_str());
    }
}

int received(Session& session, const UsbCommands& c) {
    std::string id = findPrinter(c.id);
    std::vector<ReceivedJob> jobs = session.folder().receivedJobs(id);
    if (c.listJobs) {
        std::printf("%-5s %-12s %-19s %-26s %s\n", "JOB", "BYTES", "STARTED", "OUTCOME", "DOCUMENT");
        for (auto& job : jobs)
            std::printf("%-5d %-12llu %-19s %-26s %s\n", job.number, (unsigned long long)job.bytes,
                        job.started.c_str(), job.outcome.c_str(), job.document.c_str());
        if (jobs.empty()) std::printf("(no jobs)\n");
        return 0;
    }
    if (jobs.empty()) {
        if (c.hexDump) std::printf("%s received 0 bytes: no job yet.\n", id.c_str());
        notice(id + " has received no job yet.");
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
            } else {
                std::fwrite(buffer, 1, got, stdout);
            }
        }
        std::fclose(in);
        if (!c.hexDump) continue;
        std::printf("%s received %zu bytes in %s.\n", id.c_str(), data.size(), jobTitle(job).c_str());
        dumpHex(data);
    }
    return 0;
}

// Installing, removing, plugging or unplugging a printer changes the machine
// the way the system would, and tells the monitor's window as the system does.
// The system installs devices whether or not the monitor runs.
int changeUsb(Session& session, const UsbCommands& c) {
    std::string why;
    bool started = session.tryStart(why);
    if (c.add->parsed()) {
        enumPath(c.id);
        if (auto known = installedId(c.id)) {
            std::string portName =
                sim::machine().registry().stringValue(enumPath(*known), "PortName").value_or("");
            throw Failure(fmt::format("USB printer {} is already installed{}; nothing was changed. To install it "
                                      "anew, remove it first (zevmon usb remove).",
                                      *known, portName.empty() ? "" : " with PortName " + portName));
        }
        sim::UsbPrinterSpec spec(c.id, c.portName);
        spec.present = !c.absent;
        sim::machine().addUsbPrinter(spec);
        std::printf("USB printer %s installed%s%s.\n", c.id.c_str(),
                    c.portName.empty() ? "" : (" with PortName " + c.portName).c_str(),
                    c.absent ? ", unplugged" : "");
    } else {
        std::string id = findPrinter(c.id);
        if (c.remove->parsed()) {
            sim::machine().removeUsbPrinter(id);
            std::printf("USB printer %s removed.\n", id.c_str());
        } else {
            if (c.plug->parsed())
                sim::machine().plugUsbPrinter(id);
            else
                sim::machine().unplugUsbPrinter(id);
            std::printf("USB printer %s %s; WM_DEVICECHANGE was broadcast.\n", id.c_str(),
                        c.plug->parsed() ? "plugged in" : "unplugged");
        }
    }
    if (started)
        session.deviceChanged();
    else
        notice(why + " It did not see this change.");
    return 0;
}

int clearReceived(Session& session, const std::string& idOrPort) {
    std::string id = findPrinter(idOrPort);
    size_t jobs = session.folder().clearReceived(id);
    std::printf("Forgot %zu job%s that %s received.\n", jobs, jobs == 1 ? "" : "s", id.c_str());
    return 0;
}

int exportRegistry(const std::string& file) {
    std::string text = sim::machine().registry().exportText();
    if (file.empty() || file == "-") {
        std::printf("%s", text.c_str());
        return 0;
    }
    errno = 0;
    std::ofstream out(file, std::ios::binary);
    out << text;
    out.close();
    if (!out) throw Failure(fmt::format("The file {} could not be written: {}.", file, std::strerror(errno ? errno : EIO)));
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

void onInterrupt(int) { jobCancelRequested = 1; }

// A job: its bytes go to the port as they are read, and what the printer
// receives goes to the machine's folder as it arrives. Ctrl-C ends the job
// with EndDocPort instead of ending zevmon.
int print(Session& session, const PrintOptions& job) {
    session.folder().checkWritable();
    std::string printer = job.printer.empty() ? printerFor(machinePrinters(), job.port) : job.printer;
    JobRecorder recorder(session.folder(), job.document, job.port);
    JobObserver observer;
    std::optional<std::string> target = lookUpPrinter(job.port);
    observer.started = [&] {
        if (target) recorder.begin(*target);
    };
    observer.wrote = [&] { recorder.collect(); };
    observer.ended = [&](std::uint64_t, const std::string& outcome) { recorder.finish(outcome); };
    struct sigaction action {}, previous{};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
    struct Restore {
        struct sigaction& previous;
        ~Restore() { sigaction(SIGINT, &previous, nullptr); }
    } restore{previous};
    return printJob(session.spooler(), job, printer, observer);
}

// What a command does with the machine: reads it, changes it without the
// monitor, or changes it through the monitor.
enum class Need { Read, Change, Monitor, MonitorIfItStarts };

Need needOf(HostCommands& c) {
    SharedCommands& s = c.shared;
    if (s.printers->parsed() || s.doctor->parsed() || c.registryExport->parsed() || c.usb.list->parsed() ||
        c.usb.received->parsed())
        return Need::Read;
    if (c.usb.clear->parsed()) return Need::Change;
    if (c.usb.add->parsed() || c.usb.remove->parsed() || c.usb.plug->parsed() || c.usb.unplug->parsed())
        return Need::MonitorIfItStarts;
    return Need::Monitor;
}

int runOnMachine(Session& session, HostCommands& c) {
    SharedCommands& s = c.shared;
    if (s.doctor->parsed()) return runDoctor(s.asJson);
    if (s.printers->parsed()) return listPrinters(machinePrinters(), s.asJson);
    if (c.registryExport->parsed()) return exportRegistry(c.exportFile);
    if (c.usb.list->parsed()) return listUsb(s.asJson);
    if (c.usb.received->parsed()) return received(session, c.usb);
    if (c.usb.clear->parsed()) return clearReceived(session, c.usb.id);
    if (needOf(c) == Need::MonitorIfItStarts) return changeUsb(session, c.usb);
    session.start();
    Spooler& spooler = session.spooler();
    if (s.ports->parsed()) return listPorts(spooler, s.level, s.asJson);
    if (s.print->parsed()) return print(session, s.job);
    if (s.deletePort->parsed()) return deletePort(spooler, s.portName);
    return pruneStalePorts([&](const std::string& name) { return spooler.deletePort(name); },
                           diagnose(findBuiltInMonitor), s.assumeYes);
}

std::string commandLine(int argc, char** argv) {
    std::string line = "zevmon";
    for (int i = 1; i < argc; i++) line += std::string(" ") + argv[i];
    return line;
}

// Listed at the end of every command's help.
const char GlobalOptions[] = "  --machine DIR   the machine's folder\n"
                             "  --trace         every call of the monitor's table on standard error\n"
                             "  --quiet         no notices or progress\n"
                             "  --wait SECONDS  how long to wait for another run that changes the machine";

int hostTerminalColumns() {
    for (int fd : {STDERR_FILENO, STDOUT_FILENO}) {
        struct winsize size {};
        if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zevmon: drives the ZEVURUZI.DLL port monitor as the print spooler would, on a simulated machine."};
    app.require_subcommand(1);
    app.set_version_flag("--version", "zevmon " + monitorVersion());
    acceptGlobalOptionsAnywhere(app);
    Options options;
    options.machine = MachineFolder::defaultFolder();
    std::string machine;
    bool quiet = false;
    auto* machineOption =
        app.add_option("--machine", machine, "the machine's folder (default: " + options.machine.string() + ")")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--trace", options.trace, "print every call of the monitor's table, its result and last error");
    app.add_flag("--quiet", quiet, "leave out notices and progress; results and errors stay");
    app.add_option("--wait", options.waitSeconds,
                   "how long to wait, in seconds, for another zevmon run that is changing the machine (default 60)");

    HostCommands c;
    c.demo = app.add_subcommand("demo", "walk through a typical job on a new, temporary machine");
    addSharedCommands(app, c.shared);
    c.answer = c.shared.print->add_option("--answer", c.answerPath,
                                          "the path to give the open-file dialog (empty: cancel it)");
    addUsbCommands(app, c.usb, c.shared.asJson);
    auto* registry = app.add_subcommand("registry", "the machine's registry");
    registry->require_subcommand(1);
    c.registryExport = registry->add_subcommand("export", "write the registry as a REGEDIT4 file");
    c.registryExport->add_option("file", c.exportFile, "the file; - or nothing for standard output");

    int parsed = parseCommandLine(app, argc, argv, GlobalOptions);
    if (parsed >= 0) return parsed;
    if (machineOption->count() && machine.empty()) {
        std::fprintf(stderr, "zevmon: --machine needs a folder; an empty name names none (see: zevmon --help)\n");
        return 2;
    }
    if (c.shared.print->parsed() && (parsed = checkPrintArguments(c.shared.job)) >= 0) return parsed;
    if (!machine.empty()) options.machine = machine;
    if (c.answer->count()) options.fileAnswer = c.answerPath;
    options.command = commandLine(argc, argv);
    setQuiet(quiet);
    setTerminalColumns(hostTerminalColumns());

    try {
        if (c.demo->parsed()) return runDemo(options.trace);
        Session session(options);
        Need need = needOf(c);
        session.open(need == Need::Read ? Access::Read : Access::Change);
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
    } catch (const NotAMachine& e) {
        std::fprintf(stderr, "zevmon: %s\n", e.what());
        return 1;
    } catch (const MachineBusy& e) {
        std::fprintf(stderr, "zevmon: %s\n", e.what());
        return 1;
    } catch (const MachineError& e) {
        std::fprintf(stderr, "zevmon: %s\nThe machine was left as it was.\n", e.what());
        return 1;
    } catch (const std::filesystem::filesystem_error& e) {
        std::fprintf(stderr, "zevmon: %s cannot be used: %s.\n", e.path1().string().c_str(),
                     e.code().message().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zevmon: %s\n", e.what());
        return 1;
    }
}
