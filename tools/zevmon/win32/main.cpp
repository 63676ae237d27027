// zevmon.exe: the tool on the Windows 95, 98 or Me machine itself. Its
// commands go through the system's spooler, whose own copy of ZEVURUZI.DLL is
// the one that decides; install and uninstall put the monitor in place and
// take it out. Loading the DLL into zevmon's own process (--dll) is for a
// machine where the monitor is not installed.
//
// Exit status: 0 success, 1 an operation failed, 2 a usage error.
#include <windows.h>
#include <winspool.h>

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include <csignal>

#include "boot_queue.h"
#include "common/cli.h"
#include "common/commands.h"
#include "common/doctor.h"
#include "install.h"
#include "monitor/zevuruzi.h"
#include "resources/string_table.h"
#include "setupapi_on_demand.h"
#include "common/spooler.h"
#include "common/terminal.h"
#include "windows_spooler.h"
#include "windows_system.h"

namespace {

using namespace zevmon;

std::string monitorName() {
    std::string key = MonitorKeyPath;
    return key.substr(key.find_last_of('\\') + 1);
}

std::string toolVersion() {
    const int numbers[] = {MONITOR_VERSION_NUMBERS};
    return fmt::format("{}.{}.{}.{}", numbers[0], numbers[1], numbers[2], numbers[3]);
}

// The spooler loads the "Driver" DLL from the system folder.
std::optional<DllFound> findInstalledDll(const std::string& driver, std::string& why) {
    std::string system = systemFolder();
    std::string path = driver.find_first_of("\\/:") != std::string::npos ? driver : joinPath(system, driver);
    if (!fileExists(path)) {
        why = fmt::format("The \"Driver\" value names {}, which is not in the system folder {}: the spooler cannot "
                          "load the monitor (zevmon install puts it there).",
                          driver, system);
        return std::nullopt;
    }
    auto version = fileVersion(path);
    DllFound found{path, version ? version->text() : "unknown (the file has no version record)"};
    std::string pending = joinPath(system, "ZEVURUZI.NEW");
    if (fileExists(pending) && BootQueue().replaceQueued(pending, path)) {
        auto next = fileVersion(pending);
        found.version += fmt::format("; version {} replaces it at the next start of Windows",
                                     next ? next->text() : "unknown");
    }
    return found;
}

Diagnosis diagnoseThisMachine() {
    Diagnosis diagnosis = diagnose(findInstalledDll);
    if (!systemHasSetupApi())
        diagnosis.problems.push_back(fmt::format(
            "{} has no SETUPAPI.DLL: the monitor needs Windows 98 or Me to find USB printers.", systemName()));
    return diagnosis;
}

int runDoctor(bool asJson) {
    Diagnosis diagnosis = diagnoseThisMachine();
    if (asJson)
        std::printf("%s\n", diagnosisJson(diagnosis).dump(2).c_str());
    else
        std::printf("%s", diagnosisText(diagnosis).c_str());
    return diagnosis.problems.empty() ? 0 : 1;
}

// ---- Through the spooler ----

int listPortsThroughSpooler(SystemSpooler& spooler, unsigned level, bool asJson) {
    std::vector<PortEntry> ports;
    if (!spooler.enumPorts(level, ports)) fail("The spooler could not list the ports");
    showPorts(ports, level, asJson);
    if (asJson || level != 2) return 0;
    size_t ours = monitorPortCount(ports);
    std::vector<std::string> keys;
    for (const std::string& name : subkeyNames(MonitorKeyPath))
        if (!IsProbeKeyName(name.c_str())) keys.push_back(name);
    if (!monitorInstalled()) {
        notice(fmt::format("The monitor \"{}\" is not installed (see: zevmon install).", monitorName()));
    } else if (ours > 0) {
        notice(fmt::format("{} of these ports are the monitor's (\"{}\").", ours, monitorName()));
    } else if (keys.empty()) {
        notice("The monitor has no port yet: a USB printer gets one once it is installed and plugged in (zevmon "
               "doctor tells why one has none).");
    } else {
        std::string names;
        for (const std::string& k : keys) names += (names.empty() ? "" : ", ") + k;
        notice(fmt::format("None of these ports is the monitor's, though the registry has {} ({}): the spooler has "
                           "not loaded \"{}\". After an install that had to write the registry entry, restart "
                           "Windows.",
                           keys.size() == 1 ? "its port" : "its ports", names, monitorName()));
    }
    return 0;
}

int printThroughSpooler(SystemSpooler& spooler, const PrintOptions& job) {
    std::vector<PrinterState> printers = spooler.printers();
    std::string printer = job.printer;
    if (printer.empty()) {
        printer = printerFor(printers, job.port);
        if (printer.empty())
            throw Failure(fmt::format("No printer prints to {}, so the spooler has no way to send a job there: "
                                      "install a printer on that port, or name one with --printer.",
                                      job.port));
        notice(fmt::format("Printing on printer {}, the printer of port {}.", printer, job.port));
    } else {
        for (const PrinterState& p : printers)
            if (sameName(p.name, printer) && !sameName(p.port, job.port))
                throw Failure(fmt::format("Printer {} prints to {}, not to {}.", p.name, p.port, job.port));
    }
    return spooler.printDocument(job, printer);
}

int runThroughSpooler(SharedCommands& c, bool trace) {
    SystemSpooler spooler(trace);
    if (c.ports->parsed()) return listPortsThroughSpooler(spooler, c.level, c.asJson);
    if (c.print->parsed()) return printThroughSpooler(spooler, c.job);
    if (c.deletePort->parsed()) {
        if (!spooler.deletePort(c.portName)) fail("The spooler could not delete port " + c.portName);
        std::printf("The spooler deleted port %s.\n", c.portName.c_str());
        return 0;
    }
    if (c.prune->parsed())
        return pruneStalePorts([&](const std::string& name) { return spooler.deletePort(name); },
                               diagnoseThisMachine(), c.assumeYes);
    return 0;
}

// ---- The DLL in zevmon's own process ----

int runInProcess(SharedCommands& c, const std::string& dll, bool trace) {
    HMODULE module = LoadLibraryA(dll.c_str());
    if (!module) throw Failure(dllLoadFailure(dll, GetLastError(), fileExists(dll)));
    auto initialize = (Spooler::InitializeFn)(void*)GetProcAddress(module, "InitializeMonitorEx");
    if (!initialize) fail(dll + " has no InitializeMonitorEx");
    Spooler spooler(trace);
    if (!spooler.initialize(initialize)) fail("The monitor did not start");
    // Like the spooler, list the ports once at the start: new USB printers get their ports.
    std::vector<PortEntry> started;
    spooler.enumPorts(1, started);
    if (c.ports->parsed()) return listPorts(spooler, c.level, c.asJson);
    if (c.print->parsed()) {
        const PrintOptions& job = c.job;
        return printJob(spooler, job,
                        job.printer.empty() ? printerFor(SystemSpooler(false).printers(), job.port) : job.printer);
    }
    if (c.deletePort->parsed()) return deletePort(spooler, c.portName);
    if (c.prune->parsed())
        return pruneStalePorts([&](const std::string& name) { return spooler.deletePort(name); },
                               diagnoseThisMachine(), c.assumeYes);
    return 0;
}

const char SecondCopyRefused[] =
    "The monitor is installed, so the spooler has its own copy of ZEVURUZI.DLL. A second copy in zevmon's process "
    "would decide from the same registry without the spooler's list of ports: a port it made would stay unknown to "
    "the spooler until the spooler restarts, a port it deleted would come back twice at the spooler's next scan, and "
    "its jobs would open the printer beside the spooler's. Leave out --dll to go through the spooler, or add --force.";

// Listed at the end of every command's help.
const char GlobalOptions[] = "  --trace     every call to the spooler or the monitor on standard error\n"
                             "  --quiet     no notices or progress\n"
                             "  --dll PATH  drive this monitor DLL in zevmon's own process\n"
                             "  --force     with --dll: even though the monitor is installed";

void onInterrupt(int) { jobCancelRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zevmon: installs the ZEVURUZI.DLL port monitor and drives it through this machine's spooler."};
    app.require_subcommand(1);
    app.allow_windows_style_options(false);  // a path such as /jobs/page.prn is a file, not an option
    app.set_version_flag("--version", "zevmon " + toolVersion());
    acceptGlobalOptionsAnywhere(app);
    bool trace = false, force = false, purge = false, quiet = false;
    std::string dll, installSource;
    app.add_flag("--trace", trace, "print every call zevmon makes to the spooler or the monitor, with its result");
    auto* dllOption = app.add_option("--dll", dll,
                                     "load this monitor DLL into zevmon's own process and drive it there, for a "
                                     "machine where the monitor is not installed");
    app.add_flag("--force", force, "with --dll: even though the monitor is installed");
    app.add_flag("--quiet", quiet, "leave out notices and progress; results and errors stay");

    SharedCommands c;
    addSharedCommands(app, c);
    auto* install = app.add_subcommand("install", "copy ZEVURUZI.DLL into the system folder and register the monitor "
                                                  "with the spooler; upgrades another version");
    install->add_option("--dll", installSource, "the DLL to install (default: ZEVURUZI.DLL beside zevmon.exe)");
    auto* uninstall = app.add_subcommand("uninstall", "remove the monitor from the spooler and its DLL from the "
                                                      "system folder; the settings of its ports stay");
    uninstall->add_flag("--purge", purge, "delete the settings of the monitor's ports too");

    int parsed = parseCommandLine(app, argc, argv, GlobalOptions);
    if (parsed >= 0) return parsed;
    if (c.print->parsed() && (parsed = checkPrintArguments(c.job)) >= 0) return parsed;
    setQuiet(quiet);
    // Ctrl-C ends a job with EndDocPrinter (or EndDocPort) instead of ending zevmon.
    if (c.print->parsed()) std::signal(SIGINT, onInterrupt);

    try {
        if (install->parsed()) return installMonitor(installSource);
        if (uninstall->parsed()) return uninstallMonitor(purge);
        if (c.printers->parsed()) return listPrinters(SystemSpooler(trace).printers(), c.asJson);
        if (c.doctor->parsed()) return runDoctor(c.asJson);
        if (dllOption->count()) {
            if (monitorInstalled() && !force) throw Failure(SecondCopyRefused);
            return runInProcess(c, dll, trace);
        }
        return runThroughSpooler(c, trace);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zevmon: %s\n", e.what());
        return 1;
    }
}
