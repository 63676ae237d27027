// One zevmon run on a machine.
#include "session.h"

#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <winspool.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include "common/doctor.h"
#include "common/print.h"
#include "common/text.h"
#include "machine_commands.h"
#include "host/zevuruzi_module.h"
#include "sim/machine.h"
#include "common/terminal.h"

namespace zevmon {

Session::Session(const Options& options) : options_(options), folder_(options.machine), monitorTable_(options.trace) {}

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
            folder_.setPersonality(options_.personality.value_or("98"));
            notice(fmt::format("A new machine was made in {}; it behaves as {}.", folder_.folder().string(),
                               folder_.personality() == "98" ? "Windows 98" : "an NT-family system"));
        }
        folder_.recover();
    }
    std::string personality = folder_.personality();
    if (options_.personality && *options_.personality != personality)
        throw MachineError(fmt::format("The machine in {} behaves as {}; a machine's personality is chosen when it "
                                       "is made (--personality with a new --machine folder).",
                                       folder_.folder().string(), personality == "98" ? "Windows 98" : "NT"));
    host::loadZevuruzi();
    sim::machine().setPersonality(personality == "98" ? sim::Personality::Windows98 : sim::Personality::NT);
    folder_.load();
    loaded_ = true;
}

bool Session::tryStart(std::string& why) {
    sim::machine().setMessageBoxHandler([this](const sim::Machine::MessageBoxCall& box) {
        if ((box.type & MB_TYPEMASK) == MB_RETRYCANCEL) return answerErrorDialog(box.caption, box.text);
        beginPrompt();
        std::fprintf(stderr, "%s", framedMessage(box.caption, box.text, terminalColumns()).c_str());
        std::fflush(stderr);
        endPrompt();
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
    if (!monitorTable_.initialize(InitializeMonitorEx)) {
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
        monitorTable_.enumPorts(1, ports);
    }
    sim::machine().waitIdle();
    started_ = true;
    if (lock_ && options_.printsQueue) startMachineSpooler();
    return true;
}

// The spooler's "error writing" dialog: answered by --on-error, else on the
// terminal, else Cancel. Retry waits a second first, and gives up after a
// minute of failures, so that a run without a person never loops for ever.
// The same box again while a write keeps failing is shown once, then counted.
int Session::answerErrorDialog(const std::string& caption, const std::string& text) {
    const unsigned MaxRetries = 60;
    bool again = text == lastDialog_;
    lastDialog_ = text;
    if (!again) retries_ = 0;
    beginPrompt();
    if (!again) std::fprintf(stderr, "%s", framedMessage(caption, text, terminalColumns(), "[Retry] [Cancel]").c_str());
    std::fflush(stderr);
    std::string answer = jobCancelRequested ? "cancel" : options_.onError.value_or("");
    if (answer.empty() && isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "%sRetry or Cancel? [r/c]: ",
                     again ? fmt::format("The write failed again ({} times in a row). ", retries_ + 1).c_str() : "");
        std::fflush(stderr);
        std::string line;
        answer = std::getline(std::cin, line) && !line.empty() && (line[0] == 'r' || line[0] == 'R') ? "retry" : "cancel";
    } else if (answer.empty()) {
        notice("With no terminal to ask and no --on-error, the dialog is answered Cancel.");
        answer = "cancel";
    } else if (answer == "retry" && retries_ >= MaxRetries) {
        notice(fmt::format("Answered Cancel: the write still failed after {} retries.", MaxRetries));
        answer = "cancel";
    } else if (!again) {
        notice(answer == "retry" ? "Answered Retry (--on-error retry), and so each second while the write fails."
                                 : "Answered Cancel (--on-error cancel).");
    } else if ((retries_ + 1) % 10 == 0) {
        notice(fmt::format("The write failed {} times in a row; answered Retry each time.", retries_ + 1));
    }
    endPrompt();
    if (answer != "retry") return IDCANCEL;
    retries_++;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return IDRETRY;
}

void Session::startMachineSpooler(sim::QueueUse use) {
    auto& machine = sim::machine();
    machine.setSpoolFolder(folder_.spoolFolder().string(), use);
    // The spooler's own calls of the monitor, on its playback thread, marked as its.
    if (options_.trace)
        machine.setMonitorTrace([](const std::string& call, BOOL ok, const std::string& outputs) {
            CallTrace(true, stderr)("playback: " + call, ok, outputs);
        });
    if (use == sim::QueueUse::Print) machine.setPlaybackObserver([this](const sim::SpooledJob& job, bool ended) {
        std::lock_guard<std::mutex> lock(recordersMutex_);
        if (!ended) {
            std::optional<std::string> target = lookUpPrinter(job.port);
            if (!target) return;
            try {
                auto recorder = std::make_shared<JobRecorder>(folder_, job.document, job.port);
                recorder->begin(*target);
                std::string id = *target;
                sim::machine().withUsbPrinter(id, [recorder, id](sim::UsbPrinter& printer) {
                    printer.sink = [recorder, id](int, const BYTE* data, DWORD size) {
                        return recorder->take(id, data, size);
                    };
                });
                recorders_[job.id] = {recorder, id};
            } catch (const MachineError& e) {
                notice(fmt::format("What job {} sends is not recorded: {}", job.id, e.what()));
            }
            return;
        }
        endedInRun_.push_back(job);
        auto it = recorders_.find(job.id);
        if (it == recorders_.end()) return;
        auto [recorder, id] = it->second;
        sim::machine().withUsbPrinter(id, [](sim::UsbPrinter& printer) { printer.sink = nullptr; });
        std::string outcome = job.status == JOB_STATUS_PRINTED   ? "complete"
                              : job.status == JOB_STATUS_DELETED ? fmt::format("cancelled after {} bytes", job.sent)
                              : job.status & JOB_STATUS_PRINTING
                                  ? fmt::format("stopped after {} bytes; prints again from the start", job.sent)
                                  : fmt::format("stopped after {} bytes", job.sent);
        recorder->finish(outcome);
        if (!recorder->captureProblem().empty()) captureProblems_[job.id] = recorder->captureProblem();
        recorders_.erase(it);
    });
    std::string why;
    if (!machine.startSpooler(&why)) {
        notice("The spooler did not start: " + why + ".");
        return;
    }
    machineSpoolerStarted_ = true;
    for (const std::string& line : machine.spoolerNotices()) notice(line);
}

std::string Session::captureProblem(DWORD id) {
    std::lock_guard<std::mutex> lock(recordersMutex_);
    auto it = captureProblems_.find(id);
    return it == captureProblems_.end() ? "" : it->second;
}

void Session::reported(DWORD id) {
    std::lock_guard<std::mutex> lock(recordersMutex_);
    reported_.push_back(id);
}

// Jobs the spooler released during the run (a printer that came back) print
// before it ends, and each is reported. A job that cannot even start (its
// printer gone, but not marked offline) is not waited for long: it stays in
// the queue for a later run.
void Session::printReleasedJobs() {
    auto& machine = sim::machine();
    // A held job looks at its printer again within a few hundredths of a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const int PatienceSeconds = 30;
    bool told = false;
    for (int stuck = 0; !machine.waitForPlayback(1000);) {
        bool starting = true;
        for (auto& job : machine.spooledJobs())
            if (job.status == (JOB_STATUS_PRINTING | JOB_STATUS_ERROR) && job.sent == 0) {
                if (++stuck < PatienceSeconds) break;
                notice(fmt::format("Job {} could not start on {} ({}); it stays in the queue.", job.id, job.port,
                                   errorText(job.error)));
            } else {
                starting = false;
            }
        if (!starting) stuck = 0;
        if (stuck >= PatienceSeconds) break;
        if (!told) notice("The spooler prints the jobs it released before this run ends.");
        told = true;
    }
    std::lock_guard<std::mutex> lock(recordersMutex_);
    for (auto& job : endedInRun_)
        if (std::find(reported_.begin(), reported_.end(), job.id) == reported_.end())
            result(fmt::format("Job {} \"{}\" on printer {}: {}.{}", job.id, shown(job.document), shown(job.printer),
                               jobStatusText(job),
                               captureProblems_.count(job.id) ? " " + captureProblems_[job.id] : std::string()));
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
    if (machineSpoolerStarted_ && options_.printsQueue) {
        printReleasedJobs();
        sim::machine().stopSpooler();
        machineSpoolerStarted_ = false;
    }
    try {
        folder_.save();
    } catch (const ChangedElsewhere& e) {
        // A job that printed stays printed: running the command again would print it twice.
        std::vector<std::string> done = done_;
        for (auto& job : endedInRun_)
            done.push_back(fmt::format("job {} \"{}\" {}", job.id, shown(job.document), jobStatusText(job)));
        if (done.empty()) throw MachineError(std::string(e.what()) + " Run the command again.");
        std::string list;
        for (auto& d : done) list += (list.empty() ? "" : "; ") + d;
        throw Failure(fmt::format("{} The rest of what the run did stands: {}. Running the command again would do "
                                  "it twice.",
                                  e.what(), list));
    }
}

void Session::done(const std::string& what) { done_.push_back(what); }

// A port's configuration as the monitor's start reads it; a port without one
// is of no kind (-1). The caller's last error stays.
PortConfig storedConfig(const std::string& port) {
    PortConfig config{};
    DWORD error = GetLastError();
    if (!ReadPortConfigAt(MonitorKeyPath, port.c_str(), &config)) config.kind = -1;
    SetLastError(error);
    return config;
}

// Cancels a job as the printer folder does: SetJobA on a handle of its printer.
bool cancelJob(const std::string& printer, DWORD id) {
    HANDLE handle = NULL;
    if (!OpenPrinterA(const_cast<LPSTR>(printer.c_str()), &handle, NULL)) return false;
    BOOL ok = SetJobA(handle, id, 0, NULL, JOB_CONTROL_CANCEL);
    DWORD error = GetLastError();
    ClosePrinter(handle);
    SetLastError(error);
    return ok;
}

std::string jobStatusText(const sim::SpooledJob& job) {
    std::string why = job.error ? fmt::format(" ({}, {})", errorMeaning(job.error), errorText(job.error)) : "";
    std::string elsewhere = job.elsewhere ? " in another zevmon run" : "";
    if (!job.unreadable.empty()) return "unreadable: cancelling it removes its files";
    if (job.incomplete) return "incomplete: its spooling never ended";
    if (job.interrupted)
        return "interrupted: the run that printed it ended; it prints again from the start in a run that prints "
               "(zevmon queue resume)";
    if (job.status & JOB_STATUS_SPOOLING)
        return (job.status & JOB_STATUS_PRINTING ? "spooling and printing" : "spooling") + elsewhere;
    if (job.status & JOB_STATUS_OFFLINE) return "held: the printer is offline";
    if (job.status & JOB_STATUS_PAUSED) return "paused";
    if ((job.status & JOB_STATUS_PRINTING) && (job.status & JOB_STATUS_ERROR)) return "error" + why;
    if (job.status & JOB_STATUS_PRINTING) return "printing" + elsewhere;
    if (job.status == JOB_STATUS_PRINTED) return "printed";
    if (job.status == JOB_STATUS_DELETED)
        return fmt::format("cancelled{} after {} of {} bytes", job.cancelledElsewhere ? " from another zevmon run" : "",
                           job.sent, job.spooled);
    if (job.status & JOB_STATUS_ERROR) return "failed" + why;
    return "waiting" + elsewhere;
}

std::string Session::fileDestination(const std::string& port) {
    std::string file = options_.fileAnswer.value_or("");
    PortConfig config = storedConfig(port);
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
