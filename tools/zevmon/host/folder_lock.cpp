// The lock of a machine folder: flock on the folder itself, which needs no
// file of its own and no right to write, and which the system releases when
// the holder ends, however it ends. Beside it, the holder leaves a line saying
// who it is, for the message of a run that has to wait.
#include "folder_lock.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/terminal.h"

namespace zevmon {

namespace {

// "pid 4242: zevmon print USB-001 big.job", when the run that wrote it is still there.
std::string holder(const std::filesystem::path& info) {
    std::ifstream in(info);
    std::string line;
    if (!std::getline(in, line)) return "";
    long pid = std::atol(line.c_str());
    if (pid <= 0 || (::kill((pid_t)pid, 0) != 0 && errno == ESRCH)) return "";
    return " (pid " + line + ")";
}

}  // namespace

FolderLock::FolderLock(const std::filesystem::path& folder, unsigned waitSeconds, const std::string& command)
    : info_(folder / ".zevmon-lock") {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0)
        throw MachineError(fmt::format("The machine folder {} cannot be opened: {}.", folder.string(),
                                       std::strerror(errno)));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            int error = errno;
            ::close(fd_);
            throw MachineError(fmt::format("The machine folder {} cannot be locked: {}.", folder.string(),
                                           std::strerror(error)));
        }
        std::string who = holder(info_);
        if (waitSeconds == 0) {
            ::close(fd_);
            throw MachineBusy(fmt::format("The machine in {} is in use by another zevmon run{}; nothing was done "
                                          "(--wait 0 waits for none).",
                                          folder.string(), who));
        }
        notice(fmt::format("The machine in {} is in use by another zevmon run{}; waiting up to {} s for it "
                           "(--wait sets how long).",
                           folder.string(), who, waitSeconds));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::close(fd_);
                std::string still = holder(info_);
                throw MachineBusy(fmt::format(
                    "The machine in {} is still in use by another zevmon run{} after {} s; nothing was done. Run "
                    "the command again once that run ends, or wait longer with --wait SECONDS.",
                    folder.string(), still.empty() ? who : still, waitSeconds));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // Who holds the lock, for the message of a run that waits; a folder that
    // cannot be written simply goes without it.
    std::ofstream out(info_, std::ios::trunc);
    if (out) {
        out << ::getpid() << ": " << command << "\n";
        wroteInfo_ = out.good();
    }
}

FolderLock::~FolderLock() {
    if (wroteInfo_) {
        std::error_code ignored;
        std::filesystem::remove(info_, ignored);
    }
    ::close(fd_);
}

}  // namespace zevmon
