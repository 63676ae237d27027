// The print queues through WINSPOOL.DRV.
#include "spooler_queue.h"

#include <fmt/format.h>
#include <winspool.h>

#include <algorithm>
#include <functional>


namespace zevmon {

namespace {

// A printer's handle for the calls of one look at its queue.
class OpenedPrinter {
public:
    explicit OpenedPrinter(const std::string& name) {
        if (!OpenPrinterA(const_cast<LPSTR>(name.c_str()), &handle_, NULL)) handle_ = NULL;
    }
    ~OpenedPrinter() {
        if (!handle_) return;
        DWORD error = GetLastError();
        ClosePrinter(handle_);
        SetLastError(error);
    }
    OpenedPrinter(const OpenedPrinter&) = delete;
    OpenedPrinter& operator=(const OpenedPrinter&) = delete;
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_ = NULL;
};

// One call that fills a buffer of `size` bytes with JOB_INFO_1A records, or
// says the size it needs.
using JobsCall = std::function<BOOL(LPBYTE buffer, DWORD size, DWORD* needed, DWORD* returned)>;

// Asks the size, then fills; again while the size grows, since a job may be
// given between two calls.
std::vector<QueuedJob> readJobs(const std::string& call, const JobsCall& fill, const CallTrace& trace) {
    std::vector<QueuedJob> jobs;
    DWORD needed = 0, returned = 0;
    BOOL ok = fill(NULL, 0, &needed, &returned);
    trace(fmt::format("{}, NULL, 0)", call), ok, fmt::format("needed {}", needed));
    std::vector<BYTE> buffer;
    for (int attempt = 0; !ok && attempt < 3 && GetLastError() == ERROR_INSUFFICIENT_BUFFER; attempt++) {
        buffer.assign(needed + 1, 0);
        ok = fill(buffer.data(), needed, &needed, &returned);
        trace(fmt::format("{}, buffer, {})", call, buffer.size() - 1), ok, fmt::format("returned {}", returned));
    }
    if (!ok || buffer.empty()) return jobs;
    auto* info = reinterpret_cast<const JOB_INFO_1A*>(buffer.data());
    for (DWORD i = 0; i < returned; i++)
        jobs.push_back({info[i].JobId, info[i].pPrinterName ? info[i].pPrinterName : "",
                        info[i].pDocument ? info[i].pDocument : "", info[i].Status, info[i].Priority,
                        info[i].Position});
    return jobs;
}

}  // namespace

std::vector<QueuedJob> queuedJobs(const std::vector<PrinterState>& printers, const CallTrace& trace) {
    std::vector<QueuedJob> jobs;
    for (const PrinterState& printer : printers) {
        OpenedPrinter opened(printer.name);
        if (!opened.handle()) continue;
        std::vector<QueuedJob> its = readJobs(
            fmt::format("EnumJobsA(\"{}\", 0, all, 1", printer.name),
            [&](LPBYTE buffer, DWORD size, DWORD* needed, DWORD* returned) {
                return EnumJobsA(opened.handle(), 0, 0xFFFFFFFF, 1, buffer, size, needed, returned);
            },
            trace);
        jobs.insert(jobs.end(), its.begin(), its.end());
    }
    std::stable_sort(jobs.begin(), jobs.end(), [](const QueuedJob& a, const QueuedJob& b) {
        return printsBefore(a.priority, a.id, b.priority, b.id);
    });
    return jobs;
}

std::optional<QueuedJob> queuedJob(const std::vector<PrinterState>& printers, DWORD id, const CallTrace& trace) {
    for (const PrinterState& printer : printers) {
        OpenedPrinter opened(printer.name);
        if (!opened.handle()) continue;
        std::vector<QueuedJob> found = readJobs(
            fmt::format("GetJobA(\"{}\", {}, 1", printer.name, id),
            [&](LPBYTE buffer, DWORD size, DWORD* needed, DWORD* returned) {
                *returned = 1;
                return GetJobA(opened.handle(), id, 1, buffer, size, needed);
            },
            trace);
        if (!found.empty()) return found.front();
    }
    return std::nullopt;
}

bool controlJob(const std::string& printer, DWORD id, DWORD command, const CallTrace& trace) {
    OpenedPrinter opened(printer);
    if (!opened.handle()) return false;
    BOOL ok = SetJobA(opened.handle(), id, 0, NULL, command);
    const char* name = command == JOB_CONTROL_CANCEL    ? "JOB_CONTROL_CANCEL"
                       : command == JOB_CONTROL_RESUME  ? "JOB_CONTROL_RESUME"
                       : command == JOB_CONTROL_RESTART ? "JOB_CONTROL_RESTART"
                                                        : "JOB_CONTROL_PAUSE";
    trace(fmt::format("SetJobA(\"{}\", {}, 0, NULL, {})", printer, id, name), ok);
    return ok;
}

bool cancelJob(const std::string& printer, DWORD id, const CallTrace& trace) {
    return controlJob(printer, id, JOB_CONTROL_CANCEL, trace);
}

bool setJobPriority(HANDLE printer, DWORD id, DWORD priority, const CallTrace& trace) {
    DWORD needed = 0;
    GetJobA(printer, id, 1, NULL, 0, &needed);
    std::vector<BYTE> record(std::max<DWORD>(needed, sizeof(JOB_INFO_1A)));
    BOOL ok = GetJobA(printer, id, 1, record.data(), (DWORD)record.size(), &needed);
    trace(fmt::format("GetJobA(handle, {}, 1, buffer, {}, &needed)", id, record.size()), ok);
    if (!ok) return false;
    JOB_INFO_1A* info = reinterpret_cast<JOB_INFO_1A*>(record.data());
    info->Priority = priority;
    info->Position = JOB_POSITION_UNSPECIFIED;
    ok = SetJobA(printer, id, 1, record.data(), 0);
    trace(fmt::format("SetJobA(handle, {}, 1, {{Priority {}}}, 0)", id, priority), ok);
    return ok;
}

}  // namespace zevmon
