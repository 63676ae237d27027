// The monitor as a module of the simulated machine.
#pragma once

#include "../monitor/zevuruzi.h"
#include "../sim/machine.h"

namespace host {

// The monitor's image: entry point, string table, and the reset that stands for
// unloading it (its process-wide state back to that of a fresh image).
sim::Module zevuruziModule();

// Resets the machine and loads the monitor into it (DllEntryPoint, process attach).
HINSTANCE loadZevuruzi();

// The table the monitor's InitializeMonitorEx gave when the machine's
// spooler started it; null before that.
const MONITOR_TABLE* startedMonitorTable();

}  // namespace host
