// The spooler of this Windows machine, reached through WINSPOOL.DRV: the
// ports of every monitor, the deletion of a port, and a document printed on
// a printer. The default commands go this way, so that the spooler's own copy
// of the monitor is the only one that decides: a second copy in zevmon's
// process would decide from the same registry without the spooler's list of
// ports.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/commands.h"
#include "common/spooler.h"

namespace zevmon {

class SystemSpooler {
public:
    explicit SystemSpooler(bool trace, std::FILE* traceOut = stderr) : traceCall(trace, traceOut) {}

    // EnumPortsA: the ports of every monitor. False with the last error.
    bool enumPorts(DWORD level, std::vector<PortEntry>& ports);
    bool deletePort(const std::string& name);
    // The machine's local printers, their ports, and whether they work offline.
    std::vector<PrinterState> printers();
    // A RAW document on the printer: OpenPrinterA, StartDocPrinterA,
    // WritePrinter in chunks, EndDocPrinter, ClosePrinter.
    int printDocument(const PrintOptions& options, const std::string& printer);

private:
    CallTrace traceCall;
};

// The ports of the listing that belong to the monitor, by its name.
size_t monitorPortCount(const std::vector<PortEntry>& ports);

}  // namespace zevmon
