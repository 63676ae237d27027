// zevmon install and uninstall: ZEVURUZI.DLL into the system folder and the
// monitor into the spooler, and out again, each step said in a sentence. A run
// that fails half-way undoes its steps and says what is left.
#pragma once

#include <string>

#include "common/command.h"
#include "common/registry.h"

namespace zevmon {

// What zevmon.exe's commands run with: each command keeps its own words.
using WinRun = Run;

extern const Verb<WinRun> InstallCommand, UninstallCommand;

// source: the DLL to install; "" for ZEVURUZI.DLL beside zevmon.exe.
int installMonitor(const std::string& source);
// purge: the settings of the monitor's ports go too.
int uninstallMonitor(bool purge);

}  // namespace zevmon
