// The spooler's print queues as any program reads and changes them: the jobs
// of every printer (EnumJobsA), one job (GetJobA), and the cancel of one
// (SetJobA), each on a handle of the job's printer.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "monitor_caller.h"
#include "route.h"

namespace zevmon {

// A job as the spooler tells it at level 1.
struct QueuedJob {
    DWORD id = 0;
    std::string printer, document;
    DWORD status = 0;
    DWORD priority = 0;
    DWORD position = 0;  // in its printer's queue, from 1
};

// The order the spooler prints jobs in: a higher priority first, then the
// job given first.
inline bool printsBefore(DWORD priority, DWORD id, DWORD otherPriority, DWORD otherId) {
    return priority != otherPriority ? priority > otherPriority : id < otherId;
}

// The jobs of the printers (localPrinters()), in the order the spooler
// prints them. A printer
// that cannot be opened or listed holds none.
std::vector<QueuedJob> queuedJobs(const std::vector<PrinterState>& printers, const CallTrace& trace);

// The job, from the queue of whichever of the printers holds it; none once it left.
std::optional<QueuedJob> queuedJob(const std::vector<PrinterState>& printers, DWORD id, const CallTrace& trace);

// A job cancelled as the printer folder of 95 and 98 cancels one: SetJobA
// with JOB_CONTROL_CANCEL on a handle of its printer (the NT family's
// JOB_CONTROL_DELETE came later). False with the last error.
bool cancelJob(const std::string& printer, DWORD id, const CallTrace& trace);
// Any other command of the printer folder's on the job, the same way:
// JOB_CONTROL_RESUME of a paused one, JOB_CONTROL_RESTART of a failed one.
bool controlJob(const std::string& printer, DWORD id, DWORD command, const CallTrace& trace);

// The job's priority, 1 to 99, set as a program sets it: its level-1 record
// read with GetJobA and given back to SetJobA with the new Priority and no
// change of place. False with the last error.
bool setJobPriority(HANDLE printer, DWORD id, DWORD priority, const CallTrace& trace);

}  // namespace zevmon
