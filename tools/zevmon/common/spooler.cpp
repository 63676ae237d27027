// The table of entry points, called as a spooler calls it.
#include "spooler.h"

#include <fmt/format.h>

#include <cctype>
#include <map>

#include "errors/error_names.h"

// Loader errors that the simulated machine's headers leave out.
#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126L
#endif
#ifndef ERROR_BAD_EXE_FORMAT
#define ERROR_BAD_EXE_FORMAT 193L
#endif

namespace zevmon {

std::string errorText(DWORD code) {
    std::string name = errors::errorName(code);
    // A code the table does not know is named by its number alone.
    return name == fmt::format("error {}", code) ? name : fmt::format("{}, {}", name, code);
}

std::string errorMeaning(DWORD code) {
    static const std::map<DWORD, const char*> meanings = {
        {ERROR_NOT_READY, "the printer is not connected"},
        {ERROR_UNKNOWN_PORT, "there is no port of that name"},
        {ERROR_BUSY, "a job is printing on it"},
        {ERROR_CANCELLED, "no file was chosen"},
        {ERROR_SHARING_VIOLATION, "its file is in use by another program"},
        {ERROR_INVALID_PARAMETER, "the port is not in a state to do that"},
        {ERROR_OPEN_FAILED, "the port names no USB device it can look for"},
        {ERROR_DEVICE_NOT_CONNECTED, "the printer was disconnected"},
        {ERROR_PATH_NOT_FOUND, "the folder of its file does not exist"},
        {ERROR_INSUFFICIENT_BUFFER, "the buffer was too small"},
        {ERROR_CANTREAD, "the port cannot be read from"},
        {ERROR_MOD_NOT_FOUND, "the system found no such DLL, or one of the DLLs it needs is missing"},
        {ERROR_BAD_EXE_FORMAT, "it is not a 32-bit Windows DLL"},
        {ERROR_BAD_FORMAT, "it is not a 32-bit Windows DLL"},
        {ERROR_DLL_INIT_FAILED, "its start-up code refused to load"},
    };
    auto it = meanings.find(code);
    if (it != meanings.end()) return it->second;
    std::string text = errors::systemMessage(code).value_or("an error for which the system has no text");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
    if (!text.empty()) text[0] = (char)std::tolower((unsigned char)text[0]);
    return text;
}

void CallTrace::operator()(const std::string& call, BOOL result, const std::string& outputs) const {
    if (!on_) return;
    DWORD error = GetLastError();
    std::string line = fmt::format("trace: {} = {}", call, result ? "TRUE" : "FALSE");
    if (!outputs.empty()) line += ", " + outputs;
    if (!result) line += fmt::format(", last error {} ({})", errors::errorName(error), error);
    std::fprintf(out_, "%s\n", line.c_str());
    SetLastError(error);
}

static std::string quoted(const std::string& s) { return "\"" + s + "\""; }

bool Spooler::initialize(InitializeFn initializeMonitorEx) {
    BOOL ok = initializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &table_);
    traceCall(fmt::format("InitializeMonitorEx({}, &table)", quoted(MonitorKeyPath)), ok);
    return ok;
}

static std::string orEmpty(const char* s) { return s ? s : ""; }

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

bool Spooler::enumPorts(DWORD level, std::vector<PortEntry>& ports) {
    EnumPortsCall call = [&](LPBYTE buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return table_.pfnEnumPorts(nullptr, level, buffer, size, needed, returned);
    };
    DWORD needed = 0, returned = 0;
    BOOL ok = call(nullptr, 0, &needed, &returned);
    traceCall(fmt::format("EnumPorts(NULL, {}, NULL, 0)", level), ok, fmt::format("needed {}, returned {}", needed, returned));
    return fillPortEntries("EnumPorts", level, needed, call, traceCall, ports);
}

bool Spooler::openPort(const std::string& name, HANDLE& port) {
    port = nullptr;
    BOOL ok = table_.pfnOpenPort(const_cast<LPSTR>(name.c_str()), &port);
    traceCall(fmt::format("OpenPort({}, &handle)", quoted(name)), ok, fmt::format("handle {}", (void*)port));
    return ok;
}

bool Spooler::startDocPort(HANDLE port, const std::string& printer, DWORD jobId, const std::string& document) {
    DOC_INFO_1A info{const_cast<LPSTR>(document.c_str()), nullptr, const_cast<LPSTR>("RAW")};
    BOOL ok = table_.pfnStartDocPort(port, const_cast<LPSTR>(printer.c_str()), jobId, 1, (LPBYTE)&info);
    traceCall(fmt::format("StartDocPort({}, {}, {}, 1, {{{}}})", (void*)port, quoted(printer), jobId, quoted(document)), ok);
    return ok;
}

bool Spooler::writePort(HANDLE port, const void* data, DWORD size, DWORD& written) {
    written = 0;
    BOOL ok = table_.pfnWritePort(port, (LPBYTE)data, size, &written);
    // A job makes a write per chunk: its trace line is made only when asked for.
    if (traceCall.on()) traceCall(fmt::format("WritePort({}, data, {})", (void*)port, size), ok, fmt::format("written {}", written));
    return ok;
}

bool Spooler::endDocPort(HANDLE port) {
    BOOL ok = table_.pfnEndDocPort(port);
    traceCall(fmt::format("EndDocPort({})", (void*)port), ok);
    return ok;
}

bool Spooler::closePort(HANDLE port) {
    BOOL ok = table_.pfnClosePort(port);
    traceCall(fmt::format("ClosePort({})", (void*)port), ok);
    return ok;
}

bool Spooler::deletePort(const std::string& name) {
    BOOL ok = table_.pfnDeletePort(nullptr, GetDesktopWindow(), const_cast<LPSTR>(name.c_str()));
    traceCall(fmt::format("DeletePort(NULL, desktop, {})", quoted(name)), ok);
    return ok;
}

}  // namespace zevmon
