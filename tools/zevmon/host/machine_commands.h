// The host build's own commands, on the simulated machine alone: `demo`
// (demo.cpp), `queue …` (queue.cpp), `usb …` (usb.cpp), `registry export`
// (registry_export.cpp), `registry import` (registry_import.cpp) and
// `machine …` (machine_client.cpp, and its status in machine_server.cpp);
// what this build adds to `print` (print_route.cpp); and what every command
// of this build runs with.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/command.h"
#include "session.h"

namespace zevmon {

// What every command of this build runs with: the options all of them take,
// and what the command's row needs made ready.
struct HostRun : Run {
    HostOptions global;
    Session* session = nullptr;   // ReadsMachine, ChangesMachine: the command in the machine
    bool monitorStarted = false;  // TriesMonitor: whether it started,
    std::string notStarted;       // and if not, why
};

// demo.cpp
extern const Verb<HostRun> DemoCommand;

// print_route.cpp: --answer, --on-error, --direct and the events staged at the printer
extern const MoreWords<HostRun> MachinePrintOptions;

// queue.cpp
extern const Verb<HostRun> QueueCommand, QueueCancelCommand, QueueResumeCommand;

// usb.cpp
extern const Verb<HostRun> UsbCommands, UsbListCommand, UsbAddCommand, UsbRemoveCommand, UsbPlugCommand,
    UsbUnplugCommand, UsbReceivedCommand, UsbClearCommand;

// registry_export.cpp
extern const Verb<HostRun> RegistryCommands, RegistryExportCommand;

// registry_import.cpp
extern const Verb<HostRun> RegistryImportCommand;

// machine_client.cpp: the machine's process, from the client's side; and
// machine_server.cpp: its status, said by the machine itself
extern const Verb<HostRun> MachineCommands, MachineStartCommand, MachineStopCommand, MachineRestartCommand,
    MachineRunCommand, MachineStatusCommand;

}  // namespace zevmon
