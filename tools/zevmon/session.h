// One zevmon run on a machine: the machine folder loaded into the simulated
// machine, the monitor loaded and started as the spooler starts it, the
// monitor's windows shown on the terminal, and the machine saved at the end.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "machine_folder.h"
#include "spooler.h"

namespace zevmon {

struct Options {
    std::filesystem::path machine;
    bool trace = false;
    std::optional<std::string> fileAnswer;  // the open-file dialog's answer; "" cancels
    // A spooler lists the ports once when it starts, which lets the monitor make
    // the ports of newly installed printers.
    bool enumerateAtStart = true;
};

class Session {
public:
    explicit Session(const Options& options);
    ~Session();
    // Loads the machine (the default one is made on first use) and starts the
    // monitor. Throws MachineError for a machine file that cannot be read.
    void start();
    // Loads the machine only, without starting the monitor: for commands that
    // read it as it stands.
    void load();
    // Lets the status window finish, then saves the machine.
    void finish();
    Spooler& spooler() { return spooler_; }
    MachineFolder& folder() { return folder_; }
    // Sends a device change to every window, as the system does when a device comes or goes.
    void deviceChanged();

private:
    Options options_;
    MachineFolder folder_;
    Spooler spooler_;
    bool started_ = false;
    bool loaded_ = false;
};

}  // namespace zevmon
