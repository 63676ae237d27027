// winspool.drv of the simulated machine: printers by name, printer handles.
#include <winspool.h>

#include <algorithm>
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
    // The handle's printer is named as its key is, in whatever case it was opened:
    // its jobs say the printer's own name.
    std::shared_ptr<sim::RegNode> key = machine().registry().find(sim::printerKey(printerName));
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    uintptr_t value = spooler.next;
    spooler.next += 4;
    spooler.open[value] = key ? key->name : std::string(printerName);
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

namespace {

// What a printer's level-2 record says: its key's values.
struct PrinterRecord {
    std::string name, port, driver;
    DWORD attributes;
};

PrinterRecord printerRecord(const std::string& name) {
    std::string key = sim::printerKey(name);
    return {name, machine().registry().stringValue(key, "Port").value_or(""),
            machine().registry().stringValue(key, "Printer Driver").value_or(""), machine().printerAttributes(name)};
}

// The strings after a buffer's records, each placed after the one before.
struct StringArea {
    char* next;
    char* place(const std::string& text) {
        std::memcpy(next, text.c_str(), text.size() + 1);
        char* at = next;
        next += text.size() + 1;
        return at;
    }
};

// Level 2 records, then their strings, in the caller's buffer. Without a
// buffer big enough, the size needed and ERROR_INSUFFICIENT_BUFFER.
BOOL packPrinters(const std::vector<PrinterRecord>& printers, LPBYTE buffer, DWORD size, LPDWORD needed) {
    DWORD total = (DWORD)(printers.size() * sizeof(PRINTER_INFO_2A));
    for (auto& p : printers) total += (DWORD)(p.name.size() + p.port.size() + p.driver.size() + 3);
    if (needed) *needed = total;
    if (!buffer || size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(buffer, 0, printers.size() * sizeof(PRINTER_INFO_2A));
    StringArea strings{reinterpret_cast<char*>(buffer + printers.size() * sizeof(PRINTER_INFO_2A))};
    auto* info = reinterpret_cast<PRINTER_INFO_2A*>(buffer);
    for (std::size_t i = 0; i < printers.size(); i++) {
        info[i].pPrinterName = strings.place(printers[i].name);
        info[i].pPortName = strings.place(printers[i].port);
        info[i].pDriverName = strings.place(printers[i].driver);
        info[i].Attributes = printers[i].attributes;
    }
    return TRUE;
}

}  // namespace

BOOL WINAPI GetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    std::string name;
    if (!enterPrinterCall("GetPrinterA", printer, name)) return FALSE;
    if (level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    return packPrinters({printerRecord(name)}, buffer, size, needed);
}

// Level 2 only, of the local printers: each key below the Printers key, in
// the registry's order. Another source of printers (a network's) has none.
BOOL WINAPI EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                          LPDWORD returned) {
    (void)name;
    auto refuse = [](DWORD error) {
        SetLastError(error);
        return FALSE;
    };
    if (auto e = sim::fault("EnumPrintersA")) return refuse(*e);
    if (!needed || !returned) return refuse(ERROR_INVALID_PARAMETER);
    *returned = 0;
    if (level != 2) return refuse(ERROR_INVALID_LEVEL);
    std::vector<PrinterRecord> printers;
    if (flags & PRINTER_ENUM_LOCAL)
        for (const std::string& printer : machine().registry().subkeys(sim::PrintersKey))
            printers.push_back(printerRecord(printer));
    if (!packPrinters(printers, buffer, size, needed)) return FALSE;
    *returned = (DWORD)printers.size();
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
    machine().registry().setDword(sim::printerKey(name), "Attributes", info->Attributes);
    return TRUE;
}

// ---- print jobs: handed to the spooler process (spooler.cpp) ----

namespace {

BOOL reportSpooler(DWORD error) {
    if (error == 0) return TRUE;
    SetLastError(error);
    return FALSE;
}

}  // namespace

// Level 1 only; the job's id, or 0 with the last error.
DWORD WINAPI StartDocPrinterA(HANDLE printer, DWORD level, LPBYTE docInfo) {
    std::string name;
    if (!enterPrinterCall("StartDocPrinterA", printer, name)) return 0;
    if (level != 1 || !docInfo) {
        SetLastError(level != 1 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto* doc = reinterpret_cast<const DOC_INFO_1A*>(docInfo);
    DWORD jobId = 0;
    return reportSpooler(sim::spoolerStartDoc((uintptr_t)printer, name, doc->pDocName ? doc->pDocName : "", jobId))
               ? jobId
               : 0;
}

BOOL WINAPI WritePrinter(HANDLE printer, LPVOID buffer, DWORD size, LPDWORD written) {
    std::string name;
    if (written) *written = 0;
    if (!enterPrinterCall("WritePrinter", printer, name)) return FALSE;
    if (!buffer && size) return reportSpooler(ERROR_INVALID_PARAMETER);
    if (!reportSpooler(sim::spoolerWrite((uintptr_t)printer, buffer, size))) return FALSE;
    if (written) *written = size;
    return TRUE;
}

BOOL WINAPI EndDocPrinter(HANDLE printer) {
    std::string name;
    return enterPrinterCall("EndDocPrinter", printer, name) && reportSpooler(sim::spoolerEndDoc((uintptr_t)printer));
}

BOOL WINAPI AbortPrinter(HANDLE printer) {
    std::string name;
    return enterPrinterCall("AbortPrinter", printer, name) && reportSpooler(sim::spoolerAbort((uintptr_t)printer));
}

// ---- ports: each monitor in turn, through the spooler ----

BOOL WINAPI EnumPortsA(LPSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
    (void)name;
    if (auto e = sim::fault("EnumPortsA")) return reportSpooler(*e);
    if (!needed || !returned) return reportSpooler(ERROR_INVALID_PARAMETER);
    *returned = 0;
    return reportSpooler(sim::spoolerEnumPorts(level, buffer, size, *needed, *returned));
}

BOOL WINAPI DeletePortA(LPSTR name, HWND window, LPSTR portName) {
    (void)name;
    if (auto e = sim::fault("DeletePortA")) return reportSpooler(*e);
    if (!portName) return reportSpooler(ERROR_INVALID_PARAMETER);
    return reportSpooler(sim::spoolerDeletePort(window, portName));
}

BOOL WINAPI DeleteMonitorA(LPSTR name, LPSTR environment, LPSTR monitorName) {
    (void)name;
    (void)environment;
    if (auto e = sim::fault("DeleteMonitorA")) return reportSpooler(*e);
    if (!monitorName) return reportSpooler(ERROR_INVALID_PARAMETER);
    return reportSpooler(sim::spoolerDeleteMonitor(monitorName));
}

// Level 0 with a command, or level 1 with a record of which only the
// priority is taken.
BOOL WINAPI SetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE buffer, DWORD command) {
    std::string name;
    if (!enterPrinterCall("SetJobA", printer, name)) return FALSE;
    if (level == 1 && buffer && command == 0)
        return reportSpooler(sim::spoolerSetPriority(name, jobId, reinterpret_cast<JOB_INFO_1A*>(buffer)->Priority));
    if (level != 0 || buffer) return reportSpooler(ERROR_INVALID_LEVEL);
    return reportSpooler(sim::spoolerSetJob(name, jobId, command));
}

namespace {

// Level 1 records of the printer's jobs, then their strings, in the caller's
// buffer. Position is the job's place in its printer's whole queue, counted
// from 1: `first` is the place of the first job given, less one.
BOOL packJobs(const std::vector<sim::JobReport>& jobs, DWORD first, LPBYTE buffer, DWORD size, LPDWORD needed,
              LPDWORD returned) {
    DWORD total = (DWORD)(jobs.size() * sizeof(JOB_INFO_1A));
    for (auto& job : jobs) total += (DWORD)(job.printer.size() + job.document.size() + 2);
    if (needed) *needed = total;
    if (returned) *returned = 0;
    if (!buffer || size < total) return reportSpooler(ERROR_INSUFFICIENT_BUFFER);
    std::memset(buffer, 0, total);
    StringArea strings{reinterpret_cast<char*>(buffer + jobs.size() * sizeof(JOB_INFO_1A))};
    auto* info = reinterpret_cast<JOB_INFO_1A*>(buffer);
    for (std::size_t i = 0; i < jobs.size(); i++) {
        info[i].JobId = jobs[i].id;
        info[i].pPrinterName = strings.place(jobs[i].printer);
        info[i].pDocument = strings.place(jobs[i].document);
        info[i].Status = jobs[i].status;
        info[i].Priority = jobs[i].priority;
        info[i].Position = first + (DWORD)i + 1;
    }
    if (returned) *returned = (DWORD)jobs.size();
    return TRUE;
}

std::vector<sim::JobReport> jobsOf(const std::string& printer) {
    std::vector<sim::JobReport> jobs;
    for (auto& job : machine().spooledJobs())
        if (sim::equalNoCase(job.printer, printer)) jobs.push_back(job);
    return jobs;
}

}  // namespace

BOOL WINAPI EnumJobsA(HANDLE printer, DWORD firstJob, DWORD count, DWORD level, LPBYTE buffer, DWORD size,
                      LPDWORD needed, LPDWORD returned) {
    std::string name;
    if (!enterPrinterCall("EnumJobsA", printer, name)) return FALSE;
    if (level != 1) return reportSpooler(ERROR_INVALID_LEVEL);
    std::vector<sim::JobReport> jobs = jobsOf(name);
    firstJob = (DWORD)std::min<std::size_t>(firstJob, jobs.size());
    jobs.erase(jobs.begin(), jobs.begin() + firstJob);
    if (jobs.size() > count) jobs.resize(count);
    return packJobs(jobs, firstJob, buffer, size, needed, returned);
}

BOOL WINAPI GetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    std::string name;
    if (!enterPrinterCall("GetJobA", printer, name)) return FALSE;
    if (level != 1) return reportSpooler(ERROR_INVALID_LEVEL);
    std::vector<sim::JobReport> jobs = jobsOf(name);
    auto job = std::find_if(jobs.begin(), jobs.end(), [&](const sim::JobReport& j) { return j.id == jobId; });
    if (job == jobs.end()) return reportSpooler(ERROR_INVALID_PARAMETER);
    return packJobs({*job}, (DWORD)(job - jobs.begin()), buffer, size, needed, nullptr);
}

// ---- the control API's printers: a printer is its key below the Printers key ----

namespace sim {

void Machine::addPrinter(const std::string& name, const std::string& port, DWORD attributes) {
    std::string key = printerKey(name);
    registry_.setString(key, "Port", port);
    registry_.setDword(key, "Attributes", attributes);
}

bool Machine::printerExists(const std::string& name) {
    return name.find('\\') == std::string::npos && registry_.exists(printerKey(name));
}

DWORD Machine::printerAttributes(const std::string& name) {
    auto v = registry_.value(printerKey(name), "Attributes");
    if (!v || v->data.size() < 4) return 0;
    return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) | ((DWORD)v->data[3] << 24);
}

std::size_t Machine::openPrinterHandles() const {
    std::lock_guard<std::mutex> lock(spooler_->mutex);
    return spooler_->open.size();
}

}  // namespace sim
