// One writer at a time on a machine folder. A run that may change the machine
// holds the folder's lock from before it reads the machine until after it has
// saved it, so that no two runs start from the same state and each keeps only
// its own changes. Runs that only read take no lock: the machine's two files
// are replaced together, and read together.
#pragma once

#include <filesystem>
#include <string>

#include "machine_folder.h"

namespace zevmon {

// The lock was not had in the time allowed; nothing was done.
struct MachineBusy : MachineError {
    using MachineError::MachineError;
};

class FolderLock {
public:
    // Takes the lock of the folder, which must exist. When another run holds
    // it, says so once and waits up to waitSeconds for it, then throws
    // MachineBusy. `command` tells a waiting run what this one is doing.
    FolderLock(const std::filesystem::path& folder, unsigned waitSeconds, const std::string& command);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    std::filesystem::path info_;
    int fd_ = -1;
    bool wroteInfo_ = false;
};

}  // namespace zevmon
