// zevmon print: a file, or standard input, to a port, for the printer that
// --printer names or the port's own; its bytes go through the build's way to
// the port as they are read, and Ctrl-C ends the job instead of zevmon. The
// command comes first (its words, their checks, its run), then the job's
// bytes as the ways to the port send them.
#include "print.h"

#include <fmt/format.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <winspool.h>

#include "cli.h"
#include "commands.h"
#include "registry.h"
#include "spooler_queue.h"
#include "terminal.h"
#include "text.h"

namespace zevmon {

namespace {

#ifdef _WIN32
const char PathSeparators[] = "\\/:";
#else
const char PathSeparators[] = "/";
#endif

bool isFile(const std::string& path) { return console().lookUp(path).regular; }

void declarePrint(CLI::App& print, Run& run) {
    PrintOptions& o = run.words<PrintOptions>();
    print.add_option("port", o.port, "the port, such as USB-001")->type_name(PortWord)->required();
    print.add_option("file", o.input, "the file to print; - or nothing for standard input")->type_name(FileWord);
    CLI::Validator chunkSize(
        [](std::string& text) -> std::string {
            // By hand: the msvcrt.dll of Windows 95 has no strtoul.
            bool digits = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
            unsigned long value = 0;
            for (char c : digits ? text : std::string()) value = value * 10 + (unsigned long)(c - '0');
            if (digits && value >= 1 && value <= MaxChunk) return "";
            return fmt::format("the chunk size is a number of bytes from 1 to {} (64 MiB), not {}", MaxChunk, text);
        },
        "BYTES");
    print.add_option("--chunk", o.chunk, "bytes per write, 1 to 64 MiB (default 4096)")->check(chunkSize);
    print.add_option("--document", o.document, "the document's name")->type_name("NAME");
    print.add_option("--printer", o.printer, "the printer the job belongs to (default: the port's printer)")
        ->type_name(PrinterWord);
    print.add_option("--priority", o.priority, "the job's place among the waiting: 1 to 99, higher first (default 1)")
        ->type_name("N")
        ->check(wholeNumber("the priority is a whole number from 1 to 99", 1, 99));
}

// `print FILE PORT`, the two the wrong way round, is refused. A print of a
// file without --document is named after the file, as lp names it.
int checkPrint(const CLI::App& print, Run& run) {
    PrintOptions& job = run.words<PrintOptions>();
    if (job.input != "-" && print.count("--document") == 0)
        job.document = job.input.substr(job.input.find_last_of(PathSeparators) + 1);
    if (job.input != "-" && isFile(job.input)) return -1;
    if (!isFile(job.port)) return -1;
    std::fprintf(console().err(), "zevmon: %s is a file, not a port: the port comes first (%s)\n", job.port.c_str(),
                 zevmonCommand("print " + (job.input == "-" ? "PORT" : shellWord(job.input)) + " " + shellWord(job.port))
                     .c_str());
    return 2;
}

// Ctrl-C while the command runs asks the job to end at its next write, with
// EndDocPort or EndDocPrinter; the handler before it comes back at the end.
class CancelOnInterrupt {
public:
#ifdef _WIN32
    CancelOnInterrupt() : previous_(std::signal(SIGINT, onInterrupt)) { console().takeSignals(true); }
    ~CancelOnInterrupt() {
        std::signal(SIGINT, previous_);
        console().takeSignals(false);
    }
#else
    // Without SA_RESTART, so that a read from a pipe that is waiting for bytes
    // is broken off too. SIGTERM and SIGHUP (a closed terminal) end a job as
    // Ctrl-C does, so that it is ended and recorded rather than cut off.
    // A command the running machine serves has its client's signals told to
    // its console, and leaves the machine's own alone.
    CancelOnInterrupt() : served_(&console() != &processConsole()) {
        console().takeSignals(true);
        if (served_) return;
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; i++) sigaction(Signals[i], &action, &previous_[i]);
    }
    ~CancelOnInterrupt() {
        console().takeSignals(false);
        if (served_) return;
        for (int i = 0; i < 3; i++) sigaction(Signals[i], &previous_[i], nullptr);
    }
#endif
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

private:
    static void onInterrupt(int signal) { jobCancelRequested = signal; }
#ifdef _WIN32
    void (*previous_)(int);
#else
    bool served_;
    static constexpr int Signals[3] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous_[3];
#endif
};

// The printer a job belongs to. One named with --printer has to be one of the
// machine's printers and print to the port; without it, the port's printer,
// which the spooler needs and the monitor's table does without.
std::string jobPrinter(PortRoute& route, const PrintOptions& job) {
    std::vector<PrinterState> printers = route.printers();
    if (!job.printer.empty()) {
        for (const PrinterState& p : printers)
            if (sameName(p.name, job.printer)) {
                if (!sameName(p.port, job.port))
                    throw Failure(fmt::format("Printer {} prints to {}, not to {}.", shown(p.name), shown(p.port),
                                              shown(job.port)));
                return p.name;
            }
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        fail("Printer " + shown(job.printer) + " could not be opened");
    }
    std::string printer = printerFor(printers, job.port);
    if (!route.jobsNeedPrinter()) return printer;
    if (printer.empty())
        throw Failure(fmt::format("No printer prints to {}, so the spooler has no way to send a job there: install a "
                                  "printer on that port, or name one with --printer.",
                                  shown(job.port)));
    notice(fmt::format("Printing on printer {}, the printer of port {}.", shown(printer), shown(job.port)));
    return printer;
}

int cmdPrint(Run& run) {
    CancelOnInterrupt cancel;
    // Its names as the machine keeps them; said where the command runs, once.
    PrintOptions job = run.words<PrintOptions>();
    job.port = nameToFind(job.port, "port");
    if (!job.printer.empty()) job.printer = nameToFind(job.printer, "printer");
    job.document = nameToKeep(job.document, "The document's name");
    return run.route->printJob(job, jobPrinter(*run.route, job));
}

}  // namespace

const Verb<Run> PrintCommand("print", "print a file, or standard input, to a port", declarePrint, checkPrint, cmdPrint);

int cancelledStatus() { return cancelRequested() ? 128 + cancelRequested() : CancelledStatus; }

// The file is the user's: the console opens it where the user is.
JobInput::JobInput(const std::string& input) : name_(input), fromStdin_(input == "-") {
    if (fromStdin_) {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);  // a job is bytes, not lines
#endif
        return;
    }
    // A folder opens as a file on some systems and fails only at the first read.
    PathInfo info = console().lookUp(input);
    if (info.folder) throw Failure(fmt::format("The file {} cannot be printed: {}.", input, fileErrorText(EISDIR)));
    int error = 0;
    file_ = console().openInput(input, error);
    if (!file_) throw Failure(fmt::format("The file {} could not be read: {}.", input, fileErrorText(error)));
    if (info.regular) size_ = info.size;
}

JobInput::~JobInput() = default;

// The descriptor's own read, not fread: from a pipe it returns what has come,
// so that a job sends bytes as they arrive rather than once a buffer is full.
size_t JobInput::read(char* buffer, size_t size) {
    for (;;) {
        errno = 0;
        long got = file_ ? file_->read(buffer, size) : console().readInput(buffer, size);
        if (got >= 0) return (size_t)got;
        if (errno == EINTR && !cancelRequested()) continue;
        if (errno == EINTR) return 0;
        int error = errno;
        throw Failure(fmt::format("{} could not be read to the end: {}.",
                                  fromStdin_ ? std::string("Standard input") : "The file " + name_,
                                  error ? fileErrorText(error) : "a read error"));
    }
}

Sent sendInChunks(JobInput& input, unsigned chunk,
                  const std::function<bool(const char* data, DWORD size, DWORD& written)>& write,
                  const std::string& progressLabel, const std::string& doneWord) {
    Sent sent;
    // A terminal gives no sign that it waits for the document, nor of how to end it.
    if (input.typed())
#ifdef _WIN32
        notice("Reading the document from standard input; end it with Ctrl-Z and Enter (Ctrl-C cancels).");
#else
        notice("Reading the document from standard input; end it with Ctrl-D (Ctrl-C cancels).");
#endif
    Progress progress(input.size(), progressLabel, doneWord);
    // One read buffer whatever the size of the input: the job streams through it.
    std::vector<char> buffer(std::max<size_t>(chunk, 65536));
    for (;;) {
        size_t got = 0;
        try {
            got = input.read(buffer.data(), buffer.size());
        } catch (const Failure& e) {
            sent.readFailure = e;
        }
        if (got == 0) {
            sent.cancelled = cancelRequested() != 0;  // a read that Ctrl-C broke off
            break;
        }
        size_t at = 0;
        while (sent.written && at < got && !(sent.cancelled = cancelRequested() != 0)) {
            DWORD size = (DWORD)std::min<size_t>(chunk, got - at), written = 0;
            sent.written = write(buffer.data() + at, size, written);
            at += written;
            sent.bytes += written;
            progress.update(sent.bytes);
            if (sent.written && written == 0) {
                sent.written = false;
                SetLastError(ERROR_WRITE_FAULT);
            }
        }
        if (!sent.written || sent.cancelled) break;
    }
    progress.finish();
    return sent;
}

int printJob(MonitorCaller& caller, const PrintOptions& options, const std::string& printer,
             const JobObserver& observer) {
    JobInput input(options.input);
    HANDLE port;
    if (!caller.openPort(options.port, port)) {
        // NUL for NUL:, as a DOS habit types it.
        DWORD error = GetLastError();
        HANDLE other;
        bool colonLeftOut = options.port.find(':') == std::string::npos && caller.openPort(options.port + ":", other) &&
                            caller.closePort(other);
        SetLastError(error);
        try {
            fail("There is no port " + shown(options.port) + " to print to");
        } catch (const Failure& e) {
            if (!colonLeftOut) throw;
            throw Failure(fmt::format("{} Did you mean {}:?", e.what(), shown(options.port)));
        }
    }
    if (!caller.startDocPort(port, printer, 1, options.document)) {
        DWORD error = GetLastError();
        caller.closePort(port);
        if (cancelRequested()) {
            std::fprintf(console().err(), "zevmon: The job on %s was cancelled at the open-file prompt; nothing was sent.\n",
                         shown(options.port).c_str());
            return CancelledStatus;
        }
        SetLastError(error);
        fail("A job could not start on " + shown(options.port));
    }
    if (observer.started) observer.started();
    Sent sent = sendInChunks(input, options.chunk, [&](const char* data, DWORD size, DWORD& written) {
        bool ok = caller.writePort(port, data, size, written);
        if (observer.wrote) observer.wrote();
        return ok;
    });
    DWORD writeError = GetLastError();
    bool ended = caller.endDocPort(port);
    DWORD endError = GetLastError();
    caller.closePort(port);
    if (observer.wrote) observer.wrote();

    std::string outcome = "complete";
    if (sent.cancelled) outcome = fmt::format("cancelled after {} bytes", sent.bytes);
    else if (!sent.written || sent.readFailure) outcome = fmt::format("stopped after {} bytes", sent.bytes);
    else if (!ended) outcome = "not ended cleanly";
    if (observer.ended) observer.ended(sent.bytes, outcome);

    if (sent.cancelled) {
        std::fprintf(console().err(), "zevmon: The job on %s was cancelled after %llu bytes; EndDocPort %s it.\n",
                     shown(options.port).c_str(), (unsigned long long)sent.bytes, ended ? "ended" : "could not end");
        return cancelledStatus();
    }
    if (sent.readFailure)
        throw Failure(fmt::format("{} The job on {} stopped after {} bytes.", sent.readFailure->what(),
                                  shown(options.port), sent.bytes));
    if (!sent.written) {
        SetLastError(writeError);
        fail(input.size()
                 ? fmt::format("The job on {} stopped after {} of {} bytes", shown(options.port), sent.bytes,
                               *input.size())
                 : fmt::format("The job on {} stopped after {} bytes", shown(options.port), sent.bytes));
    }
    if (!ended) {
        SetLastError(endError);
        fail("The job on " + shown(options.port) + " did not end cleanly");
    }
    std::fprintf(console().out(), "Printed %llu bytes to %s%s%s.\n", (unsigned long long)sent.bytes,
                 shown(options.port).c_str(), printer.empty() ? "" : (" for printer " + shown(printer)).c_str(),
                observer.destination ? observer.destination().c_str() : "");
    return 0;
}

SpooledDocument spoolDocument(const PrintOptions& options, const std::string& printer, const CallTrace& trace,
                              unsigned writeSize, const std::function<void(DWORD job)>& given) {
    JobInput input(options.input);
    HANDLE handle = NULL;
    BOOL ok = OpenPrinterA(const_cast<LPSTR>(printer.c_str()), &handle, NULL);
    trace(fmt::format("OpenPrinterA(\"{}\", &handle, NULL)", printer), ok);
    if (!ok) fail("Printer " + shown(printer) + " could not be opened");
    // Closes the printer handle on every way out, keeping the error that matters.
    auto close = [&] {
        DWORD error = GetLastError();
        trace("ClosePrinter(handle)", ClosePrinter(handle));
        SetLastError(error);
    };
    DOC_INFO_1A info{const_cast<LPSTR>(options.document.c_str()), NULL, const_cast<LPSTR>("RAW")};
    SpooledDocument document;
    document.job = StartDocPrinterA(handle, 1, (LPBYTE)&info);
    trace(fmt::format("StartDocPrinterA(handle, 1, {{\"{}\", NULL, \"RAW\"}})", options.document), document.job != 0,
          fmt::format("job {}", document.job));
    if (document.job == 0) {
        close();
        fail("The spooler did not take a document for printer " + shown(printer));
    }
    if (options.priority && !setJobPriority(handle, document.job, options.priority, trace)) {
        DWORD error = GetLastError();
        trace("AbortPrinter(handle)", AbortPrinter(handle));
        SetLastError(error);
        close();
        fail(fmt::format("The spooler did not take priority {} for the job", options.priority));
    }
    if (given) given(document.job);
    document.sent = sendInChunks(input, writeSize, [&](const char* data, DWORD size, DWORD& took) {
        BOOL written = WritePrinter(handle, const_cast<char*>(data), size, &took);
        trace(fmt::format("WritePrinter(handle, data, {})", size), written, fmt::format("written {}", took));
        return written != FALSE;
    }, "Spooling", "given");
    const Sent& sent = document.sent;
    if (sent.cancelled || sent.readFailure || !sent.written) {
        DWORD error = GetLastError();
        trace("AbortPrinter(handle)", AbortPrinter(handle));
        SetLastError(error);
        close();
        if (sent.readFailure)
            document.failure = Failure(fmt::format("{} The spooler was given {} bytes, and took the job back.",
                                                   sent.readFailure->what(), sent.bytes));
        else if (!sent.cancelled)
            document.failure = failure(fmt::format(
                "The spooler could not keep the document after {} bytes, and took the job back", sent.bytes));
        return document;
    }
    ok = EndDocPrinter(handle);
    trace("EndDocPrinter(handle)", ok);
    close();
    if (!ok)
        document.failure =
            failure(fmt::format("The spooler could not keep the document of {} bytes, and took the job back", sent.bytes));
    return document;
}

}  // namespace zevmon
