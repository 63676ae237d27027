// The spool folder of the simulated 95/98/Me spooler: each job's bytes
// (NNNNN.spl), a record of it a person can read (NNNNN.job, JSON) and the
// count of bytes its playback has sent (NNNNN.ctl). The spooler that owns the
// folder keeps its queue there from one start to the next, and the states
// are written so that a spooler stopped at any instruction, as by a power
// cut, finds at its next start what it must do with each job: a job's state
// changes by one rename of its record, and its data is removed only once its
// record says the job has left.
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

void placeJob(SpoolerJob& job, const std::string& folder) {
    fs::path base = folder;
    job.dataPath = (base / jobFileName(job.id, "spl")).string();
    job.recordPath = (base / jobFileName(job.id, "job")).string();
    job.sharedPath = (base / jobFileName(job.id, "ctl")).string();
}

void sortQueue(Machine::Spooler& spooler) {
    std::stable_sort(spooler.jobs.begin(), spooler.jobs.end(),
                     [](const std::shared_ptr<SpoolerJob>& a, const std::shared_ptr<SpoolerJob>& b) { return a->before(*b); });
}

SpoolerJob::~SpoolerJob() {
    if (shared != &local) ::munmap(shared, sizeof *shared);
    if (data >= 0) ::close(data);
}

JobReport SpoolerJob::seen() const {
    JobReport job;
    job.id = id;
    job.printer = printer, job.port = port, job.document = document;
    job.status = status | (spooling ? JOB_STATUS_SPOOLING : 0) | (paused && status == 0 ? JOB_STATUS_PAUSED : 0);
    job.spooled = spooled, job.sent = sent, job.error = error, job.priority = priority;
    job.cancelAsked = cancel && playingBack && status != JOB_STATUS_PRINTED && status != JOB_STATUS_DELETED;
    if (writing)
        job.writingForMs = (unsigned)std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - *writing)
                               .count();
    job.unreadable = unreadable, job.problem = problem, job.folderProblem = folderProblem;
    return job;
}

namespace {

// The state a job's record gives for it.
const char* recordState(const SpoolerJob& job) {
    if (job.spooling) return "spooling";
    if (job.whole) return "printed";
    if (job.status & JOB_STATUS_PRINTING) return "printing";
    if (job.status == JOB_STATUS_PRINTED) return "printed";
    if (job.status & JOB_STATUS_ERROR && job.problem.empty()) return "failed";
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
std::string readRecord(const std::string& text, SpoolerJob& job, std::string& state) {
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
    static const std::set<std::string> states = {"spooling", "queued", "paused", "printing", "printed", "failed", "removed"};
    state = fields.values["state"];
    if (bad.empty() && state == "removed") return "";  // only its files are left to go
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

std::string recordText(const SpoolerJob& job, const char* state) {
    nlohmann::ordered_json record = {{"printer", bytesAsText(job.printer)},
                                     {"port", bytesAsText(job.port)},
                                     {"document", bytesAsText(job.document)},
                                     {"priority", job.priority},
                                     {"state", state},
                                     {"spooled", job.spooled},
                                     {"sent", job.sent},
                                     {"error", job.error}};
    return record.dump(2) + "\n";
}

// The record whole beside the old one, then renamed over it: one rename
// changes the state. A disk too full for the new file still has the old
// one's room, and a folder that no longer lets a file be made may still let
// its files be written: the record is then written over in place, which a
// stop half-way leaves unreadable, never in a state it was not meant to reach.
DWORD writeRecordAs(const SpoolerJob& job, const char* state) {
    if (job.recordPath.empty()) return 0;
    std::string text = recordText(job, state);
    std::string temporary = job.recordPath + ".new";
    int error = 0;
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) error = errno;
    for (std::size_t at = 0; !error && at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = n < 0 ? errno : ENOSPC;
        else at += (std::size_t)n;
    }
    if (fd >= 0 && ::close(fd) != 0 && !error) error = errno;
    if (!error && std::rename(temporary.c_str(), job.recordPath.c_str()) == 0) return 0;
    if (!error) error = errno;
    if (fd >= 0) std::remove(temporary.c_str());
    fd = ::open(job.recordPath.c_str(), O_WRONLY | O_CLOEXEC);
    bool inPlace = fd >= 0 && ::pwrite(fd, text.data(), text.size(), 0) == (ssize_t)text.size() &&
                   ::ftruncate(fd, (off_t)text.size()) == 0;
    if (fd >= 0) ::close(fd);
    return inPlace ? 0 : fileError(error);
}

}  // namespace

DWORD writeRecord(const SpoolerJob& job) { return writeRecordAs(job, recordState(job)); }

// The count is 8 bytes; a version that shared the folder between runs kept a
// cancel request after it, 16 in all.
bool mapShared(SpoolerJob& job) {
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

// The record first, saying the job is being given: a spooler stopped before
// the document's end finds it so and drops it, whatever else it made.
DWORD createJobFiles(SpoolerJob& job, const std::string& folder) {
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    placeJob(job, folder);
    if (DWORD error = writeRecord(job)) return error;
    job.data = ::open(job.dataPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (job.data < 0 || !mapShared(job)) return fileError(errno);
    return 0;
}

// The record says the job has left before any of its files go, its data
// next and the record last. A record that cannot say so (a folder that takes
// no more writes) is removed first, so that what may stay is never printed.
DWORD discard(Machine::Spooler& spooler, SpoolerJob& job) {
    if (job.recordPath.empty()) return 0;
    if (writeRecordAs(job, "removed") != 0 && std::remove(job.recordPath.c_str()) != 0 && errno != ENOENT)
        return fileError(errno);
    spooler.reached("removing", job.id);
    if (std::remove(job.dataPath.c_str()) != 0 && errno != ENOENT) return fileError(errno);
    spooler.reached("removed-data", job.id);
    for (const std::string& path : {job.sharedPath, job.recordPath})
        if (std::remove(path.c_str()) != 0 && errno != ENOENT) return fileError(errno);
    return 0;
}

void dropJob(Machine::Spooler& spooler, const std::shared_ptr<SpoolerJob>& job) {
    if (DWORD error = discard(spooler, *job))
        job->folderProblem = "spool/" + jobFileName(job->id, "*") +
                             " could not be removed (error " + std::to_string(error) + "); " +
                             (job->whole ? "its record says it printed, so it is not printed again"
                                         : "they stay in the spool folder");
    spooler.jobs.erase(std::remove(spooler.jobs.begin(), spooler.jobs.end(), job), spooler.jobs.end());
}

namespace {

// What a job's NNNNN.ctl says was sent; "" or why it cannot be read.
std::string readSent(const std::string& path, std::size_t& sent) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? "is missing" : std::string("cannot be read (") + std::strerror(errno) + ")";
    struct stat info {};
    std::uint64_t value = 0;
    bool ok = ::fstat(fd, &info) == 0 && (info.st_size == 8 || info.st_size == 16) &&
              ::pread(fd, &value, sizeof value, 0) == (ssize_t)sizeof value;
    ::close(fd);
    if (!ok) return "is damaged: it holds " + std::to_string((long long)info.st_size) + " bytes, where 8 are kept";
    sent = (std::size_t)value;
    return "";
}

std::string title(const SpoolerJob& job) {
    return "job " + std::to_string(job.id) + " \"" + job.document + "\" on " + job.printer;
}

}  // namespace

// A spooler's start over its folder, as after a power cut: a job that was
// being given is dropped; one that was printing prints again from its start;
// one whose bytes had all reached the printer is printed, and leaves with
// its files; one that was leaving finishes leaving. One that cannot be read
// is named and kept as it is, never printed.
void loadSpoolFolder(Machine::Spooler& spooler) {
    const bool recovers = spooler.settings.playsBack;  // one that only lists leaves every file as it is
    spooler.folderError.clear();
    spooler.jobs.clear();
    std::map<DWORD, std::set<std::string>> files;
    std::error_code error;
    for (auto it = fs::directory_iterator(spooler.folder, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.size() == 13 && name.compare(9, 4, ".new") == 0 && name.compare(5, 4, ".job") == 0) {
            if (recovers) std::remove(it->path().c_str());  // a record never renamed into place
            continue;
        }
        std::string stem = it->path().stem().string(), extension = it->path().extension().string();
        if (stem.size() != 5 || stem.find_first_not_of("0123456789") != std::string::npos) continue;
        if (extension != ".job" && extension != ".spl" && extension != ".ctl") continue;
        DWORD id = (DWORD)std::stoul(stem);
        spooler.nextJob = std::max<DWORD>(spooler.nextJob, id + 1);
        files[id].insert(extension);
    }
    if (error && error != std::errc::no_such_file_or_directory)
        spooler.folderError = "The print queue in " + spooler.folder + " cannot be read: " + error.message() + ".";
    for (auto& [id, extensions] : files) {
        auto job = std::make_shared<SpoolerJob>();
        job->id = id;
        placeJob(*job, spooler.folder);
        std::string file = "spool/" + jobFileName(id, "job"), state, bad;
        if (!extensions.count(".job")) {
            file = "spool/" + jobFileName(id, extensions.count(".spl") ? "spl" : "ctl");
            bad = "its " + std::string(extensions.count(".spl") ? "spooled data " + jobFileName(id, "spl")
                                                                 : "count " + jobFileName(id, "ctl")) +
                  " has no job record beside it";
        } else {
            std::string text;
            int failed = readWhole(job->recordPath, text);
            bad = failed ? std::string("its record cannot be read (") + std::strerror(failed) + ")"
                         : readRecord(text, *job, state);
        }
        if (bad.empty() && state == "removed") {
            if (recovers) discard(spooler, *job);
            continue;
        }
        if (bad.empty() && !recovers && (state == "spooling" || state == "printed")) {
            job->status = state == "printed" ? JOB_STATUS_PRINTED : JOB_STATUS_SPOOLING;
            spooler.jobs.push_back(job);
            continue;
        }
        if (bad.empty() && state == "spooling") {
            spooler.notices.push_back(file + ": " + title(*job) + " was still being given when the spooler stopped (" +
                                      std::to_string(job->spooled) + " bytes); it was dropped, not printed.");
            discard(spooler, *job);
            continue;
        }
        if (bad.empty() && state == "printed") {
            spooler.notices.push_back(file + ": " + title(*job) +
                                      " had reached the printer whole when the spooler stopped; it counts as "
                                      "printed, and left the queue.");
            job->whole = true;
            discard(spooler, *job);
            continue;
        }
        struct stat info {};
        if (bad.empty() && !extensions.count(".spl"))
            bad = "its data file " + jobFileName(id, "spl") + " is missing";
        else if (bad.empty() && ::stat(job->dataPath.c_str(), &info) != 0)
            bad = "its data file " + jobFileName(id, "spl") + " cannot be read (" + std::strerror(errno) + ")";
        else if (bad.empty() && (std::size_t)info.st_size != job->spooled)
            bad = "its data file " + jobFileName(id, "spl") + " holds " + std::to_string(info.st_size) +
                  " bytes, and its record says " + std::to_string(job->spooled);
        std::size_t sent = job->sent;
        if (bad.empty()) {
            std::string ctl = readSent(job->sharedPath, sent);
            if (!ctl.empty()) bad = "its count of bytes sent " + jobFileName(id, "ctl") + " " + ctl;
        }
        if (bad.empty() && recovers) {
            job->data = ::open(job->dataPath.c_str(), O_RDWR | O_CLOEXEC);
            if (job->data < 0 || !mapShared(*job))
                bad = "its files cannot be opened (" + std::string(std::strerror(errno)) + ")";
        }
        if (!bad.empty()) {
            job->unreadable = file + ": " + bad;
            spooler.notices.push_back(job->unreadable + "; the job is left as it is and not printed.");
            spooler.jobs.push_back(job);
            continue;
        }
        if (state == "failed") job->status = JOB_STATUS_ERROR;
        if (state == "printing" && !recovers) job->status = JOB_STATUS_PRINTING;
        if (state == "printing" && recovers) {
            spooler.notices.push_back(file + ": " + title(*job) + " was printing when the spooler stopped, after " +
                                      std::to_string(std::min(sent, job->spooled)) + " of " +
                                      std::to_string(job->spooled) + " bytes; the job prints again from the start.");
            writeRecordAs(*job, "queued");
        }
        if (state == "failed" || !recovers) job->sent = sent;
        else job->sent = job->shared->sent = 0;
        spooler.jobs.push_back(job);
    }
    sortQueue(spooler);
}

}  // namespace sim
