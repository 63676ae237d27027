// The spooler process of Windows 95/98/Me (SPOOL32, with the router and the
// local print provider): the port monitors it loads, a queue of jobs per
// printer, and each job played back through its port's monitor on a thread of
// its own. The rules come from the 95/98 DDK's port-monitor pages and are noted
// where they are applied; where the documents leave a choice open, the choice
// is a SpoolerSettings field with the documented reading as its default.
#include <winspool.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "state.h"

namespace sim {

namespace {

const char MonitorsPath[] = "System\\CurrentControlSet\\Control\\Print\\Monitors";
// How often a held job looks again at its printer: "Work Offline" is an
// attribute in the registry, which nothing announces when it changes.
const auto HoldPoll = std::chrono::milliseconds(20);

// ---- the spool folder ----

// A host file error as the Win32 error a spooler reports for it.
DWORD fileError(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_WRITE_FAULT;
    }
}

std::string jobFileName(DWORD id, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof name, "%05lu.%s", (unsigned long)id, extension);
    return name;
}

// The state a job's record gives for it.
const char* recordState(const SpoolJob& job) {
    if (job.status & JOB_STATUS_SPOOLING) return "spooling";
    if (job.status & JOB_STATUS_PRINTING) return "printing";
    if (job.status == JOB_STATUS_PRINTED) return "printed";
    if (job.status & JOB_STATUS_ERROR) return "failed";
    return job.paused ? "paused" : "queued";
}

// Writes the job's record beside its data, whole or not at all; 0 or the
// error. Jobs without a spool folder have none.
DWORD writeRecord(const SpoolJob& job) {
    if (job.recordPath.empty()) return 0;
    std::string text = "printer: " + job.printer + "\nport: " + job.port + "\ndocument: " + job.document +
                       "\nstate: " + recordState(job) + "\nspooled: " + std::to_string(job.spooled) +
                       "\nsent: " + std::to_string(job.sent) + "\nerror: " + std::to_string(job.error) + "\n";
    std::string temporary = job.recordPath + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return fileError(errno);
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    written = std::fflush(file) == 0 && written;
    int error = errno;
    std::fclose(file);
    if (!written || std::rename(temporary.c_str(), job.recordPath.c_str()) != 0) {
        error = written ? errno : error;
        std::remove(temporary.c_str());
        return fileError(error);
    }
    return 0;
}

// A job that leaves the queue takes its files with it.
void discard(SpoolJob& job) {
    if (job.data) std::fclose(job.data);
    job.data = nullptr;
    for (const std::string& path : {job.dataPath, job.recordPath})
        if (!path.empty()) std::remove(path.c_str());
}

// Reads the jobs an earlier run left in the spool folder, in the order they
// were given. A record that cannot be read is named, with its line, and left
// as it is; so is a data file without a record.
void loadSpoolFolder(Machine::Spooler& spooler) {
    namespace fs = std::filesystem;
    std::error_code error;
    std::map<DWORD, fs::path> records;
    std::set<DWORD> data;
    for (auto& entry : fs::directory_iterator(spooler.folder, error)) {
        std::string name = entry.path().filename().string();
        std::string stem = entry.path().stem().string(), extension = entry.path().extension().string();
        if (stem.size() != 5 || stem.find_first_not_of("0123456789") != std::string::npos) continue;
        DWORD id = (DWORD)std::stoul(stem);
        spooler.nextJob = std::max<DWORD>(spooler.nextJob, id + 1);
        if (extension == ".job") records[id] = entry.path();
        if (extension == ".spl") data.insert(id);
    }
    auto notice = [&](const fs::path& file, const std::string& what) {
        spooler.notices.push_back("spool/" + file.filename().string() + ": " + what);
    };
    for (DWORD id : data)
        if (!records.count(id)) notice(jobFileName(id, "spl"), "spooled data without a job record; left as it is.");
    for (auto& [id, path] : records) {
        auto job = std::make_shared<SpoolJob>();
        job->id = id;
        job->recordPath = path.string();
        job->dataPath = (fs::path(spooler.folder) / jobFileName(id, "spl")).string();
        std::ifstream in(path);
        std::string line, state, bad;
        std::map<std::string, std::string> fields;
        for (int number = 1; bad.empty() && std::getline(in, line); number++) {
            auto colon = line.find(": ");
            std::string key = colon == std::string::npos ? "" : line.substr(0, colon);
            static const std::set<std::string> known = {"printer", "port",  "document", "state",
                                                        "spooled", "sent", "error"};
            if (!known.count(key) || fields.count(key))
                bad = "line " + std::to_string(number) + " (\"" + line + "\") is not a field of a job record";
            else
                fields[key] = line.substr(colon + 2);
        }
        auto number = [&](const char* key, std::size_t& value) {
            const std::string& text = fields[key];
            if (!bad.empty()) return;
            if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
                bad = std::string("its \"") + key + "\" is \"" + text + "\", not a count of bytes";
            else
                value = std::stoull(text);
        };
        std::size_t errorCode = 0;
        number("spooled", job->spooled);
        number("sent", job->sent);
        number("error", errorCode);
        static const std::set<std::string> states = {"spooling", "queued", "paused", "printing", "printed", "failed"};
        state = fields["state"];
        if (bad.empty() && (fields["printer"].empty() || fields["port"].empty()))
            bad = "it names no printer or no port";
        if (bad.empty() && !states.count(state)) bad = "its state \"" + state + "\" is none a job can be in";
        if (bad.empty() && !(job->data = std::fopen(job->dataPath.c_str(), "r+b")))
            bad = "its data file " + jobFileName(id, "spl") + " cannot be opened (" + std::strerror(errno) + ")";
        if (!bad.empty()) {
            notice(path, bad + "; the job is left as it is and not printed.");
            continue;
        }
        job->printer = fields["printer"];
        job->port = fields["port"];
        job->document = fields["document"];
        job->error = (DWORD)errorCode;
        job->paused = state == "paused";
        std::fseek(job->data, 0, SEEK_END);
        std::size_t size = (std::size_t)std::ftell(job->data);
        std::string title = "job " + std::to_string(id) + " \"" + job->document + "\" on " + job->printer;
        if (state == "spooling" || size < job->spooled) {
            job->incomplete = true;
            job->status = JOB_STATUS_ERROR;
            job->spooled = std::min(size, job->spooled);
            notice(path, "The run that spooled " + title + " ended before the whole document was given (" +
                             std::to_string(job->spooled) + " bytes kept); it stays in the queue, not printed.");
        } else if (state == "printing") {
            notice(path, "The run that printed " + title + " ended after " + std::to_string(job->sent) + " of " +
                             std::to_string(job->spooled) + " bytes; the job prints again from the start.");
            job->sent = 0;
        } else if (state == "printed") {
            job->status = JOB_STATUS_PRINTED;
        } else if (state == "failed") {
            job->status = JOB_STATUS_ERROR;
        }
        if (!job->incomplete && state != "printed" && state != "failed") job->sent = 0;
        spooler.jobs.push_back(job);
    }
}

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

// Tells the machine's playback observer that a job's playback starts or ends,
// outside the lock; an end only for a start it was told of.
void tellObserver(Machine::Spooler& spooler, std::unique_lock<std::mutex>& lock, SpoolJob& job, bool ended) {
    if (!spooler.observer || ended != job.observed) return;
    job.observed = !ended;
    SpooledJob seen{job.id, job.printer, job.port, job.document, job.status, job.spooled, job.sent, job.error, false};
    auto observer = spooler.observer;
    lock.unlock();
    observer(seen, ended);
    lock.lock();
}

// Ends a job's playback: the job leaves the queue when it was cancelled, when
// the monitor said it is done, or when the settings let printed jobs go; one
// that stays keeps its record up to date.
void finish(Machine::Spooler& spooler, std::unique_lock<std::mutex>& lock, const std::shared_ptr<SpoolJob>& job,
            DWORD status) {
    job->status = status;
    tellObserver(spooler, lock, *job, true);
    spooler.ended.push_back({job->id, job->printer, job->port, job->document, status, job->spooled, job->sent,
                             job->error, false});
    if (spooler.ended.size() > 256) spooler.ended.erase(spooler.ended.begin());
    if (job->cancel || job->leave || (status == JOB_STATUS_PRINTED && spooler.settings.finishedJobsLeaveByThemselves)) {
        discard(*job);
        spooler.jobs.erase(std::remove(spooler.jobs.begin(), spooler.jobs.end(), job), spooler.jobs.end());
    } else {
        writeRecord(*job);
    }
    job->playingBack = false;
    spooler.playing--;
    spooler.changed.notify_all();
}

// A playback that the spooler's stop ends: the job stays in the spool folder,
// as its record says, for the next start.
void leaveForNextStart(Machine::Spooler& spooler, std::unique_lock<std::mutex>& lock, SpoolJob& job) {
    tellObserver(spooler, lock, job, true);
    job.playingBack = false;
    spooler.playing--;
    spooler.changed.notify_all();
}

// Whether a job given earlier for the same port still waits to print: jobs on
// a port print in the order they were given.
bool earlierJobWaits(const Machine::Spooler& spooler, const SpoolJob& job) {
    for (auto& other : spooler.jobs) {
        if (other.get() == &job) return false;
        if (equalNoCase(other->port, job.port) && !other->incomplete && !other->paused &&
            !(other->status & (JOB_STATUS_SPOOLING | JOB_STATUS_PRINTED | JOB_STATUS_ERROR | JOB_STATUS_OFFLINE)))
            return true;
    }
    return false;
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
        if (job->cancel) return finish(spooler, lock, job, JOB_STATUS_DELETED);
        if (spooler.stopping) return leaveForNextStart(spooler, lock, *job);
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
        bool offline = machine().printerAttributes(job->printer) & PRINTER_ATTRIBUTE_WORK_OFFLINE;
        lock.lock();
        job->status = offline ? JOB_STATUS_OFFLINE : job->paused ? JOB_STATUS_PAUSED : 0;
        if (!offline && !job->paused && !port->busy && !earlierJobWaits(spooler, *job)) break;
        spooler.changed.wait_for(lock, HoldPoll);
    }
    port->busy = true;
    job->status = JOB_STATUS_PRINTING;
    writeRecord(*job);
    tellObserver(spooler, lock, *job, false);
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
            return finish(spooler, lock, job, JOB_STATUS_ERROR);
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
        if (givesUp || job->cancel) {
            port->busy = false;
            return finish(spooler, lock, job, job->cancel ? JOB_STATUS_DELETED : JOB_STATUS_ERROR);
        }
        if (spooler.stopping) {  // not started: it waits for the next start as it was
            port->busy = false;
            job->status = 0;
            writeRecord(*job);
            return leaveForNextStart(spooler, lock, *job);
        }
    }
    job->status = JOB_STATUS_PRINTING;

    // "If an error is returned, the spooler displays a dialog box" (95 DDK,
    // WritePort): Retry writes again what was not written, Cancel ends the job.
    bool cancelled = false, stopped = false;
    // The spooled bytes are read back 64 KiB or a write at a time, whichever is
    // more: a job of any size plays back in little memory and few reads.
    std::vector<BYTE> chunk(std::max<DWORD>(settings.writeChunk, 65536));
    std::size_t chunkAt = 0, chunkSize = 0;  // the job's bytes in `chunk`
    while (job->sent < job->spooled) {
        if (job->cancel || spooler.stopping) {
            cancelled = job->cancel;
            stopped = !cancelled;
            break;
        }
        lock.unlock();
        if (job->sent < chunkAt || job->sent >= chunkAt + chunkSize) {
            chunkAt = job->sent;
            std::size_t want = std::min<std::size_t>(chunk.size(), job->spooled - chunkAt);
            ssize_t got = pread(fileno(job->data), chunk.data(), want, (off_t)chunkAt);
            chunkSize = got > 0 ? (std::size_t)got : 0;
        }
        DWORD size = (DWORD)std::min<std::size_t>(settings.writeChunk, chunkAt + chunkSize - job->sent);
        LPBYTE bytes = chunk.data() + (job->sent - chunkAt);
        DWORD written = 0;
        BOOL ok = size != 0 && monitor.writePort(handle, bytes, size, &written);
        DWORD error = size != 0 ? GetLastError() : ERROR_READ_FAULT;  // the spool file lost bytes
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
        writeRecord(*job);
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
    if (stopped) {  // the next start says how far it got, and prints it again
        writeRecord(*job);
        return leaveForNextStart(spooler, lock, *job);
    }
    if (cancelled) job->cancel = true;
    finish(spooler, lock, job, cancelled ? JOB_STATUS_DELETED : JOB_STATUS_PRINTED);
}

// A job's playback thread starts; under the lock.
void startPlayback(Machine::Spooler& spooler, const std::shared_ptr<SpoolJob>& job) {
    job->playingBack = true;
    spooler.playing++;
    spooler.playbacks.emplace_back(playBack, job);
}

}  // namespace

SpoolJob::~SpoolJob() {
    if (data) std::fclose(data);
}

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
        spooler_->notices.clear();
    }
    mapPorts(*spooler_);
    // The jobs an earlier start left in the spool folder go on where they stood.
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    if (spooler_->folder.empty()) return true;
    loadSpoolFolder(*spooler_);
    for (auto& job : spooler_->jobs)
        if (!job->incomplete && !(job->status & (JOB_STATUS_PRINTED | JOB_STATUS_ERROR))) startPlayback(*spooler_, job);
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

void Machine::setPlaybackObserver(std::function<void(const SpooledJob&, bool ended)> observer) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    spooler_->observer = std::move(observer);
}

void Machine::setSpoolerSettings(const SpoolerSettings& settings) {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    spooler_->settings = settings;
}

std::vector<SpooledJob> Machine::spooledJobs() {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    std::vector<SpooledJob> jobs;
    for (auto& job : spooler_->jobs)
        jobs.push_back({job->id, job->printer, job->port, job->document, job->status, job->spooled, job->sent,
                        job->error, job->incomplete});
    return jobs;
}

std::optional<SpooledJob> Machine::endedJob(DWORD id) {
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
            if (job->playingBack && !(job->status & (JOB_STATUS_OFFLINE | JOB_STATUS_PAUSED))) return false;
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
