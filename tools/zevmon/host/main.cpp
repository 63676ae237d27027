// zevmon on Linux: the spooler's side of ZEVURUZI.DLL on the command line. It
// loads the monitor into a simulated machine kept in a folder, calls the table
// exactly as the spooler would, and shows what happened.
//
// Exit status: 0 success, 1 an operation failed, 2 a usage error, 130 a job
// cancelled with Ctrl-C.
#include <fmt/format.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "common/cli.h"
#include "common/commands.h"
#include "common/doctor.h"
#include "common/registry.h"
#include "common/terminal.h"
#include "common/text.h"
#include "machine_commands.h"
#include "print_route.h"
#include "resources/string_table.h"
#include "session.h"

namespace {

using namespace zevmon;

// Every command of this build, what it needs of the machine and the monitor,
// and what the build adds to its words.
const std::vector<Command<HostRun>> Commands = {
    {DemoCommand, 0},
    {PortsCommand, ChangesMachine | StartsMonitor},
    {PrintCommand, ChangesMachine | StartsMonitor | PrintsQueue, &MachinePrintWords},
    {DeletePortCommand, ChangesMachine | MakesChange | StartsMonitor},
    {AddPortCommand, ChangesMachine | MakesChange},
    {PrintersCommand, ReadsMachine},
    {PrintersOnlineCommand, ChangesMachine | MakesChange | TriesMonitor | PrintsQueue},
    {DoctorCommand, ReadsMachine},
    {PruneCommand, ChangesMachine | MakesChange | StartsMonitor},
    {QueueCommand, ReadsMachine | LooksAtQueue},
    {QueueCancelCommand, ReadsMachine | MakesChange | LooksAtQueue},
    {QueueResumeCommand, ChangesMachine | StartsMonitor | PrintsQueue},
    {UsbCommands, 0},
    {UsbListCommand, ReadsMachine},
    {UsbAddCommand, ChangesMachine | MakesChange | TriesMonitor},
    {UsbRemoveCommand, ChangesMachine | MakesChange | TriesMonitor},
    {UsbPlugCommand, ChangesMachine | MakesChange | TriesMonitor | PrintsQueue},
    {UsbUnplugCommand, ChangesMachine | MakesChange | TriesMonitor},
    {UsbReceivedCommand, ReadsMachine},
    {UsbClearCommand, ChangesMachine | MakesChange},
    {RegistryCommands, 0},
    {RegistryExportCommand, ReadsMachine},
};

// The monitor is built into zevmon: on the simulated machine, a "Driver" value
// that names ZEVURUZI.DLL finds it.
std::optional<DllFound> findBuiltInMonitor(const std::string& driver, std::string& why) {
    if (!sameName(driver, MONITOR_FILE_NAME)) {
        why = fmt::format("The \"Driver\" value names {}, but the monitor on this machine is {}.", driver,
                          MONITOR_FILE_NAME);
        return std::nullopt;
    }
    return DllFound{std::string(MONITOR_FILE_NAME) + " (built into zevmon)", versionText()};
}

// Makes ready what the command's row needs, and runs it. A run that changed
// the machine saves it, even when the command then failed: what the monitor
// changed before the failure is kept.
int runCommand(const Command<HostRun>& command, HostRun& run) {
    if (!(command.needs & (ReadsMachine | ChangesMachine))) return command.run(run);
    // A print with --direct goes round the queue, and leaves it as it is.
    run.machine.printsQueue = (command.needs & PrintsQueue) && !run.machine.direct;
    Session session(run.machine);
    session.open(command.needs & ChangesMachine ? Access::Change : Access::Read);
    if (command.needs & MakesChange) {
        session.folder().checkWritable("it cannot keep the change: nothing was changed");
        holdResults();
    }
    if (command.needs & StartsMonitor) session.start();
    if (command.needs & TriesMonitor) run.monitorStarted = session.tryStart(run.notStarted);
    if (command.needs & LooksAtQueue) session.startMachineSpooler(sim::QueueUse::Look);
    MachinePorts ports(session);
    run.session = &session;
    run.route = session.started() ? &ports : nullptr;
    run.printers = machinePrinters;
    run.diagnose = [] { return diagnose(findBuiltInMonitor); };
    run.whenPortKeysLoad = "The monitor lists it from its next start, at the next zevmon command.";
    int status;
    try {
        status = command.run(run);
    } catch (const Failure&) {
        session.finish();
        releaseResults();
        throw;
    }
    session.finish();
    releaseResults();
    return status;
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
                             "  --wait SECONDS  how long to wait for another run that changes the machine\n"
                             "  --personality 98|nt  what a new machine behaves as (default 98)";

int hostTerminalColumns() {
    for (int fd : {STDERR_FILENO, STDOUT_FILENO}) {
        struct winsize size {};
        if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    }
    return 0;
}

}  // namespace

static int runZevmon(int argc, char** argv) {
    CLI::App app{"zevmon: drives the ZEVURUZI.DLL port monitor as the print spooler would, on a simulated machine."};
    setUpCommandLine(app);
    HostRun run;
    Options& options = run.machine;
    options.machine = MachineFolder::defaultFolder();
    std::string machine;
    bool quiet = false;
    auto* machineOption =
        app.add_option("--machine", machine, "the machine's folder (default: " + options.machine.string() + ")")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--trace", options.trace, "print every call of the monitor's table, its result and last error");
    app.add_flag("--quiet", quiet, "leave out notices and progress; results and errors stay");
    CLI::Validator seconds(
        [](std::string& text) -> std::string {
            bool digits = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
            return digits ? "" : "the wait is a whole number of seconds, 0 or more, not " + text;
        },
        "SECONDS");
    app.add_option("--wait", options.waitSeconds,
                   "how long to wait, in seconds, for another zevmon run that is changing the machine (default 60)")
        ->check(seconds);

    std::string personality;
    auto* personalityOption =
        app.add_option("--personality", personality, "what a new machine behaves as: 98 (the default) or nt")
            ->check(CLI::IsMember({"98", "nt"}));

    addCommands(app, Commands, run);

    int parsed = parseCommandLine(app, argc, argv, GlobalOptions);
    if (parsed >= 0) return parsed;
    if (machineOption->count() && machine.empty()) {
        std::fprintf(stderr, "zevmon: --machine needs a folder; an empty name names none (see: zevmon --help)\n");
        return 2;
    }
    const Command<HostRun>& command = commandFor(Commands, app);
    if ((parsed = checkWords(command, app, run)) >= 0) return parsed;
    if (!machine.empty()) options.machine = *(run.demoMachine = std::filesystem::path(machine));
    if (personalityOption->count()) options.personality = personality;
    options.command = commandLine(argc, argv);
    setQuiet(quiet);
    setTerminalColumns(hostTerminalColumns());

    try {
        return runCommand(command, run);
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

int main(int argc, char** argv) { return checkedOutput(runZevmon(argc, argv)); }
