// The spooler process of Windows 95/98/Me (SPOOL32, with the router and the
// local print provider): the port monitors it loads, a queue of jobs per
// printer, and each job played back through its port's monitor on a thread of
// its own. The rules come from the 95/98 DDK's port-monitor pages and are noted
// where they are applied; where the documents leave a choice open, the choice
// is a SpoolerSettings field with the documented reading as its default.
#include <winspool.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "spooler.h"

namespace sim {

const char MonitorsPath[] = "System\\CurrentControlSet\\Control\\Print\\Monitors";

namespace {

// How often a held job looks again at its printer: "Work Offline" is an
// attribute in the registry, which nothing announces when it changes.
const auto HoldPoll = std::chrono::milliseconds(20);

}  // namespace

// A monitor's EnumPorts answer, asked as the spooler asks: the size, then a
// buffer of that size. 0, or the monitor's error.
DWORD askForPorts(const MONITOR_TABLE& monitor, DWORD level, std::vector<BYTE>& answer, DWORD& count) {
    DWORD needed = 0;
    count = 0;
    monitor.pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &count);
    answer.assign(needed, 0);
    count = 0;
    if (needed != 0 && !monitor.pfnEnumPorts(nullptr, level, answer.data(), needed, &needed, &count))
        return GetLastError();
    return 0;
}

namespace {

// The record of a call of a monitor's table just made, with its last error.
MonitorCall called(LPCSTR slot, HANDLE port, BOOL result) {
    MonitorCall call{};
    call.slot = slot;
    call.port = port;
    call.result = result;
    call.error = GetLastError();
    return call;
}

// Tells the trace the monitor was started with of a call, where one is
// wanted: a playback makes a call for every few KiB it sends. The last error
// stays as the call left it.
BOOL tell(const Machine::Spooler::Monitor& monitor, const MonitorCall& call) {
    if (monitor.trace && (!monitor.traceWanted || monitor.traceWanted())) monitor.trace(call);
    SetLastError(call.error);
    return call.result;
}

BOOL openPort(const Machine::Spooler::Monitor& monitor, const std::string& name, HANDLE& handle) {
    BOOL ok = monitor.table.pfnOpenPort(const_cast<LPSTR>(name.c_str()), &handle);
    MonitorCall call = called("OpenPort", handle, ok);
    call.name = name.c_str();
    return tell(monitor, call);
}

BOOL startDocPort(const Machine::Spooler::Monitor& monitor, HANDLE port, const std::string& printer, DWORD job,
                  const std::string& document) {
    DOC_INFO_1A doc = {const_cast<LPSTR>(document.c_str()), nullptr, nullptr};
    BOOL ok = monitor.table.pfnStartDocPort(port, const_cast<LPSTR>(printer.c_str()), job, 1, (LPBYTE)&doc);
    MonitorCall call = called("StartDocPort", port, ok);
    call.name = printer.c_str();
    call.document = document.c_str();
    call.jobId = job;
    call.level = 1;
    return tell(monitor, call);
}

// WritePort or ReadPort, of `size` bytes; `done` says how many went.
BOOL transfer(const Machine::Spooler::Monitor& monitor, bool write, HANDLE port, LPBYTE data, DWORD size,
              DWORD& done) {
    BOOL ok = (write ? monitor.table.pfnWritePort : monitor.table.pfnReadPort)(port, data, size, &done);
    MonitorCall call = called(write ? "WritePort" : "ReadPort", port, ok);
    call.size = size;
    call.done = done;
    return tell(monitor, call);
}

BOOL endDocPort(const Machine::Spooler::Monitor& monitor, HANDLE port) {
    BOOL ok = monitor.table.pfnEndDocPort(port);
    return tell(monitor, called("EndDocPort", port, ok));
}

}  // namespace

BOOL closeMonitorPort(const Machine::Spooler::Monitor& monitor, HANDLE port) {
    BOOL ok = monitor.table.pfnClosePort(port);
    return tell(monitor, called("ClosePort", port, ok));
}

namespace {

// The ports a monitor lists, at level 2 for their types.
std::vector<std::pair<std::string, DWORD>> listPorts(const MONITOR_TABLE& monitor) {
    std::vector<std::pair<std::string, DWORD>> ports;
    std::vector<BYTE> buffer;
    DWORD returned = 0;
    if (askForPorts(monitor, 2, buffer, returned) != 0) return ports;
    auto* info = reinterpret_cast<const PORT_INFO_2A*>(buffer.data());
    for (DWORD i = 0; i < returned; i++) ports.emplace_back(info[i].pPortName, info[i].fPortType);
    return ports;
}

}  // namespace

// The ports of every monitor, refreshed before a job looks for its port: the
// monitor may have made new ones since.
void mapPorts(Machine::Spooler& spooler) {
    std::vector<Machine::Spooler::Monitor> monitors;
    {
        std::lock_guard<std::mutex> lock(spooler.mutex);
        monitors = spooler.monitors;
    }
    for (std::size_t m = 0; m < monitors.size(); m++)
        for (auto& [name, type] : listPorts(monitors[m].table)) {
            std::lock_guard<std::mutex> lock(spooler.mutex);
            if (!spooler.port(name)) spooler.ports[name] = {m, type, nullptr, false};
        }
}

namespace {

// Tells the machine's playback observer that a job's playback starts or ends,
// outside the lock; an end only for a start it was told of.
void tellObserver(Machine::Spooler& spooler, std::unique_lock<std::mutex>& lock, SpoolerJob& job, bool ended) {
    if (!spooler.observer || ended != job.observed) return;
    job.observed = !ended;
    JobReport seen = job.seen();
    auto observer = spooler.observer;
    lock.unlock();
    observer(seen, ended);
    lock.lock();
}

// Ends a job's playback: the job leaves the queue when it was cancelled, when
// the monitor said it is done, or when the settings let printed jobs go; one
// that stays keeps its record up to date. Its files are settled before
// anyone is told how it ended.
void finish(Machine::Spooler& spooler, std::unique_lock<std::mutex>& lock, const std::shared_ptr<SpoolerJob>& job,
            DWORD status) {
    job->status = status;
    job->spooling = false;  // what its application still gives is refused or kept unplayed
    const bool leaves =
        job->cancel || job->leave || (status == JOB_STATUS_PRINTED && spooler.settings.finishedJobsLeaveByThemselves);
    if (!leaves)
        if (DWORD error = writeRecord(*job); error && job->folderProblem.empty())
            job->folderProblem = "its record spool/" + jobFileName(job->id, "job") + " could not be written (error " +
                                 std::to_string(error) + ")";
    // Told while it is still listed, so that a job is always either in the
    // queue or among the ended ones, with what the observer made of it.
    tellObserver(spooler, lock, *job, true);
    if (leaves) dropJob(spooler, job);
    spooler.ended.push_back(job->seen());
    if (spooler.ended.size() > 256) spooler.ended.erase(spooler.ended.begin());
    job->playingBack = false;
    spooler.playing--;
    spooler.changed.notify_all();
}

// A playback that the spooler's stop ends: the job stays in the spool folder,
// as its record says, for the next start.
void leaveForNextStart(Machine::Spooler& spooler, std::unique_lock<std::mutex>& lock, SpoolerJob& job) {
    tellObserver(spooler, lock, job, true);
    job.playingBack = false;
    spooler.playing--;
    spooler.changed.notify_all();
}

// Whether a job before this one in its port's queue still waits to print. A
// printer's jobs print "in the order in which they are to be printed" (its
// printer window's list): by priority (KB Q104162: "which documents will
// print first"), then in the order they were given. A job held back (paused,
// going, or on another printer that works offline) does not hold up the rest.
bool earlierJobWaits(const Machine::Spooler& spooler, const SpoolerJob& job) {
    for (auto& other : spooler.jobs)
        if (other.get() != &job && other->before(job) && other->playingBack && !other->paused && !other->cancel &&
            other->problem.empty() && equalNoCase(other->port, job.port) &&
            (equalNoCase(other->printer, job.printer) || !(other->status & JOB_STATUS_OFFLINE)))
            return true;
    return false;
}

// Why a job is not to print on its printer now: the printer is gone, or the
// job was given for another port than the one it prints to ("" for neither).
// Printing it anyway would send its bytes to a device it was not meant for.
std::string printerProblem(const SpoolerJob& job) {
    if (!machine().printerExists(job.printer)) return "its printer " + job.printer + " no longer exists";
    std::string port = machine().registry().stringValue(printerKey(job.printer), "Port").value_or("");
    if (!equalNoCase(port, job.port))
        return "its printer " + job.printer + " prints to " + (port.empty() ? "no port" : port) + ", not to " +
               job.port + ", the port it was given for";
    return "";
}

// "If an error is returned, the spooler displays a dialog box" (95 DDK,
// WritePort): the 9x "error writing" box, whose Retry tries the call again
// and whose Cancel ends the job. A failed StartDocPort is answered the same
// way, rather than tried "again and again" without a word; the answer bounds
// every retry. True for Retry.
bool askRetry(std::unique_lock<std::mutex>& lock, const std::shared_ptr<SpoolerJob>& job,
              DWORD error) {
    job->error = error;
    job->status = JOB_STATUS_PRINTING | JOB_STATUS_ERROR;
    writeRecord(*job);
    std::string text = "There was an error writing to " + job->port + " for the printer " + job->printer +
                       " (error " + std::to_string(error) + "). Retry, or Cancel to end the job.";
    lock.unlock();
    int answer = MessageBoxA(nullptr, text.c_str(), job->printer.c_str(), MB_RETRYCANCEL | MB_ICONEXCLAMATION);
    lock.lock();
    if (answer != IDRETRY || job->cancel) return false;
    job->status = JOB_STATUS_PRINTING;
    return true;
}

// One job's playback thread, from the start of its spooling.
void playBack(std::shared_ptr<SpoolerJob> job) {
    auto& spooler = machine().spooler();
    std::unique_lock<std::mutex> lock(spooler.mutex);
    // A printer that works offline keeps its jobs "spooled and held ... not
    // despooled until Work Offline is deactivated" (KB Q160456); one job at a
    // time on a port. 98 begins a job "after first page is spooled".
    Machine::Spooler::Port* port = nullptr;
    for (bool mapped = false;;) {
        if (job->cancel) return finish(spooler, lock, job, JOB_STATUS_DELETED);
        if (spooler.stopping) return leaveForNextStart(spooler, lock, *job);
        if (job->spooling && (job->spooled == 0 || !spooler.settings.printWhileSpooling)) {
            spooler.changed.wait_for(lock, HoldPoll);
            continue;
        }
        port = spooler.port(job->port);
        if (!port && !mapped) {
            lock.unlock();
            mapPorts(spooler);
            lock.lock();
            mapped = true;
            continue;
        }
        if (!port) {
            job->error = ERROR_UNKNOWN_PORT;
            return finish(spooler, lock, job, JOB_STATUS_ERROR);
        }
        lock.unlock();
        std::string problem = printerProblem(*job);
        bool offline = problem.empty() && (machine().printerAttributes(job->printer) & PRINTER_ATTRIBUTE_WORK_OFFLINE);
        lock.lock();
        job->problem = problem;
        job->status = !problem.empty() ? JOB_STATUS_ERROR : offline ? JOB_STATUS_OFFLINE : job->paused ? JOB_STATUS_PAUSED : 0;
        if (problem.empty() && !offline && !job->paused && !port->busy && !port->lent && !earlierJobWaits(spooler, *job))
            break;
        spooler.changed.wait_for(lock, HoldPoll);
    }
    port->busy = true;
    job->status = JOB_STATUS_PRINTING;
    writeRecord(*job);
    spooler.reached("printing", job->id);
    tellObserver(spooler, lock, *job, false);
    const Machine::Spooler::Monitor monitor = spooler.monitors[port->monitor];
    const SpoolerSettings settings = spooler.settings;
    // A port is opened once and stays open while the spooler runs.
    if (!port->handle) {
        HANDLE handle = nullptr;
        lock.unlock();
        BOOL opened = openPort(monitor, job->port, handle);
        DWORD error = GetLastError();
        lock.lock();
        if (!opened) {
            port->busy = false;
            job->error = error;
            return finish(spooler, lock, job, JOB_STATUS_ERROR);
        }
        port->handle = handle;
    }
    HANDLE handle = port->handle;
    const bool bidirectional = port->type & PORT_TYPE_READ;

    for (;;) {
        lock.unlock();
        BOOL started = startDocPort(monitor, handle, job->printer, job->id, job->document);
        DWORD error = GetLastError();
        lock.lock();
        if (started) break;
        bool retry = askRetry(lock, job, error);
        if (spooler.stopping && retry) {  // not started: it waits for the next start as it was
            port->busy = false;
            job->status = 0;
            writeRecord(*job);
            return leaveForNextStart(spooler, lock, *job);
        }
        if (!retry) {
            port->busy = false;
            job->cancel = true;
            return finish(spooler, lock, job, JOB_STATUS_DELETED);
        }
    }
    job->status = JOB_STATUS_PRINTING;
    job->error = 0;

    // While the job is still spooled, the playback waits for its next bytes.
    // Once every byte has reached the printer the job is printed, whatever
    // cancel comes after.
    bool cancelled = false, stopped = false;
    // The spooled bytes are read back 64 KiB or a write at a time, whichever is
    // more: a job of any size plays back in little memory and few reads.
    std::vector<BYTE> chunk(std::max<DWORD>(settings.writeChunk, 65536));
    std::size_t chunkAt = 0, chunkSize = 0;  // the job's bytes in `chunk`
    for (bool first = true;;) {
        if (job->sent >= job->spooled && !job->spooling && !job->spoolError) break;
        if (job->cancel || spooler.stopping) {
            cancelled = job->cancel;
            stopped = !cancelled;
            break;
        }
        if (job->sent >= job->spooled) {
            spooler.changed.wait_for(lock, HoldPoll);
            continue;
        }
        const std::size_t spooled = job->spooled;  // the application's thread adds to it under the lock
        const DWORD writeChunk = job->writeChunk ? job->writeChunk : settings.writeChunk;
        if (chunk.size() < writeChunk) chunk.resize(writeChunk), chunkSize = 0;
        job->writing = std::chrono::steady_clock::now();
        lock.unlock();
        if (job->sent < chunkAt || job->sent >= chunkAt + chunkSize) {
            chunkAt = job->sent;
            std::size_t want = std::min<std::size_t>(chunk.size(), spooled - chunkAt);
            ssize_t got = pread(job->data, chunk.data(), want, (off_t)chunkAt);
            chunkSize = got > 0 ? (std::size_t)got : 0;
        }
        DWORD size = (DWORD)std::min<std::size_t>(writeChunk, chunkAt + chunkSize - job->sent);
        LPBYTE bytes = chunk.data() + (job->sent - chunkAt);
        DWORD written = 0;
        BOOL ok = size != 0 && transfer(monitor, true, handle, bytes, size, written);
        DWORD error = size != 0 ? GetLastError() : ERROR_READ_FAULT;  // the spool file lost bytes
        // A write that says it succeeded yet took nothing would be made again
        // for ever: it is a failed write, with the error the device gave.
        if (ok && written == 0) ok = FALSE, error = ERROR_WRITE_FAULT;
        if (ok && bidirectional && settings.readAfterEachWrite) {
            BYTE answer[256];
            DWORD read = 0;
            transfer(monitor, false, handle, answer, sizeof answer, read);
        }
        lock.lock();
        job->writing.reset();
        job->sent += std::min(written, size);
        job->shared->sent.store(job->sent, std::memory_order_relaxed);
        if (first && written) spooler.reached("writing", job->id);
        first = first && !written;
        if (ok) continue;
        if (!askRetry(lock, job, error)) {
            cancelled = true;
            break;
        }
    }
    if (!cancelled && !stopped) {
        spooler.reached("written", job->id);
        job->whole = true;
        if (DWORD error = writeRecord(*job))
            job->folderProblem = "its record spool/" + jobFileName(job->id, "job") +
                                 " could not say that it printed (error " + std::to_string(error) +
                                 "), so the next start would print it again: remove spool/" +
                                 jobFileName(job->id, "*") + " before then";
        spooler.reached("printed", job->id);
    }
    lock.unlock();
    endDocPort(monitor, handle);
    lock.lock();
    if (!stopped) spooler.reached("ended", job->id);
    port->busy = false;
    if (stopped) {  // the next start says how far it got, and prints it again
        writeRecord(*job);
        return leaveForNextStart(spooler, lock, *job);
    }
    if (cancelled) job->cancel = true;
    finish(spooler, lock, job, cancelled ? JOB_STATUS_DELETED : JOB_STATUS_PRINTED);
}

}  // namespace

// A job's playback thread starts; under the lock.
void startPlayback(Machine::Spooler& spooler, const std::shared_ptr<SpoolerJob>& job) {
    job->playingBack = true;
    spooler.playing++;
    spooler.playbacks.emplace_back(playBack, job);
}

Machine::Spooler::Port* Machine::Spooler::port(const std::string& name) {
    for (auto& [listed, port] : ports)
        if (equalNoCase(listed, name)) return &port;
    return nullptr;
}

bool Machine::startSpooler(std::string* reason) {
    std::function<void(const MonitorCall&)> trace;
    std::function<bool()> wanted;
    {
        std::lock_guard<std::mutex> lock(spooler_->mutex);
        if (spooler_->running) return true;
        trace = spooler_->trace;
        wanted = spooler_->traceWanted;
    }
    std::vector<Spooler::Monitor> monitors;
    for (const std::string& name : registry_.subkeys(MonitorsPath)) {
        std::string key = std::string(MonitorsPath) + "\\" + name;
        std::string driver = registry_.stringValue(key, "Driver").value_or("");
        HINSTANCE instance = driver.empty() ? nullptr : referenceModule(driver);
        const Module* module = instance ? moduleFor(instance) : nullptr;
        MONITOR_TABLE table{};
        bool started = module && module->initializeMonitor && module->initializeMonitor(key, table);
        if (!started && instance) releaseModule(instance);
        if (!module || !module->initializeMonitor) continue;  // not a module of this machine
        if (!started) {
            if (reason) *reason = "the monitor " + name + " did not start (error " + std::to_string(GetLastError()) + ")";
            for (auto& loaded : monitors) releaseModule(loaded.module);
            return false;
        }
        monitors.push_back({name, table, instance, trace, wanted});
    }
    {
        std::lock_guard<std::mutex> lock(spooler_->mutex);
        spooler_->monitors = std::move(monitors);
        spooler_->running = true;
        spooler_->stopping = false;
        spooler_->notices.clear();
    }
    mapPorts(*spooler_);
    // The jobs an earlier start left in the spool folder go on where they stood.
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    if (spooler_->folder.empty()) return true;
    loadSpoolFolder(*spooler_);
    if (!spooler_->settings.playsBack) return true;
    for (auto& job : spooler_->jobs)
        if (job->unreadable.empty() && !(job->status & JOB_STATUS_ERROR)) startPlayback(*spooler_, job);
    return true;
}

void Machine::setSpoolFolder(const std::string& hostFolder) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    spooler_->folder = hostFolder;
    spooler_->observer = nullptr;
    spooler_->nextJob = 1;
    spooler_->ended.clear();
}

std::vector<std::string> Machine::spoolerNotices() {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    return spooler_->notices;
}

std::string Machine::spoolFolderError() {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    return spooler_->folderError;
}

void Machine::stopSpooler() {
    std::vector<std::thread> playbacks;
    std::vector<std::pair<Spooler::Monitor, HANDLE>> open;
    {
        std::lock_guard<std::mutex> lock(spooler_->mutex);
        spooler_->stopping = true;
        spooler_->changed.notify_all();
        playbacks = std::move(spooler_->playbacks);
    }
    for (auto& thread : playbacks) thread.join();
    {
        std::lock_guard<std::mutex> lock(spooler_->mutex);
        for (auto& [name, port] : spooler_->ports)
            if (port.handle) open.emplace_back(spooler_->monitors[port.monitor], port.handle);
        spooler_->ports.clear();
        spooler_->jobs.clear();
        spooler_->spooling.clear();
    }
    // "ClosePort: at spooler shutdown" (95 DDK).
    for (auto& [monitor, handle] : open) closeMonitorPort(monitor, handle);
    std::vector<Spooler::Monitor> monitors;
    {
        std::lock_guard<std::mutex> lock(spooler_->mutex);
        monitors = std::move(spooler_->monitors);
        spooler_->monitors.clear();
        spooler_->running = false;
        spooler_->stopping = false;
    }
    for (auto& monitor : monitors) releaseModule(monitor.module);
}

void Machine::setPlaybackObserver(std::function<void(const JobReport&, bool ended)> observer) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    spooler_->observer = std::move(observer);
}

void Machine::setMonitorTrace(std::function<void(const MonitorCall&)> trace, std::function<bool()> wanted) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    spooler_->trace = std::move(trace);
    spooler_->traceWanted = std::move(wanted);
}

void Machine::setStopPoint(std::function<void(const char*, DWORD)> stop) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    spooler_->stopPoint = std::move(stop);
}

void Machine::setWriteChunk(DWORD id, DWORD size) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    for (auto& job : spooler_->jobs)
        if (job->id == id) job->writeChunk = size;
}

bool Machine::lendPort(const std::string& name, DWORD* printingJob) {
    mapPorts(*spooler_);
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    Spooler::Port* port = spooler_->port(name);
    if (!port) return true;  // the monitor's own OpenPort says what it knows of it
    if (port->busy || port->lent) {
        if (printingJob) *printingJob = 0;
        for (auto& job : spooler_->jobs)
            if (printingJob && job->playingBack && (job->status & JOB_STATUS_PRINTING) && equalNoCase(job->port, name))
                *printingJob = job->id;
        return false;
    }
    port->lent = true;
    return true;
}

void Machine::giveBackPort(const std::string& name) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    if (Spooler::Port* port = spooler_->port(name)) port->lent = false;
    spooler_->changed.notify_all();
}

void Machine::setSpoolerSettings(const SpoolerSettings& settings) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    spooler_->settings = settings;
}

std::vector<JobReport> Machine::spooledJobs() {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    std::vector<JobReport> jobs;
    for (auto& job : spooler_->jobs) jobs.push_back(job->seen());
    return jobs;
}

std::optional<JobReport> Machine::spooledJob(DWORD id) {
    for (JobReport& job : spooledJobs())
        if (job.id == id) return job;
    return std::nullopt;
}

std::optional<JobReport> Machine::endedJob(DWORD id) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    for (auto it = spooler_->ended.rbegin(); it != spooler_->ended.rend(); ++it)
        if (it->id == id) return *it;
    return std::nullopt;
}

bool Machine::waitForPlayback(unsigned milliseconds) {
    std::unique_lock<std::mutex> lock(spooler_->mutex);
    return spooler_->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        if (spooler_->playing == 0) return true;
        for (auto& job : spooler_->jobs)
            if (job->playingBack && job->problem.empty() && !(job->status & (JOB_STATUS_OFFLINE | JOB_STATUS_PAUSED)))
                return false;
        return true;
    });
}

}  // namespace sim
