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
#include "demo.h"
#include "machine_commands.h"
#include "resources/string_table.h"
#include "session.h"

namespace {

using namespace zevmon;

int cmdDemo(HostRun& run) { return runDemo(run.machine.trace, run.demoMachine); }

// Every command of this build, what it needs of the machine and the monitor,
// and what runs it.
const std::vector<Command<HostRun>> Commands = {
    {"demo", 0, cmdDemo},
    {"ports", ChangesMachine | StartsMonitor, cmdPorts},
    {"print", ChangesMachine | StartsMonitor | PrintsQueue, cmdPrint},
    {"delete-port", ChangesMachine | MakesChange | StartsMonitor, cmdDeletePort},
    {"add-port", ChangesMachine | MakesChange, cmdAddPort},
    {"printers", ReadsMachine, cmdPrinters},
    {"printers online", ChangesMachine | MakesChange | TriesMonitor | PrintsQueue, cmdPrintersOnline},
    {"doctor", ReadsMachine, cmdDoctor},
    {"prune", ChangesMachine | MakesChange | StartsMonitor, cmdPrune},
    {"queue", ReadsMachine | LooksAtQueue, cmdQueue},
    {"queue cancel", ReadsMachine | MakesChange | LooksAtQueue, cmdQueueCancel},
    {"queue resume", ChangesMachine | StartsMonitor | PrintsQueue, cmdQueueResume},
    {"usb list", ReadsMachine, cmdUsbList},
    {"usb add", ChangesMachine | MakesChange | TriesMonitor, cmdUsbAdd},
    {"usb remove", ChangesMachine | MakesChange | TriesMonitor, cmdUsbRemove},
    {"usb plug", ChangesMachine | MakesChange | TriesMonitor | PrintsQueue, cmdUsbPlug},
    {"usb unplug", ChangesMachine | MakesChange | TriesMonitor, cmdUsbUnplug},
    {"usb received", ReadsMachine, cmdUsbReceived},
    {"usb clear", ChangesMachine | MakesChange, cmdUsbClear},
    {"registry export", ReadsMachine, cmdRegistryExport},
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

    app.add_subcommand("demo", "walk through a typical job on a new, temporary machine");
    addSharedCommands(app, run.options);
    CLI::App* print = app.get_subcommand("print");
    std::string answerPath;
    auto* answer = print->add_option("--answer", answerPath, "the path to give the open-file dialog (empty: cancel it)");
    std::string onError;
    auto* onErrorOption = print->add_option("--on-error", onError,
                                            "the answer to the spooler's error dialog: retry or cancel (default: ask "
                                            "on a terminal, else cancel)")
                              ->check(CLI::IsMember({"retry", "cancel"}));
    print->add_flag("--direct", options.direct,
                    "call the monitor's table directly instead of the printer's queue (to debug the monitor alone)");
    Staging& staging = options.staging;
    print->add_option("--unplug-after", staging.unplugAfter, "pull the USB printer out once it received BYTES")
        ->type_name("BYTES");
    print->add_option("--plug-after", staging.plugAfter, "plug it in again SECONDS after that")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    std::vector<double> stall;
    auto* stallOption = print->add_option("--stall-after", stall,
                                          "the USB printer takes nothing for SECONDS once it received BYTES")
                            ->type_name("BYTES SECONDS")
                            ->expected(2);
    addQueueCommands(app, run);
    addUsbCommands(app, run);
    addRegistryCommands(app, run);

    int parsed = parseCommandLine(app, argc, argv, GlobalOptions);
    if (parsed >= 0) return parsed;
    if (machineOption->count() && machine.empty()) {
        std::fprintf(stderr, "zevmon: --machine needs a folder; an empty name names none (see: zevmon --help)\n");
        return 2;
    }
    if ((parsed = checkSharedArguments(app, run.options)) >= 0) return parsed;
    if (!machine.empty()) options.machine = *(run.demoMachine = std::filesystem::path(machine));
    if (answer->count()) options.fileAnswer = answerPath;
    if (onErrorOption->count()) options.onError = onError;
    if (personalityOption->count()) options.personality = personality;
    if (stallOption->count()) {
        if (stall[0] < 0 || stall[1] < 0 || stall[0] != (double)(std::uint64_t)stall[0]) {
            std::fprintf(stderr, "zevmon: --stall-after takes a count of bytes and a number of seconds\n");
            return 2;
        }
        staging.stallAfter = (std::uint64_t)stall[0];
        staging.stallSeconds = stall[1];
    }
    if (staging.plugAfter && !staging.unplugAfter) {
        std::fprintf(stderr, "zevmon: --plug-after plugs the printer in again after --unplug-after pulled it out\n");
        return 2;
    }
    if (options.direct && (staging.plugAfter || onErrorOption->count())) {
        std::fprintf(stderr, "zevmon: --plug-after and --on-error work with the queue's retries, not with --direct\n");
        return 2;
    }
    // Names typed here are UTF-8; the machine's are in its code page.
    run.options.job.document = utf8ToAnsi(run.options.job.document);
    run.options.job.printer = utf8ToAnsi(run.options.job.printer);
    options.command = commandLine(argc, argv);
    setQuiet(quiet);
    setTerminalColumns(hostTerminalColumns());

    try {
        return runCommand(commandFor(Commands, app), run);
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
