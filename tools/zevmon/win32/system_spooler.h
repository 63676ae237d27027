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

#include "common/route.h"
#include "common/monitor_caller.h"

namespace zevmon {

class SystemSpooler : public PortRoute {
public:
    explicit SystemSpooler(bool trace, std::FILE* traceOut = stderr) : traceCall(trace, traceOut) {}

    // EnumPortsA: the ports of every monitor. False with the last error.
    bool enumPorts(DWORD level, std::vector<PortEntry>& ports) override;
    // Why none of the ports is the monitor's, when none is.
    void explainPorts(const std::vector<PortEntry>& ports) override;
    bool deletePort(const std::string& name) override;
    // The machine's local printers, their ports, and whether they work offline.
    std::vector<PrinterState> printers() override;
    bool jobsNeedPrinter() const override { return true; }
    // A RAW document on the printer: OpenPrinterA, StartDocPrinterA,
    // WritePrinter in chunks, EndDocPrinter, ClosePrinter.
    int printJob(const PrintOptions& options, const std::string& printer) override;

    std::string portsNotListed() const override { return "The spooler could not list the ports"; }
    std::string portNotDeleted(const std::string& name) const override {
        return "The spooler could not delete port " + name;
    }
    std::string portDeleted(const std::string& name) const override { return "The spooler deleted port " + name + "."; }

private:
    CallTrace traceCall;
};

}  // namespace zevmon
