// The machine's spooler, called as any program calls it.
#include "system_spooler.h"

#include <fmt/format.h>
#include <winspool.h>

#include <algorithm>

#include "monitor/zevuruzi.h"
#include "registry.h"
#include "terminal.h"
#include "text.h"

namespace zevmon {

bool SystemSpooler::enumPorts(DWORD level, std::vector<PortEntry>& ports) {
    DWORD needed = 0, returned = 0;
    BOOL ok = EnumPortsA(NULL, level, NULL, 0, &needed, &returned);
    traceCall(fmt::format("EnumPortsA(NULL, {}, NULL, 0)", level), ok, fmt::format("needed {}", needed));
    return fillPortEntries(
        "EnumPortsA", level, needed,
        [&](LPBYTE buffer, DWORD size, DWORD* sizeNeeded, DWORD* count) {
            return EnumPortsA(NULL, level, buffer, size, sizeNeeded, count);
        },
        traceCall, ports);
}

bool SystemSpooler::deletePort(const std::string& name) {
    BOOL ok = DeletePortA(NULL, GetDesktopWindow(), const_cast<LPSTR>(name.c_str()));
    traceCall(fmt::format("DeletePortA(NULL, desktop, \"{}\")", name), ok);
    return ok;
}

std::vector<PrinterState> localPrinters(const CallTrace& trace) {
    DWORD needed = 0, count = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    std::vector<PrinterState> printers;
    BOOL ok = EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, buffer.data(), needed, &needed, &count);
    trace(fmt::format("EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, buffer, {})", needed), ok,
          fmt::format("returned {}", count));
    if (!ok) return printers;
    auto* info = reinterpret_cast<PRINTER_INFO_2A*>(buffer.data());
    for (DWORD i = 0; i < count; i++)
        printers.push_back({info[i].pPrinterName ? info[i].pPrinterName : "",
                            info[i].pPortName ? info[i].pPortName : "",
                            !(info[i].Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE)});
    return printers;
}

std::vector<PrinterState> SystemSpooler::printers() { return localPrinters(traceCall); }

std::optional<std::vector<BYTE>> printerInfo2(HANDLE printer) {
    DWORD needed = 0;
    // Without a buffer the call fails with ERROR_INSUFFICIENT_BUFFER and the size; any other failure stands.
    if (!GetPrinterA(printer, 2, NULL, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
    for (int attempt = 0; attempt < 3; attempt++) {
        std::vector<BYTE> bytes(std::max<DWORD>(needed, sizeof(PRINTER_INFO_2A)));
        if (GetPrinterA(printer, 2, bytes.data(), (DWORD)bytes.size(), &needed)) return bytes;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
    }
    return std::nullopt;
}

int SystemSpooler::printJob(const PrintOptions& options, const std::string& printer) {
    SpooledDocument document = spoolDocument(options, printer, traceCall, options.chunk);
    if (document.failure) throw *document.failure;
    if (document.sent.cancelled) {
        // A spooler that prints while it spools (98's default) may have sent a part.
        std::fprintf(stderr, "zevmon: The document was cancelled after %llu bytes; the spooler took it back "
                             "(AbortPrinter) and prints no more of it.\n",
                     (unsigned long long)document.sent.bytes);
        return cancelledStatus();
    }
    std::printf("Sent %llu bytes to the spooler as job %lu \"%s\" on printer %s, which prints to %s.\n",
                (unsigned long long)document.sent.bytes, (unsigned long)document.job, shown(options.document).c_str(),
                shown(printer).c_str(), shown(options.port).c_str());
    return 0;
}

void SystemSpooler::explainPorts(const std::vector<PortEntry>& ports) {
    size_t ours = std::count_if(ports.begin(), ports.end(), [](const PortEntry& p) { return p.monitor == monitorName(); });
    std::vector<std::string> keys;
    for (const std::string& name : subkeyNames(MonitorKeyPath))
        if (!IsProbeKeyName(name.c_str())) keys.push_back(name);
    if (!monitorInstalled()) {
        notice(fmt::format("The monitor \"{}\" is not installed (see: zevmon install).", monitorName()));
    } else if (ours > 0) {
        notice(fmt::format("{} of these ports are the monitor's (\"{}\").", ours, monitorName()));
    } else if (keys.empty()) {
        notice("The monitor has no port yet: a USB printer gets one once it is installed and plugged in (zevmon "
               "doctor tells why one has none).");
    } else {
        std::string names;
        for (const std::string& k : keys) names += (names.empty() ? "" : ", ") + k;
        notice(fmt::format("None of these ports is the monitor's, though the registry has {} ({}): the spooler has "
                           "not loaded \"{}\". After an install that had to write the registry entry, restart "
                           "Windows.",
                           keys.size() == 1 ? "its port" : "its ports", shown(names), monitorName()));
    }
}

}  // namespace zevmon
