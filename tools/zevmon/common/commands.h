// The commands both builds have, by the file each is written in with its
// words, its help, its options and their checks.
#pragma once

#include "command.h"

namespace zevmon {

// ports.cpp
extern const Verb<Run> PortsCommand, DeletePortCommand, AddPortCommand;

// print.cpp
extern const Verb<Run> PrintCommand;

// printers.cpp
extern const Verb<Run> PrintersCommand, PrintersOnlineCommand;

// doctor.cpp
extern const Verb<Run> DoctorCommand, PruneCommand;

}  // namespace zevmon
