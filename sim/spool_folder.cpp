// The spool folder of the simulated 95/98/Me spooler, shared by every run on
// the machine: each job's bytes (NNNNN.spl), a record of it a person can read
// (NNNNN.job, JSON, replaced whole) and what changes at every write
// (NNNNN.ctl), so that a queue waits there from one run to the next. A run
// holds the jobs it spools or plays back with a lock on their data files,
// which the system lets go of however the run ends; a job no run holds is
// free for a run that prints to take, or for any run to cancel.
#include <winspool.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "spooler.h"

namespace sim {

namespace fs = std::filesystem;

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

void placeJob(SpoolJob& job, const std::string& folder) {
    fs::path base = folder;
    job.dataPath = (base / jobFileName(job.id, "spl")).string();
    job.recordPath = (base / jobFileName(job.id, "job")).string();
    job.sharedPath = (base / jobFileName(job.id, "ctl")).string();
}

void sortQueue(Machine::Spooler& spooler) {
    std::stable_sort(spooler.jobs.begin(), spooler.jobs.end(),
                     [](const std::shared_ptr<SpoolJob>& a, const std::shared_ptr<SpoolJob>& b) { return a->before(*b); });
}

SpoolJob::~SpoolJob() {
    if (shared != &local) ::munmap(shared, sizeof *shared);
    if (data >= 0) ::close(data);  // and with it the lock
}

SpooledJob SpoolJob::seen() const {
    SpooledJob job;
    job.id = id;
    job.printer = printer, job.port = port, job.document = document;
    job.status = status | (spooling ? JOB_STATUS_SPOOLING : 0) | (paused && status == 0 ? JOB_STATUS_PAUSED : 0);
    job.spooled = spooled, job.sent = sent, job.error = error, job.priority = priority;
    job.incomplete = incomplete, job.interrupted = interrupted, job.elsewhere = elsewhere;
    job.cancelledElsewhere = cancelledElsewhere, job.unreadable = unreadable;
    return job;
}

namespace {

// The state a job's record gives for it.
const char* recordState(const SpoolJob& job) {
    if (job.spooling) return "spooling";
    if (job.status & JOB_STATUS_PRINTING) return "printing";
    if (job.status == JOB_STATUS_PRINTED) return "printed";
    if (job.status & JOB_STATUS_ERROR) return "failed";
    return job.paused ? "paused" : "queued";
}

// A record is JSON, so its text is Unicode, while the spooler's names are
// bytes of the machine's code page: each byte is written as the character of
// its value (U+0000 to U+00FF), so that any byte reads back as it was given.
std::string bytesAsText(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            text += (char)c;
        } else {
            text += (char)(0xC0 | c >> 6);
            text += (char)(0x80 | (c & 0x3F));
        }
    }
    return text;
}

// False for a character beyond U+00FF, which is no byte.
bool textAsBytes(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i++) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x80) {
            bytes += (char)c;
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            bytes += (char)((c & 0x03) << 6 | ((unsigned char)text[++i] & 0x3F));
        } else {
            return false;
        }
    }
    return true;
}

// A record's fields as text, each with the line it is on (0: not known).
struct RecordFields {
    std::map<std::string, std::string> values;
    std::map<std::string, std::size_t> lines;
};

std::string lineText(const std::string& text, std::size_t number) {
    std::istringstream in(text);
    std::string line;
    for (std::size_t n = 0; n < number && std::getline(in, line);) n++;
    return line;
}

std::string badLine(const std::string& text, std::size_t number, const std::string& what) {
    return "line " + std::to_string(number) + " (\"" + lineText(text, number) + "\") " + what;
}

// The record as this version writes it: "" or why it cannot be read.
std::string readJsonRecord(const std::string& text, RecordFields& fields) {
    nlohmann::json record;
    try {
        record = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        std::size_t at = std::min<std::size_t>(e.byte ? e.byte - 1 : 0, text.size());
        std::size_t line = 1 + (std::size_t)std::count(text.begin(), text.begin() + (long)at, '\n');
        return badLine(text, line, "is not part of a job record");
    }
    if (!record.is_object()) return "it is not a job record";
    for (auto& [key, value] : record.items()) {
        // The line of a field: the first that begins with its quoted name.
        std::size_t line = 0, number = 1;
        for (std::istringstream in(text); line == 0;) {
            std::string l;
            if (!std::getline(in, l)) break;
            if (l.find_first_not_of(" \t") != std::string::npos &&
                l.compare(l.find_first_not_of(" \t"), key.size() + 2, "\"" + key + "\"") == 0)
                line = number;
            number++;
        }
        fields.lines[key] = line;
        std::string bytes;
        if (value.is_string() && !textAsBytes(value.get<std::string>(), bytes))
            return badLine(text, line, "holds a character that is not a byte of the machine's code page");
        fields.values[key] = value.is_string() ? bytes : value.dump();
    }
    return "";
}

// The record of earlier versions, "key: value" a line, read so that a queue
// they left goes on printing; written anew as JSON when the job changes.
std::string readLineRecord(const std::string& text, RecordFields& fields) {
    std::istringstream in(text);
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); number++) {
        auto colon = line.find(": ");
        std::string key = colon == std::string::npos ? "" : line.substr(0, colon);
        if (key.empty() || fields.values.count(key)) return badLine(text, number, "is not a field of a job record");
        fields.values[key] = line.substr(colon + 2);
        fields.lines[key] = number;
    }
    return "";
}

// The job a record describes, with the state it gives; "" or why it cannot be read.
std::string readRecord(const std::string& text, SpoolJob& job, std::string& state) {
    RecordFields fields;
    bool json = text.find_first_not_of(" \t\r\n") != std::string::npos && text[text.find_first_not_of(" \t\r\n")] == '{';
    std::string bad = json ? readJsonRecord(text, fields) : readLineRecord(text, fields);
    static const std::set<std::string> known = {"printer", "port", "document", "priority",
                                                "state",   "spooled", "sent", "error"};
    for (auto& [key, value] : fields.values)
        if (bad.empty() && !known.count(key))
            bad = fields.lines[key] ? badLine(text, fields.lines[key], "is not a field of a job record")
                                    : "its field \"" + key + "\" is not one of a job record";
    auto number = [&](const char* key, std::uint64_t& value, std::uint64_t low, std::uint64_t high, const char* what) {
        if (!bad.empty() || !fields.values.count(key)) return;
        const std::string& digits = fields.values[key];
        bool ok = !digits.empty() && digits.size() <= 19 && digits.find_first_not_of("0123456789") == std::string::npos;
        if (ok) value = std::stoull(digits);
        if (!ok || value < low || value > high)
            bad = "line " + std::to_string(fields.lines[key]) + ": its \"" + key + "\" is " + digits + ", not " + what;
    };
    std::uint64_t spooled = 0, sent = 0, error = 0, priority = DEF_PRIORITY;
    number("spooled", spooled, 0, UINT64_MAX, "a count of bytes");
    number("sent", sent, 0, UINT64_MAX, "a count of bytes");
    number("error", error, 0, 0xFFFFFFFF, "an error code");
    number("priority", priority, MIN_PRIORITY, MAX_PRIORITY, "a priority from 1 to 99");
    static const std::set<std::string> states = {"spooling", "queued", "paused", "printing", "printed", "failed"};
    state = fields.values["state"];
    if (bad.empty() && (fields.values["printer"].empty() || fields.values["port"].empty()))
        bad = "it names no printer or no port";
    if (bad.empty() && !fields.values.count("spooled")) bad = "it gives no count of bytes spooled";
    if (bad.empty() && !states.count(state)) bad = "its state \"" + state + "\" is none a job can be in";
    if (!bad.empty()) return bad;
    job.printer = fields.values["printer"];
    job.port = fields.values["port"];
    job.document = fields.values["document"];
    job.priority = (DWORD)priority;
    job.spooled = spooled;
    job.sent = sent;
    job.error = (DWORD)error;
    job.paused = state == "paused";
    return "";
}

// A file's whole text; 0, or the errno that stopped it.
int readWhole(const std::string& path, std::string& text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) text.append(buffer, (std::size_t)n);
    int error = n < 0 ? errno : 0;
    ::close(fd);
    return error;
}

// The jobs in the folder as their files tell, in the order they were given,
// none of them held; sentences for what cannot be read go to `notices`.
std::vector<std::shared_ptr<SpoolJob>> readJobs(Machine::Spooler& spooler, std::vector<std::string>* notices) {
    std::map<DWORD, std::set<std::string>> files;
    std::error_code error;
    for (auto it = fs::directory_iterator(spooler.folder, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        std::string stem = it->path().stem().string(), extension = it->path().extension().string();
        if (stem.size() != 5 || stem.find_first_not_of("0123456789") != std::string::npos) continue;
        if (extension != ".job" && extension != ".spl" && extension != ".ctl") continue;
        DWORD id = (DWORD)std::stoul(stem);
        spooler.nextJob = std::max<DWORD>(spooler.nextJob, id + 1);
        files[id].insert(extension);
    }
    if (error && error != std::errc::no_such_file_or_directory)
        spooler.folderError = "The print queue in " + spooler.folder + " cannot be read: " + error.message() + ".";
    std::vector<std::shared_ptr<SpoolJob>> jobs;
    for (auto& [id, extensions] : files) {
        auto job = std::make_shared<SpoolJob>();
        job->id = id;
        placeJob(*job, spooler.folder);
        bool hasData = extensions.count(".spl");
        job->elsewhere = hasData && heldElsewhere(job->dataPath);
        std::string state, bad;
        if (!extensions.count(".job")) {
            // One another run is making or removing is no concern of this one.
            if (!hasData || job->elsewhere) continue;
            bad = "its spooled data " + jobFileName(id, "spl") + " has no job record beside it";
        } else {
            std::string text;
            int failed = readWhole(job->recordPath, text);
            if (failed == ENOENT) continue;  // gone since the listing: the job is leaving
            if (failed)
                bad = std::string("its record cannot be read (") + std::strerror(failed) + ")";
            else
                bad = readRecord(text, *job, state);
        }
        struct stat info {};
        if (bad.empty() && !hasData)
            bad = "its data file " + jobFileName(id, "spl") + " is missing";
        else if (bad.empty() && ::stat(job->dataPath.c_str(), &info) != 0) {
            if (errno == ENOENT) continue;  // listed, then removed: the job is leaving
            bad = "its data file " + jobFileName(id, "spl") + " cannot be read (" + std::strerror(errno) + ")";
        }
        std::size_t size = (std::size_t)info.st_size;
        if (bad.empty() && state != "spooling" && !job->elsewhere && size != job->spooled)
            bad = "its data file " + jobFileName(id, "spl") + " holds " + std::to_string(size) +
                  " bytes, and its record says " + std::to_string(job->spooled);
        std::string file = "spool/" + jobFileName(id, extensions.count(".job") ? "job" : "spl");
        if (!bad.empty()) {
            job->unreadable = file + ": " + bad;
            job->elsewhere = false;
            if (notices) notices->push_back(job->unreadable + "; the job is left as it is and not printed.");
            jobs.push_back(job);
            continue;
        }
        std::uint64_t sent = job->sent;
        readShared(job->sharedPath, sent);
        job->sent = (std::size_t)std::min<std::uint64_t>(sent, std::max(job->spooled, size));
        job->spooling = state == "spooling";
        if (state == "printing" || (job->spooling && job->sent)) job->status = job->elsewhere ? JOB_STATUS_PRINTING : 0;
        if (job->elsewhere && job->spooling) job->spooled = size;
        if (state == "printed") job->status = JOB_STATUS_PRINTED;
        if (state == "failed") job->status = JOB_STATUS_ERROR;
        // Left by a run that ended: one that printed it prints again from the
        // start; one that spooled it never gave it whole.
        job->interrupted = !job->elsewhere && state == "printing";
        if (!job->elsewhere && job->spooling) {
            job->spooling = false;
            job->incomplete = true;
            job->status = JOB_STATUS_ERROR;
            job->spooled = size;
        }
        jobs.push_back(job);
    }
    return jobs;
}

}  // namespace

// ---- what a run shares about the job it holds ----

bool mapShared(SpoolJob& job) {
    int fd = ::open(job.sharedPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 ||
        ((std::size_t)info.st_size < sizeof(SharedJobState) && ::ftruncate(fd, sizeof(SharedJobState)) != 0)) {
        int error = errno;
        if (fd >= 0) ::close(fd);
        errno = error;
        return false;
    }
    void* mapped = ::mmap(nullptr, sizeof(SharedJobState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int error = errno;
    ::close(fd);
    errno = error;
    if (mapped == MAP_FAILED) return false;
    job.shared = static_cast<SharedJobState*>(mapped);
    job.shared->sent = job.sent;
    return true;
}

void readShared(const std::string& path, std::uint64_t& sent) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::uint64_t value = sent;
    if (fd >= 0 && ::pread(fd, &value, sizeof value, 0) == (ssize_t)sizeof value) sent = value;
    if (fd >= 0) ::close(fd);
}

// The request stays open here: once the job has left, the file, gone from
// the folder, still says how far its holder got and whether the cancel did it.
bool requestCancel(Machine::Spooler& spooler, const SpoolJob& job) {
    int fd = ::open(job.sharedPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || ::pwrite(fd, &CancelAsked, sizeof CancelAsked, sizeof(std::uint64_t)) != sizeof CancelAsked) {
        int error = errno;
        if (fd >= 0) ::close(fd);
        errno = error;
        return false;
    }
    auto& asked = spooler.asked[job.id];
    if (asked.second.id) ::close(asked.first);
    asked = {fd, job.seen()};
    return true;
}

// Jobs asked to cancel that have left since: how each ended, as its holder left it.
void noteAskedJobsGone(Machine::Spooler& spooler) {
    for (auto it = spooler.asked.begin(); it != spooler.asked.end();) {
        auto& [fd, job] = it->second;
        bool left = std::none_of(spooler.jobs.begin(), spooler.jobs.end(),
                                 [&](const std::shared_ptr<SpoolJob>& j) { return j->id == it->first; });
        if (!left) {
            ++it;
            continue;
        }
        std::uint64_t values[2] = {job.sent, 0};
        if (::pread(fd, values, sizeof values, 0) == (ssize_t)sizeof values) job.sent = (std::size_t)values[0];
        job.cancelledElsewhere = values[1] == CancelDone;
        job.status = job.cancelledElsewhere ? JOB_STATUS_DELETED
                     : job.sent >= job.spooled ? JOB_STATUS_PRINTED : JOB_STATUS_ERROR;
        job.elsewhere = false;
        spooler.ended.push_back(job);
        ::close(fd);
        it = spooler.asked.erase(it);
    }
}

// ---- holding a job ----

// An open-file-description lock: its own for each open of the file, also
// within one process, and let go of when the file is closed or its holder
// ends, however it ends.
bool lockData(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool heldElsewhere(const std::string& dataPath) {
    int fd = ::open(dataPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

bool holdJob(SpoolJob& job) {
    int fd = ::open(job.dataPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || !lockData(fd)) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    job.data = fd;
    job.held = true;
    return true;
}

// ---- records ----

DWORD writeRecord(const SpoolJob& job) {
    if (job.recordPath.empty()) return 0;
    nlohmann::ordered_json record = {{"printer", bytesAsText(job.printer)},
                                     {"port", bytesAsText(job.port)},
                                     {"document", bytesAsText(job.document)},
                                     {"priority", job.priority},
                                     {"state", recordState(job)},
                                     {"spooled", job.spooled},
                                     {"sent", job.sent},
                                     {"error", job.error}};
    std::string text = record.dump(2) + "\n";
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

// The record first, so that no run lists a job half gone; the data last, so
// that a run killed in between leaves data a later run names.
DWORD discard(SpoolJob& job) {
    for (const std::string& path : {job.recordPath, job.sharedPath, job.dataPath})
        if (!path.empty() && std::remove(path.c_str()) != 0 && errno != ENOENT) return fileError(errno);
    return 0;
}

void dropJob(Machine::Spooler& spooler, const std::shared_ptr<SpoolJob>& job) {
    discard(*job);
    spooler.jobs.erase(std::remove(spooler.jobs.begin(), spooler.jobs.end(), job), spooler.jobs.end());
}

void loadSpoolFolder(Machine::Spooler& spooler) {
    spooler.folderError.clear();
    spooler.jobs = readJobs(spooler, &spooler.notices);
    sortQueue(spooler);
    if (spooler.use != QueueUse::Print) return;
    for (auto& job : spooler.jobs) {
        std::string title = "job " + std::to_string(job->id) + " \"" + job->document + "\" on " + job->printer;
        std::string file = "spool/" + jobFileName(job->id, "job");
        if (job->incomplete)
            spooler.notices.push_back(file + ": The run that spooled " + title +
                                      " ended before the whole document was given (" + std::to_string(job->spooled) +
                                      " bytes kept, " + std::to_string(job->sent) +
                                      " of them sent); it stays in the queue, not printed.");
        bool waits = job->unreadable.empty() && !job->elsewhere && !job->incomplete &&
                     !(job->status & (JOB_STATUS_PRINTED | JOB_STATUS_ERROR));
        if (!waits) continue;
        // Taken only when no other run took it meanwhile.
        if (!holdJob(*job) || !mapShared(*job)) {
            job->elsewhere = !job->held;
            continue;
        }
        if (job->interrupted)
            spooler.notices.push_back(file + ": The run that printed " + title + " ended after " +
                                      std::to_string(job->sent) + " of " + std::to_string(job->spooled) +
                                      " bytes; the job prints again from the start.");
        job->interrupted = false;
        job->sent = 0;
        job->shared->sent = 0;
    }
}

// A spooler that only looks reads the folder afresh at every look: another
// run may have given, printed or cancelled a job since.
void refreshSpoolFolder(Machine::Spooler& spooler) {
    if (spooler.use != QueueUse::Look || spooler.folder.empty()) return;
    spooler.jobs = readJobs(spooler, nullptr);
    sortQueue(spooler);
    noteAskedJobsGone(spooler);
}

// A job this spooler does not hold: an unreadable one's files go; one no run
// holds is taken and discarded; the run that holds one is asked to cancel it.
DWORD cancelUnheld(Machine::Spooler& spooler, const std::shared_ptr<SpoolJob>& job) {
    if (job->unreadable.empty() && !holdJob(*job)) return requestCancel(spooler, *job) ? 0 : fileError(errno);
    if (DWORD error = discard(*job)) return error;
    if (auto asked = spooler.asked.find(job->id); asked != spooler.asked.end()) {  // its holder went first
        ::close(asked->second.first);
        spooler.asked.erase(asked);
    }
    spooler.jobs.erase(std::remove(spooler.jobs.begin(), spooler.jobs.end(), job), spooler.jobs.end());
    return 0;
}

}  // namespace sim
