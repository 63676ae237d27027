// The running machine: one process per machine folder, which boots the
// machine once, keeps its spooler and the monitor loaded for its whole life,
// and serves each zevmon command that its socket accepts on a thread of its
// own, as a Windows 98 runs its programs beside the spooler's threads.
//
// In the folder: machine.lock (held while it runs: its process id and
// build), machine.sock (owner-only, refusing any other user) and
// machine.log (what it says with no command to say it to).
//
// It ends on `zevmon machine stop`, on SIGTERM, once idle (no command, an
// empty queue) for $ZEVMON_IDLE_SECONDS (default 300), or at once when its
// folder is removed. A test may stop it dead at a named step of a job's life
// with $ZEVMON_STOP_AT=step[:job], to see what its next start recovers.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "live_machine.h"

namespace zevmon {

// Runs one command line in the machine, on the calling thread, with the
// console the thread has; its exit status.
using ServeCommand = std::function<int(LiveMachine& live, const std::vector<std::string>& argv)>;

// The machine's process, in the foreground (`zevmon machine run`; a client
// starts it detached); `personality` for a machine it makes. Its exit status.
int runMachine(const std::filesystem::path& folder, const std::optional<std::string>& personality,
               const ServeCommand& serve);

}  // namespace zevmon
