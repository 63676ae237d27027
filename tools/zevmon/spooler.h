// The spooler's side of the monitor: the table of entry points as a spooler
// calls it, with an optional trace of every call, its arguments, its result
// and its last error by name.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "monitor/zevuruzi.h"

namespace zevmon {

// "ERROR_NOT_READY, 21".
std::string errorText(DWORD code);
// A plain sentence for what the code means to a person: "the printer is not connected".
std::string errorMeaning(DWORD code);

struct PortEntry {
    std::string name;
    std::string monitor;
    std::string description;
    DWORD type = 0;
};

class Spooler {
public:
    explicit Spooler(bool trace, std::FILE* traceOut = stderr) : trace_(trace), out_(traceOut) {}

    typedef BOOL(WINAPI* InitializeFn)(LPSTR registryRoot, MONITOR_TABLE* monitor);
    // The monitor's InitializeMonitorEx, called with the monitor's registry path.
    bool initialize(InitializeFn initializeMonitorEx);
    const MONITOR_TABLE& table() const { return table_; }

    // EnumPorts as the spooler makes it: ask the size, then fill. False with the
    // last error on failure.
    bool enumPorts(DWORD level, std::vector<PortEntry>& ports);
    bool openPort(const std::string& name, HANDLE& port);
    bool startDocPort(HANDLE port, const std::string& printer, DWORD jobId, const std::string& document);
    bool writePort(HANDLE port, const void* data, DWORD size, DWORD& written);
    bool endDocPort(HANDLE port);
    bool closePort(HANDLE port);
    bool deletePort(const std::string& name);

private:
    void traceCall(const std::string& call, BOOL result, const std::string& outputs = "");
    bool trace_;
    std::FILE* out_;
    MONITOR_TABLE table_{};
};

}  // namespace zevmon
