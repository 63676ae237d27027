// The machine's ports for the shared commands, and the host's print route:
// the monitor's table as the session started it, the printers as the
// machine's registry keeps them, and a job through the machine's spooler, or
// with --direct through the monitor's table alone. What a job sends is
// recorded in the folder as the USB printers receive it.
#pragma once

#include <string>

#include "common/route.h"
#include "machine_commands.h"
#include "session.h"

namespace zevmon {

// What this build adds to print's words (print_route.cpp).
struct MachinePrintWords;

class MachinePorts : public MonitorRoute {
public:
    MachinePorts(Session& session, HostRun& run);
    bool jobsNeedPrinter() const override;
    int printJob(const PrintOptions& options, const std::string& printer) override;

private:
    int printDirect(const PrintOptions& options, const std::string& printer);
    int reportEnd(const sim::JobReport& ended, const SpooledDocument& document, bool cancelSent);
    // Where a job on a file port went, for its result line: ", into C:\\x (host path)", or "".
    std::string fileDestination(const std::string& port);
    Session& session_;
    const MachinePrintWords& words_;
};

}  // namespace zevmon
