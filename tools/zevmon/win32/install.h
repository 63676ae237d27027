// zevmon install and uninstall: ZEVURUZI.DLL into the system folder and the
// monitor into the spooler, and out again, each step said in a sentence. A run
// that fails half-way undoes its steps and says what is left.
#pragma once

#include <string>

#include "common/command.h"

namespace zevmon {

// What zevmon.exe's commands run with: each command keeps its own words.
using WinRun = Run;

extern const Verb<WinRun> InstallCommand, UninstallCommand;

// The monitor's name, which the spooler lists its ports under: the last part
// of its key.
std::string monitorName();

// The monitor's key names a "Driver": the spooler loads the monitor, or will
// at its next start.
bool monitorInstalled();

// source: the DLL to install; "" for ZEVURUZI.DLL beside zevmon.exe.
int installMonitor(const std::string& source);
// purge: the settings of the monitor's ports go too.
int uninstallMonitor(bool purge);

}  // namespace zevmon
