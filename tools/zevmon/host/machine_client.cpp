// A zevmon command as a client of the running machine, and the commands of
// the machine's process: machine start, stop, restart and run.
#include "machine_client.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "common/terminal.h"
#include "common/text.h"
#include "machine_commands.h"
#include "machine_server.h"
#include "wire.h"

namespace zevmon {

namespace {

int signalPipe[2] = {-1, -1};

// Said by a command stopped while it waits for the machine to start: nothing
// of it has reached the machine yet.
char stoppedWhileWaiting[1024];

void endWhileWaiting(int signal) {
    (void)!::write(STDERR_FILENO, stoppedWhileWaiting, std::strlen(stoppedWhileWaiting));
    _exit(128 + signal);
}

void forwardSignal(int signal) {
    unsigned char c = (unsigned char)signal;
    (void)!::write(signalPipe[1], &c, 1);
}

// A connection to the folder's machine; -1 with errno when none answers.
int connectTo(const std::filesystem::path& folder) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int folderFd = -1;
    sockaddr_un address;
    bool connected = socketAddress(folder, folderFd, address) && ::connect(fd, (sockaddr*)&address, sizeof address) == 0;
    int error = errno;
    if (folderFd >= 0) ::close(folderFd);
    if (!connected) {
        ::close(fd);
        errno = error;
        return -1;
    }
    // The machine must be the user's own, as it refuses any other user.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
        ::close(fd);
        throw Failure(fmt::format("The machine's socket {} is served by another user's process; it is not used.",
                                  socketPath(folder).string()));
    }
    return fd;
}

// The process id the lock names, or 0.
long machineProcess(const std::filesystem::path& folder) {
    std::FILE* lock = std::fopen(lockPath(folder).c_str(), "r");
    long pid = 0;
    if (lock) {
        if (std::fscanf(lock, "%ld", &pid) != 1) pid = 0;
        std::fclose(lock);
    }
    return pid;
}

// Starts the folder's machine, detached from this command's terminal and
// output, and waits until it serves: false with why, or with nothing when
// another command started it first.
bool startMachine(const std::filesystem::path& folder, unsigned waitSeconds, const std::optional<std::string>& personality,
                  std::string& why) {
    std::error_code error;
    // A file where the folder should be is said as such; the rest is checked
    // by the machine as it boots, under its lock.
    if (std::filesystem::exists(folder, error) && !std::filesystem::is_directory(folder, error))
        MachineFolder(folder).checkUsable();
    std::filesystem::create_directories(folder, error);
    if (error) {
        why = fmt::format("The machine folder {} cannot be made: {}.", folder.string(), error.message());
        return false;
    }
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        why = fmt::format("The machine cannot be started: {}.", std::strerror(errno));
        return false;
    }
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        // Twice, so that the machine is no child of this command to be waited for.
        if (::fork() != 0) ::_exit(0);
        ::setsid();
        int null = ::open("/dev/null", O_RDONLY);
        int log = ::open(logPath(folder).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (null < 0 || log < 0) ::_exit(127);
        ::dup2(null, STDIN_FILENO);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        int readyFd = ::fcntl(ready[1], F_DUPFD, 3);  // kept through exec
        ::setenv("ZEVMON_READY_FD", std::to_string(readyFd).c_str(), 1);
        // A new machine is made with the personality the command asked for.
        std::vector<const char*> args = {"zevmon", "--machine", folder.c_str()};
        if (personality) args.insert(args.end(), {"--personality", personality->c_str()});
        args.insert(args.end(), {"machine", "run", nullptr});
        ::execv("/proc/self/exe", const_cast<char* const*>(args.data()));
        ::_exit(127);
    }
    ::close(ready[1]);
    if (child > 0) ::waitpid(child, nullptr, 0);
    std::string said;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        pollfd p{ready[0], POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        char buffer[4096];
        ssize_t n = ::read(ready[0], buffer, sizeof buffer);
        if (n <= 0) ended = n == 0 || errno != EINTR;
        else said.append(buffer, (size_t)n);
    }
    ::close(ready[0]);
    bool started = false;
    why = fmt::format("The machine did not start (its log: {}).", logPath(folder).string());
    for (std::size_t at = 0, end; (end = said.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = said.substr(at, end - at);
        if (line.rfind("notice ", 0) == 0) notice(line.substr(7));
        else if (line == "ready") started = true;
        else if (line == "busy") started = true, why.clear();
        else if (line.rfind("failed ", 0) == 0) why = line.substr(7);
    }
    if (!ended && !started)
        why = fmt::format("The machine did not start within {} s (its log: {}).", waitSeconds, logPath(folder).string());
    return started;
}

// A connection to the machine, started if none runs.
int reachMachine(const HostOptions& options) {
    const std::filesystem::path& folder = options.machine;
    int fd = connectTo(folder);
    if (fd >= 0) return fd;
    std::string why;
    if (!startMachine(folder, options.waitSeconds, options.personality, why)) throw Failure(why);
    for (int tries = 0; tries < 100; tries++) {
        if ((fd = connectTo(folder)) >= 0) return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw Failure(fmt::format("The machine started, but its socket {} does not answer: {}.", socketPath(folder).string(),
                              std::strerror(errno)));
}

bool isTerminal(int fd) { return ::isatty(fd) != 0; }

std::string i32Bytes(int value) { return u32Bytes((std::uint32_t)value); }

std::string pathFound(const PathInfo& info) {
    unsigned char kind = info.regular ? 1 : info.folder ? 2 : 3;
    return i32Bytes(info.error) + std::string(1, (char)kind) + u32Bytes((std::uint32_t)info.size) +
           u32Bytes((std::uint32_t)(info.size >> 32));
}

bool writeAllTo(int fd, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += (std::size_t)n;
    }
    return true;
}

// Relays one command: the machine's words to this command's streams, and
// what the machine asks of the user's side back to it.
int relay(int fd, const std::filesystem::path& folder) {
    Console& here = processConsole();
    std::map<std::uint32_t, std::unique_ptr<InputFile>> files;
    std::optional<std::uint32_t> inputWanted;  // bytes of standard input asked
    int outError = 0;
    for (;;) {
        pollfd fds[3] = {{fd, POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int n = ::poll(fds, inputWanted ? 3 : 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (fds[1].revents & POLLIN) {
            unsigned char signal = 0;
            if (::read(signalPipe[0], &signal, 1) == 1) sendFrame(fd, Frame::Signal, u32Bytes(signal));
        }
        if (inputWanted && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            std::string bytes(*inputWanted, '\0');
            ssize_t got = ::read(STDIN_FILENO, &bytes[0], bytes.size());
            if (got < 0 && errno == EINTR) continue;
            int error = got < 0 ? errno : 0;
            bytes.resize(got > 0 ? (std::size_t)got : 0);
            sendFrame(fd, Frame::Input, u32Bytes(0) + i32Bytes(error) + bytes);
            inputWanted.reset();
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        Frame kind;
        std::string payload;
        if (!readFrame(fd, kind, payload)) {
            std::fprintf(stderr, "zevmon: The machine stopped while it ran the command (its log: %s).\n",
                         logPath(folder).c_str());
            return 1;
        }
        switch (kind) {
        case Frame::Refused:
            std::fprintf(stderr, "zevmon: %s\n", payload.c_str());
            return 1;
        case Frame::Out:
            if (!outError && !writeAllTo(STDOUT_FILENO, payload)) outError = errno;
            break;
        case Frame::Err:
            writeAllTo(STDERR_FILENO, payload);
            break;
        case Frame::Exit: {
            int status = (int)u32At(payload, 0);
            if (outError) {
                std::fprintf(stderr, "zevmon: write error: %s\n", std::strerror(outError));
                return 1;
            }
            return status;
        }
        case Frame::ReadInput: {
            std::uint32_t handle = u32At(payload, 0), size = std::min<std::uint32_t>(u32At(payload, 4), MaxFrame - 16);
            if (handle == 0) {
                inputWanted = std::max<std::uint32_t>(size, 1);
                break;
            }
            std::string bytes(size, '\0');
            auto file = files.find(handle);
            long got = file == files.end() ? (errno = EBADF, -1) : file->second->read(&bytes[0], size);
            bytes.resize(got > 0 ? (std::size_t)got : 0);
            sendFrame(fd, Frame::Input, u32Bytes(handle) + i32Bytes(got < 0 ? errno : 0) + bytes);
            break;
        }
        case Frame::LookUp:
            sendFrame(fd, Frame::PathFound, pathFound(here.lookUp(payload)));
            break;
        case Frame::Open: {
            std::uint32_t handle = u32At(payload, 0);
            std::string path = payload.substr(4);
            PathInfo info = here.lookUp(path);
            if (!info.error && info.folder) info.error = EISDIR;
            if (!info.error) {
                int error = 0;
                auto file = here.openInput(path, error);
                if (file) files[handle] = std::move(file);
                else info.error = error;
            }
            sendFrame(fd, Frame::PathFound, pathFound(info));
            break;
        }
        case Frame::Close:
            files.erase(u32At(payload, 0));
            break;
        case Frame::WriteWhole: {
            std::size_t end = payload.find('\0');
            int error = end == std::string::npos ? EINVAL
                                                 : here.writeWholeFile(payload.substr(0, end), payload.substr(end + 1));
            sendFrame(fd, Frame::Written, i32Bytes(error));
            break;
        }
        default:
            break;
        }
    }
}

// The request: JSON, then each word of the command line as it was typed,
// ended by a zero byte (a word may be in any code page, which JSON is not).
std::string hello(const char* purpose, const std::vector<std::string>& argv) {
    nlohmann::json request = {{"purpose", purpose},
                              {"build", buildIdentity()},
                              {"inTerminal", isTerminal(STDIN_FILENO)},
                              {"outTerminal", isTerminal(STDOUT_FILENO)},
                              {"errTerminal", isTerminal(STDERR_FILENO)},
                              {"columns", processConsole().columns}};  // as main() found the terminal
    if (const char* columns = std::getenv("COLUMNS")) request["COLUMNS"] = columns;
    std::string text = request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + std::string(1, '\0');
    for (const std::string& word : argv) text += word + std::string(1, '\0');
    return text;
}

int request(int fd, const std::filesystem::path& folder, const char* purpose, const std::vector<std::string>& argv) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw Failure("The command's signals cannot be relayed.");
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
    if (!sendFrame(fd, Frame::Hello, hello(purpose, argv))) {
        ::close(fd);
        throw Failure(fmt::format("The machine in {} ended the connection at once (its log: {}).", folder.string(),
                                  logPath(folder).string()));
    }
    int status = relay(fd, folder);
    ::close(fd);
    return status;
}

// Waits until the folder's lock is free: the machine's process has ended.
bool waitForEnd(const std::filesystem::path& folder, int seconds) {
    for (int tries = 0; tries < seconds * 20; tries++) {
        int lock = ::open(lockPath(folder).c_str(), O_RDWR | O_CLOEXEC);
        if (lock < 0) return true;
        bool free = ::flock(lock, LOCK_EX | LOCK_NB) == 0;
        ::close(lock);
        if (free) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int stopMachine(const std::filesystem::path& folder, bool quietWhenNone) {
    int fd = connectTo(folder);
    if (fd < 0) {
        if (!quietWhenNone) result(fmt::format("No machine runs in {}.", folder.string()));
        return 0;
    }
    long pid = machineProcess(folder);
    request(fd, folder, "stop", {});
    if (!waitForEnd(folder, 60))
        throw Failure(fmt::format("The machine in {} (process {}) was asked to stop, and still runs after a minute.",
                                  folder.string(), pid));
    result(fmt::format("The machine in {} stopped (process {}).", folder.string(), pid));
    return 0;
}

int cmdMachineStart(HostRun& run) {
    const auto& folder = run.global.machine;
    if (int fd = connectTo(folder); fd >= 0) {
        ::close(fd);
        result(fmt::format("The machine in {} runs already (process {}).", folder.string(), machineProcess(folder)));
        return 0;
    }
    ::close(reachMachine(run.global));
    result(fmt::format("The machine in {} runs (process {}).", folder.string(), machineProcess(folder)));
    return 0;
}

int cmdMachineStop(HostRun& run) { return stopMachine(run.global.machine, false); }

// As after a spooler crash on 98: the spooler and the monitor start again,
// and the queue prints on from what its files say.
int cmdMachineRestart(HostRun& run) {
    stopMachine(run.global.machine, true);
    return cmdMachineStart(run);
}

}  // namespace

bool machineRuns(const std::filesystem::path& folder) {
    int fd = connectTo(folder);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

int runInMachine(const HostOptions& options, const std::vector<std::string>& argv, bool status) {
    const std::filesystem::path& folder = options.machine;
    std::snprintf(stoppedWhileWaiting, sizeof stoppedWhileWaiting,
                  "zevmon: Stopped while it waited for the machine in %s to start; the command was not given to it.\n",
                  folder.c_str());
    struct sigaction action {};
    action.sa_handler = endWhileWaiting;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
    int fd = status ? connectTo(folder) : reachMachine(options);
    if (fd < 0) {
        result(fmt::format("No machine runs in {}; the next command that needs it starts it.", folder.string()));
        return 0;
    }
    return request(fd, folder, status ? "status" : "command", argv);
}

const Verb<HostRun> MachineCommands("machine", "the machine's own process, which runs its spooler and the monitor");
const Verb<HostRun> MachineStartCommand("start", "start the machine's process, if it does not run", nullptr, nullptr,
                                        cmdMachineStart, &MachineCommands);
const Verb<HostRun> MachineStopCommand("stop",
                                       "stop the machine's process: a job that prints prints again from its start at "
                                       "the next start",
                                       nullptr, nullptr, cmdMachineStop, &MachineCommands);
const Verb<HostRun> MachineRestartCommand("restart",
                                          "stop and start it again: the spooler and the monitor start anew, and the "
                                          "queue resumes",
                                          nullptr, nullptr, cmdMachineRestart, &MachineCommands);

}  // namespace zevmon
