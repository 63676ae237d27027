// zevmon queue: the jobs in the machine's print queue, as the spooler reports
// them, the cancelling of one, and the printing of those left waiting. Listing
// and cancelling take no lock of the machine, so that they answer while
// another run prints: a job that run holds is listed as it last wrote it, with
// the bytes sent so far, and cancelled by that run at its next write.
#include <fmt/format.h>
#include <winspool.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <thread>

#include "common/terminal.h"
#include "common/text.h"
#include "machine_commands.h"
#include "sim/machine.h"

namespace zevmon {

namespace {

// The queue as the spooler lists it; never an empty one for a folder that
// cannot be read.
std::vector<sim::SpooledJob> currentQueue() {
    std::vector<sim::SpooledJob> jobs = sim::machine().spooledJobs();
    std::string error = sim::machine().spoolFolderError();
    if (!error.empty()) throw Failure(error);
    return jobs;
}

std::optional<sim::SpooledJob> queuedJob(DWORD id) {
    for (const sim::SpooledJob& job : currentQueue())
        if (job.id == id) return job;
    return std::nullopt;
}

void declareQueue(CLI::App& queue, HostRun& run) { queue.add_flag("--json", run.options.asJson, "as JSON"); }

int cmdQueue(HostRun& run) {
    std::vector<sim::SpooledJob> jobs = currentQueue();
    if (run.options.asJson) {
        nlohmann::json list = nlohmann::json::array();
        for (auto& job : jobs) {
            nlohmann::json entry = {{"id", job.id},
                                    {"printer", job.printer},
                                    {"port", job.port},
                                    {"document", job.document},
                                    {"status", jobStatusText(job)},
                                    {"priority", job.priority},
                                    {"spooled", job.spooled},
                                    {"sent", job.sent}};
            if (!job.unreadable.empty()) entry["problem"] = job.unreadable;
            list.push_back(entry);
        }
        std::printf("%s\n", jsonOutput(list).c_str());
        return 0;
    }
    if (jobs.empty()) {
        std::printf("The print queue is empty.\n");
        return 0;
    }
    printFitted("%-4s %s %s %s %10s %10s  %s\n", "ID", padded("PRINTER", 18).c_str(), padded("PORT", 8).c_str(),
                padded("DOCUMENT", 18).c_str(), "SPOOLED", "SENT", "STATUS");
    for (auto& job : jobs)
        printFitted("%-4lu %s %s %s %10zu %10zu  %s\n", (unsigned long)job.id, padded(shown(job.printer), 18).c_str(),
                    padded(shown(job.port), 8).c_str(), padded(shown(job.document), 18).c_str(), job.spooled, job.sent,
                    jobStatusText(job).c_str());
    return 0;
}

void declareQueueCancel(CLI::App& cancel, HostRun& run) {
    cancel.add_option("id", run.jobId, "the job's id, as zevmon queue lists it")->required();
}

// A job another run holds is cancelled by that run, at its next write; this
// one waits for it to leave, and takes it itself if that run ends first.
int cmdQueueCancel(HostRun& run) {
    std::optional<sim::SpooledJob> job = queuedJob(run.jobId);
    if (!job) throw Failure(fmt::format("There is no job {} in the queue (zevmon queue lists them).", run.jobId));
    if (!job->unreadable.empty()) {
        // Its printer is not known: a handle of any printer reaches it.
        std::vector<PrinterState> printers = machinePrinters();
        if (!cancelJob(printers.empty() ? job->printer : printers.front().name, job->id))
            fail(fmt::format("Job {} could not be cancelled", job->id));
        result(fmt::format("Job {} was cancelled: its files, which could not be read, were removed.", job->id));
        return 0;
    }
    if (!cancelJob(job->printer, job->id)) fail(fmt::format("Job {} could not be cancelled", job->id));
    if (job->elsewhere)
        notice(fmt::format("Job {} is {} in another zevmon run; that run ends it at its next write.", job->id,
                           job->status & JOB_STATUS_PRINTING ? "printing" : "held"));
    for (std::optional<sim::SpooledJob> still; (still = queuedJob(job->id)); job = still) {
        if (!still->elsewhere && !cancelJob(still->printer, still->id))
            fail(fmt::format("Job {} could not be cancelled", job->id));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::optional<sim::SpooledJob> ended = sim::machine().endedJob(job->id);
    if (ended && ended->status != JOB_STATUS_DELETED)
        throw Failure(fmt::format("Job {} \"{}\" on printer {} ended before the cancel reached it: {}.", job->id,
                                  shown(job->document), shown(job->printer), jobStatusText(*ended)));
    std::size_t sent = ended ? ended->sent : job->sent;
    result(fmt::format("Job {} \"{}\" on printer {} was cancelled; {} of its {} bytes had been sent.", job->id,
                       shown(job->document), shown(job->printer), sent, job->spooled));
    return 0;
}

// The run's spooler took the waiting jobs at its start; they print before it ends.
int cmdQueueResume(HostRun&) {
    std::size_t waiting = 0;
    for (const sim::SpooledJob& job : sim::machine().spooledJobs())
        if (job.unreadable.empty() && !job.elsewhere && !job.incomplete &&
            !(job.status & (JOB_STATUS_PRINTED | JOB_STATUS_ERROR)))
            waiting++;
    if (waiting == 0) notice("No job waits in the queue to print.");
    return 0;
}

}  // namespace

const Verb<HostRun> QueueCommand("queue", "list the jobs in the print queue, also while one prints", declareQueue,
                                 nullptr, cmdQueue);
const Verb<HostRun> QueueCancelCommand("cancel",
                                       "cancel a job: one that prints, here or in another run, ends with EndDocPort at "
                                       "its next write",
                                       declareQueueCancel, nullptr, cmdQueueCancel, &QueueCommand);
const Verb<HostRun> QueueResumeCommand("resume",
                                       "print the jobs left waiting in the queue, such as those of a run that was "
                                       "killed",
                                       nullptr, nullptr, cmdQueueResume, &QueueCommand);

}  // namespace zevmon
