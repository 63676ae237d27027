// The spool folder of the simulated 95/98/Me spooler: each job's bytes
// (NNNNN.spl) beside a record of it (NNNNN.job), so that a queue waits there
// from one start of the spooler to the next.
#include <winspool.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "spooler.h"

namespace sim {

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

namespace {

// The state a job's record gives for it.
const char* recordState(const SpoolJob& job) {
    if (job.status & JOB_STATUS_SPOOLING) return "spooling";
    if (job.status & JOB_STATUS_PRINTING) return "printing";
    if (job.status == JOB_STATUS_PRINTED) return "printed";
    if (job.status & JOB_STATUS_ERROR) return "failed";
    return job.paused ? "paused" : "queued";
}

}  // namespace

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

}  // namespace sim
