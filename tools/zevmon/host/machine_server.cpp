// The running machine's process.
#include "machine_server.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <thread>

#include "common/cli.h"
#include "common/terminal.h"
#include "common/text.h"
#include "machine_commands.h"
#include "resources/string_table.h"
#include "served_console.h"
#include "sim/machine.h"
#include "wire.h"

namespace zevmon {

namespace {

LiveMachine* running = nullptr;  // the machine this process runs, for its status
std::atomic<int> commandsNow{0};
std::atomic<bool> stopAsked{false};
std::atomic<int> stopClient{-1};  // the connection of `machine stop`, answered once the machine stopped
int wakeUp[2] = {-1, -1};

void onSignal(int) {
    stopAsked = true;
    char c = 0;
    (void)!::write(wakeUp[1], &c, 1);
}

// A line of the machine's log, with its time.
void logLine(const std::string& line) {
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
    std::fflush(stderr);
}

// What the client that started the machine waits for: notices, then "ready",
// "busy" (another machine took the folder first) or "failed" and why.
class Readiness {
public:
    Readiness() {
        const char* fd = std::getenv("ZEVMON_READY_FD");
        fd_ = fd ? std::atoi(fd) : -1;
        ::unsetenv("ZEVMON_READY_FD");
    }
    ~Readiness() { end(); }
    void tell(const std::string& word, const std::string& text = "") {
        if (fd_ < 0) return;
        std::string line = word + (text.empty() ? "" : " " + text) + "\n";
        (void)!::write(fd_, line.data(), line.size());
    }
    void end() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

bool sameFile(int fd, const std::filesystem::path& path) {
    struct stat open {}, named {};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 && open.st_ino == named.st_ino &&
           open.st_dev == named.st_dev;
}

// The words after the request's JSON, each ended by a zero byte.
std::vector<std::string> argvOf(const std::string& payload) {
    std::vector<std::string> argv;
    std::size_t at = payload.find('\0');
    for (std::size_t end; at != std::string::npos && (end = payload.find('\0', at + 1)) != std::string::npos; at = end)
        argv.push_back(payload.substr(at + 1, end - at - 1));
    return argv;
}

// One client: its request, refused or served on this thread.
void serveConnection(int fd, const std::filesystem::path& folder, const ServeCommand& serve) {
    Frame kind;
    std::string payload;
    nlohmann::json hello;
    if (!readFrame(fd, kind, payload) || kind != Frame::Hello ||
        !(hello = nlohmann::json::parse(payload.substr(0, payload.find('\0')), nullptr, false)).is_object()) {
        ::close(fd);
        return;
    }
    std::string purpose = hello.value("purpose", "");
    // A machine of another build would run the command with other code than
    // the client's; stopping it and asking its status are understood by all.
    if (purpose == "command" && hello.value("build", "") != buildIdentity()) {
        sendFrame(fd, Frame::Refused,
                  fmt::format("The machine running in {} is of another build of zevmon than this one (process {}); stop "
                              "it with zevmon --machine {} machine stop, and the next command starts one of this build.",
                              folder.string(), (long)::getpid(), shellWord(folder.string())));
        ::close(fd);
        return;
    }
    if (purpose == "stop") {
        stopClient = fd;
        onSignal(0);
        return;
    }
    sendFrame(fd, Frame::Welcome);
    auto console = std::make_shared<ServedConsole>(fd, hello);
    std::thread reader([console] { console->readFrames(); });
    int status;
    {
        ConsoleScope scope(console.get());
        setCommandConsole(console);
        status = serve(*running, argvOf(payload));
        setCommandConsole(nullptr);
    }
    console->exit(status);
    reader.join();  // the client closes once it has the exit status
}

// The folder's lock: held while the machine runs, with its process id and build.
int takeLock(const std::filesystem::path& folder, bool& busy) {
    busy = false;
    int fd = ::open(lockPath(folder).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        busy = errno == EWOULDBLOCK;
        ::close(fd);
        return -1;
    }
    std::string text = fmt::format("{} {}\n", (long)::getpid(), buildIdentity());
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) != (ssize_t)text.size()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listenOn(const std::filesystem::path& folder, std::string& why) {
    ::unlink(socketPath(folder).c_str());  // one left by a machine that died: the lock says none runs
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int folderFd = -1;
    sockaddr_un address;
    if (fd < 0 || !socketAddress(folder, folderFd, address)) {
        why = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    // Owner-only from its first moment, and refused to other users besides (SO_PEERCRED).
    mode_t mask = ::umask(0077);
    bool bound = ::bind(fd, (sockaddr*)&address, sizeof address) == 0 && ::listen(fd, 64) == 0;
    int error = errno;
    ::umask(mask);
    if (folderFd >= 0) ::close(folderFd);
    if (!bound) {
        why = std::strerror(error);
        ::close(fd);
        return -1;
    }
    ::chmod(socketPath(folder).c_str(), 0600);
    return fd;
}

// Takes in a person's edits, and saves what changed, while commands run:
// under the lock of the commands that change the machine.
void keepHouse(LiveMachine& live) {
    std::unique_lock<std::mutex> lock(live.changes(), std::try_to_lock);
    if (!lock) return;  // a command that changes the machine saves at its end
    {
        ConsoleScope scope(nullptr);
        for (const std::string& line : live.takeInEdits())
            if (!line.empty()) logLine(line);
    }
    try {
        live.save();
    } catch (const std::exception& e) {
        static std::string lastSaid;
        if (lastSaid != e.what()) logLine(e.what());
        lastSaid = e.what();
    }
}

}  // namespace

int runMachine(const std::filesystem::path& folder, const std::optional<std::string>& personality,
               const ServeCommand& serve) {
    Readiness ready;
    std::signal(SIGPIPE, SIG_IGN);
    // Its folder is absolute; the folder it was started from may go.
    if (::chdir("/") != 0) return 1;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        ready.tell("failed", fmt::format("The machine folder {} cannot be made: {}.", folder.string(), error.message()));
        return 1;
    }
    bool busy = false;
    int lock = takeLock(folder, busy);
    if (lock < 0) {
        ready.tell(busy ? "busy" : "failed",
                   busy ? "" : fmt::format("The machine's lock {} cannot be taken: {}.", lockPath(folder).string(),
                                           std::strerror(errno)));
        return 1;
    }
    LiveMachine live(folder, true);
    running = &live;
    Boot how;
    how.personality = personality;
    if (const char* stop = std::getenv("ZEVMON_STOP_AT"); stop && *stop) {
        // A power cut at a named step of a job's life (all jobs, or one).
        std::string point = stop;
        DWORD only = 0;
        if (auto colon = point.find(':'); colon != std::string::npos) {
            only = (DWORD)std::strtoul(point.c_str() + colon + 1, nullptr, 10);
            point.resize(colon);
        }
        how.stopAt = [point, only](const char* reached, DWORD job) {
            if (point == reached && (!only || only == job)) ::raise(SIGKILL);
        };
    }
    std::vector<std::string> said;
    try {
        live.boot(how, said);
    } catch (const std::exception& e) {
        ready.tell("failed", sentence(e.what()));
        return 1;
    }
    std::string why;
    int listener = listenOn(folder, why);
    if (listener < 0) {
        ready.tell("failed", fmt::format("The machine's socket {} cannot be made: {}.", socketPath(folder).string(), why));
        return 1;
    }
    if (::pipe2(wakeUp, O_CLOEXEC) != 0) return 1;
    struct sigaction action {};
    action.sa_handler = onSignal;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
    logLine(fmt::format("The machine in {} runs (process {}, {}).", folder.string(), (long)::getpid(), buildIdentity()));
    for (const std::string& line : said) {
        logLine(line);
        ready.tell("notice", line);
    }
    ready.tell("ready");
    ready.end();

    const char* idle = std::getenv("ZEVMON_IDLE_SECONDS");
    const auto idleLimit = std::chrono::seconds(idle && *idle ? std::atol(idle) : 300);
    auto idleSince = std::chrono::steady_clock::now();
    auto lastHouse = idleSince;
    std::string endedBy = "zevmon machine stop";
    while (!stopAsked) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {wakeUp[0], POLLIN, 0}};
        int n = ::poll(fds, 2, 250);
        if (n > 0 && (fds[0].revents & POLLIN)) {
            int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ucred peer{};
            socklen_t size = sizeof peer;
            if (client >= 0 &&
                (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid())) {
                logLine(fmt::format("A connection of user {} was refused: the machine serves its owner only.", peer.uid));
                ::close(client);
            } else if (client >= 0) {
                commandsNow++;
                std::thread([client, &folder, &serve] {
                    serveConnection(client, folder, serve);
                    commandsNow--;
                }).detach();
            }
        }
        auto now = std::chrono::steady_clock::now();
        if (now - lastHouse < std::chrono::seconds(1)) continue;
        lastHouse = now;
        // A folder removed or replaced leaves the machine nothing to keep.
        if (!sameFile(lock, lockPath(folder))) {
            logLine("The machine's folder or its lock was removed; the machine ends without saving.");
            std::_Exit(0);
        }
        keepHouse(live);
        if (commandsNow > 0 || !sim::machine().spooledJobs().empty()) idleSince = now;
        else if (now - idleSince >= idleLimit) {
            endedBy = fmt::format("being idle for {} s with an empty queue", idleLimit.count());
            break;
        }
    }
    if (stopAsked && stopClient < 0) endedBy = "a signal";
    ::close(listener);
    ::unlink(socketPath(folder).c_str());
    // A job under way prints again from its start at the next start.
    try {
        live.shutdown();
    } catch (const std::exception& e) {
        logLine(std::string("What the machine changed could not be saved: ") + e.what());
    }
    logLine("The machine stopped, on " + endedBy + ".");
    if (stopClient >= 0) {
        sendFrame(stopClient, Frame::Exit, u32Bytes(0));
        ::close(stopClient);
    }
    // Commands still served have their clients told by the end of their connection.
    std::fflush(nullptr);
    std::_Exit(0);
}

namespace {

// `zevmon machine status`, said by the machine itself.
int cmdMachineStatus(HostRun&) {
    LiveMachine& live = *running;
    auto uptime = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - live.bootedAt());
    long s = (long)uptime.count();
    std::string up = s >= 3600 ? fmt::format("{} h {} min", s / 3600, s / 60 % 60)
                     : s >= 60 ? fmt::format("{} min {} s", s / 60, s % 60)
                               : fmt::format("{} s", s);
    std::vector<sim::JobReport> jobs = sim::machine().spooledJobs();
    std::size_t printing = 0;
    for (auto& job : jobs) printing += (job.status & JOB_STATUS_PRINTING) != 0;
    printFitted("Machine   %s\n", live.folder().folder().string().c_str());
    printFitted("Process   %ld, up %s, build %s\n", (long)::getpid(), up.c_str(), buildIdentity().c_str());
    printFitted("System    %s\n", live.personality() == "98" ? "Windows 98" : "an NT-family system");
    printFitted("Spooler   %s\n", live.spoolerRunning() ? "running" : "stopped");
    printFitted("Monitor   %s\n", (live.monitor() ? fmt::format("{} {}, loaded through InitializeMonitorEx",
                                                                MONITOR_FILE_NAME, versionText())
                                                  : "not loaded (" + zevmonCommand("doctor") + " may tell why)")
                                        .c_str());
    printFitted("Queue     %s\n", jobs.empty() ? "empty"
                                               : fmt::format("{} job{}, {} printing ({} lists them)",
                                                             jobs.size(), jobs.size() == 1 ? "" : "s", printing,
                                                             zevmonCommand("queue"))
                                                     .c_str());
    printFitted("Commands  %d served now, this one with them\n", commandsNow.load());
    return 0;
}

}  // namespace

const Verb<HostRun> MachineStatusCommand("status", "the machine's process: its uptime, the loaded monitor, the queue",
                                         nullptr, nullptr, cmdMachineStatus, &MachineCommands);

}  // namespace zevmon
