// zevmon ports, delete-port and add-port: the monitor's ports as the
// spooler's EnumPorts and DeletePort see them, through the build's way to
// them, and the stored configuration of a null or file port written as the
// monitor reads it at its start.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "cli.h"
#include "commands.h"
#include "registry.h"
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
        std::fprintf(console().out(), "%s\n", jsonOutput(out).c_str());
        return;
    }
    if (level == 1) {
        for (auto& p : ports) std::fprintf(console().out(), "%s\n", shown(p.name).c_str());
    } else {
        std::vector<std::vector<std::string>> rows;
        for (auto& p : ports) rows.push_back({shown(p.name), shown(p.monitor), shown(p.description), portType(p.type)});
        printTable({{"PORT", 10, true}, {"MONITOR", 16, true}, {"DESCRIPTION", 12, true}, {"TYPE"}}, rows);
    }
    if (ports.empty()) std::fprintf(console().out(), "(no ports)\n");
}

struct PortsWords {
    unsigned level = 2;
    bool asJson = false;
};

struct DeletePortWords {
    std::string portName;
};

struct AddPortWords {
    std::string portName;
    bool nullPort = false;              // --null
    std::optional<std::string> toFile;  // --file PATH
};

void declarePorts(CLI::App& ports, Run& run) {
    PortsWords& words = run.words<PortsWords>();
    ports.add_option("--level", words.level, "information level, 1 or 2")->check(wholeNumber("the level is 1 or 2", 1, 2));
    ports.add_flag("--json", words.asJson, "JSON instead of a table");
}

int cmdPorts(Run& run) {
    const PortsWords& o = run.words<PortsWords>();
    std::vector<PortEntry> ports;
    if (!run.route->enumPorts(o.level, ports)) fail(run.route->portsNotListed());
    // Listed all the same, but a list the spooler would never show deserves a word.
    std::string notLoaded = run.diagnose ? monitorNotLoaded(run.diagnose()) : "";
    if (!notLoaded.empty()) notice(shown(notLoaded) + " The spooler lists none of this monitor's ports.");
    showPorts(ports, o.level, o.asJson);
    if (!o.asJson && o.level == 2) run.route->explainPorts(ports);
    return 0;
}

void declareDeletePort(CLI::App& deletePort, Run& run) {
    deletePort.add_option("port", run.words<DeletePortWords>().portName, "the port")->type_name(PortWord)->required();
}

int cmdDeletePort(Run& run) {
    std::string name = nameToFind(run.words<DeletePortWords>().portName, "port");
    if (!run.route->deletePort(name)) fail(run.route->portNotDeleted(name));
    result(run.route->portDeleted(name));
    // The scan makes a port again for as long as a device's "PortName" asks for it.
    if (!run.diagnose) return 0;
    Diagnosis diagnosis = run.diagnose();
    if (const InstanceReport* r = instanceRemaking(diagnosis, name))
        result(fmt::format("It comes back at the next enumeration{}: {} still asks for it with its \"PortName\". "
                           "Remove that printer, or change its \"PortName\", to be rid of the port.",
                           r->verdict == "will-be-created" ? "" : " after its printer is plugged in",
                           shown(r->instanceKey)));
    return 0;
}

void declareAddPort(CLI::App& addPort, Run& run) {
    AddPortWords& o = run.words<AddPortWords>();
    addPort.add_option("port", o.portName, "the port's name")->type_name("NAME")->required();
    auto* nullPort = addPort.add_flag("--null", o.nullPort, "a null port: jobs go nowhere");
    auto* toFile = addPort.add_option("--file", o.toFile, "a file port writing to PATH (empty: ask at every job)");
    toFile->type_name("PATH");
    nullPort->excludes(toFile);
}

int checkAddPort(const CLI::App&, Run& run) {
    const AddPortWords& o = run.words<AddPortWords>();
    if (o.nullPort || o.toFile) return -1;
    std::fprintf(console().err(), "zevmon: add-port needs the kind of port: --null, or --file PATH (see: zevmon add-port "
                         "--help)\n");
    return 2;
}

int cmdAddPort(Run& run) {
    const AddPortWords& o = run.words<AddPortWords>();
    std::string name = nameToMake(o.portName, "a port's name");
    if (name.empty() || name.size() >= RegistryNameMax || name.find('\\') != std::string::npos)
        throw Failure(fmt::format("\"{}\" cannot name a port: a port's name is one registry key, 1 to {} characters "
                                  "without a backslash. Nothing was changed.",
                                  shown(name), RegistryNameMax - 1));
    if (IsProbeKeyName(name.c_str()))
        throw Failure(fmt::format("{} is the key the monitor probes with before it makes a port, never a port. "
                                  "Nothing was changed.",
                                  shown(name)));
    if (!keyExists(MonitorKeyPath))
        throw Failure(fmt::format("The monitor is not installed: its key {} does not exist. Nothing was changed.",
                                  MonitorKeyPath));
    for (const std::string& existing : subkeyNames(MonitorKeyPath))
        if (sameName(existing, name))
            throw Failure(fmt::format("Port {} exists already; nothing was changed ({} first to make it anew).",
                                      shown(existing), zevmonCommand("delete-port " + shellWord(shown(existing)))));
    PortConfig config;
    std::memset(&config, 0, sizeof config);
    config.kind = o.toFile ? PortKindFile : PortKindNull;
    if (o.toFile) {
        if (o.toFile->size() >= sizeof config.fileName)
            throw Failure(fmt::format("The monitor keeps a file port's path in {} bytes: {} has {} characters. "
                                      "Nothing was changed.",
                                      sizeof config.fileName, *o.toFile, o.toFile->size()));
        std::memcpy(config.fileName, o.toFile->data(), o.toFile->size());
    }
    std::string path = MonitorKeyPath "\\" + name;
    HKEY key;
    LONG result = RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExA(key, "Property", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&config), sizeof config);
        RegCloseKey(key);
        // A key without its value would stop the monitor's next start.
        if (result != ERROR_SUCCESS) RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    }
    if (result != ERROR_SUCCESS) {
        SetLastError((DWORD)result);
        fail("Port " + shown(name) + " could not be added");
    }
    std::string what = !o.toFile ? "a null port"
                       : o.toFile->empty() ? "a file port that asks for a file at every job"
                                           : "a file port writing to " + *o.toFile;
    zevmon::result(fmt::format("Port {} added: {}. {}", shown(name), what, run.whenPortKeysLoad));
    return 0;
}

}  // namespace

const Verb<Run> PortsCommand("ports", "list the ports, as the spooler's EnumPorts sees them", declarePorts, nullptr,
                             cmdPorts);
const Verb<Run> DeletePortCommand("delete-port", "delete a port", declareDeletePort, nullptr, cmdDeletePort);
const Verb<Run> AddPortCommand("add-port", "add a null port or a file port, such as NUL: or FILE:", declareAddPort,
                               checkAddPort, cmdAddPort);

}  // namespace zevmon
