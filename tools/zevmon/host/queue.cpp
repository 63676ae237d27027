// zevmon queue: the jobs in the machine's print queue, as the spooler reports
// them, and the cancelling of one.
#include <fmt/format.h>
#include <winspool.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/terminal.h"
#include "common/text.h"
#include "machine_commands.h"
#include "sim/machine.h"

namespace zevmon {

namespace {

// The queue once every job loaded from the spool folder knows where it stands.
std::vector<sim::SpooledJob> currentQueue() {
    sim::machine().waitForPlayback(200);
    return sim::machine().spooledJobs();
}

}  // namespace

void addQueueCommands(CLI::App& app, HostRun& run) {
    auto* queue = app.add_subcommand("queue", "list the jobs in the print queue");
    queue->add_flag("--json", run.options.asJson, "as JSON");
    auto* cancel = queue->add_subcommand("cancel", "cancel a job: one that prints ends with EndDocPort");
    cancel->add_option("id", run.jobId, "the job's id, as zevmon queue lists it")->required();
}

int cmdQueue(HostRun& run) {
    std::vector<sim::SpooledJob> jobs = currentQueue();
    if (run.options.asJson) {
        nlohmann::json list = nlohmann::json::array();
        for (auto& job : jobs)
            list.push_back({{"id", job.id},
                            {"printer", job.printer},
                            {"port", job.port},
                            {"document", job.document},
                            {"status", jobStatusText(job)},
                            {"spooled", job.spooled},
                            {"sent", job.sent}});
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

int cmdQueueCancel(HostRun& run) {
    std::vector<sim::SpooledJob> jobs = currentQueue();
    auto job = std::find_if(jobs.begin(), jobs.end(), [&](const sim::SpooledJob& j) { return j.id == run.jobId; });
    if (job == jobs.end()) throw Failure(fmt::format("There is no job {} in the queue (zevmon queue lists them).", run.jobId));
    if (!cancelJob(job->printer, job->id)) fail(fmt::format("Job {} could not be cancelled", job->id));
    // One that plays back ends with EndDocPort before the run ends.
    while (!sim::machine().waitForPlayback(1000)) {
    }
    result(fmt::format("Job {} \"{}\" on printer {} was cancelled; {} of its {} bytes had been sent.", job->id,
                       shown(job->document), shown(job->printer), job->sent, job->spooled));
    return 0;
}

}  // namespace zevmon
