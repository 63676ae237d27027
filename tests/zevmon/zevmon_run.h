// zevmon run as a person runs it, from a test: a fresh temporary folder per
// test with the machine in it, the command's standard input, output, error
// and exit status, and runs left going in the background.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zevmon_test {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
    std::string err;
};

inline std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Waits, a bounded number of times, for the condition; false if it never held.
inline bool eventually(const std::function<bool()>& condition, int rounds = 1500) {
    for (int i = 0; i < rounds; i++) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// The writing end of a FIFO, kept out of every process the test starts after
// it: a child holding it would keep the reader from ever seeing the end.
inline std::FILE* openFeed(const fs::path& fifo) {
    int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    return fd < 0 ? nullptr : ::fdopen(fd, "wb");
}

class Zevmon : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zevmon-test-XXXXXX";
        dir = mkdtemp(pattern);
        machine = dir / "machine";
        // A machine a test leaves behind ends soon by itself, and at once with its folder.
        ::setenv("ZEVMON_IDLE_SECONDS", "20", 1);
    }
    void TearDown() override {
        for (auto& b : background)
            if (b.pid > 0) {
                ::kill(b.pid, SIGKILL);
                ::waitpid(b.pid, nullptr, 0);
            }
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(dir, error); it != fs::recursive_directory_iterator(); ++it)
            if (it->path().filename() == "machine.sock") stopMachine(it->path().parent_path());
        fs::remove_all(dir);
    }

    // Stops the folder's machine process, as a person does before editing its files by hand.
    void stopMachine(const fs::path& folder) {
        std::system((std::string(ZEVMON_PATH) + " --quiet --machine " + quote(folder.string()) +
                     " machine stop >/dev/null 2>&1")
                        .c_str());
    }
    void stopMachine() { stopMachine(machine); }

    // A command as zevmon advises it on the test's machine.
    std::string advised(const std::string& words) { return "zevmon --machine " + machine.string() + " " + words; }

    std::string commandLine(const std::vector<std::string>& args, bool withMachine) {
        std::string command = ZEVMON_PATH;
        if (withMachine) command += " --machine " + quote(machine.string());
        for (auto& a : args) command += " " + quote(a);
        return command;
    }

    // Runs zevmon with the arguments (shell-quoted here) and the given standard
    // input; `environment` is put before the command, such as "COLUMNS=40".
    Result run(const std::vector<std::string>& args, const std::string& input = "", bool withMachine = true,
               const std::string& environment = "") {
        fs::path in = dir / "stdin", out = dir / "stdout", err = dir / "stderr";
        std::ofstream(in, std::ios::binary) << input;
        std::string command = environment + " " + commandLine(args, withMachine);
        int status = std::system((command + " <" + quote(in) + " >" + quote(out) + " 2>" + quote(err)).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readAll(out), readAll(err)};
    }

    // A run whose exit status and words (in its output or errors) are checked.
    Result expectRun(const std::vector<std::string>& args, int status, const std::string& said,
                     const std::string& environment = "", const std::string& input = "") {
        Result r = run(args, input, true, environment);
        EXPECT_EQ(r.status, status) << args[0] << ": " << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(said), std::string::npos) << r.out << r.err;
        return r;
    }

    // A run on a terminal of its own, typing each reply once the text before it
    // has appeared; `out` is all the terminal showed.
    Result onTerminal(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& typed) {
        int terminal = -1, status = 0;
        pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
        if (pid == 0) execl("/bin/sh", "sh", "-c", ("exec " + commandLine(args, true)).c_str(), (char*)nullptr);
        std::string seen;
        char buffer[4096];
        size_t next = 0, from = 0;
        for (pollfd p{terminal, POLLIN, 0}; ::poll(&p, 1, 60000) > 0;) {
            ssize_t n = ::read(terminal, buffer, sizeof buffer);
            if (n <= 0) break;  // the run is over
            seen.append(buffer, (size_t)n);
            if (next < typed.size() && seen.find(typed[next].first, from) != std::string::npos) {
                from = seen.size();
                EXPECT_GT(::write(terminal, typed[next].second.data(), typed[next].second.size()), 0);
                next++;
            }
        }
        ::kill(pid, SIGKILL);  // one still waiting after a minute of silence; an exit status stays
        ::waitpid(pid, &status, 0);
        ::close(terminal);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, seen, ""};
    }

    // A run left going: its standard input from `input` (a file or a FIFO).
    struct Background {
        pid_t pid = -1;
        fs::path out, err;
    };
    Background start(const std::vector<std::string>& args, const fs::path& input) {
        Background b;
        size_t n = background.size();
        b.out = dir / ("bg" + std::to_string(n) + ".out");
        b.err = dir / ("bg" + std::to_string(n) + ".err");
        std::string command =
            "exec " + commandLine(args, true) + " <" + quote(input) + " >" + quote(b.out) + " 2>" + quote(b.err);
        b.pid = fork();
        if (b.pid == 0) {
            // Its own SIGINT, as a foreground job's: a shell's background jobs ignore it.
            signal(SIGINT, SIG_DFL);
            execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
            _exit(127);
        }
        background.push_back(b);
        return b;
    }
    int finish(Background& b) {
        int status = 0;
        ::waitpid(b.pid, &status, 0);
        for (auto& known : background)
            if (known.pid == b.pid) known.pid = -1;
        b.pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path dir, machine;
    std::vector<Background> background;
};

}  // namespace zevmon_test
