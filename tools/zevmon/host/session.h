// One zevmon command served by the running machine (or by a machine of the
// command's own, for a folder it cannot write): the monitor as the machine's
// spooler loaded it, the command's answers for the monitor's dialogs, and
// what it did beyond the machine's two files.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/monitor_caller.h"
#include "live_machine.h"

namespace zevmon {

// The options every command of this build takes.
struct HostOptions {
    std::filesystem::path machine;                // its folder, absolute
    std::optional<std::filesystem::path> named;   // --machine, as typed
    bool trace = false;
    // How long a command waits for the machine's process to start.
    unsigned waitSeconds = 60;
    // The machine's personality, "98" or "nt", for a machine made now.
    std::optional<std::string> personality;
};

class Session {
public:
    Session(LiveMachine& live, const HostOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // The monitor as the spooler started it; the spooler is started first if
    // it does not run. Throws MachineError naming what stopped it.
    void start();
    // The same, for a command that goes on without the monitor: false, with
    // the reason in `why`.
    bool tryStart(std::string& why);
    // Saves the machine if the command changed it.
    void finish();
    MonitorCaller& monitorCaller() { return monitorCaller_; }
    LiveMachine& live() { return live_; }
    MachineFolder& folder() { return live_.folder(); }
    bool started() const { return started_; }
    void deviceChanged() { live_.deviceChanged(); }
    const HostOptions& options() const { return options_; }
    // The command's own part in the jobs it gives, and in its dialogs.
    const std::shared_ptr<JobOwner>& owner() const { return owner_; }
    // Something the command did beyond the machine's two files, which stands
    // even when they cannot be saved, such as a direct job sent.
    void done(const std::string& what) { done_.push_back(what); }

private:
    LiveMachine& live_;
    HostOptions options_;
    MonitorCaller monitorCaller_;
    std::shared_ptr<JobOwner> owner_;
    std::shared_ptr<JobOwner> previousOwner_;
    bool started_ = false;
    std::vector<std::string> done_;
};

}  // namespace zevmon
