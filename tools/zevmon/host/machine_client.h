// A zevmon command as a client of the running machine: it finds the machine
// of its folder through the folder's socket, or starts it, hands it the
// command line, the terminal's size and its signals, serves what the command
// asks of the user's side (standard input, the files it names), and prints
// what comes back with the exit status.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "session.h"

namespace zevmon {

// Whether a machine runs for the folder, and answers.
bool machineRuns(const std::filesystem::path& folder);

// Runs the command line in the folder's machine, started first if none runs
// (waiting at most --wait seconds for it; a new one with its --personality); the command's exit status. A
// status asked of a machine that does not run is said here, and starts none.
int runInMachine(const HostOptions& options, const std::vector<std::string>& argv, bool status = false);

}  // namespace zevmon
