// A job's bytes, read as they are sent and streamed through the monitor's
// WritePort or the spooler's WritePrinter, with a progress bar and Ctrl-C.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include <memory>

#include "error_text.h"
#include "monitor_caller.h"
#include "terminal.h"

namespace zevmon {

// The largest --chunk: a job's read buffer is at least this big.
const unsigned MaxChunk = 64u << 20;

struct PrintOptions {
    std::string port;
    std::string input = "-";
    unsigned chunk = 4096;
    std::string document = "zevmon job";
    std::string printer;  // the printer the job belongs to; empty: the port's printer
    DWORD priority = 0;   // 1 to 99 through the queue; 0: the spooler's own
};

// The bytes of a job, read as they are sent: the file, or standard input for
// "-". A file that cannot be opened or read is a Failure that says why.
class JobInput {
public:
    explicit JobInput(const std::string& input);
    ~JobInput();
    JobInput(const JobInput&) = delete;
    JobInput& operator=(const JobInput&) = delete;
    // Known for a file; a pipe's size is known only at its end.
    std::optional<std::uint64_t> size() const { return size_; }
    // Up to `size` bytes; 0 at the end.
    size_t read(char* buffer, size_t size);
    // Standard input that a person types at the console.
    bool typed() const { return fromStdin_ && inputIsTerminal(); }

private:
    std::string name_;
    bool fromStdin_;
    std::unique_ptr<InputFile> file_;  // none: standard input
    std::optional<std::uint64_t> size_;
};

// How the sending of a job's bytes ended.
struct Sent {
    std::uint64_t bytes = 0;
    bool written = true;  // false: a write failed, and the last error says why
    bool cancelled = false;
    std::optional<Failure> readFailure;
};

// Sends the input in writes of at most `chunk` bytes, with a progress bar,
// until its end, a failed write, or Ctrl-C. write(data, size, written) makes
// one write; one that takes nothing fails with ERROR_WRITE_FAULT, since it
// would never finish.
// `progress` is the bar's: unlabelled, counting bytes sent, for a direct job.
Sent sendInChunks(JobInput& input, unsigned chunk,
                  const std::function<bool(const char* data, DWORD size, DWORD& written)>& write,
                  const std::string& progressLabel = "", const std::string& doneWord = "sent");

// The exit status of a job cancelled by the user, as a shell reports SIGINT.
const int CancelledStatus = 130;
// The exit status of a job the signal ended: 128 and its number, as a shell
// reports it.
int cancelledStatus();

// A document given to a printer's queue, as any program gives it: OpenPrinterA,
// StartDocPrinterA, WritePrinter as it is read, EndDocPrinter. One cancelled
// or stopped while it is given is taken back with AbortPrinter: the spooler
// prints no more of it, though a spooler that prints while it spools (98's
// default) may have sent a part. One the spooler cannot take at all is a
// Failure that says why.
struct SpooledDocument {
    DWORD job = 0;
    Sent sent;
    std::optional<Failure> failure;  // why it failed, in a sentence
    // Taken back with AbortPrinter or refused at EndDocPrinter.
    bool takenBack() const { return sent.cancelled || failure.has_value(); }
};
// `writeSize` is the size of each WritePrinter; `given` is told the job's id
// before its first byte.
SpooledDocument spoolDocument(const PrintOptions& options, const std::string& printer, const CallTrace& trace,
                              unsigned writeSize, const std::function<void(DWORD job)>& given = nullptr);

// What the host build does beside a job: the printer's received bytes are
// collected as they arrive, and the job's outcome is recorded.
struct JobObserver {
    std::function<void()> started;
    std::function<void()> wrote;
    std::function<void(std::uint64_t sent, const std::string& outcome)> ended;
    std::function<std::string()> destination;  // said at the end of the result line
};

// A job through the monitor's table: OpenPort, StartDocPort, WritePort in
// chunks, EndDocPort, ClosePort.
int printJob(MonitorCaller& caller, const PrintOptions& options, const std::string& printer,
             const JobObserver& observer = {});

}  // namespace zevmon
