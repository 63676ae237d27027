// The machine's spooler, reached through WINSPOOL.DRV as any program reaches
// it: the ports of every monitor, the deletion of a port, the printers, and a
// document printed on a printer. zevmon.exe's default commands go this way,
// so that the spooler's own copy of the monitor is the only one that decides:
// a second copy in zevmon's process would decide from the same registry
// without the spooler's list of ports. The host build goes the same way to
// its simulated machine's spooler.
#pragma once

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "monitor_caller.h"
#include "route.h"

namespace zevmon {

class SystemSpooler : public PortRoute {
public:
    explicit SystemSpooler(bool trace, std::FILE* traceOut = stderr) : traceCall(trace, traceOut) {}

    // EnumPortsA: the ports of every monitor. False with the last error.
    bool enumPorts(DWORD level, std::vector<PortEntry>& ports) override;
    // Why none of the ports is the monitor's, when none is.
    void explainPorts(const std::vector<PortEntry>& ports) override;
    bool deletePort(const std::string& name) override;
    // localPrinters(), traced as the route's calls are.
    std::vector<PrinterState> printers() override;
    bool jobsNeedPrinter() const override { return true; }
    // A RAW document on the printer: OpenPrinterA, StartDocPrinterA,
    // WritePrinter in chunks, EndDocPrinter, ClosePrinter.
    int printJob(const PrintOptions& options, const std::string& printer) override;

    std::string portsNotListed() const override { return "The spooler could not list the ports"; }
    std::string portNotDeleted(const std::string& name) const override {
        return "The spooler could not delete port " + shown(name);
    }
    std::string portDeleted(const std::string& name) const override {
        return "The spooler deleted port " + shown(name) + ".";
    }

protected:
    CallTrace traceCall;
};

// EnumPrintersA at level 2: the local printers, their ports, and whether they
// work offline; none when the spooler cannot list them.
std::vector<PrinterState> localPrinters(const CallTrace& trace);

// GetPrinterA at level 2: the size asked first, then the PRINTER_INFO_2A
// record with its strings; asked again should the record grow in between.
// Nothing, with the last error, when the printer cannot be read.
std::optional<std::vector<BYTE>> printerInfo2(HANDLE printer);

}  // namespace zevmon
