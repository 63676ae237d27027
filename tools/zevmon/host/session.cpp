// One zevmon command on the running machine.
#include "session.h"

#include <fmt/format.h>

#include "common/cli.h"
#include "common/terminal.h"
#include "common/text.h"
#include "sim/machine.h"

namespace zevmon {

Session::Session(LiveMachine& live, const HostOptions& options)
    : live_(live), options_(options), monitorCaller_(options.trace), owner_(std::make_shared<JobOwner>()) {
    owner_->console = commandConsole();
    owner_->trace = options.trace;
    // The monitor's dialogs during the command's own calls are the command's.
    previousOwner_ = LiveMachine::threadOwner();
    LiveMachine::setThreadOwner(owner_);
}

Session::~Session() { LiveMachine::setThreadOwner(previousOwner_); }

bool Session::tryStart(std::string& why) {
    if (started_) return true;
    if (!live_.monitor() && !live_.startSpooler(why)) return false;
    if (!live_.monitor()) {
        why = "The monitor did not start with the spooler; " + zevmonCommand("doctor") + " may tell why.";
        return false;
    }
    monitorCaller_.adopt(*live_.monitor());
    started_ = true;
    return true;
}

void Session::start() {
    std::string why;
    if (!tryStart(why)) throw MachineError(why);
}

void Session::finish() {
    sim::machine().waitIdle();
    try {
        live_.save();
    } catch (const ChangedElsewhere& e) {
        // What the machine did stands: it runs on with it, and saves it once it can.
        std::string list;
        for (auto& d : done_) list += (list.empty() ? "" : "; ") + d;
        throw Failure(fmt::format("{} The changes of this run were not saved. The running machine keeps them and "
                                  "saves them once it can{}.",
                                  e.what(), list.empty() ? "" : "; what the run did stands: " + list));
    }
}

}  // namespace zevmon
