// The monitor's table, called as a spooler calls it.
#include "monitor_caller.h"

#include <fmt/format.h>

#include "errors/error_names.h"
#include "terminal.h"
#include "text.h"

namespace zevmon {

void CallTrace::operator()(const std::string& call, BOOL result, const std::string& outputs) const {
    if (!on_) return;
    DWORD error = GetLastError();
    std::string line = fmt::format("trace: {}{} = {}", caller_, call, result ? "TRUE" : "FALSE");
    if (!outputs.empty()) line += ", " + outputs;
    if (!result) line += fmt::format(", last error {} ({})", errors::errorName(error), error);
    std::FILE* out = out_ ? out_ : console().err();
    std::fprintf(out, "%s\n", shown(line).c_str());
    std::fflush(out);
    SetLastError(error);
}

static std::string quoted(const std::string& s) { return "\"" + s + "\""; }
static std::string orEmpty(const char* s) { return s ? s : ""; }

// A call of the table as its line shows it, and what it gave back.
static std::pair<std::string, std::string> callText(const MonitorCall& call) {
    const std::string slot = orEmpty(call.slot);
    void* port = call.port;
    if (slot == "OpenPort")
        return {fmt::format("OpenPort({}, &handle)", quoted(orEmpty(call.name))), fmt::format("handle {}", port)};
    if (slot == "StartDocPort")
        return {fmt::format("StartDocPort({}, {}, {}, {}, {{{}}})", port, quoted(orEmpty(call.name)), call.jobId,
                            call.level, quoted(orEmpty(call.document))),
                ""};
    if (slot == "WritePort")
        return {fmt::format("WritePort({}, data, {})", port, call.size), fmt::format("written {}", call.done)};
    if (slot == "ReadPort")
        return {fmt::format("ReadPort({}, buffer, {})", port, call.size), fmt::format("read {}", call.done)};
    return {fmt::format("{}({})", slot, port), ""};  // EndDocPort, ClosePort: the handle alone
}

void CallTrace::operator()(const MonitorCall& call) const {
    if (!on_) return;
    DWORD error = GetLastError();
    auto [text, outputs] = callText(call);
    SetLastError(call.error);
    (*this)(text, call.result, outputs);
    SetLastError(error);
}

bool MonitorCaller::initialize(InitializeFn initializeMonitorEx) {
    BOOL ok = initializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &table_);
    traceCall(fmt::format("InitializeMonitorEx({}, &table)", quoted(MonitorKeyPath)), ok);
    return ok;
}

bool fillPortEntries(const char* name, DWORD level, DWORD needed, const EnumPortsCall& call, const CallTrace& trace,
                     std::vector<PortEntry>& ports) {
    std::vector<BYTE> buffer;
    DWORD returned = 0;
    BOOL ok = FALSE;
    for (int attempt = 0; attempt < 3; attempt++) {
        buffer.assign(needed + 1, 0);
        ok = call(buffer.data(), needed, &needed, &returned);
        trace(fmt::format("{}(NULL, {}, buffer, {})", name, level, buffer.size() - 1), ok,
              fmt::format("needed {}, returned {}", needed, returned));
        if (ok || GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    }
    if (!ok) return false;
    ports.clear();
    for (DWORD i = 0; i < returned; i++) {
        PortEntry entry;
        if (level == 1) {
            entry.name = orEmpty(reinterpret_cast<PORT_INFO_1A*>(buffer.data())[i].pName);
        } else if (level == 2) {
            auto& info = reinterpret_cast<PORT_INFO_2A*>(buffer.data())[i];
            entry = {orEmpty(info.pPortName), orEmpty(info.pMonitorName), orEmpty(info.pDescription), info.fPortType};
        }
        ports.push_back(entry);
    }
    return true;
}

bool MonitorCaller::enumPorts(DWORD level, std::vector<PortEntry>& ports) {
    EnumPortsCall call = [&](LPBYTE buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return table_.pfnEnumPorts(nullptr, level, buffer, size, needed, returned);
    };
    DWORD needed = 0, returned = 0;
    BOOL ok = call(nullptr, 0, &needed, &returned);
    traceCall(fmt::format("EnumPorts(NULL, {}, NULL, 0)", level), ok, fmt::format("needed {}, returned {}", needed, returned));
    return fillPortEntries("EnumPorts", level, needed, call, traceCall, ports);
}

bool MonitorCaller::openPort(const std::string& name, HANDLE& port) {
    port = nullptr;
    BOOL ok = table_.pfnOpenPort(const_cast<LPSTR>(name.c_str()), &port);
    traceCall(MonitorCall{"OpenPort", port, name.c_str(), nullptr, 0, 0, 0, 0, ok, GetLastError()});
    return ok;
}

bool MonitorCaller::startDocPort(HANDLE port, const std::string& printer, DWORD jobId, const std::string& document) {
    DOC_INFO_1A info{const_cast<LPSTR>(document.c_str()), nullptr, const_cast<LPSTR>("RAW")};
    BOOL ok = table_.pfnStartDocPort(port, const_cast<LPSTR>(printer.c_str()), jobId, 1, (LPBYTE)&info);
    traceCall(MonitorCall{"StartDocPort", port, printer.c_str(), document.c_str(), jobId, 1, 0, 0, ok, GetLastError()});
    return ok;
}

bool MonitorCaller::writePort(HANDLE port, const void* data, DWORD size, DWORD& written) {
    written = 0;
    BOOL ok = table_.pfnWritePort(port, (LPBYTE)data, size, &written);
    // A job makes a write per chunk: the record costs nothing, its line is made only when asked for.
    traceCall(MonitorCall{"WritePort", port, nullptr, nullptr, 0, 0, size, written, ok, GetLastError()});
    return ok;
}

bool MonitorCaller::endDocPort(HANDLE port) {
    BOOL ok = table_.pfnEndDocPort(port);
    traceCall(MonitorCall{"EndDocPort", port, nullptr, nullptr, 0, 0, 0, 0, ok, GetLastError()});
    return ok;
}

bool MonitorCaller::closePort(HANDLE port) {
    BOOL ok = table_.pfnClosePort(port);
    traceCall(MonitorCall{"ClosePort", port, nullptr, nullptr, 0, 0, 0, 0, ok, GetLastError()});
    return ok;
}

bool MonitorCaller::deletePort(const std::string& name) {
    BOOL ok = table_.pfnDeletePort(nullptr, GetDesktopWindow(), const_cast<LPSTR>(name.c_str()));
    traceCall(fmt::format("DeletePort(NULL, desktop, {})", quoted(name)), ok);
    return ok;
}

}  // namespace zevmon
