// One zevmon run on a machine.
#include "session.h"

#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "common/doctor.h"
#include "common/print.h"
#include "machine_commands.h"
#include "host/zevuruzi_module.h"
#include "sim/machine.h"
#include "common/terminal.h"

namespace zevmon {

Session::Session(const Options& options) : options_(options), folder_(options.machine), spooler_(options.trace) {}

Session::~Session() { sim::machine().reset(); }

void Session::open(Access access) {
    if (loaded_) return;
    folder_.checkUsable();
    if (access == Access::Change || folder_.isNew()) {
        std::error_code error;
        std::filesystem::create_directories(folder_.folder(), error);
        if (error)
            throw MachineError(fmt::format("The machine folder {} cannot be made: {}.", folder_.folder().string(),
                                           error.message()));
        lock_ = std::make_unique<FolderLock>(folder_.folder(), options_.waitSeconds, options_.command);
        // Another run may have made the machine, or broken it, while this one waited.
        folder_.checkUsable();
        if (folder_.isNew()) {
            folder_.createDefault();
            notice(fmt::format("A new machine was made in {}.", folder_.folder().string()));
        }
        folder_.recover();
    }
    host::loadZevuruzi();
    folder_.load();
    loaded_ = true;
}

bool Session::tryStart(std::string& why) {
    sim::machine().setMessageBoxHandler([](const sim::Machine::MessageBoxCall& box) {
        std::fprintf(stderr, "%s", framedMessage(box.caption, box.text, terminalColumns()).c_str());
        std::fflush(stderr);
        return IDOK;
    });
    auto answer = options_.fileAnswer;
    sim::machine().setOpenFilePrompt([this, answer](const sim::Machine::OpenFileCall& call) -> std::optional<std::string> {
        prompted_ = true;
        // --answer is the user's consent to replace an existing file, as the dialog would ask.
        if (answer) {
            if (answer->empty()) return std::nullopt;
            notice("The monitor asks for a file to print to; answered " + *answer + ".");
            return answered_ = answer;
        }
        if (!isatty(STDIN_FILENO)) {
            notice("The monitor asks for a file to print to; with no terminal to ask, the dialog is cancelled.");
            return std::nullopt;
        }
        std::fprintf(stderr, "The monitor asks for a file to print to (All Files, *.*).\n");
        for (;;) {
            std::string path = promptLine("Path, such as C:\\jobs\\out.prn (empty to cancel): ");
            if (path.empty()) return std::nullopt;
            std::error_code error;
            if (!(call.request.Flags & OFN_OVERWRITEPROMPT) ||
                !std::filesystem::exists(sim::machine().hostPath(path), error))
                return answered_ = path;
            std::string reply = promptLine(path + " already exists. Do you want to replace it? [y/N] ");
            if (reply == "y" || reply == "Y" || reply == "yes") return answered_ = path;
            if (jobCancelRequested) return std::nullopt;
        }
    });
    if (!spooler_.initialize(InitializeMonitorEx)) {
        DWORD error = GetLastError();
        // Doctor asks the monitor's own start-up decisions which key stopped it.
        Diagnosis diagnosis = diagnose([](const std::string& driver, std::string&) {
            return std::optional<DllFound>(DllFound{driver, ""});
        });
        if (!diagnosis.failingKeys.empty()) {
            const KeyProblem& key = diagnosis.failingKeys.front();
            why = key.error == ERROR_FILE_NOT_FOUND
                      ? fmt::format("The monitor did not start: its port key {} has no \"Property\" value, which "
                                    "every port key needs ({}). Delete the key, or give it its value; zevmon doctor "
                                    "lists every problem it finds.",
                                    key.key, errorText(key.error))
                      : fmt::format("The monitor did not start: its port key {} cannot be read as a port: {} ({}). "
                                    "zevmon doctor lists every problem it finds.",
                                    key.key, errorMeaning(key.error), errorText(key.error));
        } else {
            why = fmt::format("The monitor did not start on this machine: {} ({}). zevmon doctor may tell why.",
                              errorMeaning(error), errorText(error));
        }
        return false;
    }
    if (options_.enumerateAtStart) {
        std::vector<PortEntry> ports;
        spooler_.enumPorts(1, ports);
    }
    sim::machine().waitIdle();
    started_ = true;
    return true;
}

// One line typed at the terminal; "" for an empty one, and for Ctrl-D or
// Ctrl-C, which end the prompt's line so that what follows begins on its own.
// Read from the descriptor between looks at Ctrl-C: the signal may reach
// another of the machine's threads and leave a blocking read waiting.
std::string Session::promptLine(const std::string& prompt) {
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    std::string line;
    for (;;) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (jobCancelRequested) break;
        if (::poll(&input, 1, 100) <= 0) continue;
        char c;
        if (::read(STDIN_FILENO, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    std::fprintf(stderr, "\n");
    return "";
}

void Session::start() {
    std::string why;
    if (!tryStart(why)) throw MachineError(why);
}

void Session::deviceChanged() {
    sim::machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    sim::machine().waitIdle();
}

void Session::finish() {
    if (!lock_) return;
    sim::machine().waitIdle();
    folder_.save();
}

MachinePorts::MachinePorts(Session& session) : MonitorRoute(session.spooler(), machinePrinters), session_(session) {}

int MachinePorts::printJob(const PrintOptions& job, const std::string& printer) {
    session_.folder().checkWritable();
    JobRecorder recorder(session_.folder(), job.document, job.port);
    JobObserver observer;
    std::optional<std::string> target = lookUpPrinter(job.port);
    observer.started = [&] {
        if (target) recorder.begin(*target);
    };
    observer.wrote = [&] { recorder.collect(); };
    observer.ended = [&](std::uint64_t, const std::string& outcome) { recorder.finish(outcome); };
    observer.destination = [&] { return session_.fileDestination(job.port); };
    int status;
    try {
        status = zevmon::printJob(spooler_, job, printer, observer);
    } catch (const Failure& e) {
        if (recorder.captureProblem().empty()) throw;
        throw Failure(std::string(e.what()) + " " + recorder.captureProblem());
    }
    if (!recorder.captureProblem().empty()) throw Failure(recorder.captureProblem());
    return status;
}

std::string Session::fileDestination(const std::string& port) {
    std::string file = options_.fileAnswer.value_or("");
    auto stored = sim::machine().registry().value(std::string(MonitorKeyPath) + "\\" + port, "Property");
    if (!stored) return "";
    PortConfig config{};  // a shorter value leaves the rest zero
    std::memcpy(&config, stored->data.data(), std::min(stored->data.size(), sizeof config));
    if (config.kind != PortKindFile) return "";
    config.fileName[sizeof config.fileName - 1] = 0;
    if (config.fileName[0] && !file.empty() && !prompted_)
        notice(fmt::format("--answer {} was not needed: {} prints to its own file.", file, port));
    if (config.fileName[0]) file = config.fileName;
    else if (answered_) file = *answered_;
    if (file.empty()) return "";
    return fmt::format(", into {} ({})", file, sim::machine().hostPath(file));
}

std::vector<PrinterState> machinePrinters() {
    auto& registry = sim::machine().registry();
    std::vector<PrinterState> printers;
    for (auto& name : registry.subkeys(PrintersKeyPath)) {
        std::string port = registry.stringValue(std::string(PrintersKeyPath) + "\\" + name, "Port").value_or("");
        bool offline = sim::machine().printerAttributes(name) & PRINTER_ATTRIBUTE_WORK_OFFLINE;
        printers.push_back({name, port, !offline});
    }
    return printers;
}

}  // namespace zevmon
