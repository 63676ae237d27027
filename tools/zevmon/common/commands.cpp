// Commands on the monitor's table: list ports, print, delete a port, list printers.
#include "commands.h"

#include <fmt/format.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "registry.h"
#include "terminal.h"

namespace zevmon {

using nlohmann::json;

void fail(const std::string& what) {
    DWORD error = GetLastError();
    // A port name such as FILE: at the end of the sentence is quoted, so that
    // its own colon does not run into the one before the reason.
    std::string said = what;
    size_t last = said.find_last_of(' ');
    if (!said.empty() && said.back() == ':' && last != std::string::npos)
        said = said.substr(0, last + 1) + "\"" + said.substr(last + 1) + "\"";
    throw Failure(fmt::format("{}: {} ({}).", said, errorMeaning(error), errorText(error)));
}

std::string dllLoadFailure(const std::string& dll, DWORD error, bool fileExists) {
    // Windows says 126 for a name it found nowhere; Wine says 2.
    const DWORD moduleNotFound = 126;
    if ((error == moduleNotFound || error == ERROR_FILE_NOT_FOUND) && !fileExists)
        return fmt::format("{} could not be loaded: there is no file of that name where the system looks for DLLs "
                           "({}). Give the DLL's path, such as --dll C:\\ZEVURUZI\\ZEVURUZI.DLL.",
                           dll, errorText(error));
    if (error == moduleNotFound)
        return fmt::format("{} could not be loaded: a DLL that it needs is missing ({}).", dll, errorText(error));
    return fmt::format("{} could not be loaded: {} ({}).", dll, errorMeaning(error), errorText(error));
}

static std::string portType(DWORD type) { return type & PORT_TYPE_READ ? "write, read" : "write"; }

int listPorts(Spooler& spooler, unsigned level, bool asJson) {
    std::vector<PortEntry> ports;
    if (!spooler.enumPorts(level, ports)) fail("The ports could not be listed");
    showPorts(ports, level, asJson);
    return 0;
}

void showPorts(const std::vector<PortEntry>& ports, unsigned level, bool asJson) {
    if (asJson) {
        json out = json::array();
        for (auto& p : ports) {
            json entry = {{"name", p.name}};
            if (level == 2) {
                entry["monitor"] = p.monitor;
                entry["description"] = p.description;
                entry["type"] = p.type;
            }
            out.push_back(entry);
        }
        std::printf("%s\n", out.dump(2).c_str());
        return;
    }
    if (level == 1) {
        for (auto& p : ports) std::printf("%s\n", p.name.c_str());
    } else {
        std::printf("%-10s %-16s %-12s %s\n", "PORT", "MONITOR", "DESCRIPTION", "TYPE");
        for (auto& p : ports)
            std::printf("%-10s %-16s %-12s %s\n", p.name.c_str(), p.monitor.c_str(), p.description.c_str(),
                        portType(p.type).c_str());
    }
    if (ports.empty()) std::printf("(no ports)\n");
}

int deletePort(Spooler& spooler, const std::string& name) {
    if (!spooler.deletePort(name)) fail("Port " + name + " could not be deleted");
    std::printf("Port %s deleted.\n", name.c_str());
    return 0;
}

volatile std::sig_atomic_t jobCancelRequested = 0;

std::string fileErrorText(int error) {
    switch (error) {
    case ENOENT: return "there is no such file";
    case EACCES: return "permission to read it is denied";
    case EISDIR: return "it is a folder, not a file";
    case EMFILE:
    case ENFILE: return "too many files are open";
    default: return std::strerror(error);
    }
}

// C streams, not iostream file streams: on Windows the C++ file streams open
// their files through wide-character calls that Windows 95, 98 and Me lack.
JobInput::JobInput(const std::string& input) : name_(input), fromStdin_(input == "-") {
    if (fromStdin_) {
        file_ = stdin;
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);  // a job is bytes, not lines
#endif
        return;
    }
    // A folder opens as a file on some systems and fails only at the first read.
    struct stat info;
    if (stat(input.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFDIR)
        throw Failure(fmt::format("The file {} cannot be printed: {}.", input, fileErrorText(EISDIR)));
    errno = 0;
    file_ = std::fopen(input.c_str(), "rb");
    if (!file_) throw Failure(fmt::format("The file {} could not be read: {}.", input, fileErrorText(errno)));
    if ((info.st_mode & S_IFMT) == S_IFREG) size_ = (std::uint64_t)info.st_size;
}

JobInput::~JobInput() {
    if (!fromStdin_) std::fclose(file_);
}

// The descriptor's own read, not fread: from a pipe it returns what has come,
// so that a job sends bytes as they arrive rather than once a buffer is full.
size_t JobInput::read(char* buffer, size_t size) {
    for (;;) {
        errno = 0;
        auto got = ::read(fileno(file_), buffer, (unsigned)std::min<size_t>(size, 1u << 30));
        if (got >= 0) return (size_t)got;
        if (errno == EINTR && !jobCancelRequested) continue;
        if (errno == EINTR) return 0;
        int error = errno;
        throw Failure(fmt::format("{} could not be read to the end: {}.",
                                  fromStdin_ ? std::string("Standard input") : "The file " + name_,
                                  error ? fileErrorText(error) : "a read error"));
    }
}

Sent sendInChunks(JobInput& input, unsigned chunk,
                  const std::function<bool(const char* data, DWORD size, DWORD& written)>& write) {
    Sent sent;
    Progress progress(input.size());
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
            sent.cancelled = jobCancelRequested != 0;  // a read that Ctrl-C broke off
            break;
        }
        size_t at = 0;
        while (sent.written && at < got && !(sent.cancelled = jobCancelRequested != 0)) {
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

int printJob(Spooler& spooler, const PrintOptions& options, const std::string& printer, const JobObserver& observer) {
    JobInput input(options.input);
    HANDLE port;
    if (!spooler.openPort(options.port, port)) fail("There is no port " + options.port + " to print to");
    if (!spooler.startDocPort(port, printer, 1, options.document)) {
        DWORD error = GetLastError();
        spooler.closePort(port);
        SetLastError(error);
        fail("A job could not start on " + options.port);
    }
    if (observer.started) observer.started();
    Sent sent = sendInChunks(input, options.chunk, [&](const char* data, DWORD size, DWORD& written) {
        bool ok = spooler.writePort(port, data, size, written);
        if (observer.wrote) observer.wrote();
        return ok;
    });
    DWORD writeError = GetLastError();
    bool ended = spooler.endDocPort(port);
    DWORD endError = GetLastError();
    spooler.closePort(port);
    if (observer.wrote) observer.wrote();

    std::string outcome = "complete";
    if (sent.cancelled) outcome = fmt::format("cancelled after {} bytes", sent.bytes);
    else if (!sent.written || sent.readFailure) outcome = fmt::format("stopped after {} bytes", sent.bytes);
    else if (!ended) outcome = "not ended cleanly";
    if (observer.ended) observer.ended(sent.bytes, outcome);

    if (sent.cancelled) {
        std::fprintf(stderr, "zevmon: The job on %s was cancelled after %llu bytes; EndDocPort %s it.\n",
                     options.port.c_str(), (unsigned long long)sent.bytes, ended ? "ended" : "could not end");
        return CancelledStatus;
    }
    if (sent.readFailure)
        throw Failure(fmt::format("{} The job on {} stopped after {} bytes.", sent.readFailure->what(), options.port,
                                  sent.bytes));
    if (!sent.written) {
        SetLastError(writeError);
        fail(input.size()
                 ? fmt::format("The job on {} stopped after {} of {} bytes", options.port, sent.bytes, *input.size())
                 : fmt::format("The job on {} stopped after {} bytes", options.port, sent.bytes));
    }
    if (!ended) {
        SetLastError(endError);
        fail("The job on " + options.port + " did not end cleanly");
    }
    std::printf("Printed %llu bytes to %s%s.\n", (unsigned long long)sent.bytes, options.port.c_str(),
                printer.empty() ? "" : (" for printer " + printer).c_str());
    return 0;
}

int listPrinters(const std::vector<PrinterState>& printers, bool asJson) {
    if (asJson) {
        json out = json::array();
        for (auto& p : printers) out.push_back({{"name", p.name}, {"port", p.port}, {"online", p.online}});
        std::printf("%s\n", out.dump(2).c_str());
        return 0;
    }
    std::printf("%-24s %-10s %s\n", "PRINTER", "PORT", "STATE");
    for (auto& p : printers)
        std::printf("%-24s %-10s %s\n", p.name.c_str(), p.port.c_str(), p.online ? "online" : "offline");
    if (printers.empty()) std::printf("(no printers)\n");
    return 0;
}

std::string printerFor(const std::vector<PrinterState>& printers, const std::string& port) {
    for (auto& p : printers)
        if (sameName(p.port, port)) return p.name;
    return "";
}

}  // namespace zevmon
