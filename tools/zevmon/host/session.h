// One zevmon run on a machine: the machine folder loaded into the simulated
// machine, the monitor loaded and started as the spooler starts it, the
// monitor's windows shown on the terminal, and the machine saved at the end
// when the run changed it.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "folder_lock.h"
#include "machine_folder.h"
#include "common/route.h"
#include "common/spooler.h"

namespace zevmon {

struct Options {
    std::filesystem::path machine;
    bool trace = false;
    std::optional<std::string> fileAnswer;  // the open-file dialog's answer; "" cancels
    // A spooler lists the ports once when it starts, which lets the monitor make
    // the ports of newly installed printers.
    bool enumerateAtStart = true;
    // How long a run that changes the machine waits for another one to finish.
    unsigned waitSeconds = 60;
    // What this run does, for the message of a run that waits for it.
    std::string command = "zevmon";
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
    Spooler& spooler() { return spooler_; }
    MachineFolder& folder() { return folder_; }
    bool started() const { return started_; }
    // Sends a device change to every window, as the system does when a device comes or goes.
    void deviceChanged();
    // Where a job on a file port went, for its result line: ", into C:\\x (host path)", or "".
    std::string fileDestination(const std::string& port);

private:
    Options options_;
    MachineFolder folder_;
    Spooler spooler_;
    std::unique_ptr<FolderLock> lock_;
    bool started_ = false;
    bool loaded_ = false;
    bool prompted_ = false;                 // the open-file dialog was opened
    std::optional<std::string> answered_;  // and given this file
    static std::string promptLine(const std::string& prompt);
};

// The machine's ports for the shared commands: the monitor's table as the
// session started it, and the printers as the machine's registry keeps them.
// What a job sends is recorded in the folder as the USB printers receive it.
class MachinePorts : public MonitorRoute {
public:
    explicit MachinePorts(Session& session);
    int printJob(const PrintOptions& options, const std::string& printer) override;

private:
    Session& session_;
};

// The spooler's printers, as the machine's registry keeps them.
std::vector<PrinterState> machinePrinters();

}  // namespace zevmon
