// The application calls, as winspool.drv (winspool.cpp) hands them to the
// spooler process: a document spooled to its job, the queue's jobs set, the
// ports listed and deleted through each monitor in turn.
#include <winspool.h>

#include <algorithm>
#include <cerrno>
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
    // The job is refused before anything is spooled when the spool folder
    // cannot hold it.
    if (spooler.folder.empty()) {
        job->data = std::tmpfile();
    } else {
        std::error_code ignored;
        std::filesystem::create_directories(spooler.folder, ignored);
        std::filesystem::path folder = spooler.folder;
        job->dataPath = (folder / jobFileName(job->id, "spl")).string();
        job->recordPath = (folder / jobFileName(job->id, "job")).string();
        job->data = std::fopen(job->dataPath.c_str(), "w+b");
    }
    DWORD error = job->data ? writeRecord(*job) : fileError(errno);
    if (error) {
        discard(*job);
        return error;
    }
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

// Only the application that spools a job writes its data, so the bytes go to
// the spool file outside the spooler's lock.
DWORD spoolerWrite(uintptr_t printer, const void* data, DWORD size) {
    std::shared_ptr<SpoolJob> spooling;
    if (DWORD error = withSpoolingJob(printer, [&](Machine::Spooler&, std::shared_ptr<SpoolJob> job) {
            spooling = job;
        }))
        return error;
    errno = 0;
    std::size_t written = std::fwrite(data, 1, size, spooling->data);
    if (written != size) return fileError(errno);
    std::lock_guard<std::mutex> lock(machine().spooler().mutex);
    spooling->spooled += written;
    return 0;
}

// The spooled job goes to its playback thread once all of it is on disk; one
// that could not be spooled whole is refused and discarded here, before any
// of it is sent.
DWORD spoolerEndDoc(uintptr_t printer) {
    DWORD error = 0;
    DWORD found = withSpoolingJob(printer, [&](Machine::Spooler& spooler, std::shared_ptr<SpoolJob> job) {
        spooler.spooling.erase(printer);
        errno = 0;
        if (std::fflush(job->data) != 0 || std::ferror(job->data)) error = fileError(errno);
        job->status = 0;
        if (!error) error = writeRecord(*job);
        if (error) {
            discard(*job);
            spooler.jobs.erase(std::remove(spooler.jobs.begin(), spooler.jobs.end(), job), spooler.jobs.end());
            return;
        }
        startPlayback(spooler, job);
    });
    return found ? found : error;
}

DWORD spoolerAbort(uintptr_t printer) {
    return withSpoolingJob(printer, [&](Machine::Spooler& spooler, std::shared_ptr<SpoolJob> job) {
        spooler.spooling.erase(printer);
        discard(*job);
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
        break;
    case JOB_CONTROL_SENT_TO_PRINTER:
        job->leave = true;
        break;
    case JOB_CONTROL_PAUSE:
    case JOB_CONTROL_RESUME:
        job->paused = command == JOB_CONTROL_PAUSE;
        writeRecord(*job);
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    // A job no playback holds leaves at once: printed, failed, or kept from an
    // earlier run's spooling that never ended.
    if (job->leave && !job->playingBack && !(job->status & JOB_STATUS_SPOOLING)) {
        discard(*job);
        spooler.jobs.erase(it);
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
