// One zevmon run on a machine: the machine folder loaded into the simulated
// machine, the monitor loaded and started as the spooler starts it, the
// monitor's windows shown on the terminal, and the machine saved at the end
// when the run changed it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "folder_lock.h"
#include "machine_folder.h"
#include "common/route.h"
#include "common/monitor_table.h"
#include "sim/machine.h"

namespace zevmon {

// What `print` stages at the USB printer during the job, for a person to
// watch the monitor meet the events of the field.
struct Staging {
    std::optional<std::uint64_t> unplugAfter;  // bytes received before it is pulled out
    std::optional<double> plugAfter;           // seconds after that before it is plugged in again
    std::optional<std::uint64_t> stallAfter;   // bytes received before it takes nothing
    double stallSeconds = 0;                   // for so long
};

struct Options {
    std::filesystem::path machine;
    bool trace = false;
    std::optional<std::string> fileAnswer;  // the open-file dialog's answer; "" cancels
    // A spooler lists the ports once when it starts, which lets the monitor make
    // the ports of newly installed printers.
    bool enumerateAtStart = true;
    // The machine's spooler starts with the monitor and takes the jobs waiting
    // in the folder's queue, which print in this run: only in a run whose
    // purpose is printing (print, usb plug, queue resume), so that a command
    // that reads or cancels never prints first. The demo starts it at a step.
    bool printsQueue = false;
    // How long a run that changes the machine waits for another one to finish.
    unsigned waitSeconds = 60;
    // What this run does, for the message of a run that waits for it.
    std::string command = "zevmon";
    // The machine's personality, "98" or "nt", for a machine this run makes.
    std::optional<std::string> personality;
    // The answer to the spooler's error dialog: "retry" or "cancel"; without
    // it a terminal is asked, and without one the answer is Cancel.
    std::optional<std::string> onError;
    // print: the monitor's table called directly instead of the queue.
    bool direct = false;
    Staging staging;
};

// What a run does with the machine: a run that may change it holds the lock.
enum class Access { Read, Change };

class Session {
public:
    explicit Session(const Options& options);
    ~Session();
    // Checks the folder, takes the lock for a run that may change the machine
    // (or has to make a new one), and loads the machine. Throws MachineError
    // for a folder that is no machine, or a file that cannot be read.
    void open(Access access);
    // Starts the monitor as the spooler starts it. Throws MachineError naming
    // what stopped it.
    void start();
    // The same, for a command that goes on without the monitor: false, with
    // the reason in `why`.
    bool tryStart(std::string& why);
    // Lets the status window finish, then saves the machine if it changed.
    void finish();
    MonitorTable& monitorTable() { return monitorTable_; }
    MachineFolder& folder() { return folder_; }
    bool started() const { return started_; }
    // Sends a device change to every window, as the system does when a device comes or goes.
    void deviceChanged();
    const Options& options() const { return options_; }
    // The machine's spooler, started with its queue (false when it was not,
    // or could not start).
    bool machineSpoolerStarted() const { return machineSpoolerStarted_; }
    // A job whose end the run's print command reports itself.
    void reported(DWORD id);
    // Something the run did beyond the machine's two files, which stands even
    // when they cannot be saved, such as a direct job sent.
    void done(const std::string& what);
    // Why what the printer received for the job is not all in its capture; "".
    std::string captureProblem(DWORD id);
    // Starts the machine's spooler with the folder's queue. One that prints
    // takes the jobs waiting there, and each job it plays back is recorded as
    // the USB printer receives it, whichever run gave the job; one that looks
    // lists and cancels jobs, and prints nothing.
    void startMachineSpooler(sim::QueueUse use = sim::QueueUse::Print);
    // Where a job on a file port went, for its result line: ", into C:\\x (host path)", or "".
    std::string fileDestination(const std::string& port);

private:
    void printReleasedJobs();
    int answerErrorDialog(const std::string& caption, const std::string& text);
    Options options_;
    MachineFolder folder_;
    MonitorTable monitorTable_;
    std::unique_ptr<FolderLock> lock_;
    bool started_ = false;
    bool loaded_ = false;
    bool machineSpoolerStarted_ = false;
    unsigned retries_ = 0;    // in a row, of the error dialog
    std::string lastDialog_;  // its text, to count the same one again
    // The record of each job the spooler plays back, by job id.
    std::mutex recordersMutex_;
    std::map<DWORD, std::pair<std::shared_ptr<JobRecorder>, std::string>> recorders_;  // and its printer
    std::vector<sim::SpooledJob> endedInRun_;
    std::vector<DWORD> reported_;
    std::vector<std::string> done_;
    std::map<DWORD, std::string> captureProblems_;
    bool prompted_ = false;                 // the open-file dialog was opened
    std::optional<std::string> answered_;  // and given this file
    static std::string promptLine(const std::string& prompt);
};

// A port's configuration as the monitor's start reads it; a shorter value
// leaves the rest zero, and a port without one is of no kind (-1).
PortConfig storedConfig(const std::string& port);

// Cancels a job as the printer folder does: SetJobA on a handle of its
// printer. False with the last error.
bool cancelJob(const std::string& printer, DWORD id);

// A job's status as the spooler reports it, in words.
std::string jobStatusText(const sim::SpooledJob& job);

// The spooler's printers, as the machine's registry keeps them.
std::vector<PrinterState> machinePrinters();

}  // namespace zevmon
