// zevmon on Linux: the spooler's side of ZEVURUZI.DLL on the command line,
// over a simulated machine kept in a folder. The machine runs as a process of
// its own (machine_server.cpp), started by the first command that needs it;
// a command is its client (machine_client.cpp) and runs inside it, through
// its spooler and the monitor it loaded, as zevmon.exe runs on Windows 98.
//
// Exit status: 0 success, 1 an operation failed, 2 a usage error, 130 a job
// cancelled with Ctrl-C.
#include <fmt/format.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "common/cli.h"
#include "common/commands.h"
#include "common/doctor.h"
#include "common/registry.h"
#include "common/terminal.h"
#include "common/text.h"
#include "machine_client.h"
#include "machine_commands.h"
#include "machine_server.h"
#include "manual.h"
#include "print_route.h"
#include "resources/string_table.h"
#include "session.h"

namespace zevmon {
extern const Verb<HostRun> MachineRunCommand;
}

namespace {

using namespace zevmon;

// Every command of this build, what it needs of the machine and the monitor,
// and what the build adds to its words. One that needs the machine runs in
// its process; the others (the demo, the machine's process itself) here.
const std::vector<Command<HostRun>> Commands = {
    {DemoCommand, 0},
    {PortsCommand, ChangesMachine | StartsMonitor},
    {PrintCommand, ReadsMachine | StartsMonitor, &MachinePrintOptions},
    {DeletePortCommand, ChangesMachine | MakesChange | StartsMonitor},
    {AddPortCommand, ChangesMachine | MakesChange},
    {PrintersCommand, ReadsMachine},
    {PrintersOnlineCommand, ChangesMachine | MakesChange | TriesMonitor | PrintsQueue},
    {DoctorCommand, ReadsMachine},
    {PruneCommand, ChangesMachine | MakesChange | StartsMonitor},
    {QueueCommand, ReadsMachine},
    {QueueCancelCommand, ReadsMachine | MakesChange},
    {QueueResumeCommand, ReadsMachine},
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
    {RegistryImportCommand, ChangesMachine | MakesChange},
    {MachineCommands, 0},
    {MachineStatusCommand, ReadsMachine},
    {MachineStartCommand, 0},
    {MachineStopCommand, 0},
    {MachineRestartCommand, 0},
    {MachineRunCommand, 0},
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

// Makes ready what the command's row needs, and runs it, in the machine. A
// command that changes the machine takes the machine's lock of changes, and
// saves what changed even when it then failed: what the monitor changed
// before the failure is kept.
int runCommand(const Command<HostRun>& command, HostRun& run, LiveMachine& live) {
    std::unique_lock<std::mutex> changes(live.changes(), std::defer_lock);
    if (command.needs & ChangesMachine) changes.lock();
    // An edit a person made to the machine's files since the last command.
    for (const std::string& line : live.takeInEdits())
        if (!line.empty()) notice(line);
    if (const std::string& why = live.folder().unreadableEdit(); !why.empty())
        throw MachineError(sentence(why) + " The running machine goes on as it was, and saves nothing over its files "
                           "until they read well again.");
    live.checkPersonality(run.global.personality);
    Session session(live, run.global);
    if (command.needs & MakesChange) {
        session.folder().checkWritable("it cannot keep the change: nothing was changed");
        session.folder().checkLinksWritable("it cannot keep the change: nothing was changed");
        holdResults();
    }
    if (command.needs & StartsMonitor) session.start();
    if (command.needs & TriesMonitor) run.monitorStarted = session.tryStart(run.notStarted);
    // The jobs held before: those that the command lets print are reported.
    std::set<DWORD> held = command.needs & PrintsQueue ? LiveMachine::heldJobs() : std::set<DWORD>();
    MachinePorts ports(session, run);
    run.session = &session;
    run.route = session.started() ? &ports : nullptr;
    run.printers = [&ports] { return ports.printers(); };
    run.diagnose = [] { return diagnose(findBuiltInMonitor); };
    run.whenPortKeysLoad = "The running monitor lists it from its next start (" + zevmonCommand("machine restart") + ").";
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
    if (changes.owns_lock()) changes.unlock();
    if (command.needs & PrintsQueue)
        if (int stopped = live.reportReleased(held)) return stopped;
    return status;
}

// Listed at the end of every command's help.
const char GlobalOptions[] = "  --machine DIR   the machine's folder\n"
                             "  --trace         every call of the monitor's table on standard error\n"
                             "  --quiet         no notices or progress\n"
                             "  --wait SECONDS  how long to wait for the machine's process to start\n"
                             "  --personality 98|nt  what a new machine behaves as (default 98)";

int hostTerminalColumns() {
    for (int fd : {STDERR_FILENO, STDOUT_FILENO}) {
        struct winsize size {};
        if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    }
    return 0;
}

// `zevmon --generate man|bash-completion FILE`: the manual page or the
// completion of this command line, which the build writes with the zevmon they
// describe; kept out of the help.
bool generating(int argc, char** argv) { return argc == 4 && std::strcmp(argv[1], "--generate") == 0; }

int generate(const CLI::App& app, const std::string& what, const std::string& file) {
    std::string text = what == "man" ? manualPage(app) : what == "bash-completion" ? bashCompletion(app) : "";
    if (text.empty()) {
        std::fprintf(stderr, "zevmon: --generate writes man or bash-completion, not %s\n", what.c_str());
        return 2;
    }
    std::ofstream out(file, std::ios::binary);
    out << text;
    out.close();
    if (out) return 0;
    std::fprintf(stderr, "zevmon: %s could not be written: %s.\n", file.c_str(), std::strerror(errno));
    return 1;
}

// Reads the command line into the run, and runs its command with `runs`;
// the exit status.
template <class Runs>
int parse(int argc, char** argv, HostRun& run, Runs&& runs) {
    CLI::App app{"zevmon: drives the ZEVURUZI.DLL port monitor as the print spooler would, on a simulated machine."};
    setUpCommandLine(app);
    HostOptions& options = run.global;
    options.machine = MachineFolder::defaultFolder();
    std::string machine;
    bool quiet = false;
    // The page says where the default comes from, not where it is for whoever built it.
    std::string defaultMachine = generating(argc, argv) ? "$ZEVMON_MACHINE, else $XDG_STATE_HOME/zevmon/machine"
                                                        : options.machine.string();
    auto* machineOption = app.add_option("--machine", machine, "the machine's folder (default: " + defaultMachine + ")")
                              ->type_name(FolderWord)
                              ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--trace", options.trace, "print every call of the monitor's table, its result and last error");
    app.add_flag("--quiet", quiet, "leave out notices and progress; results and errors stay");
    app.add_option("--wait", options.waitSeconds,
                   "how long to wait, in seconds, for the machine's process to start (default 60)")
        ->type_name("SECONDS")
        ->check(wholeNumber("the wait is a whole number of seconds, 0 or more", 0, 999999999));
    std::string personality;
    auto* personalityOption =
        app.add_option("--personality", personality, "what a new machine behaves as: 98 (the default) or nt")
            ->check(CLI::IsMember({"98", "nt"}));
    if (generating(argc, argv)) {
        addCommands(app, Commands, run);
        return generate(app, argv[2], argv[3]);
    }
    return runCommandLine(app, argc, argv, Commands, run, GlobalOptions, [&](const Command<HostRun>& command) {
        if (machineOption->count() && machine.empty()) {
            std::fprintf(console().err(),
                         "zevmon: --machine needs a folder; an empty name names none (see: zevmon --help)\n");
            return 2;
        }
        if (!machine.empty()) options.machine = *(options.named = std::filesystem::path(machine));
        options.machine = std::filesystem::absolute(options.machine).lexically_normal();
        if (options.machine.has_filename() == false) options.machine = options.machine.parent_path();
        if (personalityOption->count()) options.personality = personality;
        setQuiet(quiet);
        return runs(command);
    });
}

// The command's failure, said as the user meets it; its exit status.
template <class F>
int guarded(F&& body) {
    try {
        return body();
    } catch (const CLI::ValidationError& e) {
        std::fprintf(console().err(), "zevmon: %s\n", e.what());
        return 2;
    } catch (const NotAMachine& e) {
        std::fprintf(console().err(), "zevmon: %s\n", e.what());
        return 1;
    } catch (const ChangedElsewhere& e) {
        std::fprintf(console().err(), "zevmon: %s\n", e.what());
        return 1;
    } catch (const MachineError& e) {
        std::fprintf(console().err(), "zevmon: %s\nThe machine was left as it was.\n", e.what());
        return 1;
    } catch (const std::filesystem::filesystem_error& e) {
        std::fprintf(console().err(), "zevmon: %s cannot be used: %s.\n", e.path1().string().c_str(),
                     e.code().message().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(console().err(), "zevmon: %s\n", e.what());
        return 1;
    }
}

std::vector<char*> argvOf(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

// A command line the machine serves, on the thread of its connection.
int serveCommand(LiveMachine& live, const std::vector<std::string>& words) {
    std::vector<std::string> line = words;
    line.insert(line.begin(), "zevmon");
    std::vector<char*> argv = argvOf(line);
    HostRun run;
    return guarded([&] {
        return parse((int)line.size(), argv.data(), run, [&](const Command<HostRun>& command) {
            // The machine serves its own folder, whatever path named it.
            run.global.machine = live.folder().folder();
            if (!(command.needs & (ReadsMachine | ChangesMachine)))
                throw Failure("The machine runs the commands that use it; this one runs in zevmon itself.");
            return runCommand(command, run, live);
        });
    });
}

// A folder the machine's process could not keep (one that cannot be
// written, which holds no socket): the command runs on a machine of its own,
// which changes and prints nothing.
int runPrivately(const Command<HostRun>& command, HostRun& run) {
    LiveMachine live(run.global.machine, false);
    Boot how;
    how.printing = false;
    std::vector<std::string> said;
    live.boot(how, said);
    for (const std::string& line : said) notice(line);
    return runCommand(command, run, live);
}

bool folderWritable(const std::filesystem::path& folder) {
    std::error_code error;
    return !std::filesystem::is_directory(folder, error) || ::access(folder.c_str(), W_OK) == 0;
}

int runZevmon(int argc, char** argv) {
    HostRun run;
    return parse(argc, argv, run, [&](const Command<HostRun>& command) {
        setTerminalColumns(hostTerminalColumns());
        // The machine's process is started with its folder named: its advice
        // names it too, unless it is the one a bare zevmon finds.
        std::filesystem::path home = std::filesystem::absolute(MachineFolder::defaultFolder()).lexically_normal();
        std::error_code error;
        if (run.global.machine != home && !std::filesystem::equivalent(run.global.machine, home, error))
            setCommandPrefix("--machine " + shellWord(run.global.machine.string()));
        return guarded([&] {
            if (!(command.needs & (ReadsMachine | ChangesMachine))) return command.run(run);
            // The machine checks its folder as it boots, under its lock.
            const std::filesystem::path& folder = run.global.machine;
            if (command.run == nullptr) return 0;
            bool status = command.name == "machine status";
            if (!status && !folderWritable(folder) && !machineRuns(folder)) return runPrivately(command, run);
            std::vector<std::string> words(argv + 1, argv + argc);
            return runInMachine(run.global, words, status);
        });
    });
}

}  // namespace

namespace zevmon {

namespace {

void declareMachineRun(CLI::App& command, HostRun&) { command.group(""); }

int cmdMachineRun(HostRun& run) {
    return runMachine(run.global.machine, run.global.personality, serveCommand);
}

}  // namespace

// The machine's process itself, as a client starts it; not listed.
const Verb<HostRun> MachineRunCommand("run", "run the machine's process in the foreground", declareMachineRun, nullptr,
                                      cmdMachineRun, &MachineCommands);

}  // namespace zevmon

int main(int argc, char** argv) { return checkedOutput(runZevmon(argc, argv)); }
