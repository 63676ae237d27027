// zevmon queue: the jobs in the machine's print queue, as the spooler reports
// them, the cancelling of one, and the printing of those left waiting. The
// queue is the running machine's: listing and cancelling answer at once while
// any printer prints or stalls.
#include <fmt/format.h>
#include <winspool.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "common/cli.h"
#include "common/registry.h"
#include "common/spooler_queue.h"
#include "common/system_spooler.h"
#include "common/terminal.h"
#include "common/text.h"
#include "machine_commands.h"
#include "sim/machine.h"

namespace zevmon {

namespace {

// A job the spooler listed, with what JOB_INFO_1 does not say (its port, its
// bytes, why it waits) from the machine; none once it has left.
std::optional<sim::JobReport> withMachineDetails(const QueuedJob& listed, std::optional<sim::JobReport> job) {
    if (!job) return std::nullopt;
    job->printer = listed.printer, job->document = listed.document;
    job->status = listed.status, job->priority = listed.priority;
    return job;
}

// A job the spooler keeps for no printer it lists (one whose files cannot be
// read, or whose printer has gone) is reached through no printer's queue:
// the machine alone tells of it.
bool ofNoPrinter(const sim::JobReport& job, const std::vector<PrinterState>& printers) {
    return std::none_of(printers.begin(), printers.end(), [&](const PrinterState& p) { return sameName(p.name, job.printer); });
}

void checkSpoolFolder() {
    std::string error = sim::machine().spoolFolderError();
    if (!error.empty()) throw Failure(error);
}

// The queue as the spooler lists it, in the machine's order; never an empty
// one for a folder that cannot be read.
std::vector<sim::JobReport> currentQueue(const CallTrace& trace) {
    std::vector<PrinterState> printers = localPrinters(trace);
    std::vector<QueuedJob> listed = queuedJobs(printers, trace);
    std::vector<sim::JobReport> known = sim::machine().spooledJobs();
    checkSpoolFolder();
    std::vector<sim::JobReport> jobs;
    for (const QueuedJob& job : listed) {
        auto details = std::find_if(known.begin(), known.end(), [&](const sim::JobReport& j) { return j.id == job.id; });
        if (details != known.end()) jobs.push_back(*withMachineDetails(job, *details));
    }
    for (const sim::JobReport& job : known)
        if (ofNoPrinter(job, printers)) jobs.push_back(job);
    std::stable_sort(jobs.begin(), jobs.end(), [](const sim::JobReport& a, const sim::JobReport& b) {
        return printsBefore(a.priority, a.id, b.priority, b.id);
    });
    return jobs;
}

std::optional<sim::JobReport> findQueued(DWORD id, const CallTrace& trace) {
    std::vector<PrinterState> printers = localPrinters(trace);
    std::optional<QueuedJob> listed = zevmon::queuedJob(printers, id, trace);
    std::optional<sim::JobReport> job = sim::machine().spooledJob(id);
    checkSpoolFolder();
    if (listed) return withMachineDetails(*listed, job);
    if (job && ofNoPrinter(*job, printers)) return job;
    return std::nullopt;
}

struct QueueWords {
    bool asJson = false;
};

struct CancelWords {
    std::vector<DWORD> jobIds;
};

void declareQueue(CLI::App& queue, HostRun& run) { queue.add_flag("--json", run.words<QueueWords>().asJson, "as JSON"); }

int cmdQueue(HostRun& run) {
    std::vector<sim::JobReport> jobs = currentQueue(CallTrace(run.global.trace));
    if (run.words<QueueWords>().asJson) {
        nlohmann::json list = nlohmann::json::array();
        for (auto& job : jobs) {
            nlohmann::json entry = {{"id", job.id},
                                    {"printer", job.printer},
                                    {"port", job.port},
                                    {"document", job.document},
                                    {"state", jobState(job).word},
                                    {"status", jobStatusText(job)},
                                    {"priority", job.priority},
                                    {"spooled", job.spooled},
                                    {"sent", job.sent}};
            if (!job.unreadable.empty()) entry["problem"] = job.unreadable;
            else if (!job.problem.empty()) entry["problem"] = job.problem;
            list.push_back(entry);
        }
        std::fprintf(console().out(), "%s\n", jsonOutput(list).c_str());
        return 0;
    }
    if (jobs.empty()) {
        std::fprintf(console().out(), "The print queue is empty.\n");
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    for (auto& job : jobs)
        rows.push_back({std::to_string(job.id), std::to_string(job.priority), shown(job.printer), shown(job.port),
                        shown(job.document), std::to_string(job.spooled), std::to_string(job.sent),
                        shown(jobStatusText(job))});
    printTable({{"ID", 4},
                {"PRI", 3},
                {"PRINTER", 18, true},
                {"PORT", 8, true},
                {"DOCUMENT", 18, true},
                {"SPOOLED", 10, false, true},
                {"SENT", 10, false, true},
                {"STATUS"}},
               rows);
    return 0;
}

void declareQueueCancel(CLI::App& cancel, HostRun& run) {
    cancel.add_option("id", run.words<CancelWords>().jobIds, "the jobs' ids, as zevmon queue lists them")->required();
}

// The cancel is asked of the spooler, as the printer folder asks it; the job
// ends at its next write. One whose printer takes nothing is answered at
// once: it ends when the printer takes a byte again, or the monitor's write
// times out.
int cancelOne(HostRun& run, DWORD jobId) {
    CallTrace trace(run.global.trace);
    std::optional<sim::JobReport> job = findQueued(jobId, trace);
    if (!job) {
        if (std::optional<sim::JobReport> ended = sim::machine().endedJob(jobId))
            throw Failure(fmt::format("Job {} \"{}\" is no longer in the queue: {}.", ended->id, shown(ended->document),
                                      shown(jobStatusText(*ended))));
        throw Failure(fmt::format("There is no job {} in the queue ({} lists them).", jobId, zevmonCommand("queue")));
    }
    // A job whose printer is not known is reached through a handle of any printer.
    std::vector<PrinterState> printers = localPrinters(trace);
    bool known = std::any_of(printers.begin(), printers.end(), [&](auto& p) { return sameName(p.name, job->printer); });
    std::string through = known || printers.empty() ? job->printer : printers.front().name;
    if (!cancelJob(through, job->id, trace)) fail(fmt::format("Job {} could not be cancelled", job->id));
    if (!job->unreadable.empty()) {
        result(fmt::format("Job {} was cancelled: its files, which could not be read, were removed.", job->id));
        return 0;
    }
    std::optional<sim::JobReport> ended;
    // Watched untraced: a trace line every poll would bury the command's answer.
    for (std::optional<sim::JobReport> still; (still = findQueued(job->id, CallTrace(false))); job = still) {
        if (still->writingForMs >= 1000) {
            result(fmt::format("Job {} \"{}\" on printer {}: cancel asked; the printer is taking nothing (stalled {} "
                               "s); the job ends at its next write.",
                               job->id, shown(job->document), shown(job->printer), still->writingForMs / 1000));
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ended = sim::machine().endedJob(job->id);
    if (ended && ended->status == JOB_STATUS_PRINTED)
        throw Failure(fmt::format("Job {} \"{}\" on printer {} printed before the cancel reached it: every one of its "
                                  "{} bytes had reached the printer.",
                                  job->id, shown(job->document), shown(job->printer), ended->sent));
    // Ended some other way: the user's wish is met, and said how.
    if (ended && !(ended->status == JOB_STATUS_DELETED && ended->error == 0)) {
        result(fmt::format("Job {} \"{}\" on printer {} is no longer in the queue: {}.", job->id, shown(job->document),
                           shown(job->printer), shown(jobStatusText(*ended))));
        return 0;
    }
    std::size_t sent = ended ? ended->sent : job->sent;
    result(fmt::format("Job {} \"{}\" on printer {} was cancelled; {} of its {} bytes had been sent.", job->id,
                       shown(job->document), shown(job->printer), sent, job->spooled));
    return 0;
}

// Each job in turn, as the printer folder cancels a selection: one that cannot
// be cancelled is said, and the others still are.
int cmdQueueCancel(HostRun& run) {
    const std::vector<DWORD>& ids = run.words<CancelWords>().jobIds;
    if (ids.size() == 1) return cancelOne(run, ids.front());
    int status = 0;
    for (DWORD id : ids) {
        try {
            status = std::max(status, cancelOne(run, id));
        } catch (const Failure& e) {
            std::fprintf(console().err(), "zevmon: %s\n", e.what());
            status = 1;
        }
    }
    return status;
}

struct ResumeWords {
    std::vector<DWORD> jobIds;
};

void declareQueueResume(CLI::App& resume, HostRun& run) {
    resume.add_option("id", run.words<ResumeWords>().jobIds,
                      "the jobs to print again: one that failed, once its cause is mended, or one paused (default: "
                      "every job left waiting)");
}

// A failed job is restarted and a paused one resumed, as the printer folder
// does; any other is watched as it is.
bool releaseNamed(DWORD id, std::set<DWORD>& released, const CallTrace& trace) {
    std::optional<sim::JobReport> job = findQueued(id, trace);
    if (!job) {
        std::fprintf(console().err(), "zevmon: There is no job %lu in the queue (%s lists them).\n", (unsigned long)id,
                     zevmonCommand("queue").c_str());
        return false;
    }
    bool failed = (job->status & JOB_STATUS_ERROR) && !(job->status & JOB_STATUS_PRINTING) && job->problem.empty() &&
                  job->unreadable.empty();
    DWORD command = failed ? JOB_CONTROL_RESTART : job->status & JOB_STATUS_PAUSED ? JOB_CONTROL_RESUME : 0;
    if (command && !controlJob(job->printer, id, command, trace)) {
        std::fprintf(console().err(), "zevmon: %s\n",
                     failure(fmt::format("Job {} could not be {}", id, failed ? "restarted" : "resumed")).what());
        return false;
    }
    if (!command && jobHold(*job)) {
        std::fprintf(console().err(), "zevmon: %s\n", holdSentence(*job, "waits").c_str());
        return false;
    }
    released.insert(id);
    return true;
}

// The machine's spooler prints what waits; this command says how each ends,
// and why any other does not print.
int cmdQueueResume(HostRun& run) {
    std::string why;
    if (!run.session->live().spoolerRunning() && !run.session->live().startSpooler(why)) throw Failure(why);
    const std::vector<DWORD>& ids = run.words<ResumeWords>().jobIds;
    std::set<DWORD> released;
    bool allReleased = true;
    CallTrace trace(run.global.trace);
    for (DWORD id : ids) allReleased = releaseNamed(id, released, trace) && allReleased;
    if (ids.empty())
        for (const sim::JobReport& job : currentQueue(trace)) {
            if (jobHold(job)) result(holdSentence(job, "waits"));
            else released.insert(job.id);
        }
    if (released.empty() && ids.empty() && sim::machine().spooledJobs().empty())
        notice("No job waits in the queue to print.");
    if (int stopped = run.session->live().reportReleased(released)) return stopped;
    return allReleased ? 0 : 1;
}

}  // namespace

const Verb<HostRun> QueueCommand("queue", "list the jobs in the print queue, also while one prints", declareQueue,
                                 nullptr, cmdQueue);
const Verb<HostRun> QueueCancelCommand("cancel",
                                       "cancel a job: one that prints ends with EndDocPort at its next write",
                                       declareQueueCancel, nullptr, cmdQueueCancel, &QueueCommand);
const Verb<HostRun> QueueResumeCommand("resume",
                                       "print the jobs left waiting in the queue, or a failed one again, and say how "
                                       "each ends",
                                       declareQueueResume, nullptr, cmdQueueResume, &QueueCommand);

}  // namespace zevmon
