// winspool.drv of the simulated machine: printers by name, printer handles.
#include <winspool.h>

#include <cstring>

#include "state.h"

using sim::machine;

// On failure the handle is set to NULL (Wine's OpenPrinterW stores the result
// of its look-up, NULL, in it), an injected failure included.
BOOL WINAPI OpenPrinterA(LPSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSA defaults) {
    (void)defaults;
    if (auto e = sim::fault("OpenPrinterA")) {
        if (printer) *printer = NULL;
        SetLastError(*e);
        return FALSE;
    }
    if (!printer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *printer = NULL;
    if (!printerName || !machine().printerExists(printerName)) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    uintptr_t value = spooler.next;
    spooler.next += 4;
    spooler.open[value] = printerName;
    *printer = (HANDLE)value;
    return TRUE;
}

// An injected failure (FaultMode::Fail) still closes the handle; with
// FailKeepingObject it stays open.
BOOL WINAPI ClosePrinter(HANDLE printer) {
    auto injected = sim::injectedFault("ClosePrinter");
    auto& spooler = machine().spooler();
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(spooler.mutex);
        auto it = spooler.open.find((uintptr_t)printer);
        if (it != spooler.open.end()) {
            if (injected && injected->mode == sim::FaultMode::FailKeepingObject) {
                machine().noteCloseRefused("ClosePrinter", (uintptr_t)printer);
            } else {
                spooler.open.erase(it);
                machine().noteClosed("ClosePrinter", (uintptr_t)printer);
                closed = true;
            }
        }
    }
    if (injected || !closed) {
        SetLastError(injected ? injected->error : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

namespace {

const char PrintersPath[] = "System\\CurrentControlSet\\Control\\Print\\Printers";

bool printerOf(HANDLE printer, std::string& name) {
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    auto it = spooler.open.find((uintptr_t)printer);
    if (it == spooler.open.end()) return false;
    name = it->second;
    return true;
}

// The start of every call on a printer handle: an injected failure, then the
// printer the handle names.
bool enterPrinterCall(const char* function, HANDLE printer, std::string& name) {
    if (auto e = sim::fault(function)) {
        SetLastError(*e);
        return false;
    }
    if (!printerOf(printer, name)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

}  // namespace

// Level 2 only: the record, then its strings, in the caller's buffer. Without a
// buffer big enough, the size needed and ERROR_INSUFFICIENT_BUFFER.
BOOL WINAPI GetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    std::string name;
    if (!enterPrinterCall("GetPrinterA", printer, name)) return FALSE;
    if (level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    std::string key = std::string(PrintersPath) + "\\" + name;
    std::string port = machine().registry().stringValue(key, "Port").value_or("");
    std::string driver = machine().registry().stringValue(key, "Printer Driver").value_or("");
    DWORD total = (DWORD)(sizeof(PRINTER_INFO_2A) + name.size() + 1 + port.size() + 1 + driver.size() + 1);
    if (needed) *needed = total;
    if (!buffer || size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* info = reinterpret_cast<PRINTER_INFO_2A*>(buffer);
    std::memset(info, 0, sizeof *info);
    char* strings = reinterpret_cast<char*>(buffer + sizeof *info);
    auto place = [&](const std::string& s) {
        std::memcpy(strings, s.c_str(), s.size() + 1);
        char* at = strings;
        strings += s.size() + 1;
        return at;
    };
    info->pPrinterName = place(name);
    info->pPortName = place(port);
    info->pDriverName = place(driver);
    info->Attributes = machine().printerAttributes(name);
    return TRUE;
}

// Level 2 with command 0 stores the attributes; nothing else of the record is kept here.
BOOL WINAPI SetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD command) {
    std::string name;
    if (!enterPrinterCall("SetPrinterA", printer, name)) return FALSE;
    if (level != 2 || command != 0) {
        SetLastError(level != 2 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(buffer);
    machine().registry().setDword(std::string(PrintersPath) + "\\" + name, "Attributes", info->Attributes);
    return TRUE;
}

// ---- the control API's printers: a printer is its key below the Printers key ----

namespace sim {

void Machine::addPrinter(const std::string& name, const std::string& port, DWORD attributes) {
    std::string key = std::string(PrintersPath) + "\\" + name;
    registry_.setString(key, "Port", port);
    registry_.setDword(key, "Attributes", attributes);
}

bool Machine::printerExists(const std::string& name) {
    return name.find('\\') == std::string::npos && registry_.exists(std::string(PrintersPath) + "\\" + name);
}

DWORD Machine::printerAttributes(const std::string& name) {
    auto v = registry_.value(std::string(PrintersPath) + "\\" + name, "Attributes");
    if (!v || v->data.size() < 4) return 0;
    return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) | ((DWORD)v->data[3] << 24);
}

std::size_t Machine::openPrinterHandles() const {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    return spooler_->open.size();
}

}  // namespace sim
