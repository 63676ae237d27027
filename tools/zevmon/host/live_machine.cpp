// The simulated machine of one folder, booted in this process.
#include "live_machine.h"

#include <fmt/format.h>
#include <unistd.h>

#include <winspool.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/cli.h"
#include "common/doctor.h"
#include "common/print.h"
#include "common/route.h"
#include "common/text.h"
#include "host/zevuruzi_module.h"
#include "common/registry.h"

namespace zevmon {

namespace {

thread_local Console* threadConsole = nullptr;
thread_local std::shared_ptr<JobOwner> owner;
thread_local std::shared_ptr<JobRecorder> playbackCapture;  // of the job this playback thread plays
thread_local std::shared_ptr<Console> ownConsole;

Console* lookUpThreadConsole() { return threadConsole; }

// One line typed at the console; "" for an empty one, and for the end of the
// input or a cancel, which end the prompt's line so that what follows begins
// on its own.
std::string promptLine(const std::string& prompt) {
    std::fprintf(console().err(), "%s", prompt.c_str());
    std::fflush(console().err());
    if (std::optional<std::string> line = readLine()) return *line;
    std::fprintf(console().err(), "\n");
    return "";
}

// A held job looks at its printer again within a few hundredths of a second.
const auto HeldJobLooksAgain = std::chrono::milliseconds(60);

}  // namespace

std::shared_ptr<Console> processConsoleShared() { return std::shared_ptr<Console>(&processConsole(), [](Console*) {}); }

std::shared_ptr<Console> commandConsole() { return ownConsole ? ownConsole : processConsoleShared(); }
void setCommandConsole(std::shared_ptr<Console> console) { ownConsole = std::move(console); }

ConsoleScope::ConsoleScope(Console* console) : previous_(threadConsole) {
    setConsoleLookup(lookUpThreadConsole);
    threadConsole = console;
}

ConsoleScope::~ConsoleScope() { threadConsole = previous_; }

std::shared_ptr<JobOwner> LiveMachine::threadOwner() { return owner; }
void LiveMachine::setThreadOwner(std::shared_ptr<JobOwner> o) { owner = std::move(o); }

LiveMachine::LiveMachine(const std::filesystem::path& folder, bool keepsFolder)
    : folder_(folder), keepsFolder_(keepsFolder) {}

LiveMachine::~LiveMachine() {
    sim::machine().endStalls();
    for (auto& stager : stagers_) stager.join();
    sim::machine().reset();
}

void LiveMachine::boot(const Boot& how, std::vector<std::string>& said) {
    printing_ = how.printing;
    folder_.checkUsable();
    if (keepsFolder_) {
        std::error_code error;
        std::filesystem::create_directories(folder_.folder(), error);
        if (error)
            throw MachineError(fmt::format("The machine folder {} cannot be made: {}.", folder_.folder().string(),
                                           error.message()));
        if (folder_.isNew()) {
            folder_.createDefault();
            folder_.setPersonality(how.personality.value_or("98"));
            said.push_back(fmt::format("A new machine was made in {}; it behaves as {}.", folder_.folder().string(),
                                       folder_.personality() == "98" ? "Windows 98" : "an NT-family system"));
        }
        folder_.recover();
    }
    personality_ = folder_.personality();
    checkPersonality(how.personality);
    host::loadZevuruzi();
    sim::machine().setPersonality(personality_ == "98" ? sim::Personality::Windows98 : sim::Personality::NT);
    folder_.load();
    sim::machine().setSpoolFolder(folder_.spoolFolder().string());
    sim::SpoolerSettings settings;
    settings.playsBack = printing_;
    sim::machine().setSpoolerSettings(settings);
    if (how.stopAt) sim::machine().setStopPoint(how.stopAt);
    installHandlers();
    bootedAt_ = std::chrono::system_clock::now();
    std::string why;
    if (how.spooler && !startSpooler(why)) said.push_back(why);
    for (const std::string& line : sim::machine().spoolerNotices()) said.push_back(line);
}

void LiveMachine::checkPersonality(const std::optional<std::string>& asked) const {
    if (asked && *asked != personality_)
        throw MachineError(fmt::format("The machine in {} behaves as {}; a machine's personality is chosen when it "
                                       "is made (--personality with a new --machine folder).",
                                       folder_.folder().string(), personality_ == "98" ? "Windows 98" : "NT"));
}

void LiveMachine::shutdown() {
    sim::machine().endStalls();
    sim::machine().stopSpooler();
    spoolerRunning_ = false;
    started_ = false;
    for (auto& stager : stagers_) stager.join();
    stagers_.clear();
    std::lock_guard<std::mutex> lock(changes_);
    takeInEdits();  // a person's edit since the last command is kept, not saved over
    save();
}

std::string LiveMachine::whyNotStarted(const std::string& reason) {
    // Doctor asks the monitor's own start-up decisions which key stopped it.
    Diagnosis diagnosis = diagnose([](const std::string& driver, std::string&) {
        return std::optional<DllFound>(DllFound{driver, ""});
    });
    if (!diagnosis.failingKeys.empty()) {
        const KeyProblem& key = diagnosis.failingKeys.front();
        return key.error == ERROR_FILE_NOT_FOUND
                   ? fmt::format("The monitor did not start: its port key {} has no \"Property\" value, which "
                                 "every port key needs ({}). Delete the key, or give it its value; {} "
                                 "lists every problem it finds.",
                                 shown(key.key), errorText(key.error), zevmonCommand("doctor"))
                   : fmt::format("The monitor did not start: its port key {} cannot be read as a port: {} ({}). "
                                 "{} lists every problem it finds.",
                                 shown(key.key), errorMeaning(key.error), errorText(key.error), zevmonCommand("doctor"));
    }
    return fmt::format("The monitor did not start on this machine: {}. {} may tell why.", shown(reason),
                       zevmonCommand("doctor"));
}

bool LiveMachine::startSpooler(std::string& why) {
    if (spoolerRunning_) return true;
    std::string reason;
    if (!sim::machine().startSpooler(&reason)) {
        why = whyNotStarted(reason);
        return false;
    }
    if (const MONITOR_TABLE* table = host::startedMonitorTable()) {
        table_ = *table;
        started_ = true;
    }
    sim::machine().waitIdle();  // the status window's first look
    spoolerRunning_ = true;
    return true;
}

bool LiveMachine::startMonitorAlone(MonitorCaller& table, std::string& why) {
    if (!table.initialize(InitializeMonitorEx)) {
        why = whyNotStarted(errorText(GetLastError()));
        return false;
    }
    table_ = table.table();
    started_ = true;
    sim::machine().waitIdle();
    return true;
}

void LiveMachine::deviceChanged() {
    sim::machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    sim::machine().waitIdle();
}

// ---- the monitor's windows, answered for the command a thread works for ----

void LiveMachine::installHandlers() {
    auto& machine = sim::machine();
    machine.setMessageBoxHandler([this](const sim::Machine::MessageBoxCall& box) { return onMessageBox(box); });
    machine.setOpenFilePrompt([this](const sim::Machine::OpenFileCall& call) { return onOpenFile(call); });
    // The spooler's own calls of the monitor, on its playback thread, marked as its.
    machine.setMonitorTrace(
        [](const MonitorCall& call) {
            ConsoleScope scope(owner ? owner->console.get() : nullptr);
            CallTrace(true, nullptr, "playback: ")(call);
        },
        [] { return owner && owner->trace; });
    machine.setPlaybackObserver([this](const sim::JobReport& job, bool ended) { onPlayback(job, ended); });
}

// A box with no command to show it to (a job whose command has gone, or the
// monitor's own window) goes to the machine's log; a Retry/Cancel box is then
// answered as the job's command asked, or Cancel.
int LiveMachine::onMessageBox(const sim::Machine::MessageBoxCall& box) {
    std::shared_ptr<JobOwner> asker = owner;
    ConsoleScope scope(asker ? asker->console.get() : nullptr);
    if ((box.type & MB_TYPEMASK) == MB_RETRYCANCEL) {
        // The printer refuses what the machine cannot record, and the box can only give its error number.
        if (playbackCapture && !playbackCapture->captureProblem().empty())
            notice("The printer takes nothing more because this machine cannot record it: " +
                   playbackCapture->captureProblem());
        JobOwner none;
        return answerErrorDialog(asker ? *asker : none, box.caption, box.text);
    }
    beginPrompt();
    std::fprintf(console().err(), "%s", framedMessage(box.caption, box.text, terminalColumns()).c_str());
    std::fflush(console().err());
    endPrompt();
    return IDOK;
}

// The spooler's "error writing" dialog: answered by --on-error, else on the
// terminal, else Cancel. Retry waits a second first, and gives up after a
// minute of failures, so that a job without a person never loops for ever.
// The same box again while a write keeps failing is shown once, then counted.
int LiveMachine::answerErrorDialog(JobOwner& asker, const std::string& caption, const std::string& text) {
    const unsigned MaxRetries = 60;
    bool again = text == asker.lastDialog;
    asker.lastDialog = text;
    if (!again) asker.retries = 0;
    beginPrompt();
    if (!again)
        std::fprintf(console().err(), "%s", framedMessage(caption, text, terminalColumns(), "[Retry] [Cancel]").c_str());
    std::fflush(console().err());
    std::string answer = cancelRequested() ? "cancel" : asker.onError.value_or("");
    if (answer.empty() && inputIsTerminal()) {
        std::string line =
            promptLine(fmt::format("{}Retry or Cancel? [r/c]: ",
                                   again ? fmt::format("The write failed again ({} times in a row). ", asker.retries + 1)
                                         : ""));
        answer = !line.empty() && (line[0] == 'r' || line[0] == 'R') ? "retry" : "cancel";
    } else if (answer.empty()) {
        notice("With no terminal to ask and no --on-error, the dialog is answered Cancel.");
        answer = "cancel";
    } else if (answer == "retry" && asker.retries >= MaxRetries) {
        notice(fmt::format("Answered Cancel: the write still failed after {} retries.", MaxRetries));
        answer = "cancel";
    } else if (!again) {
        notice(answer == "retry" ? "Answered Retry (--on-error retry), and so each second while the write fails."
                                 : "Answered Cancel (--on-error cancel).");
    } else if ((asker.retries + 1) % 10 == 0) {
        notice(fmt::format("The write failed {} times in a row; answered Retry each time.", asker.retries + 1));
    }
    endPrompt();
    if (answer != "retry") return IDCANCEL;
    asker.retries++;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return IDRETRY;
}

std::optional<std::string> LiveMachine::onOpenFile(const sim::Machine::OpenFileCall& call) {
    std::shared_ptr<JobOwner> asker = owner;
    ConsoleScope scope(asker ? asker->console.get() : nullptr);
    JobOwner none;
    JobOwner& o = asker ? *asker : none;
    o.prompted = true;
    // --answer is the user's consent to replace an existing file, as the dialog would ask.
    if (o.fileAnswer) {
        if (o.fileAnswer->empty()) return std::nullopt;
        notice("The monitor asks for a file to print to; answered " + *o.fileAnswer + ".");
        return o.answered = o.fileAnswer;
    }
    if (!inputIsTerminal()) {
        notice("The monitor asks for a file to print to; with no terminal to ask, the dialog is cancelled.");
        return std::nullopt;
    }
    std::fprintf(console().err(), "The monitor asks for a file to print to (All Files, *.*).\n");
    for (;;) {
        std::string path = promptLine("Path, such as C:\\jobs\\out.prn (empty to cancel): ");
        if (path.empty()) return std::nullopt;
        std::error_code error;
        if (!(call.request.Flags & OFN_OVERWRITEPROMPT) || !std::filesystem::exists(sim::machine().hostPath(path), error))
            return o.answered = path;
        std::string reply = promptLine(path + " already exists. Do you want to replace it? [y/N] ");
        if (reply == "y" || reply == "Y" || reply == "yes") return o.answered = path;
        if (cancelRequested()) return std::nullopt;
    }
}

// ---- jobs ----

void LiveMachine::own(DWORD job, std::shared_ptr<JobOwner> asker) {
    std::lock_guard<std::mutex> lock(jobsMutex_);
    owners_[job] = std::move(asker);
}

// On the playback thread: the job's thread works for the command that gave
// it, its capture is recorded as the USB printer receives it, and what the
// command staged happens to this job alone.
void LiveMachine::onPlayback(const sim::JobReport& job, bool ended) {
    std::unique_lock<std::mutex> lock(jobsMutex_);
    if (!ended) {
        auto found = owners_.find(job.id);
        owner = found == owners_.end() ? nullptr : found->second;
        if (owner) owner->started = true;
        lock.unlock();
        ConsoleScope scope(owner ? owner->console.get() : nullptr);
        std::optional<std::string> target = lookUpPrinter(job.port);
        if (!target) return;
        if (owner) stage(job.id, owner, *target);
        if (!printing_) return;
        try {
            auto recorder = std::make_shared<JobRecorder>(folder_, job.document, job.port);
            recorder->begin(*target);
            std::string id = *target;
            sim::machine().withUsbPrinter(id, [recorder, id](sim::UsbPrinter& printer) {
                printer.sink = [recorder, id](int, const BYTE* data, DWORD size) { return recorder->take(id, data, size); };
            });
            playbackCapture = recorder;
            lock.lock();
            captures_[job.id] = {recorder, id, recorder->captures()};
        } catch (const MachineError& e) {
            notice(fmt::format("What job {} sends is not recorded: {}", job.id, e.what()));
        }
        return;
    }
    owners_.erase(job.id);
    auto it = captures_.find(job.id);
    Capture capture;
    if (it != captures_.end()) {
        capture = it->second;
        captures_.erase(it);
    }
    lock.unlock();
    if (capture.recorder) {
        sim::machine().withUsbPrinter(capture.printer, [](sim::UsbPrinter& printer) { printer.sink = nullptr; });
        std::string outcome = job.status == JOB_STATUS_PRINTED   ? "complete"
                              : job.status == JOB_STATUS_DELETED ? fmt::format("cancelled after {} bytes", job.sent)
                              : job.status & JOB_STATUS_PRINTING
                                  ? fmt::format("stopped after {} bytes; prints again from the start", job.sent)
                                  : fmt::format("stopped after {} bytes", job.sent);
        capture.recorder->finish(outcome);
        std::lock_guard<std::mutex> again(jobsMutex_);
        if (!capture.recorder->captureProblem().empty()) captureProblems_[job.id] = capture.recorder->captureProblem();
    }
    owner = nullptr;
    playbackCapture = nullptr;
}

// Arms what the command staged, counted from what the printer has received
// when its own job begins; a stager follows the job to say and do the rest.
void LiveMachine::stage(DWORD job, std::shared_ptr<JobOwner> asker, const std::string& printer) {
    const Staging& staging = asker->staging;
    if ((!staging.unplugAfter && !staging.stallAfter) || asker->stagingOver) return;
    bool present = true;
    std::uint64_t receivedBefore = 0;
    sim::machine().withUsbPrinter(printer, [&](sim::UsbPrinter& p) {
        present = p.present;
        receivedBefore = p.receivedBytes;
        if (staging.unplugAfter && present) p.unplugAtByte = p.receivedBytes + *staging.unplugAfter;
        if (staging.stallAfter) {
            p.stallAtByte = p.receivedBytes + *staging.stallAfter;
            p.stallMilliseconds = (unsigned)(staging.stallSeconds * 1000);
        }
    });
    if (!staging.unplugAfter || !present) return;
    // Due from now, so that the command waits for it whenever its job ends.
    if (staging.plugAfter) asker->pullOutDue = true;
    std::lock_guard<std::mutex> lock(jobsMutex_);
    stagers_.emplace_back([this, job, asker, printer, receivedBefore] {
        ConsoleScope scope(asker->console.get());
        auto& machine = sim::machine();
        bool pulled = false;
        std::uint64_t received = 0;
        // The job's end is read before the printer: a job the pull-out ended is seen pulled.
        for (bool ended = false; !pulled && !ended;) {
            ended = machine.endedJob(job).has_value();
            machine.withUsbPrinter(printer, [&](sim::UsbPrinter& p) {
                pulled = !p.present;
                received = p.receivedBytes - receivedBefore;
            });
            if (!pulled && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!pulled) {
            asker->pullOutDue = false;
            return;
        }
        notice(fmt::format("The printer {} was pulled out after it received {} bytes of the job.", shown(printer),
                           received));
        deviceChanged();
        if (!asker->staging.plugAfter) return;
        std::this_thread::sleep_for(std::chrono::duration<double>(*asker->staging.plugAfter));
        machine.plugUsbPrinter(printer);
        deviceChanged();
        notice(fmt::format("The printer {} is plugged in again.", shown(printer)));
        asker->pullOutDue = false;
    });
}

std::string LiveMachine::captureProblem(DWORD job) {
    std::lock_guard<std::mutex> lock(jobsMutex_);
    auto it = captureProblems_.find(job);
    return it == captureProblems_.end() ? "" : it->second;
}

bool LiveMachine::recording(const std::filesystem::path& capture) {
    std::lock_guard<std::mutex> lock(jobsMutex_);
    for (auto& [id, c] : captures_)
        if (std::find(c.files.begin(), c.files.end(), capture) != c.files.end()) return true;
    return false;
}

std::set<DWORD> LiveMachine::heldJobs() {
    std::set<DWORD> held;
    for (const sim::JobReport& job : sim::machine().spooledJobs())
        if (job.unreadable.empty() && (job.status & (JOB_STATUS_OFFLINE | JOB_STATUS_PAUSED) || !job.problem.empty()))
            held.insert(job.id);
    return held;
}

// A released job is waited for while it makes its way; one that stalls or
// cannot start prints on without this command, which says so.
int LiveMachine::reportReleased(const std::set<DWORD>& held) {
    if (held.empty()) return 0;
    // Ctrl-C, SIGTERM and SIGHUP stop the watching, not the jobs.
    struct Signals {
        Signals() { console().takeSignals(true); }
        ~Signals() { console().takeSignals(false); }
    } signals;
    auto& machine = sim::machine();
    std::this_thread::sleep_for(HeldJobLooksAgain);
    std::set<DWORD> waiting = held;
    std::map<DWORD, std::pair<std::size_t, std::chrono::steady_clock::time_point>> progress;
    const auto Patience = std::chrono::seconds(30);
    bool told = false;
    auto printsOn = [](const sim::JobReport& job) {
        notice(fmt::format("Job {} \"{}\" prints on in the machine ({} of {} bytes sent so far); {} shows how it goes.",
                           job.id, shown(job.document), job.sent, job.spooled, zevmonCommand("queue")));
    };
    // One bar for the bytes of every job still watched, as they reach their printers.
    std::optional<Progress> bar;
    std::uint64_t total = 0, done = 0;
    for (DWORD id : waiting)
        if (std::optional<sim::JobReport> queued = machine.spooledJob(id)) total += queued->spooled;
    // A line said ends the bar drawn on the terminal; a log's lines go on.
    auto say = [&](const std::string& line) {
        if (bar && messagesGoToTerminal()) {
            bar->finish();
            bar.reset();
        }
        result(line);
    };
    while (!waiting.empty()) {
        // Stopped by its person: the jobs are the machine's, and print on.
        if (cancelRequested() || console().gone()) {
            if (bar) bar->finish();
            for (DWORD id : waiting)
                if (std::optional<sim::JobReport> queued = machine.spooledJob(id)) printsOn(*queued);
            return cancelledStatus();
        }
        for (auto it = waiting.begin(); it != waiting.end();) {
            DWORD id = *it;
            std::optional<sim::JobReport> ended = machine.endedJob(id), queued = machine.spooledJob(id);
            if (ended && !queued) {
                std::string problem = captureProblem(id);
                say(fmt::format("Job {} \"{}\" on printer {}: {}.{}", id, shown(ended->document),
                                shown(ended->printer), shown(jobStatusText(*ended)), problem.empty() ? "" : " " + problem));
                done += ended->sent;  // a job cancelled short of its end counts what it sent
                total -= std::min<std::uint64_t>(total, ended->spooled - std::min(ended->spooled, ended->sent));
                it = waiting.erase(it);
                continue;
            }
            bool stillHeld = !queued || (queued->status & (JOB_STATUS_OFFLINE | JOB_STATUS_PAUSED)) ||
                             !queued->problem.empty() || (queued->status & JOB_STATUS_ERROR && !queued->writingForMs);
            auto now = std::chrono::steady_clock::now();
            auto& [sent, since] = progress.try_emplace(id, queued ? queued->sent : 0, now).first->second;
            if (queued && queued->sent != sent) sent = queued->sent, since = now;
            bool stuck = queued && (queued->writingForMs >= 1000 || now - since >= Patience);
            if (stillHeld || stuck) {
                if (stillHeld && queued) say(holdSentence(*queued, "waits"));
                else if (stuck)
                    printsOn(*queued);
                if (queued) total -= std::min<std::uint64_t>(total, queued->spooled);
                it = waiting.erase(it);
                continue;
            }
            ++it;
        }
        if (waiting.empty()) break;
        std::uint64_t sending = 0;
        for (DWORD id : waiting)
            if (std::optional<sim::JobReport> queued = machine.spooledJob(id)) sending += queued->sent;
        if (!bar) bar.emplace(total, "Printing");
        bar->update(std::min(total, done + sending));
        if (!told) notice("The spooler prints the jobs it released; this command says how they end.");
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (bar) bar->finish();
    return 0;
}

// ---- the folder's two files ----

std::vector<std::string> LiveMachine::takeInEdits() {
    if (!keepsFolder_) return {};
    std::vector<std::string> said;
    {
        std::lock_guard<std::mutex> lock(files_);
        said = folder_.takeInEdits();
    }
    if (!said.empty() && !said.back().empty()) deviceChanged();
    return said;
}

void LiveMachine::save() {
    std::lock_guard<std::mutex> lock(files_);
    if (keepsFolder_) folder_.save();
}

// ---- what the commands ask of the machine ----

PortConfig storedConfig(const std::string& port) {
    PortConfig config{};
    DWORD error = GetLastError();
    if (!ReadPortConfigAt(MonitorKeyPath, port.c_str(), &config)) config.kind = -1;
    SetLastError(error);
    return config;
}

std::optional<std::string> installedPrinterId(const std::string& id) {
    for (auto& known : sim::machine().usbPrinterIds())
        if (sim::equalNoCase(known, id)) return known;
    return std::nullopt;
}

std::optional<std::string> lookUpPrinter(const std::string& idOrPort) {
    if (auto id = installedPrinterId(idOrPort)) return id;
    for (auto& id : sim::machine().usbPrinterIds())
        if (auto portName = sim::machine().registry().stringValue(deviceKey(id), "PortName"))
            if (sim::equalNoCase(*portName, idOrPort)) return id;
    PortConfig config = storedConfig(idOrPort);
    config.usb.instanceId[sizeof config.usb.instanceId - 1] = 0;
    if (config.kind == PortKindUsb) return installedPrinterId(config.usb.instanceId);
    return std::nullopt;
}

JobState jobState(const sim::JobReport& job) {
    std::string why = job.error ? fmt::format(" ({}, {})", errorMeaning(job.error), errorText(job.error)) : "";
    if (!job.unreadable.empty()) return {"unreadable", "unreadable: cancelling it removes its files"};
    if (!job.problem.empty()) return {"refused", "not printed: " + job.problem};
    if (job.cancelAsked)
        return {"cancelling", job.writingForMs >= 1000
                                  ? fmt::format("cancel asked; the printer is taking nothing (stalled {} s); the job "
                                                "ends at its next write",
                                                job.writingForMs / 1000)
                                  : "cancel asked; the job ends at its next write"};
    if (job.status & JOB_STATUS_SPOOLING)
        return {"spooling", job.status & JOB_STATUS_PRINTING ? "spooling and printing" : "spooling"};
    if (job.status & JOB_STATUS_OFFLINE) return {"held", "held: the printer is offline"};
    if (job.status & JOB_STATUS_PAUSED) return {"paused", "paused"};
    if ((job.status & JOB_STATUS_PRINTING) && (job.status & JOB_STATUS_ERROR)) return {"error", "error" + why};
    if (job.status & JOB_STATUS_PRINTING)
        return {job.writingForMs >= 1000 ? "stalled" : "printing",
                job.writingForMs >= 1000
                    ? fmt::format("printing; the printer is taking nothing (stalled {} s)", job.writingForMs / 1000)
                    : "printing"};
    if (job.status == JOB_STATUS_PRINTED) return {"printed", "printed"};
    if (job.status == JOB_STATUS_DELETED)
        return {"cancelled", job.sent == 0 && job.error
                                 ? "cancelled before it printed" + why
                                 : fmt::format("cancelled after {} of {} bytes", job.sent, job.spooled)};
    if (job.status & JOB_STATUS_ERROR) return {"failed", "failed" + why};
    return {"waiting", "waiting"};
}

std::string jobStatusText(const sim::JobReport& job) { return jobState(job).sentence; }

std::optional<JobHold> jobHold(const sim::JobReport& job) {
    std::string cancel = zevmonCommand(fmt::format("queue cancel {}", job.id)) + " removes it";
    std::string resume = zevmonCommand(fmt::format("queue resume {}", job.id));
    if (!job.unreadable.empty()) return JobHold{"its files cannot be read", cancel};
    if (!job.problem.empty()) return JobHold{"it is not printed: " + shown(job.problem), cancel};
    if (job.status & JOB_STATUS_OFFLINE) {
        std::string printer = shown(job.printer), why = "printer " + printer + " is offline";
        std::string online = zevmonCommand("printers online " + shellWord(printer)) + " prints it, and " + cancel;
        if (storedConfig(job.port).kind != PortKindUsb)
            return JobHold{why, shown(job.port) + " is not a USB port, so only a person sets the printer online "
                                                  "again: " + online};
        bool present = false;
        std::optional<std::string> device = lookUpPrinter(job.port);
        if (device) sim::machine().withUsbPrinter(*device, [&](sim::UsbPrinter& p) { present = p.present; });
        if (present) return JobHold{why, online};
        return JobHold{why, fmt::format("Its USB printer is unplugged: {} prints it, and {}",
                                        zevmonCommand("usb plug " + shellWord(shown(job.port))), cancel)};
    }
    if (job.status & JOB_STATUS_PAUSED) return JobHold{"it is paused", resume + " prints it, and " + cancel};
    if ((job.status & JOB_STATUS_ERROR) && !(job.status & JOB_STATUS_PRINTING))
        return JobHold{"it " + shown(jobStatusText(job)),
                       "Once that is mended, " + resume + " prints it again, and " + cancel};
    return std::nullopt;
}

std::string holdSentence(const sim::JobReport& job, const std::string& state) {
    std::optional<JobHold> hold = jobHold(job);
    return fmt::format("Job {} \"{}\" {}: {}.{}", job.id, shown(job.document), state,
                       hold ? hold->why : shown(jobStatusText(job)), hold ? " " + hold->advice + "." : "");
}

}  // namespace zevmon
