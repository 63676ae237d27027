// zevmon's caller of a monitor's table: the entry points InitializeMonitorEx
// gives, called in zevmon's own process as a spooler calls them, with an
// optional trace of every call, its arguments, its result and its last error.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "error_text.h"
#include "monitor/zevuruzi.h"

namespace zevmon {

struct PortEntry {
    std::string name;
    std::string monitor;
    std::string description;
    DWORD type = 0;
};

// A trace of calls, one line each: the call, its result, what it gave back,
// and on failure the last error by name and number, which it leaves as it was.
// Without a stream of its own it goes where the command's messages go. A
// caller other than the command itself puts its name first ("playback: ").
class CallTrace {
public:
    explicit CallTrace(bool on, std::FILE* out = nullptr, std::string caller = "")
        : on_(on), out_(out), caller_(std::move(caller)) {}
    bool on() const { return on_; }
    void operator()(const std::string& call, BOOL result, const std::string& outputs = "") const;
    // A call of the monitor's table, by zevmon or by a spooler: the one text
    // of each slot's line.
    void operator()(const MonitorCall& call) const;

private:
    bool on_;
    std::FILE* out_;
    std::string caller_;
};

// One EnumPorts call, of whichever spooler or monitor: fills the buffer of
// `size` bytes, or only says the size needed when there is none.
typedef std::function<BOOL(LPBYTE buffer, DWORD size, DWORD* needed, DWORD* returned)> EnumPortsCall;

// The second step of EnumPorts as the spooler makes it, once the size is
// known: fill, and ask again while the size grows (the monitor's scan can add
// ports between two calls). Each call is traced under `name`. False with the
// last error.
bool fillPortEntries(const char* name, DWORD level, DWORD needed, const EnumPortsCall& call, const CallTrace& trace,
                     std::vector<PortEntry>& ports);

class MonitorCaller {
public:
    explicit MonitorCaller(bool trace, std::FILE* traceOut = nullptr) : traceCall(trace, traceOut) {}

    typedef BOOL(WINAPI* InitializeFn)(LPSTR registryRoot, MONITOR_TABLE* monitor);
    // The monitor's InitializeMonitorEx, called with the monitor's registry path.
    bool initialize(InitializeFn initializeMonitorEx);
    // The table of a monitor that a spooler started already: its calls go to
    // that same loaded monitor.
    void adopt(const MONITOR_TABLE& table) { table_ = table; }
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
    CallTrace traceCall;
    MONITOR_TABLE table_{};
};

}  // namespace zevmon
