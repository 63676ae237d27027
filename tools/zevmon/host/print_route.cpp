// zevmon print on the simulated machine: the words this build adds to print
// (--answer, --on-error, --direct, and the events staged at the USB printer)
// and their checks, then the job itself. It goes to the printer's queue as
// any program gives it, and the machine's spooler plays it back through the
// monitor; with --direct the monitor's table is called alone.
#include "print_route.h"

#include <fmt/format.h>
#include <winspool.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/cli.h"
#include "common/spooler_queue.h"
#include "common/terminal.h"
#include "common/text.h"
#include "machine_commands.h"
#include "sim/machine.h"

namespace zevmon {

struct MachinePrintWords {
    std::string answerGiven;    // --answer,
    std::string onErrorGiven;   // --on-error
    std::vector<double> stall;  // and --stall-after, before their checks
    std::optional<std::string> fileAnswer;  // the open-file dialog's answer; "" cancels
    // The answer to the spooler's error dialog: "retry" or "cancel"; without
    // it a terminal is asked, and without one the answer is Cancel.
    std::optional<std::string> onError;
    bool direct = false;  // the monitor's table called directly instead of the queue
    Staging staging;
};

namespace {

void declareMachinePrint(CLI::App& print, HostRun& run) {
    MachinePrintWords& options = run.words<MachinePrintWords>();
    print.add_option("--answer", options.answerGiven, "the path to give the open-file dialog (empty: cancel it)")
        ->type_name("PATH");
    print.add_option("--on-error", options.onErrorGiven,
                     "the answer to the spooler's error dialog: retry or cancel (default: ask on a terminal, else "
                     "cancel)")
        ->check(CLI::IsMember({"retry", "cancel"}));
    print.add_flag("--direct", options.direct,
                   "call the monitor's table directly instead of the printer's queue (to debug the monitor alone)");
    Staging& staging = options.staging;
    print.add_option("--unplug-after", staging.unplugAfter, "pull the USB printer out once it received BYTES")
        ->type_name("BYTES")
        ->check(wholeNumber("the count is a whole number of bytes, 0 or more", 0, ~0ull));
    print.add_option("--plug-after", staging.plugAfter, "plug it in again SECONDS after that")
        ->type_name("SECONDS")
        ->check(secondsNumber("the wait is a number of seconds, 0 or more"));
    print.add_option("--stall-after", options.stall, "the USB printer takes nothing for SECONDS once it received BYTES")
        ->type_name("BYTES SECONDS")
        ->expected(2);
}

int checkMachinePrint(const CLI::App& print, HostRun& run) {
    MachinePrintWords& options = run.words<MachinePrintWords>();
    Staging& staging = options.staging;
    if (print.count("--answer")) options.fileAnswer = options.answerGiven;
    if (print.count("--on-error")) options.onError = options.onErrorGiven;
    if (print.count("--stall-after")) {
        const std::vector<double>& stall = options.stall;
        if (stall[0] < 0 || stall[1] < 0 || stall[0] != (double)(std::uint64_t)stall[0]) {
            std::fprintf(console().err(), "zevmon: --stall-after takes a count of bytes and a number of seconds\n");
            return 2;
        }
        staging.stallAfter = (std::uint64_t)stall[0];
        staging.stallSeconds = stall[1];
    }
    if (options.direct && print.count("--priority")) {
        std::fprintf(console().err(), "zevmon: --priority orders the jobs of the queue, which --direct passes by\n");
        return 2;
    }
    if (staging.plugAfter && !staging.unplugAfter) {
        std::fprintf(console().err(), "zevmon: --plug-after plugs the printer in again after --unplug-after pulled it out\n");
        return 2;
    }
    if (options.direct && (staging.plugAfter || print.count("--on-error"))) {
        std::fprintf(console().err(), "zevmon: --plug-after and --on-error work with the queue's retries, not with --direct\n");
        return 2;
    }
    return -1;
}

// The events --unplug-after and --stall-after stage at the printer of a
// direct job, counted from what it has received so far.
void stageDirect(const std::optional<std::string>& target, const Staging& staging) {
    if (!target) {
        if (staging.unplugAfter || staging.stallAfter)
            throw Failure("--unplug-after and --stall-after stage events at a USB printer; this port has none.");
        return;
    }
    sim::machine().withUsbPrinter(*target, [&](sim::UsbPrinter& printer) {
        if (staging.unplugAfter && printer.present) printer.unplugAtByte = printer.receivedBytes + *staging.unplugAfter;
        if (staging.stallAfter) {
            printer.stallAtByte = printer.receivedBytes + *staging.stallAfter;
            printer.stallMilliseconds = (unsigned)(staging.stallSeconds * 1000);
        }
    });
}

bool printerPresent(const std::string& id) {
    bool present = false;
    sim::machine().withUsbPrinter(id, [&](sim::UsbPrinter& printer) { present = printer.present; });
    return present;
}

}  // namespace

const MoreWords<HostRun> MachinePrintOptions = {declareMachinePrint, checkMachinePrint};

MachinePorts::MachinePorts(Session& session, HostRun& run)
    : SystemSpooler(session.options().trace, nullptr), session_(session), words_(run.words<MachinePrintWords>()) {}

bool MachinePorts::jobsNeedPrinter() const { return !words_.direct; }

// The job goes to the printer's queue as any program gives it; the spooler
// plays it back through the monitor, as soon as its first bytes are spooled,
// on a thread of its own. Once EndDocPrinter returned the machine owns the
// job: a command that ends, or whose client is killed, leaves it printing.
// The command says how the job ended: printed, held (only once nothing it
// staged can release it), cancelled or failed.
int MachinePorts::printJob(const PrintOptions& job, const std::string& printer) {
    session_.folder().checkWritable();
    // The monitor's dialogs and the job's playback answer as the command asked.
    JobOwner& asked = *session_.owner();
    asked.onError = words_.onError;
    asked.fileAnswer = words_.fileAnswer;
    asked.staging = words_.staging;
    if (words_.direct) return printDirect(job, printer);
    LiveMachine& live = session_.live();
    if (!live.spoolerRunning()) throw Failure("The spooler did not start, so nothing can be printed through it.");
    std::optional<std::string> target = lookUpPrinter(job.port);
    const Staging& staging = words_.staging;
    if (!target && (staging.unplugAfter || staging.stallAfter))
        throw Failure("--unplug-after and --stall-after stage events at a USB printer; this port has none.");
    std::shared_ptr<JobOwner> owner = session_.owner();
    // What the command staged acts on its own job while it waits for it.
    struct StagingEnds {
        JobOwner& owner;
        ~StagingEnds() { owner.stagingOver = true; }
    } stagingEnds{*owner};
    bool plugDue = false;  // the printer was unplugged before its job, and --plug-after plugs it in
    auto plugAt = std::chrono::steady_clock::now();
    if (target && staging.unplugAfter && !printerPresent(*target)) {
        notice(fmt::format("The printer {} is unplugged already, so --unplug-after has nothing to pull out{}.", shown(*target),
                           staging.plugAfter ? "; it is plugged in --plug-after seconds from now" : ""));
        owner->staging.unplugAfter.reset();  // before its job exists: nothing to pull out at its playback
        if (staging.plugAfter) {
            plugAt += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(*staging.plugAfter));
            plugDue = true;
            owner->pullOutDue = true;
        }
    }
    // --chunk is the size of the monitor's writes, as with --direct: the
    // spooler's playback makes them; the document is given in larger pieces.
    SpooledDocument document =
        spoolDocument(job, printer, CallTrace(session_.options().trace), std::max(job.chunk, 65536u), [&](DWORD id) {
            sim::machine().setWriteChunk(id, job.chunk);
            live.own(id, owner);
        });
    DWORD id = document.job;
    if (!document.takenBack())
        notice(fmt::format("Job {} \"{}\" ({} bytes) is in the queue of printer {}.", id, shown(job.document),
                           document.sent.bytes, shown(printer)));
    auto& machine = sim::machine();
    auto plugIn = [&] {
        machine.plugUsbPrinter(*target);
        live.deviceChanged();
        notice(fmt::format("The printer {} is plugged in again.", shown(*target)));
        plugDue = false;
        owner->pullOutDue = false;
    };
    std::optional<Progress> progress;  // once it prints: a held job shows none
    bool cancelSent = false;
    std::optional<sim::JobReport> ended;
    while (!(ended = machine.endedJob(id))) {
        // The person has gone: the job is the machine's, and prints on.
        if (console().gone()) return 0;
        std::optional<sim::JobReport> queued = machine.spooledJob(id);
        if (!queued) break;
        if (plugDue && std::chrono::steady_clock::now() >= plugAt) plugIn();
        if (cancelRequested() && !cancelSent) {
            cancelJob(printer, id, traceCall);
            cancelSent = true;
        }
        if (cancelSent && queued->writingForMs >= 1000) {
            if (progress) progress->finish();
            std::fprintf(console().err(),
                         "zevmon: Job %lu: cancel asked; the printer is taking nothing (stalled %u s); the job ends at "
                         "its next write.\n",
                         (unsigned long)id, queued->writingForMs / 1000);
            return cancelledStatus();
        }
        if (!queued->problem.empty() && !document.takenBack()) {
            if (progress) progress->finish();
            throw Failure(holdSentence(*queued, "waits in the queue"));
        }
        if (queued->status & JOB_STATUS_PRINTING && !progress) progress.emplace(document.sent.bytes, "Printing");
        if (progress) progress->update(queued->sent);
        // The job's offline mark lags its printer's by a poll of the playback:
        // a printer back online (the staged plug) does not hold it.
        bool offline = (queued->status & JOB_STATUS_OFFLINE) &&
                       (machine.printerAttributes(printer) & PRINTER_ATTRIBUTE_WORK_OFFLINE);
        if ((offline || (queued->status & JOB_STATUS_PAUSED)) && !owner->pullOutDue && !document.takenBack()) {
            if (progress) progress->finish();
            result(holdSentence(*queued, "is held"));
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The last count is the job's own at its end, as queue and the capture give
    // it; also for a job that printed between two looks.
    if (!progress && ended && ended->sent) progress.emplace(document.sent.bytes, "Printing");
    if (progress && ended) progress->update(ended->sent);
    if (progress) progress->finish();
    // What --plug-after staged happens whatever became of the job, and is said.
    if (plugDue) {
        while (std::chrono::steady_clock::now() < plugAt && !cancelRequested() && !console().gone())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (std::chrono::steady_clock::now() >= plugAt) plugIn();
        else
            notice(fmt::format("The printer {} stays unplugged: the run ended before --plug-after plugged it in ({}).",
                               shown(*target), zevmonCommand("usb plug " + shellWord(shown(job.port)))));
        owner->pullOutDue = false;
    }
    while (owner->pullOutDue && !cancelRequested() && !console().gone())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (owner->pullOutDue)
        notice(fmt::format("The machine plugs the printer {} in again as --plug-after asked, after this run.",
                           shown(*target)));
    if (!ended) ended = machine.endedJob(id);  // it may have ended between the two looks
    if (!ended) throw Failure(fmt::format("Job {} left the queue without a word from the spooler.", id));
    return reportEnd(*ended, document, cancelSent);
}

// What became of the command's own job, once its playback ended.
int MachinePorts::reportEnd(const sim::JobReport& ended, const SpooledDocument& document, bool cancelSent) {
    DWORD id = ended.id;
    std::string reached = ended.sent ? fmt::format("{} bytes of it had reached the printer", ended.sent)
                                     : "nothing of it had reached the printer";
    std::string reachedSentence = ended.sent ? reached + "." : "Nothing of it had reached the printer.";
    // Cancelled at the error dialog while it was still given: the dialog's account is the job's.
    bool atDialog = ended.status == JOB_STATUS_DELETED && ended.error && ended.error != ERROR_PRINT_CANCELLED;
    if (document.failure && !(atDialog && !cancelSent))
        throw Failure(fmt::format("{} {}", document.failure->what(), reachedSentence));
    if (document.sent.cancelled) {
        std::fprintf(console().err(), "zevmon: The job was cancelled while it was given to the spooler, after %llu bytes; the "
                             "spooler took it back, and %s.\n",
                     (unsigned long long)document.sent.bytes, reached.c_str());
        return cancelledStatus();
    }
    if (!ended.folderProblem.empty())
        throw Failure(fmt::format("Job {} {}, but {}.", id, shown(jobStatusText(ended)), ended.folderProblem));
    if (std::string problem = session_.live().captureProblem(id); !problem.empty())
        throw Failure(fmt::format("Job {} {}: {}", id, shown(jobStatusText(ended)), problem));
    if (ended.status == JOB_STATUS_PRINTED) {
        result(fmt::format("Printed job {}: {} bytes to {} for printer {}{}.", id, ended.sent, shown(ended.port),
                           shown(ended.printer), fileDestination(ended.port)));
        return 0;
    }
    // Only a job that sent bytes is known to have started at the port, and
    // been ended there.
    const char* ender = ended.sent > 0 ? "; EndDocPort ended it" : ", before it printed";
    if (ended.status == JOB_STATUS_DELETED && cancelSent) {
        std::fprintf(console().err(), "zevmon: Job %lu was cancelled after %llu of %llu bytes were sent%s.\n",
                     (unsigned long)id, (unsigned long long)ended.sent, (unsigned long long)ended.spooled, ender);
        return cancelledStatus();
    }
    if (ended.status == JOB_STATUS_DELETED && ended.error == 0)
        throw Failure(fmt::format("Job {} was cancelled by zevmon queue cancel after {} of {} bytes were sent{}.", id,
                                  ended.sent, ended.spooled, ender));
    if (ended.status == JOB_STATUS_DELETED)
        throw Failure(fmt::format("Job {} was cancelled at the spooler's error dialog after {} of {} bytes were sent{}.",
                                  id, ended.sent, ended.spooled,
                                  ended.error ? fmt::format(": {} ({})", errorMeaning(ended.error),
                                                            errorText(ended.error))
                                              : ""));
    JobState state = jobState(ended);
    throw Failure(std::string(state.word) == "failed" ? fmt::format("Job {} {}.", id, shown(state.sentence))
                                                      : fmt::format("Job {} failed: {}.", id, shown(state.sentence)));
}

// The monitor's table called directly, as before the queue: for debugging
// the monitor alone.
int MachinePorts::printDirect(const PrintOptions& job, const std::string& printer) {
    // The port is lent by the spooler while no job of its own plays on it.
    DWORD printing = 0;
    if (!sim::machine().lendPort(job.port, &printing))
        throw Failure(printing ? fmt::format("Port {} is printing job {} of the queue; a direct job waits until it "
                                             "ends ({} shows it).",
                                             shown(job.port), printing, zevmonCommand("queue"))
                               : fmt::format("Port {} is in use by the spooler or another direct job; try again when "
                                             "it is free.",
                                             shown(job.port)));
    struct GiveBack {
        std::string port;
        ~GiveBack() { sim::machine().giveBackPort(port); }
    } giveBack{job.port};
    JobRecorder recorder(session_.folder(), job.document, job.port);
    JobObserver observer;
    std::optional<std::string> target = lookUpPrinter(job.port);
    stageDirect(target, words_.staging);
    observer.started = [&] {
        if (target) recorder.begin(*target);
    };
    observer.wrote = [&] { recorder.collect(); };
    observer.ended = [&](std::uint64_t sent, const std::string& outcome) {
        recorder.finish(outcome);
        session_.done(fmt::format("the job on {}: {}, {} bytes sent", shown(job.port), outcome, sent));
    };
    observer.destination = [&] { return fileDestination(job.port); };
    int status;
    try {
        status = zevmon::printJob(session_.monitorCaller(), job, printer, observer);
    } catch (const Failure& e) {
        if (recorder.captureProblem().empty()) throw;
        throw Failure(std::string(e.what()) + " " + recorder.captureProblem());
    }
    if (!recorder.captureProblem().empty()) throw Failure(recorder.captureProblem());
    return status;
}

std::string MachinePorts::fileDestination(const std::string& port) {
    std::string file = words_.fileAnswer.value_or("");
    PortConfig config = storedConfig(port);
    if (config.kind != PortKindFile) return "";
    config.fileName[sizeof config.fileName - 1] = 0;
    if (config.fileName[0] && !file.empty() && !session_.owner()->prompted)
        notice(fmt::format("--answer {} was not needed: {} prints to its own file.", file, shown(port)));
    std::string said = file;  // as typed; the port's own is in the machine's code page
    if (config.fileName[0]) file = config.fileName, said = shown(file);
    else if (session_.owner()->answered) file = said = *session_.owner()->answered;
    if (file.empty()) return "";
    return fmt::format(", into {} ({})", said, sim::machine().hostPath(file));
}

}  // namespace zevmon
