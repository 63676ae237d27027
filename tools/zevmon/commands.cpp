// Commands on the monitor's table: list ports, print, delete a port, list printers.
#include "commands.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "terminal.h"

namespace zevmon {

using nlohmann::json;

void fail(const std::string& what) {
    DWORD error = GetLastError();
    throw Failure(fmt::format("{}: {} ({}).", what, errorMeaning(error), errorText(error)));
}

static std::string portType(DWORD type) { return type & PORT_TYPE_READ ? "write, read" : "write"; }

int listPorts(Spooler& spooler, unsigned level, bool asJson) {
    std::vector<PortEntry> ports;
    if (!spooler.enumPorts(level, ports)) fail("The ports could not be listed");
    showPorts(ports, level, asJson);
    return 0;
}

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
        std::printf("%s\n", out.dump(2).c_str());
        return;
    }
    if (level == 1) {
        for (auto& p : ports) std::printf("%s\n", p.name.c_str());
    } else {
        std::printf("%-10s %-16s %-12s %s\n", "PORT", "MONITOR", "DESCRIPTION", "TYPE");
        for (auto& p : ports)
            std::printf("%-10s %-16s %-12s %s\n", p.name.c_str(), p.monitor.c_str(), p.description.c_str(),
                        portType(p.type).c_str());
    }
    if (ports.empty()) std::printf("(no ports)\n");
}

int deletePort(Spooler& spooler, const std::string& name) {
    if (!spooler.deletePort(name)) fail("Port " + name + " could not be deleted");
    std::printf("Port %s deleted.\n", name.c_str());
    return 0;
}

int printJob(Spooler& spooler, const PrintOptions& options, const std::string& printer) {
    if (options.chunk == 0) throw Failure("The chunk size must be at least 1 byte.");
    std::string data = readJobInput(options.input);
    HANDLE port;
    if (!spooler.openPort(options.port, port)) fail("There is no port " + options.port + " to print to");
    if (!spooler.startDocPort(port, printer, 1, options.document)) fail("A job could not start on " + options.port);
    Progress progress(data.size());
    size_t sent = 0;
    bool ok = true;
    while (sent < data.size()) {
        DWORD size = (DWORD)std::min<size_t>(options.chunk, data.size() - sent), written = 0;
        if (!spooler.writePort(port, data.data() + sent, size, written)) {
            ok = false;
            break;
        }
        sent += written;
        progress.update(sent);
        if (written == 0) break;  // a port that takes nothing would never finish
    }
    progress.finish();
    DWORD writeError = GetLastError();
    bool ended = spooler.endDocPort(port);
    spooler.closePort(port);
    if (!ok) {
        SetLastError(writeError);
        fail(fmt::format("The job on {} stopped after {} of {} bytes", options.port, sent, data.size()));
    }
    if (!ended) fail("The job on " + options.port + " did not end cleanly");
    std::printf("Printed %zu bytes to %s%s.\n", sent, options.port.c_str(),
                printer.empty() ? "" : (" for printer " + printer).c_str());
    return 0;
}

// C streams, not iostream file streams: on Windows the C++ file streams open
// their files through wide-character calls that Windows 95, 98 and Me lack.
std::string readJobInput(const std::string& input) {
    bool fromStdin = input == "-";
    std::FILE* in = fromStdin ? stdin : std::fopen(input.c_str(), "rb");
    if (!in) throw Failure(fmt::format("The file {} could not be read.", input));
#ifdef _WIN32
    if (fromStdin) _setmode(_fileno(stdin), _O_BINARY);  // a job is bytes, not lines
#endif
    std::string data;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) data.append(buffer, got);
    bool failed = std::ferror(in) != 0;
    if (!fromStdin) std::fclose(in);
    if (failed) throw Failure(fmt::format("The file {} could not be read.", input));
    return data;
}

int listPrinters(const std::vector<PrinterState>& printers, bool asJson) {
    if (asJson) {
        json out = json::array();
        for (auto& p : printers) out.push_back({{"name", p.name}, {"port", p.port}, {"online", p.online}});
        std::printf("%s\n", out.dump(2).c_str());
        return 0;
    }
    std::printf("%-24s %-10s %s\n", "PRINTER", "PORT", "STATE");
    for (auto& p : printers)
        std::printf("%-24s %-10s %s\n", p.name.c_str(), p.port.c_str(), p.online ? "online" : "offline");
    if (printers.empty()) std::printf("(no printers)\n");
    return 0;
}

std::string printerFor(const std::vector<PrinterState>& printers, const std::string& port) {
    for (auto& p : printers) {
        if (p.port.size() != port.size()) continue;
        bool same = true;
        for (size_t i = 0; i < port.size(); i++)
            same &= std::tolower((unsigned char)p.port[i]) == std::tolower((unsigned char)port[i]);
        if (same) return p.name;
    }
    return "";
}

}  // namespace zevmon
