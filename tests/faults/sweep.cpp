#include "sweep.h"

#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "fault_points.h"
#include "host/zevuruzi_module.h"
#include "errors/error_names.h"
#include "sim/machine.h"

namespace faults {

namespace fs = std::filesystem;

BOOL Run::call(const std::string& what, const std::function<BOOL()>& entry) {
    SetLastError(Marker);
    BOOL ok = entry();
    DWORD error = GetLastError();
    if (!ok && error == Marker) violation(what + " returned FALSE without setting the last error");
    if (!ok && error == 0) violation(what + " returned FALSE with last error 0");
    return ok;
}

std::vector<PortRecord*> listedPorts() {
    std::vector<PortRecord*> records;
    for (PortRecord* r = PortList; r; r = r->next) records.push_back(r);
    return records;
}

namespace {

sim::Machine& machine() { return sim::machine(); }
sim::Registry& registry() { return sim::machine().registry(); }

std::string portKeyPath(const std::string& name) { return std::string(MonitorKeyPath) + "\\" + name; }

std::string errorText(DWORD code) {
    std::string name = errors::errorName(code);
    return name.empty() ? std::to_string(code) : name;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
    return "[" + text + "]";
}

// ---- the shared checks ----

struct Objects {
    std::size_t keys, handles, deviceInfoSets, printerHandles;
};

// Objects an injected close refused to release are the platform's, not leaks.
Objects openObjects() {
    return {machine().openKeys() - machine().refusedCloseCount("RegCloseKey"),
            machine().openHandles() - machine().refusedCloseCount("CloseHandle"),
            machine().openDeviceInfoSets() - machine().refusedCloseCount("SetupDiDestroyDeviceInfoList"),
            machine().openPrinterHandles() - machine().refusedCloseCount("ClosePrinter")};
}

// Nothing may stay open beyond what was open before the step: the objects of a
// job the arrangement left running (the status thread keeps none while idle).
void checkOpenObjects(Run& run, const Objects& before) {
    Objects now = openObjects();
    auto compare = [&](std::size_t count, std::size_t allowed, const char* what) {
        if (count > allowed)
            run.violation(std::to_string(count - allowed) + " " + what + " left open");
    };
    compare(now.keys, before.keys, "registry key(s)");
    compare(now.handles, before.handles, "file or device handle(s)");
    compare(now.deviceInfoSets, before.deviceInfoSets, "device information set(s)");
    compare(now.printerHandles, before.printerHandles, "printer handle(s)");
}

// The heap holds the port records and the copy of the registry path, nothing else.
void checkHeap(Run& run) {
    std::size_t records = listedPorts().size();
    if (MonitorInitialised && MonitorRoot == nullptr) run.violation("started without its registry path");
    if (!MonitorInitialised && records != 0)
        run.violation("a failed start left " + std::to_string(records) + " port(s) listed");
    std::size_t expected = records + (MonitorRoot != nullptr ? 1 : 0);
    std::size_t live = machine().liveAllocations() - machine().refusedCloseCount("GlobalFree");
    if (live != expected)
        run.violation("the heap holds " + std::to_string(live) + " block(s), expected " + std::to_string(expected) +
                      " (" + std::to_string(records) + " port record(s)" +
                      (MonitorRoot != nullptr ? " and the registry path)" : ")"));
}

// Every listed port is stored, once, as the monitor would load it again: its
// key with a 556-byte "Property" that holds the configuration it runs with
// (pipe numbers aside: a USB job may replace them in memory only).
void checkListedPorts(Run& run) {
    std::map<std::string, std::vector<std::string>> spellings;  // by the name in lower case
    for (PortRecord* record : listedPorts()) {
        std::string key = record->name;
        for (char& c : key) c = (char)std::tolower((unsigned char)c);
        spellings[key].push_back(record->name);
    }
    for (const auto& [key, names] : spellings)
        if (names.size() > 1)
            run.violation("port " + names[0] + " is listed " + std::to_string(names.size()) +
                          " times: " + joined(names));

    for (PortRecord* record : listedPorts()) {
        std::string name = record->name;
        if (!registry().exists(portKeyPath(name))) {
            run.violation("port " + name + " is listed without its registry key");
            continue;
        }
        auto stored = registry().value(portKeyPath(name), "Property");
        if (!stored) {
            run.violation("port " + name + " is listed but its key has no \"Property\" value");
            continue;
        }
        if (stored->data.size() != sizeof(PortConfig)) {
            run.violation("port " + name + " has a \"Property\" value of " + std::to_string(stored->data.size()) +
                          " bytes");
            continue;
        }
        PortConfig config;
        std::memcpy(&config, stored->data.data(), sizeof config);
        config.usb.writePipe = record->config.usb.writePipe;
        config.usb.readPipe = record->config.usb.readPipe;
        if (std::memcmp(&config, &record->config, sizeof config) != 0)
            run.violation("port " + name + " runs with another configuration than the one stored");
    }
}

// A key without "Property" that the next start must pass over: the probe key,
// and the port whose creation the probe key's "PortName" says is under way.
bool isKeyBeingCreated(const std::string& key) {
    if (sim::equalNoCase(key, ProbeKeyName)) return true;
    auto marked = registry().value(portKeyPath(ProbeKeyName), "PortName");
    if (!marked || marked->type != REG_SZ) return false;
    std::string name(marked->data.begin(), marked->data.end());
    name.resize(std::strlen(name.c_str()));
    return sim::equalNoCase(key, name);
}

std::vector<std::string> sortedNoCase(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    });
    return names;
}

// The registry as the step left it must start the monitor again: on a fresh
// image of the process, every key with "Property" is a port and nothing else is.
void checkNextStart(Run& run) {
    std::string saved = registry().exportText();
    host::loadZevuruzi();
    machine().setFileRoot(run.fileRoot);
    registry().importText(saved, "the registry after the step");

    std::vector<std::string> ports;
    for (const auto& key : registry().subkeys(MonitorKeyPath)) {
        if (registry().value(portKeyPath(key), "Property"))
            ports.push_back(key);
        else if (!isKeyBeingCreated(key))
            run.violation("key " + key +
                          " below the monitor key has no \"Property\" value and no port is being created there");
    }

    MONITOR_TABLE table{};
    SetLastError(Marker);
    BOOL started = InitializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &table);
    DWORD error = GetLastError();
    if (!machine().waitIdle(SettleMilliseconds)) run.violation("the next start's status thread does not settle");
    if (!started) {
        run.violation("the next start fails with " + errorText(error));
        return;
    }
    std::vector<std::string> listed;
    for (PortRecord* r : listedPorts()) listed.push_back(r->name);
    if (sortedNoCase(listed) != sortedNoCase(ports))
        run.violation("the next start lists " + joined(listed) + ", the keys with \"Property\" are " + joined(ports));
}

// What a start reads: the monitor's key, its values and those of its subkeys.
std::string monitorKeysText() {
    std::ostringstream text;
    auto values = [&](const std::string& path) {
        for (const auto& v : registry().values(path)) {
            text << "  " << v.name << " " << v.type << ":";
            for (BYTE b : v.data) text << " " << (unsigned)b;
            text << "\n";
        }
    };
    values(MonitorKeyPath);
    for (const auto& key : registry().subkeys(MonitorKeyPath)) {
        text << key << (registry().subkeys(portKeyPath(key)).empty() ? "" : " (with subkeys)") << "\n";
        values(portKeyPath(key));
    }
    return text.str();
}

// ---- one run ----

struct Outcome {
    std::vector<std::string> violations;
    std::vector<std::string> recordedCalls;
    std::string monitorKeys;  // as the step left them
};

// The next start is tried unless the step left the monitor's keys exactly as
// the step without a fault did: that start was tried, and would repeat itself.
Outcome runScenario(const Scenario& scenario, const FaultPoint* point, const std::string& fileRoot,
                    const std::string& cleanMonitorKeys) {
    host::loadZevuruzi();
    machine().setFileRoot(fileRoot);
    fs::create_directories(fileRoot + "/c");
    Run run;
    run.fileRoot = fileRoot;
    scenario.arrange(run);
    Outcome outcome;
    if (!machine().waitIdle(SettleMilliseconds)) {
        outcome.violations.push_back("harness: the arrangement does not settle");
        return outcome;
    }
    Objects before = openObjects();

    machine().recordCalls(true);
    if (point) point->inject();
    scenario.act(run);
    bool settled = machine().waitIdle(SettleMilliseconds);
    outcome.recordedCalls = machine().recordedCalls();
    machine().recordCalls(false);
    machine().clearFaults();
    if (!settled) {
        run.violation("hang: the status thread is still busy " + std::to_string(SettleMilliseconds / 1000) +
                      " s after the step");
        if (!machine().waitIdle(SettleMilliseconds))
            run.violation("hang: the status thread stays busy after the fault is gone");
    }

    checkOpenObjects(run, before);
    checkHeap(run);
    checkListedPorts(run);
    if (scenario.check) scenario.check(run);
    outcome.monitorKeys = monitorKeysText();
    if (cleanMonitorKeys.empty() || outcome.monitorKeys != cleanMonitorKeys) checkNextStart(run);
    outcome.violations = run.violations;
    return outcome;
}

// ---- one run in a child process ----

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) return;
        p += n;
        left -= (std::size_t)n;
    }
}

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// The lines of a sanitizer report that say what and where.
std::string crashSummary(const std::string& errors) {
    std::istringstream in(errors);
    std::string line, what, where;
    int frames = 0;
    while (std::getline(in, line)) {
        if (what.empty() && (line.find("runtime error") != std::string::npos ||
                             line.find("ERROR: AddressSanitizer") != std::string::npos ||
                             line.find("ERROR: LeakSanitizer") != std::string::npos))
            what = line;
        else if (!what.empty() && frames < 3 && line.find("    #") == 0) {
            auto in = line.find(" in ");
            where += (frames ? " < " : "") + (in == std::string::npos ? line : line.substr(in + 4));
            frames++;
        }
    }
    if (what.empty()) return "";
    return what + (where.empty() ? "" : " | " + where);
}

Outcome runInChild(const Scenario& scenario, const FaultPoint* point, const std::string& fileRoot,
                   const std::string& cleanMonitorKeys) {
    int results[2], errors[2];
    if (pipe(results) != 0 || pipe(errors) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        close(results[0]);
        close(errors[0]);
        dup2(errors[1], 1);
        dup2(errors[1], 2);
        Outcome outcome = runScenario(scenario, point, fileRoot, cleanMonitorKeys);
        std::string text;
        for (const auto& v : outcome.violations) text += "V " + oneLine(v) + "\n";
        for (const auto& c : outcome.recordedCalls) text += "C " + c + "\n";
        std::istringstream keys(outcome.monitorKeys);
        for (std::string line; std::getline(keys, line);) text += "K " + line + "\n";
        text += "END\n";
        writeAll(results[1], text);
        _exit(0);  // no exit handlers: the machine's threads and heap die with the process
    }
    close(results[1]);
    close(errors[1]);

    std::string resultText, errorText;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(RunSeconds);
    bool killed = false;
    pollfd fds[2] = {{results[0], POLLIN, 0}, {errors[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, (int)left.count()) < 0) continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? resultText : errorText).append(buffer, (std::size_t)n);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);

    Outcome outcome;
    bool ended = false;
    std::istringstream in(resultText);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "END") ended = true;
        else if (line.rfind("V ", 0) == 0) outcome.violations.push_back(line.substr(2));
        else if (line.rfind("C ", 0) == 0) outcome.recordedCalls.push_back(line.substr(2));
        else if (line.rfind("K ", 0) == 0) outcome.monitorKeys += line.substr(2) + "\n";
    }
    if (killed) {
        outcome.violations.push_back("hang: the run did not end within " + std::to_string(RunSeconds) + " s");
    } else if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string summary = crashSummary(errorText);
        std::string how = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                              : "exit status " + std::to_string(WEXITSTATUS(status));
        outcome.violations.push_back(summary.empty() ? "crash: the run died (" + how + ")" : "sanitizer: " + summary);
    }
    return outcome;
}

std::string makeTemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "zevfaults-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    return pattern;
}

void printViolations(const std::string& point, const std::vector<std::string>& violations) {
    std::printf("FAIL  %s\n", point.c_str());
    for (const auto& v : violations) std::printf("        - %s\n", v.c_str());
}

}  // namespace

int sweep(const Scenario& scenario) {
    std::string base = makeTemporaryFolder();
    std::string root = base + "/run";
    std::printf("faults.%s: %s\n", scenario.name, scenario.summary);

    Outcome clean = runInChild(scenario, nullptr, root, "");
    fs::remove_all(root);
    // A step that fails without a fault leaves nothing to judge a fault point by.
    std::vector<FaultPoint> points;
    if (!clean.violations.empty())
        printViolations("none (the step without a fault); no fault point is tried", clean.violations);
    else
        points = faultPoints(clean.recordedCalls);
    if (clean.violations.empty() && points.empty()) std::printf("FAIL  the step made no call that can be failed\n");

    std::map<std::string, unsigned> kinds;  // violation text -> points that show it
    unsigned holding = 0;
    for (const auto& point : points) {
        Outcome outcome = runInChild(scenario, &point, root, clean.monitorKeys);
        fs::remove_all(root);
        if (outcome.violations.empty()) {
            holding++;
            continue;
        }
        printViolations(point.name(), outcome.violations);
        for (const auto& v : outcome.violations) kinds[v]++;
    }
    fs::remove_all(base);

    auto unswept = unsweptFunctions(clean.recordedCalls);
    if (!kinds.empty()) {
        std::printf("\nViolations by kind:\n");
        for (const auto& [text, count] : kinds) std::printf("  %4u x %s\n", count, text.c_str());
    }
    std::printf("\nfaults.%s: %zu calls recorded, %zu fault points tried, %u holding, %zu failing; "
                "the step without a fault %s\n",
                scenario.name, clean.recordedCalls.size(), points.size(), holding, points.size() - holding,
                clean.violations.empty() ? "holds" : "FAILS");
    if (!unswept.empty()) std::printf("  not swept (no way to fail them): %s\n", joined(unswept).c_str());
    bool ok = clean.violations.empty() && !points.empty() && holding == points.size();
    return ok ? 0 : 1;
}

// The point is named as the report names it: "RegOpenKeyExA #3 ERROR_ACCESS_DENIED once".
int runOnePoint(const Scenario& scenario, const std::string& pointName) {
    std::optional<FaultPoint> point;
    if (pointName != "none") {
        std::istringstream in(pointName);
        std::string function, occurrence, error, mode;
        in >> function >> occurrence >> error >> mode;
        std::vector<ErrorCode> errors = errorsFor(function);
        errors.push_back(NoError);
        for (const auto& e : errors)
            if (error == e.name)
                for (const auto& m : faultModes())
                    if (mode == m.name && m.takesError == (e.name != NoError.name) && occurrence.size() > 1 &&
                        occurrence[0] == '#')
                        point = FaultPoint{function, (unsigned)std::stoul(occurrence.substr(1)), e, &m};
        if (!point) {
            std::fprintf(stderr, "no such fault point: %s\n", pointName.c_str());
            return 2;
        }
    }
    std::string base = makeTemporaryFolder();
    Outcome outcome = runScenario(scenario, point ? &*point : nullptr, base + "/run", "");
    machine().reset();
    fs::remove_all(base);
    std::printf("recorded calls:");
    for (const auto& c : outcome.recordedCalls) std::printf(" %s", c.c_str());
    std::printf("\n");
    if (outcome.violations.empty()) {
        std::printf("holds  %s\n", pointName.c_str());
        return 0;
    }
    printViolations(pointName, outcome.violations);
    return 1;
}

}  // namespace faults
