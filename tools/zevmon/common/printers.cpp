// zevmon printers: the spooler's printers, their ports, and whether they are
// online, as the build reads them.
#include <fmt/format.h>
#include <windows.h>
#include <winspool.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

#include "cli.h"
#include "commands.h"
#include "registry.h"
#include "system_spooler.h"
#include "terminal.h"
#include "text.h"

namespace zevmon {

using nlohmann::json;

namespace {

struct PrintersWords {
    bool asJson = false;
};

struct OnlineWords {
    std::string printerName;
};

void declarePrinters(CLI::App& printers, Run& run) {
    printers.add_flag("--json", run.words<PrintersWords>().asJson, "JSON instead of a table");
}

int cmdPrinters(Run& run) {
    std::vector<PrinterState> printers = run.printers();
    // The work-offline bit of a printer on a port that does not exist says nothing.
    Diagnosis diagnosis;
    if (run.diagnose) diagnosis = run.diagnose();
    // The status refresh never matches a "Port" value of 8 characters or more:
    // its online mark says nothing of its device.
    auto followsDevice = [&](const std::string& name) {
        return std::none_of(diagnosis.printersNeverMatching.begin(), diagnosis.printersNeverMatching.end(),
                            [&](const auto& p) { return sameName(p.first, name); });
    };
    if (run.words<PrintersWords>().asJson) {
        json out = json::array();
        for (auto& p : printers)
            out.push_back({{"name", p.name},
                           {"port", p.port},
                           {"online", p.online},
                           {"portExists", !printerHasNoPort(diagnosis, p.name)},
                           {"followsDevice", followsDevice(p.name)}});
        std::fprintf(console().out(), "%s\n", jsonOutput(out).c_str());
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    for (auto& p : printers)
        rows.push_back({shown(p.name), shown(p.port),
                        printerHasNoPort(diagnosis, p.name) ? "no such port (" + zevmonCommand("doctor") + ")"
                        : !followsDevice(p.name)            ? "never follows its device (" + zevmonCommand("doctor") + ")"
                        : p.online                          ? "online"
                                                            : "offline"});
    printTable({{"PRINTER", 24, true}, {"PORT", 10, true}, {"STATE"}}, rows);
    if (printers.empty()) std::fprintf(console().out(), "(no printers)\n");
    return 0;
}

void declarePrintersOnline(CLI::App& online, Run& run) {
    online.add_option("printer", run.words<OnlineWords>().printerName, "the printer's name, quoted when it has spaces")
        ->type_name(PrinterWord)
        ->required();
}

// As the Work Offline item of the printer's File menu does it: the spooler
// then releases the jobs it held. A printer whose USB printer is away is left
// as it is: the monitor would set it offline again at the next device change.
int cmdPrintersOnline(Run& run) {
    std::string name = nameToFind(run.words<OnlineWords>().printerName, "printer");
    for (const PortReport& port : run.diagnose().ports)
        for (const PrinterReport& printer : port.printers)
            if (port.kind == PortKindUsb && !port.present && sameName(printer.name, name))
                throw Failure(fmt::format("Printer {} prints to {}, whose USB printer is not plugged in: the monitor "
                                          "sets it online when it is, and offline again at every device change until "
                                          "then. Nothing was changed.",
                                          shown(printer.name), shown(port.name)));
    HANDLE handle;
    if (!OpenPrinterA(const_cast<LPSTR>(name.c_str()), &handle, NULL))
        throw Failure(fmt::format("There is no printer {} (see: {}).", shown(name), zevmonCommand("printers")));
    std::optional<std::vector<BYTE>> buffer = printerInfo2(handle);
    bool read = buffer.has_value();
    auto* info = read ? reinterpret_cast<PRINTER_INFO_2A*>(buffer->data()) : nullptr;
    if (read && info->pPrinterName) name = info->pPrinterName;  // as it is named, in whatever case it was typed
    bool offline = read && (info->Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE);
    if (offline) info->Attributes &= ~PRINTER_ATTRIBUTE_WORK_OFFLINE;
    BOOL written = offline && SetPrinterA(handle, 2, buffer->data(), 0);
    DWORD error = GetLastError();
    ClosePrinter(handle);
    if (read && !offline) {
        result(fmt::format("Printer {} is online already; nothing was changed.", shown(name)));
        return 0;
    }
    if (!written)
        throw Failure(fmt::format("Printer {} could not be set online: {} ({}).", shown(name), errorMeaning(error),
                                  errorText(error)));
    result(fmt::format("Printer {} works online again: the spooler prints the jobs it held for it.", shown(name)));
    return 0;
}

}  // namespace

const Verb<Run> PrintersCommand("printers", "list the printers, their ports and whether they are online",
                                declarePrinters, nullptr, cmdPrinters);
const Verb<Run> PrintersOnlineCommand("online",
                                      "clear a printer's Work Offline mark, so that the spooler prints the jobs it "
                                      "holds for it",
                                      declarePrintersOnline, nullptr, cmdPrintersOnline, &PrintersCommand);

std::string printerFor(const std::vector<PrinterState>& printers, const std::string& port) {
    for (auto& p : printers)
        if (sameName(p.port, port)) return p.name;
    return "";
}

}  // namespace zevmon
