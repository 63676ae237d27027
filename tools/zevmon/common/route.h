// The way the shared commands reach the monitor's ports: the monitor's table
// in zevmon's own process, as the spooler calls it, or the system's spooler,
// whose own copy of the monitor decides (zevmon.exe without --dll). Each way
// says what it did in its own words.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "print.h"
#include "monitor_caller.h"
#include "text.h"

namespace zevmon {

struct PrinterState {
    std::string name;
    std::string port;
    bool online;
};

// The first printer that prints to the port, or "" (printers.cpp).
std::string printerFor(const std::vector<PrinterState>& printers, const std::string& port);

class PortRoute {
public:
    virtual ~PortRoute() = default;

    // EnumPorts as the spooler makes it. False with the last error.
    virtual bool enumPorts(DWORD level, std::vector<PortEntry>& ports) = 0;
    // Said below a table of the ports at level 2, when there is more to say.
    virtual void explainPorts(const std::vector<PortEntry>& ports) { (void)ports; }
    virtual bool deletePort(const std::string& name) = 0;
    // The printers a job may belong to.
    virtual std::vector<PrinterState> printers() = 0;
    // The spooler takes a job for a printer only; the monitor's table for any port.
    virtual bool jobsNeedPrinter() const { return false; }
    // A job for the printer (which may be "") on the options' port; the exit status.
    virtual int printJob(const PrintOptions& options, const std::string& printer) = 0;

    virtual std::string portsNotListed() const { return "The ports could not be listed"; }
    virtual std::string portNotDeleted(const std::string& name) const {
        return "Port " + shown(name) + " could not be deleted";
    }
    virtual std::string portDeleted(const std::string& name) const { return "Port " + shown(name) + " deleted."; }
};

// The monitor's table, started in zevmon's own process; the printers come
// from wherever the build keeps them.
class MonitorRoute : public PortRoute {
public:
    using PrinterList = std::function<std::vector<PrinterState>()>;
    MonitorRoute(MonitorCaller& table, PrinterList printers) : table_(table), printers_(std::move(printers)) {}

    bool enumPorts(DWORD level, std::vector<PortEntry>& ports) override { return table_.enumPorts(level, ports); }
    bool deletePort(const std::string& name) override { return table_.deletePort(name); }
    std::vector<PrinterState> printers() override { return printers_(); }
    int printJob(const PrintOptions& options, const std::string& printer) override {
        return zevmon::printJob(table_, options, printer);
    }

protected:
    MonitorCaller& table_;

private:
    PrinterList printers_;
};

}  // namespace zevmon
