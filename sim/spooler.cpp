// The spooler process of Windows 95/98/Me (SPOOL32, with the router and the
// local print provider): the port monitors it loads, a queue of jobs per
// printer, and each job played back through its port's monitor on a thread of
// its own. The rules come from the 95/98 DDK's port-monitor pages and are noted
// where they are applied; where the documents leave a choice open, the choice
// is a SpoolerSettings field with the documented reading as its default.
#include <winspool.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "state.h"

namespace sim {

namespace {

const char MonitorsPath[] = "System\\CurrentControlSet\\Control\\Print\\Monitors";
// How often a held job looks again at its printer: "Work Offline" is an
// attribute in the registry, which nothing announces when it changes.
const auto HoldPoll = std::chrono::milliseconds(20);

// A monitor's EnumPorts answer, asked as the spooler asks: the size, then a
// buffer of that size. 0, or the monitor's error.
DWORD askForPorts(const PortMonitor& monitor, DWORD level, std::vector<BYTE>& answer, DWORD& count) {
    DWORD needed = 0;
    count = 0;
    monitor.enumPorts(nullptr, level, nullptr, 0, &needed, &count);
    answer.assign(needed, 0);
    count = 0;
    if (needed != 0 && !monitor.enumPorts(nullptr, level, answer.data(), needed, &needed, &count)) return GetLastError();
    return 0;
}

// The ports a monitor lists, at level 2 for their types.
std::vector<std::pair<std::string, DWORD>> listPorts(const PortMonitor& monitor) {
    std::vector<std::pair<std::string, DWORD>> ports;
    std::vector<BYTE> buffer;
    DWORD returned = 0;
    if (askForPorts(monitor, 2, buffer, returned) != 0) return ports;
    auto* info = reinterpret_cast<const PORT_INFO_2A*>(buffer.data());
    for (DWORD i = 0; i < returned; i++) ports.emplace_back(info[i].pPortName, info[i].fPortType);
    return ports;
}

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

// Ends a job's playback: the job leaves the queue when it was cancelled, when
// the monitor said it is done, or when the settings let printed jobs go.
void finish(Machine::Spooler& spooler, const std::shared_ptr<SpoolJob>& job, DWORD status) {
    job->status = status;
    if (job->cancel || job->leave || (status == JOB_STATUS_PRINTED && spooler.settings.finishedJobsLeaveByThemselves))
        spooler.jobs.erase(std::remove(spooler.jobs.begin(), spooler.jobs.end(), job), spooler.jobs.end());
    spooler.playing--;
    spooler.changed.notify_all();
}

// One job's playback thread.
void playBack(std::shared_ptr<SpoolJob> job) {
    auto& spooler = machine().spooler();
    std::unique_lock<std::mutex> lock(spooler.mutex);
    // A printer that works offline keeps its jobs "spooled and held ... not
    // despooled until Work Offline is deactivated" (KB Q160456); one job at a
    // time on a port.
    Machine::Spooler::Port* port = nullptr;
    for (bool mapped = false;;) {
        if (job->cancel || spooler.stopping) return finish(spooler, job, JOB_STATUS_DELETED);
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
            return finish(spooler, job, JOB_STATUS_ERROR);
        }
        lock.unlock();
        bool offline = machine().printerAttributes(job->printer) & PRINTER_ATTRIBUTE_WORK_OFFLINE;
        lock.lock();
        job->status = offline ? JOB_STATUS_OFFLINE : job->paused ? JOB_STATUS_PAUSED : 0;
        if (!offline && !job->paused && !port->busy) break;
        spooler.changed.wait_for(lock, HoldPoll);
    }
    port->busy = true;
    job->status = JOB_STATUS_PRINTING;
    const PortMonitor monitor = spooler.monitors[port->monitor].table;
    const SpoolerSettings settings = spooler.settings;
    // A port is opened once and stays open while the spooler runs.
    if (!port->handle) {
        HANDLE handle = nullptr;
        lock.unlock();
        BOOL opened = monitor.openPort(const_cast<LPSTR>(job->port.c_str()), &handle);
        DWORD error = GetLastError();
        lock.lock();
        if (!opened) {
            port->busy = false;
            job->error = error;
            return finish(spooler, job, JOB_STATUS_ERROR);
        }
        port->handle = handle;
    }
    HANDLE handle = port->handle;
    const bool bidirectional = port->type & PORT_TYPE_READ;

    // "Returning an error causes the print spooler to retry and call the port
    // monitor again and again" (a port monitor author's account of StartDocPort).
    DOC_INFO_1A doc = {const_cast<LPSTR>(job->document.c_str()), nullptr, nullptr};
    for (unsigned attempts = 1;; attempts++) {
        lock.unlock();
        BOOL started =
            monitor.startDocPort(handle, const_cast<LPSTR>(job->printer.c_str()), job->id, 1, (LPBYTE)&doc);
        DWORD error = GetLastError();
        lock.lock();
        if (started) break;
        job->error = error;
        job->status = JOB_STATUS_PRINTING | JOB_STATUS_ERROR;
        bool givesUp = settings.maxStartAttempts != 0 && attempts >= settings.maxStartAttempts;
        if (!givesUp)
            spooler.changed.wait_for(lock, std::chrono::milliseconds(settings.startRetryMilliseconds),
                                     [&] { return job->cancel || spooler.stopping; });
        if (givesUp || job->cancel || spooler.stopping) {
            port->busy = false;
            return finish(spooler, job, job->cancel || spooler.stopping ? JOB_STATUS_DELETED : JOB_STATUS_ERROR);
        }
    }
    job->status = JOB_STATUS_PRINTING;

    // "If an error is returned, the spooler displays a dialog box" (95 DDK,
    // WritePort): Retry writes again what was not written, Cancel ends the job.
    bool cancelled = false;
    while (job->sent < job->data.size()) {
        if (job->cancel || spooler.stopping) {
            cancelled = true;
            break;
        }
        DWORD size = (DWORD)std::min<std::size_t>(settings.writeChunk, job->data.size() - job->sent);
        LPBYTE bytes = (LPBYTE)&job->data[job->sent];
        lock.unlock();
        DWORD written = 0;
        BOOL ok = monitor.writePort(handle, bytes, size, &written);
        DWORD error = GetLastError();
        if (ok && bidirectional && settings.readAfterEachWrite) {
            BYTE answer[256];
            DWORD read = 0;
            monitor.readPort(handle, answer, sizeof answer, &read);
        }
        lock.lock();
        job->sent += std::min(written, size);
        if (ok) continue;
        job->error = error;
        job->status = JOB_STATUS_PRINTING | JOB_STATUS_ERROR;
        std::string text = "There was an error writing to " + job->port + " for the printer " + job->printer +
                           " (error " + std::to_string(error) + "). Retry, or Cancel to end the job.";
        lock.unlock();
        int answer = MessageBoxA(nullptr, text.c_str(), job->printer.c_str(), MB_RETRYCANCEL | MB_ICONEXCLAMATION);
        lock.lock();
        if (answer != IDRETRY) {
            cancelled = true;
            break;
        }
        job->status = JOB_STATUS_PRINTING;
    }
    lock.unlock();
    monitor.endDocPort(handle);
    lock.lock();
    port->busy = false;
    if (cancelled) job->cancel = true;
    finish(spooler, job, cancelled ? JOB_STATUS_DELETED : JOB_STATUS_PRINTED);
}

}  // namespace

Machine::Spooler::Port* Machine::Spooler::port(const std::string& name) {
    for (auto& [listed, port] : ports)
        if (equalNoCase(listed, name)) return &port;
    return nullptr;
}

bool Machine::startSpooler(std::string* reason) {
    {
        std::lock_guard<std::mutex> lock(spooler_->mutex);
        if (spooler_->running) return true;
    }
    std::vector<Spooler::Monitor> monitors;
    for (const std::string& name : registry_.subkeys(MonitorsPath)) {
        std::string key = std::string(MonitorsPath) + "\\" + name;
        std::string driver = registry_.stringValue(key, "Driver").value_or("");
        HINSTANCE instance = driver.empty() ? nullptr : referenceModule(driver);
        const Module* module = instance ? moduleFor(instance) : nullptr;
        PortMonitor table;
        bool started = module && module->initializeMonitor && module->initializeMonitor(key, table);
        if (!started && instance) releaseModule(instance);
        if (!module || !module->initializeMonitor) continue;  // not a module of this machine
        if (!started) {
            if (reason) *reason = "the monitor " + name + " did not start (error " + std::to_string(GetLastError()) + ")";
            for (auto& loaded : monitors) releaseModule(loaded.module);
            return false;
        }
        monitors.push_back({name, table, instance});
    }
    {
        std::lock_guard<std::mutex> lock(spooler_->mutex);
        spooler_->monitors = std::move(monitors);
        spooler_->running = true;
        spooler_->stopping = false;
    }
    mapPorts(*spooler_);
    return true;
}

void Machine::stopSpooler() {
    std::vector<std::thread> playbacks;
    std::vector<std::pair<PortMonitor, HANDLE>> open;
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
            if (port.handle) open.emplace_back(spooler_->monitors[port.monitor].table, port.handle);
        spooler_->ports.clear();
        spooler_->jobs.clear();
        spooler_->spooling.clear();
    }
    // "ClosePort: at spooler shutdown" (95 DDK).
    for (auto& [monitor, handle] : open) monitor.closePort(handle);
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

void Machine::setSpoolerSettings(const SpoolerSettings& settings) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    spooler_->settings = settings;
}

std::vector<SpooledJob> Machine::spooledJobs() {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    std::vector<SpooledJob> jobs;
    for (auto& job : spooler_->jobs)
        jobs.push_back({job->id, job->printer, job->port, job->document, job->status, job->data.size(), job->sent,
                        job->error});
    return jobs;
}

bool Machine::waitForPlayback(unsigned milliseconds) {
    std::unique_lock<std::mutex> lock(spooler_->mutex);
    return spooler_->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        if (spooler_->playing == 0) return true;
        for (auto& job : spooler_->jobs)
            if (!(job->status & (JOB_STATUS_OFFLINE | JOB_STATUS_PAUSED)) && job->status != JOB_STATUS_PRINTED)
                return false;
        return true;
    });
}

// ---- the application calls, as winspool.drv hands them to the spooler ----

DWORD spoolerStartDoc(uintptr_t printer, const std::string& printerName, const std::string& document, DWORD& jobId) {
    // The spooler process starts with the first job of a session.
    std::string reason;
    if (!machine().startSpooler(&reason)) return ERROR_SERVICE_NOT_ACTIVE;
    std::string port =
        machine().registry().stringValue("System\\CurrentControlSet\\Control\\Print\\Printers\\" + printerName, "Port")
            .value_or("");
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    if (spooler.spooling.count(printer)) return ERROR_INVALID_PARAMETER;  // one document at a time on a handle
    auto job = std::make_shared<SpoolJob>();
    job->id = jobId = spooler.nextJob++;
    job->printer = printerName;
    job->port = port;
    job->document = document;
    job->status = JOB_STATUS_SPOOLING;
    spooler.jobs.push_back(job);
    spooler.spooling[printer] = job;
    return 0;
}

namespace {

// What an application does with the job it spools on a printer handle, under
// the lock; ERROR_SPL_NO_STARTDOC without one.
DWORD withSpoolingJob(uintptr_t printer, const std::function<void(Machine::Spooler&, std::shared_ptr<SpoolJob>)>& f) {
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    auto it = spooler.spooling.find(printer);
    if (it == spooler.spooling.end()) return ERROR_SPL_NO_STARTDOC;
    f(spooler, it->second);
    return 0;
}

}  // namespace

DWORD spoolerWrite(uintptr_t printer, const void* data, DWORD size) {
    return withSpoolingJob(printer, [&](Machine::Spooler&, std::shared_ptr<SpoolJob> job) {
        job->data.append((const char*)data, size);
    });
}

// The spooled job goes to its playback thread.
DWORD spoolerEndDoc(uintptr_t printer) {
    return withSpoolingJob(printer, [&](Machine::Spooler& spooler, std::shared_ptr<SpoolJob> job) {
        spooler.spooling.erase(printer);
        job->status = 0;
        spooler.playing++;
        spooler.playbacks.emplace_back(playBack, job);
    });
}

DWORD spoolerAbort(uintptr_t printer) {
    return withSpoolingJob(printer, [&](Machine::Spooler& spooler, std::shared_ptr<SpoolJob> job) {
        spooler.spooling.erase(printer);
        spooler.jobs.erase(std::remove(spooler.jobs.begin(), spooler.jobs.end(), job), spooler.jobs.end());
    });
}

// Cancel and delete end a job (one that plays back ends with EndDocPort);
// "sent to printer" is the monitor saying its job is done: it leaves the
// queue when its playback ends. Pause and resume hold and release a job not
// yet played back.
DWORD spoolerSetJob(const std::string& printerName, DWORD jobId, DWORD command) {
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    auto it = std::find_if(spooler.jobs.begin(), spooler.jobs.end(), [&](const std::shared_ptr<SpoolJob>& job) {
        return job->id == jobId && equalNoCase(job->printer, printerName);
    });
    if (it == spooler.jobs.end()) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<SpoolJob> job = *it;
    switch (command) {
    case JOB_CONTROL_CANCEL:
    case JOB_CONTROL_DELETE:
        job->cancel = job->leave = true;
        if (job->status == JOB_STATUS_PRINTED) spooler.jobs.erase(it);
        break;
    case JOB_CONTROL_SENT_TO_PRINTER:
        job->leave = true;
        if (job->status == JOB_STATUS_PRINTED) spooler.jobs.erase(it);
        break;
    case JOB_CONTROL_PAUSE:
    case JOB_CONTROL_RESUME:
        job->paused = command == JOB_CONTROL_PAUSE;
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    spooler.changed.notify_all();
    return 0;
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
    PortMonitor monitor;
    {
        std::lock_guard<std::mutex> lock(spooler.mutex);
        Machine::Spooler::Port* found = spooler.port(port);
        if (!found) return ERROR_UNKNOWN_PORT;
        if (found->handle || found->busy) return ERROR_BUSY;  // busy: a job is opening it
        monitor = spooler.monitors[found->monitor].table;
    }
    if (!monitor.deletePort(nullptr, window, const_cast<LPSTR>(port.c_str()))) return GetLastError();
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
    for (HANDLE handle : open) monitor.table.closePort(handle);
    machine().registry().remove(std::string(MonitorsPath) + "\\" + monitor.name);
    machine().releaseModule(monitor.module);
    return 0;
}

}  // namespace sim
