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
#include <optional>
#include <string>
#include <vector>

#include "boot_queue.h"
#include "common/cli.h"
#include "common/commands.h"
#include "common/doctor.h"
#include "common/monitor_caller.h"
#include "common/system_spooler.h"
#include "common/terminal.h"
#include "install.h"
#include "monitor/zevuruzi.h"
#include "resources/string_table.h"
#include "setupapi_on_demand.h"
#include "windows_system.h"

namespace {

using namespace zevmon;

// Every command of zevmon.exe and what it needs.
const std::vector<Command<WinRun>> Commands = {
    {PortsCommand, StartsMonitor},
    {PrintCommand, StartsMonitor},
    {DeletePortCommand, StartsMonitor},
    {AddPortCommand, 0},
    {PrintersCommand, UsesSystemSpooler},
    {PrintersOnlineCommand, UsesSystemSpooler},
    {DoctorCommand, 0},
    {PruneCommand, StartsMonitor},
    {InstallCommand, 0},
    {UninstallCommand, 0},
};

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

const char SecondCopyRefused[] =
    "The monitor is installed, so the spooler has its own copy of ZEVURUZI.DLL. A second copy in zevmon's process "
    "would decide from the same registry without the spooler's list of ports: a port it made would stay unknown to "
    "the spooler until the spooler restarts, a port it deleted would come back twice at the spooler's next scan, and "
    "its jobs would open the printer beside the spooler's. Leave out --dll to go through the spooler, or add --force.";

struct Global {
    bool trace = false;
    bool force = false;
    std::optional<std::string> dll;  // --dll: the monitor in zevmon's own process
};

// --dll: the monitor loaded into zevmon's own process and started as the
// spooler starts it, listing the ports once so that new USB printers get theirs.
void startInProcess(MonitorCaller& table, const std::string& dll) {
    HMODULE module = LoadLibraryA(dll.c_str());
    if (!module) throw Failure(dllLoadFailure(dll, GetLastError(), fileExists(dll)));
    auto initialize = (MonitorCaller::InitializeFn)(void*)GetProcAddress(module, "InitializeMonitorEx");
    if (!initialize) fail(dll + " has no InitializeMonitorEx");
    if (!table.initialize(initialize)) fail("The monitor did not start");
    std::vector<PortEntry> started;
    table.enumPorts(1, started);
}

// The monitor does what enumeration asked of it (the driver-index rebuild
// after a new port) at its status window's next message. The spooler's process
// lives on and that message comes; zevmon's ends, so before it ends it sends
// the window of its own copy a message and waits for it: otherwise the rebuild
// would never run, or be cut off as it starts.
struct StatusWindowSettler {
    ~StatusWindowSettler() {
        for (DWORD until = GetTickCount() + 10000; GetTickCount() < until; Sleep(50)) {
            for (HWND window = NULL; (window = FindWindowExA(NULL, window, StatusWindowClass, NULL)) != NULL;) {
                DWORD process = 0;
                GetWindowThreadProcessId(window, &process);
                if (process != GetCurrentProcessId()) continue;  // the spooler's copy, under --force
                DWORD_PTR result = 0;
                SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result);
                return;
            }
        }
    }
};

// Makes ready what the command's row needs, and runs it.
int runCommand(const Command<WinRun>& command, WinRun& run, const Global& global) {
    run.diagnose = diagnoseThisMachine;
    // The spooler's copy of the monitor read its port keys when it started.
    run.whenPortKeysLoad = "The spooler's monitor lists it from its next start: restart Windows.";
    if (command.needs & UsesSystemSpooler) run.printers = [&] { return SystemSpooler(global.trace).printers(); };
    if (!(command.needs & StartsMonitor)) return command.run(run);
    if (!global.dll) {
        SystemSpooler spooler(global.trace);
        run.route = &spooler;
        return command.run(run);
    }
    if (monitorInstalled() && !global.force) throw Failure(SecondCopyRefused);
    MonitorCaller table(global.trace);
    startInProcess(table, *global.dll);
    StatusWindowSettler settler;
    MonitorRoute route(table, [] { return SystemSpooler(false).printers(); });
    run.route = &route;
    return command.run(run);
}

// Listed at the end of every command's help.
const char GlobalOptions[] = "  --trace     every call to the spooler or the monitor on standard error\n"
                             "  --quiet     no notices or progress\n"
                             "  --dll PATH  drive this monitor DLL in zevmon's own process\n"
                             "  --force     with --dll: even though the monitor is installed";

}  // namespace

static int runZevmon(int argc, char** argv) {
    CLI::App app{"zevmon: installs the ZEVURUZI.DLL port monitor and drives it through this machine's spooler."};
    app.allow_windows_style_options(false);  // a path such as /jobs/page.prn is a file, not an option
    setUpCommandLine(app);
    Global global;
    bool quiet = false;
    std::string dll;
    app.add_flag("--trace", global.trace, "print every call zevmon makes to the spooler or the monitor, with its result");
    auto* dllOption = app.add_option("--dll", dll,
                                     "load this monitor DLL into zevmon's own process and drive it there, for a "
                                     "machine where the monitor is not installed");
    app.add_flag("--force", global.force, "with --dll: even though the monitor is installed");
    app.add_flag("--quiet", quiet, "leave out notices and progress; results and errors stay");

    WinRun run;
    return runCommandLine(app, argc, argv, Commands, run, GlobalOptions, [&](const Command<WinRun>& command) {
        if (dllOption->count()) global.dll = dll;
        setQuiet(quiet);
        try {
            return runCommand(command, run, global);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zevmon: %s\n", e.what());
            return 1;
        }
    });
}

int main(int argc, char** argv) { return checkedOutput(runZevmon(argc, argv)); }
