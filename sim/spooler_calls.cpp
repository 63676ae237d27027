// The application calls, as winspool.drv (winspool.cpp) hands them to the
// spooler process: a document spooled to its job, the queue's jobs set, the
// ports listed and deleted through each monitor in turn.
#include <winspool.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "spooler.h"

namespace sim {

// ---- the application calls, as winspool.drv hands them to the spooler ----

DWORD spoolerStartDoc(uintptr_t printer, const std::string& printerName, const std::string& document, DWORD& jobId) {
    // The spooler process starts with the first job of a session.
    std::string reason;
    if (!machine().startSpooler(&reason)) return ERROR_SERVICE_NOT_ACTIVE;
    std::string port = machine().registry().stringValue(printerKey(printerName), "Port").value_or("");
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    if (spooler.spooling.count(printer)) return ERROR_INVALID_PARAMETER;  // one document at a time on a handle
    if (!spooler.settings.playsBack) return ERROR_ACCESS_DENIED;          // one that only lists
    auto job = std::make_shared<SpoolerJob>();
    job->id = spooler.nextJob;
    job->printer = printerName;
    job->port = port;
    job->document = document;
    job->spooling = true;
    // The job is refused before anything is spooled when the spool folder
    // cannot hold it.
    DWORD error = 0;
    if (spooler.folder.empty()) {
        char name[] = "/tmp/zevsim-spool-XXXXXX";
        job->data = ::mkstemp(name);
        if (job->data >= 0) ::unlink(name);
        else error = fileError(errno);
    } else {
        error = createJobFiles(*job, spooler.folder);
    }
    if (error) {
        dropJob(spooler, job);
        return error;
    }
    spooler.nextJob++;
    jobId = job->id;
    spooler.jobs.push_back(job);
    spooler.spooling[printer] = job;
    spooler.reached("spooling", job->id);
    startPlayback(spooler, job);
    return 0;
}

namespace {

// What an application does with the job it spools on a printer handle, under
// the lock; ERROR_SPL_NO_STARTDOC without one.
DWORD withSpoolingJob(uintptr_t printer,
                      const std::function<DWORD(Machine::Spooler&, std::unique_lock<std::mutex>&, std::shared_ptr<SpoolerJob>)>& f) {
    auto& spooler = machine().spooler();
    std::unique_lock<std::mutex> lock(spooler.mutex);
    auto it = spooler.spooling.find(printer);
    if (it == spooler.spooling.end()) return ERROR_SPL_NO_STARTDOC;
    return f(spooler, lock, it->second);
}

// The application's job ends unspooled: its playback ends it (EndDocPort if
// it had begun) and takes its files; the call returns once it has.
void takeBack(Machine::Spooler& spooler, std::unique_lock<std::mutex>& lock, const std::shared_ptr<SpoolerJob>& job) {
    job->cancel = job->leave = true;
    job->spooling = false;
    if (!job->spoolError) job->spoolError = ERROR_PRINT_CANCELLED;  // never whole, whatever was sent
    spooler.changed.notify_all();
    spooler.changed.wait(lock, [&] { return !job->playingBack; });
    if (std::find(spooler.jobs.begin(), spooler.jobs.end(), job) == spooler.jobs.end()) return;
    dropJob(spooler, job);  // its playback left it for the spooler's next start
}

}  // namespace

// Only the application that spools a job writes its data, so the bytes go to
// the spool file outside the spooler's lock; its playback may send them at
// once. A write to a job cancelled meanwhile fails as the 9x spooler's: "Your
// file waiting to be printed was deleted" (ERROR_PRINT_CANCELLED, winerror.h).
DWORD spoolerWrite(uintptr_t printer, const void* data, DWORD size) {
    std::shared_ptr<SpoolerJob> spooling;
    if (DWORD error = withSpoolingJob(printer, [&](Machine::Spooler&, std::unique_lock<std::mutex>&,
                                                   std::shared_ptr<SpoolerJob> job) {
            spooling = job;
            return job->cancel ? ERROR_PRINT_CANCELLED : job->spoolError;
        }))
        return error;
    std::size_t written = 0;
    errno = 0;
    while (written < size) {
        ssize_t n = ::write(spooling->data, (const BYTE*)data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += (std::size_t)n;
    }
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    spooling->spooled += written;
    if (written != size && !spooling->spoolError) spooling->spoolError = fileError(errno ? errno : ENOSPC);
    spooler.changed.notify_all();
    return written == size ? 0 : spooling->spoolError;
}

// The end of the document: its playback sends the rest. Once its record
// says it is queued, the spooler owns it, whatever becomes of the program
// that gave it. One that could not be spooled whole, or whose record cannot
// be written, is refused and taken back.
DWORD spoolerEndDoc(uintptr_t printer) {
    return withSpoolingJob(printer, [&](Machine::Spooler& spooler, std::unique_lock<std::mutex>& lock,
                                        std::shared_ptr<SpoolerJob> job) {
        spooler.spooling.erase(printer);
        DWORD error = job->cancel ? ERROR_PRINT_CANCELLED : job->spoolError;
        job->spooling = false;
        if (!error) error = writeRecord(*job);
        if (error) {
            job->spooling = true;  // the record still says so: it is dropped
            takeBack(spooler, lock, job);
            return error;
        }
        spooler.reached("queued", job->id);
        spooler.changed.notify_all();
        return DWORD(0);
    });
}

DWORD spoolerAbort(uintptr_t printer) {
    return withSpoolingJob(printer, [&](Machine::Spooler& spooler, std::unique_lock<std::mutex>& lock,
                                        std::shared_ptr<SpoolerJob> job) {
        spooler.spooling.erase(printer);
        takeBack(spooler, lock, job);
        return DWORD(0);
    });
}

// Cancel and delete end a job (one that plays back ends with EndDocPort at
// its next write; one whose every byte has reached the printer prints);
// "sent to printer" is the monitor saying its job is done: it leaves the
// queue when its playback ends. Pause and resume hold and release a job not
// yet played back; restart plays a failed one again. A job that cannot print, unreadable or with its printer
// gone, names no printer it can be sure of: any printer's handle reaches it.
DWORD spoolerSetJob(const std::string& printerName, DWORD jobId, DWORD command) {
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    auto it = std::find_if(spooler.jobs.begin(), spooler.jobs.end(), [&](const std::shared_ptr<SpoolerJob>& job) {
        return job->id == jobId &&
               (equalNoCase(job->printer, printerName) || !job->unreadable.empty() || !job->problem.empty());
    });
    if (it == spooler.jobs.end()) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<SpoolerJob> job = *it;
    switch (command) {
    case JOB_CONTROL_CANCEL:
    case JOB_CONTROL_DELETE:
        job->cancel = job->leave = true;
        break;
    case JOB_CONTROL_SENT_TO_PRINTER:
        job->leave = true;
        break;
    case JOB_CONTROL_PAUSE:
    case JOB_CONTROL_RESUME:
        job->paused = command == JOB_CONTROL_PAUSE;
        writeRecord(*job);
        break;
    case JOB_CONTROL_RESTART:
        // One whose playback ended in failure prints again from its start,
        // once its cause is mended; one still played back is not ended.
        if (job->playingBack || !job->unreadable.empty() || !job->problem.empty() || !spooler.running ||
            !spooler.settings.playsBack)
            return ERROR_INVALID_PARAMETER;
        job->status = 0;
        job->error = 0;
        job->sent = 0;
        writeRecord(*job);
        startPlayback(spooler, job);
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    // A job no playback holds leaves at once: printed, failed, or unreadable.
    if (job->leave && !job->playingBack) {
        dropJob(spooler, job);
        if (!job->folderProblem.empty()) return ERROR_ACCESS_DENIED;
    }
    spooler.changed.notify_all();
    return 0;
}

// Level 1 of SetJob: its priority, which places it in its printer's queue.
DWORD spoolerSetPriority(const std::string& printerName, DWORD jobId, DWORD priority) {
    if (priority < MIN_PRIORITY || priority > MAX_PRIORITY) return ERROR_INVALID_PARAMETER;
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    for (auto& job : spooler.jobs)
        if (job->id == jobId && equalNoCase(job->printer, printerName)) {
            job->priority = priority;
            writeRecord(*job);
            sortQueue(spooler);
            spooler.changed.notify_all();
            return 0;
        }
    return ERROR_INVALID_PARAMETER;
}

// "The spooler calls all installed monitors in turn to build up a list of all
// the available ports" (95 DDK): one buffer, each monitor's records after the
// previous ones at its front and their strings before the previous ones at its end.
DWORD spoolerEnumPorts(DWORD level, LPBYTE buffer, DWORD size, DWORD& needed, DWORD& returned) {
    if (level != 1 && level != 2) return ERROR_INVALID_LEVEL;
    if (!machine().startSpooler()) return ERROR_SERVICE_NOT_ACTIVE;
    std::vector<Machine::Spooler::Monitor> monitors;
    {
        std::lock_guard<std::mutex> lock(machine().spooler().mutex);
        monitors = machine().spooler().monitors;
    }
    const std::size_t recordSize = level == 1 ? sizeof(PORT_INFO_1A) : sizeof(PORT_INFO_2A);
    std::vector<std::pair<std::vector<BYTE>, DWORD>> answers;
    needed = returned = 0;
    for (auto& monitor : monitors) {
        std::vector<BYTE> answer;
        DWORD count = 0;
        if (DWORD error = askForPorts(monitor.table, level, answer, count)) return error;
        needed += (DWORD)answer.size();
        answers.emplace_back(std::move(answer), count);
    }
    if (!buffer || size < needed) return ERROR_INSUFFICIENT_BUFFER;
    LPBYTE records = buffer, strings = buffer + needed;
    for (auto& [answer, count] : answers) {
        std::size_t recordBytes = count * recordSize, stringBytes = answer.size() - recordBytes;
        strings -= stringBytes;
        std::memcpy(records, answer.data(), recordBytes);
        std::memcpy(strings, answer.data() + recordBytes, stringBytes);
        for (std::size_t i = 0; i < count; i++) {
            LPSTR* texts[3] = {};
            if (level == 1) {
                texts[0] = &reinterpret_cast<PORT_INFO_1A*>(records)[i].pName;
            } else {
                auto* info = reinterpret_cast<PORT_INFO_2A*>(records) + i;
                texts[0] = &info->pPortName, texts[1] = &info->pMonitorName, texts[2] = &info->pDescription;
            }
            for (LPSTR* text : texts) {
                LPBYTE at = text ? (LPBYTE)*text : nullptr;
                if (at >= answer.data() + recordBytes && at < answer.data() + answer.size())
                    *text = (LPSTR)(strings + (at - answer.data() - recordBytes));
            }
        }
        records += recordBytes;
        returned += count;
    }
    return 0;
}

// DeletePort "will never be called when the specified port is in use
// (opened)" (95 DDK): a port the spooler holds open is refused here.
DWORD spoolerDeletePort(HWND window, const std::string& port) {
    if (!machine().startSpooler()) return ERROR_SERVICE_NOT_ACTIVE;
    auto& spooler = machine().spooler();
    mapPorts(spooler);
    MONITOR_TABLE monitor{};
    {
        std::lock_guard<std::mutex> lock(spooler.mutex);
        Machine::Spooler::Port* found = spooler.port(port);
        if (!found) return ERROR_UNKNOWN_PORT;
        if (found->handle || found->busy) return ERROR_BUSY;  // busy: a job is opening it
        monitor = spooler.monitors[found->monitor].table;
    }
    if (!monitor.pfnDeletePort(nullptr, window, const_cast<LPSTR>(port.c_str()))) return GetLastError();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    for (auto it = spooler.ports.begin(); it != spooler.ports.end(); ++it)
        if (equalNoCase(it->first, port)) {
            spooler.ports.erase(it);
            break;
        }
    return 0;
}

// DeleteMonitor of a monitor whose ports no job uses: the spooler closes
// its ports, deletes its key ("If the port monitor is deleted, the Windows 95
// spooler will delete this registry key", 95 DDK) and lets go of its DLL.
DWORD spoolerDeleteMonitor(const std::string& name) {
    if (!machine().startSpooler()) return ERROR_SERVICE_NOT_ACTIVE;
    auto& spooler = machine().spooler();
    Machine::Spooler::Monitor monitor;
    std::vector<HANDLE> open;
    {
        std::lock_guard<std::mutex> lock(spooler.mutex);
        auto& all = spooler.monitors;
        auto found = std::find_if(all.begin(), all.end(), [&](auto& m) { return equalNoCase(m.name, name); });
        if (found == all.end()) return ERROR_UNKNOWN_PRINT_MONITOR;
        std::size_t index = (std::size_t)(found - all.begin());
        for (auto& [port, state] : spooler.ports)
            if (state.monitor == index && state.busy) return ERROR_BUSY;
        for (auto it = spooler.ports.begin(); it != spooler.ports.end();) {
            if (it->second.monitor != index) {
                if (it->second.monitor > index) it->second.monitor--;
                ++it;
                continue;
            }
            if (it->second.handle) open.push_back(it->second.handle);
            it = spooler.ports.erase(it);
        }
        monitor = *found;
        all.erase(found);
    }
    for (HANDLE handle : open) closeMonitorPort(monitor, handle);
    machine().registry().remove(std::string(MonitorsPath) + "\\" + monitor.name);
    machine().releaseModule(monitor.module);
    return 0;
}

}  // namespace sim
