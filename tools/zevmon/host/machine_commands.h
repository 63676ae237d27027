// The host build's own commands, on the simulated machine alone: `usb …`
// (usb.cpp) and `registry export` (registry_export.cpp), and what every
// command of this build runs with.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "common/commands.h"
#include "session.h"

namespace zevmon {

struct UsbOptions {
    std::string id;
    std::string portName;
    bool absent = false;
    bool hexDump = false;
    bool allJobs = false;
    bool listJobs = false;
};

struct HostRun : Run {
    Options machine;
    UsbOptions usb;
    std::string exportFile;
    DWORD jobId = 0;
    std::optional<std::filesystem::path> demoMachine;  // --machine: the demo keeps its machine there
    Session* session = nullptr;   // ReadsMachine, ChangesMachine
    bool monitorStarted = false;  // TriesMonitor: whether it started,
    std::string notStarted;       // and if not, why
};

// usb.cpp
void addUsbCommands(CLI::App& app, HostRun& run);
int cmdUsbList(HostRun& run);
int cmdUsbAdd(HostRun& run);
int cmdUsbRemove(HostRun& run);
int cmdUsbPlug(HostRun& run);
int cmdUsbUnplug(HostRun& run);
int cmdUsbReceived(HostRun& run);
int cmdUsbClear(HostRun& run);

// The USB printer as the machine knows it: by instance id, in any letter case
// as the system compares them, or by port name (its "PortName", or the port's
// stored instance id).
std::optional<std::string> lookUpPrinter(const std::string& idOrPort);

// queue.cpp
void addQueueCommands(CLI::App& app, HostRun& run);
int cmdQueue(HostRun& run);
int cmdQueueCancel(HostRun& run);
int cmdQueueResume(HostRun& run);

// registry_export.cpp
void addRegistryCommands(CLI::App& app, HostRun& run);
int cmdRegistryExport(HostRun& run);

}  // namespace zevmon
