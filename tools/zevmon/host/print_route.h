// The machine's ports for the shared commands, and the host's print route:
// the monitor's table as the session started it, the printers as the
// machine's registry keeps them, and a job through the machine's spooler, or
// with --direct through the monitor's table alone. What a job sends is
// recorded in the folder as the USB printers receive it.
#pragma once

#include <string>

#include "common/route.h"
#include "session.h"

namespace zevmon {

class MachinePorts : public MonitorRoute {
public:
    explicit MachinePorts(Session& session);
    bool jobsNeedPrinter() const override { return !session_.options().direct; }
    int printJob(const PrintOptions& options, const std::string& printer) override;

private:
    int printDirect(const PrintOptions& options, const std::string& printer);
    int reportEnd(const sim::JobReport& ended, const SpooledDocument& document, bool cancelSent);
    Session& session_;
};

}  // namespace zevmon
