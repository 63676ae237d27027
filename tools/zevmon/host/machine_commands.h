// The host build's own commands, on the simulated machine alone: `demo`
// (demo.cpp), `queue …` (queue.cpp), `usb …` (usb.cpp), `registry export`
// (registry_export.cpp) and `machine …` (machine_client.cpp, and its status
// in machine_server.cpp); what this build adds to `print` (print_route.cpp);
// and what every command of this build runs with.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

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
    std::string fileAnswer;     // print --answer,
    std::string onError;        // --on-error
    std::vector<double> stall;  // and --stall-after, before their checks
    Session* session = nullptr;   // ReadsMachine, ChangesMachine: the command in the machine
    bool monitorStarted = false;  // TriesMonitor: whether it started,
    std::string notStarted;       // and if not, why
};

// demo.cpp
extern const Verb<HostRun> DemoCommand;

// print_route.cpp: --answer, --on-error, --direct and the events staged at the printer
extern const MoreWords<HostRun> MachinePrintWords;

// queue.cpp
extern const Verb<HostRun> QueueCommand, QueueCancelCommand, QueueResumeCommand;

// usb.cpp
extern const Verb<HostRun> UsbCommands, UsbListCommand, UsbAddCommand, UsbRemoveCommand, UsbPlugCommand,
    UsbUnplugCommand, UsbReceivedCommand, UsbClearCommand;

// The USB printer as the machine knows it: by instance id, in any letter case
// as the system compares them, or by port name (its "PortName", or the port's
// stored instance id).
std::optional<std::string> lookUpPrinter(const std::string& idOrPort);

// registry_export.cpp
extern const Verb<HostRun> RegistryCommands, RegistryExportCommand;

// machine_client.cpp: the machine's process, from the client's side; and
// machine_server.cpp: its status, said by the machine itself
extern const Verb<HostRun> MachineCommands, MachineStartCommand, MachineStopCommand, MachineRestartCommand,
    MachineRunCommand, MachineStatusCommand;

}  // namespace zevmon
