// The simulated machine of one folder, booted in this process: its registry
// and USB printers loaded from the folder, its spooler started with the
// monitor loaded through InitializeMonitorEx, and kept so while the process
// runs it. The machine's own process (machine_server.cpp) boots one and
// serves every command on it, as a Windows 98 boots once and runs its
// programs; a run on a folder that cannot be written, and the demo, boot one
// of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/monitor_caller.h"
#include "common/route.h"
#include "common/terminal.h"
#include "machine_folder.h"
#include "sim/machine.h"

namespace zevmon {

// What `print` stages at the USB printer during its own job, for a person to
// watch the monitor meet the events of the field.
struct Staging {
    std::optional<std::uint64_t> unplugAfter;  // bytes received before it is pulled out
    std::optional<double> plugAfter;           // seconds after that before it is plugged in again
    std::optional<std::uint64_t> stallAfter;   // bytes received before it takes nothing
    double stallSeconds = 0;                   // for so long
};

// The command a thread works for, and what it asked of the jobs it gives:
// the monitor's dialogs on a job's playback thread are answered as that
// command says, on its console while it is there.
struct JobOwner {
    std::shared_ptr<Console> console;
    bool trace = false;
    std::optional<std::string> onError;     // the error dialog's answer: retry or cancel
    std::optional<std::string> fileAnswer;  // the open-file dialog's; "" cancels
    Staging staging;
    // Kept by the machine as it answers for the command.
    unsigned retries = 0;      // in a row, of the error dialog
    std::string lastDialog;    // its text, to count the same one again
    bool prompted = false;     // the open-file dialog was opened
    std::optional<std::string> answered;  // and given this file
    std::atomic<bool> started{false};     // its job began to play back
    std::atomic<bool> pullOutDue{false};  // a staged pull-out waits for its plug (--plug-after)
    std::atomic<bool> stagingOver{false};  // the command has ended: nothing more is staged
};

// How a machine boots.
struct Boot {
    // The spooler plays jobs back; false: it only lists them, for a run that
    // cannot record what a printer receives.
    bool printing = true;
    // The spooler starts at boot; the demo starts it at a step of its own.
    bool spooler = true;
    std::optional<std::string> personality;  // "98" or "nt", for a machine made now
    // Told at each named moment of a job's life in the spool folder (a test's stop point).
    std::function<void(const char* point, DWORD job)> stopAt;
};

class LiveMachine {
public:
    // keepsFolder: its changes are saved there, and edits made there are taken in.
    LiveMachine(const std::filesystem::path& folder, bool keepsFolder);
    ~LiveMachine();
    LiveMachine(const LiveMachine&) = delete;
    LiveMachine& operator=(const LiveMachine&) = delete;

    // Loads the folder (a new machine in an empty one, made under the
    // caller's lock) and starts the spooler and the monitor; what a person
    // should hear of it goes to `said`. Throws MachineError for a folder
    // that is no machine or a file that cannot be read.
    void boot(const Boot& how, std::vector<std::string>& said);
    // Stops the spooler (a job under way prints again from its start at the
    // next boot) and saves what changed.
    void shutdown();

    MachineFolder& folder() { return folder_; }
    // The monitor as the spooler loaded it, for the commands that call its
    // table themselves; started: the monitor runs.
    const MONITOR_TABLE* monitor() const { return started_ ? &table_ : nullptr; }
    // Starts the spooler, and the monitor with it, if they do not run: false
    // with a sentence saying why. The demo's first look at the monitor is
    // its own InitializeMonitorEx (startMonitorAlone).
    bool startSpooler(std::string& why);
    bool startMonitorAlone(MonitorCaller& table, std::string& why);
    bool spoolerRunning() const { return spoolerRunning_; }
    // The lock of the commands that change the machine, one at a time; the
    // spooler's playback and the commands that only read or print need none.
    std::mutex& changes() { return changes_; }
    // Sends a device change to every window, as the system does when a device comes or goes.
    void deviceChanged();

    // ---- jobs ----
    // The command that gave the job, told of it before its first byte.
    void own(DWORD job, std::shared_ptr<JobOwner> owner);
    // Why what the printer received for the job is not all in its capture; "".
    std::string captureProblem(DWORD job);
    // Whether a job's capture is being written now.
    bool recording(const std::filesystem::path& capture);
    // Reports the jobs of `held` (held before a command) that the command let
    // print: each that ends soon, with how it ended.
    // The exit status: 0, or the signal's when its person stopped it.
    int reportReleased(const std::set<DWORD>& held);
    static std::set<DWORD> heldJobs();

    // ---- the folder's two files ----
    // Takes in an edit a person made to registry.reg or devices.json while
    // the machine runs; sentences to say of it.
    std::vector<std::string> takeInEdits();
    // Saves the machine if it changed; throws ChangedElsewhere or MachineError.
    void save();

    std::chrono::system_clock::time_point bootedAt() const { return bootedAt_; }
    std::string personality() const { return personality_; }
    // Throws MachineError when a command asks for another personality than the machine's.
    void checkPersonality(const std::optional<std::string>& asked) const;

    // The owner of what the calling thread does: a command's own thread, or a
    // job's playback thread while it plays that job.
    static std::shared_ptr<JobOwner> threadOwner();
    static void setThreadOwner(std::shared_ptr<JobOwner> owner);

private:
    void installHandlers();
    int onMessageBox(const sim::Machine::MessageBoxCall& box);
    std::optional<std::string> onOpenFile(const sim::Machine::OpenFileCall& call);
    int answerErrorDialog(JobOwner& owner, const std::string& caption, const std::string& text);
    void onPlayback(const sim::JobReport& job, bool ended);
    void stage(DWORD job, std::shared_ptr<JobOwner> owner, const std::string& printer);
    std::string whyNotStarted(const std::string& reason);

    MachineFolder folder_;
    bool keepsFolder_;
    bool printing_ = true;
    std::mutex changes_;
    std::mutex files_;  // the folder's two files, read and written by one thread at a time
    MONITOR_TABLE table_{};
    bool started_ = false;
    std::atomic<bool> spoolerRunning_{false};
    std::string personality_;
    std::chrono::system_clock::time_point bootedAt_;

    std::mutex jobsMutex_;  // the maps below
    std::map<DWORD, std::shared_ptr<JobOwner>> owners_;
    struct Capture {
        std::shared_ptr<JobRecorder> recorder;
        std::string printer;  // the USB printer's instance id
        std::vector<std::filesystem::path> files;
    };
    std::map<DWORD, Capture> captures_;
    std::map<DWORD, std::string> captureProblems_;
    std::vector<std::thread> stagers_;
};

// A console that a JobOwner can hold: the process's own, never deleted.
std::shared_ptr<Console> processConsoleShared();
// The console of the command the calling thread runs, for the jobs it gives
// to keep: the process's own unless a served command set its own.
std::shared_ptr<Console> commandConsole();
void setCommandConsole(std::shared_ptr<Console> console);

// Makes the console current for the calling thread while it is in scope.
class ConsoleScope {
public:
    explicit ConsoleScope(Console* console);
    ~ConsoleScope();
    ConsoleScope(const ConsoleScope&) = delete;
    ConsoleScope& operator=(const ConsoleScope&) = delete;

private:
    Console* previous_;
};

// A port's configuration as the monitor's start reads it; a shorter value
// leaves the rest zero, and a port without one is of no kind (-1).
PortConfig storedConfig(const std::string& port);

// The machine's USB printer of this instance id, in the letter case the
// machine keeps it, compared letter case aside as the system compares them.
std::optional<std::string> installedPrinterId(const std::string& id);
// The USB printer as the machine knows it: by instance id, or by port name
// (its "PortName", or the USB port's stored instance id).
std::optional<std::string> lookUpPrinter(const std::string& idOrPort);

// A job's status as the spooler reports it, in words.
// A job's state as one word a script can test (held, printing, printed, ...),
// and as the sentence a person reads.
struct JobState {
    const char* word;
    std::string sentence;
};
JobState jobState(const sim::JobReport& job);
std::string jobStatusText(const sim::JobReport& job);
// Why a job in the queue does not print now, and the commands, as a person
// runs them, that print it or remove it; none for a job that prints or only
// waits its turn.
struct JobHold {
    std::string why, advice;
};
std::optional<JobHold> jobHold(const sim::JobReport& job);
// "Job 1 "page" STATE: why. What to do." of the job.
std::string holdSentence(const sim::JobReport& job, const std::string& state);

}  // namespace zevmon
