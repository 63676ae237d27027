// The host's route to the machine's spooler for the shared commands: the
// ports, their deletion and the printers through its WINSPOOL.DRV, as on
// Windows; a job through the printer's queue, or with --direct through the
// monitor's table alone. What a job sends is recorded in the folder as the
// USB printers receive it.
#pragma once

#include <string>

#include "common/system_spooler.h"
#include "machine_commands.h"
#include "session.h"

namespace zevmon {

// What this build adds to print's words (print_route.cpp).
struct MachinePrintWords;

class MachinePorts : public SystemSpooler {
public:
    MachinePorts(Session& session, HostRun& run);
    // No word below the table: the machine's doctor says why a port is missing.
    void explainPorts(const std::vector<PortEntry>&) override {}
    bool jobsNeedPrinter() const override;
    int printJob(const PrintOptions& options, const std::string& printer) override;

    // This build's words were the monitor's table's before its way went through the spooler; they stay.
    std::string portsNotListed() const override { return PortRoute::portsNotListed(); }
    std::string portNotDeleted(const std::string& name) const override { return PortRoute::portNotDeleted(name); }
    std::string portDeleted(const std::string& name) const override { return PortRoute::portDeleted(name); }

private:
    int printDirect(const PrintOptions& options, const std::string& printer);
    int reportEnd(const sim::JobReport& ended, const SpooledDocument& document, bool cancelSent);
    // Where a job on a file port went, for its result line: ", into C:\\x (host path)", or "".
    std::string fileDestination(const std::string& port);
    Session& session_;
    const MachinePrintWords& words_;
};

}  // namespace zevmon
