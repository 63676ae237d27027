// zevmon printers: the spooler's printers, their ports, and whether they are
// online, as the build reads them.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "commands.h"
#include "registry.h"
#include "terminal.h"
#include "text.h"

namespace zevmon {

using nlohmann::json;

int cmdPrinters(Run& run) {
    std::vector<PrinterState> printers = run.printers();
    // The work-offline bit of a printer on a port that does not exist says nothing.
    Diagnosis diagnosis;
    if (run.diagnose) diagnosis = run.diagnose();
    if (run.options.asJson) {
        json out = json::array();
        for (auto& p : printers)
            out.push_back({{"name", p.name},
                           {"port", p.port},
                           {"online", p.online},
                           {"portExists", !printerHasNoPort(diagnosis, p.name)}});
        std::printf("%s\n", jsonOutput(out).c_str());
        return 0;
    }
    printFitted("%-24s %-10s %s\n", "PRINTER", "PORT", "STATE");
    for (auto& p : printers)
        printFitted("%s %s %s\n", padded(shown(p.name), 24).c_str(), padded(shown(p.port), 10).c_str(),
                    printerHasNoPort(diagnosis, p.name) ? "no such port (zevmon doctor)"
                    : p.online                          ? "online"
                                                        : "offline");
    if (printers.empty()) std::printf("(no printers)\n");
    return 0;
}

std::string printerFor(const std::vector<PrinterState>& printers, const std::string& port) {
    for (auto& p : printers)
        if (sameName(p.port, port)) return p.name;
    return "";
}

}  // namespace zevmon
