// zevmon ports and zevmon delete-port: the monitor's ports as the spooler's
// EnumPorts and DeletePort see them, through the build's way to them.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "commands.h"
#include "terminal.h"
#include "text.h"

namespace zevmon {

using nlohmann::json;

namespace {

std::string portType(DWORD type) { return type & PORT_TYPE_READ ? "write, read" : "write"; }

// The table (or JSON) of ports.
void showPorts(const std::vector<PortEntry>& ports, unsigned level, bool asJson) {
    if (asJson) {
        json out = json::array();
        for (auto& p : ports) {
            json entry = {{"name", p.name}};
            if (level == 2) {
                entry["monitor"] = p.monitor;
                entry["description"] = p.description;
                entry["type"] = p.type;
            }
            out.push_back(entry);
        }
        std::printf("%s\n", jsonOutput(out).c_str());
        return;
    }
    if (level == 1) {
        for (auto& p : ports) std::printf("%s\n", shown(p.name).c_str());
    } else {
        printFitted("%-10s %-16s %-12s %s\n", "PORT", "MONITOR", "DESCRIPTION", "TYPE");
        for (auto& p : ports)
            printFitted("%s %s %s %s\n", padded(shown(p.name), 10).c_str(), padded(shown(p.monitor), 16).c_str(),
                        padded(shown(p.description), 12).c_str(), portType(p.type).c_str());
    }
    if (ports.empty()) std::printf("(no ports)\n");
}

}  // namespace

int cmdPorts(Run& run) {
    const SharedOptions& o = run.options;
    std::vector<PortEntry> ports;
    if (!run.route->enumPorts(o.level, ports)) fail(run.route->portsNotListed());
    showPorts(ports, o.level, o.asJson);
    if (!o.asJson && o.level == 2) run.route->explainPorts(ports);
    return 0;
}

int cmdDeletePort(Run& run) {
    const std::string& name = run.options.portName;
    if (!run.route->deletePort(name)) fail(run.route->portNotDeleted(name));
    result(run.route->portDeleted(name));
    return 0;
}

}  // namespace zevmon
