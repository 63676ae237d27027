// zevmon doctor: the monitor's silent decisions, said in sentences. Every
// verdict comes from the function the monitor itself calls for it. zevmon
// prune deletes the stale USB ports doctor finds.
#include "doctor.h"

#include <fmt/format.h>
#include <winspool.h>

#include <algorithm>
#include <cctype>

#include <cstdio>
#include <iostream>

#include "commands.h"
#include "monitor/zevuruzi.h"
#include "registry.h"
#include "text.h"
#include "spooler.h"
#include "terminal.h"

namespace zevmon {

using nlohmann::json;

namespace {

const char PortNameValue[] = "PortName";

bool printable(const std::vector<BYTE>& bytes) {
    size_t end = bytes.size();
    while (end > 0 && bytes[end - 1] == 0) end--;  // terminators
    for (size_t i = 0; i < end; i++)
        if (bytes[i] < 0x20 || bytes[i] > 0x7e) return false;
    return true;
}

std::string hexBytes(const std::vector<BYTE>& bytes) {
    std::string out;
    for (BYTE b : bytes) out += fmt::format("{}{:02X}", out.empty() ? "" : " ", b);
    return out;
}

std::string typeName(DWORD type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    default: return fmt::format("type {}", type);
    }
}

std::string describeValue(const InstanceReport& r) {
    std::string text(r.valueBytes.begin(), r.valueBytes.end());
    std::string shown = printable(r.valueBytes) ? "\"" + text.substr(0, text.find('\0')) + "\""
                                                : "bytes " + hexBytes(r.valueBytes);
    return fmt::format("{}, {} bytes: {}", typeName(r.valueType), r.valueBytes.size(), shown);
}

std::string guidText(const GUID& g) {
    return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}", g.Data1, g.Data2,
                       g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                       g.Data4[7]);
}

std::string fixedText(const CHAR* field, size_t size) { return std::string(field, strnlen(field, size)); }

// The work-offline bit of a printer as the spooler reports it now.
std::optional<bool> printerOnline(const std::string& name) {
    HANDLE printer;
    if (!OpenPrinterA(const_cast<LPSTR>(name.c_str()), &printer, NULL)) return std::nullopt;
    DWORD needed = 0;
    GetPrinterA(printer, 2, NULL, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(PRINTER_INFO_2A));
    std::optional<bool> online;
    if (needed > 0 && GetPrinterA(printer, 2, buffer.data(), (DWORD)buffer.size(), &needed))
        online = !(reinterpret_cast<PRINTER_INFO_2A*>(buffer.data())->Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE);
    ClosePrinter(printer);
    return online;
}

// An instance the scan passes over, for the reason given: it gets no port.
void passedOver(InstanceReport& r, const std::string& reason, bool problem = true) {
    r.verdict = "passed-over";
    r.reason = reason;
    r.problem = problem;
}

// The verdict and sentence for one instance, from the scan's own decision.
void explainInstance(const UsbInstanceDecision& d, const std::string& instanceName, InstanceReport& r) {
    r.portName = d.portName;
    switch (d.verdict) {
    case UsbInstanceNameTooLong:
        passedOver(r, fmt::format("\"PortName\" needs {} bytes, but the monitor reads it into 8: a port name has at "
                                  "most 7 characters, so this instance gets no port.",
                                  r.valueBytes.size()));
        break;
    case UsbInstanceNotOurName:
        if (r.valueType != REG_SZ && r.valueType != REG_EXPAND_SZ) {
            passedOver(r, fmt::format("\"PortName\" is {}, not a text, so this monitor makes no port for it.",
                                      describeValue(r)), false);
            break;
        }
        if (r.portName.empty()) {
            passedOver(r, fmt::format("\"PortName\" is empty ({}), so this monitor makes no port for it.",
                                      describeValue(r)), false);
            break;
        }
        // A name of another monitor is no problem of ours; ours in the wrong case is.
        passedOver(r,
                   fmt::format("\"PortName\" {} does not begin with \"USB-\" in capitals, so this monitor leaves it "
                               "alone.",
                               r.portName),
                   r.portName.size() >= 4 && sameName(r.portName.substr(0, 4), "USB-"));
        break;
    case UsbInstancePortsExhausted:
        r.verdict = "usb-000";
        r.reason =
            "\"PortName\" USB-000 means the port numbers ran out: the next enumeration deletes the value and shows "
            "\"Because the USB Port Number has exceeded the upper limit, the USB Port was not able to be created.\"";
        r.problem = true;
        break;
    case UsbInstanceNotKeyName:
        passedOver(r, fmt::format("\"PortName\" {} holds a backslash, so it cannot name a port's key: no port is made.",
                                  r.portName));
        break;
    case UsbInstancePortExists:
        r.verdict = "port-exists";
        r.reason = fmt::format("Port {} exists; nothing is made.", d.existingKey);
        break;
    case UsbInstancePortsUnknown:
        passedOver(r, "The monitor's key cannot be opened or listed, so the monitor cannot tell whether the port "
                      "exists and makes none.");
        break;
    case UsbInstanceNoDevice:
        passedOver(r, fmt::format("No present USB printer interface has an instance id ending in {}: the port is made "
                                  "at the first enumeration after the printer is plugged in.",
                                  instanceName));
        break;
    case UsbInstanceNotUsbDevice:
        passedOver(r, fmt::format("The printer interface that matches belongs to {}, which is not a USB device (its "
                                  "id does not begin with \"USB\\\"), so no port is made.",
                                  d.instanceId));
        r.instanceId = d.instanceId;
        break;
    case UsbInstanceNewPort:
        r.verdict = "will-be-created";
        r.instanceId = d.instanceId;
        r.reason = d.finishesKey
                       ? fmt::format("The key {} was left without \"Property\" by a creation cut short; the next "
                                     "enumeration finishes it, bound to {}.",
                                     r.portName, d.instanceId)
                       : fmt::format("Port {} will be created at the next enumeration, bound to {}.", r.portName,
                                     d.instanceId);
        break;
    default:
        passedOver(r, fmt::format("\"PortName\" is {}, not a text the monitor reads as a port name: no port is "
                                  "made.",
                                  describeValue(r)));
        break;
    }
}

void diagnoseMonitor(const DllFinder& findDll, Diagnosis& diagnosis) {
    MonitorReport& m = diagnosis.monitor;
    m.key = MonitorKeyPath;
    m.installed = keyExists(MonitorKeyPath);
    if (!m.installed) {
        diagnosis.problems.push_back(fmt::format(
            "The monitor's key {} does not exist: the monitor is not installed, and no USB port is ever made.",
            MonitorKeyPath));
        return;
    }
    m.driver = valueText(MonitorKeyPath, "Driver").value_or("");
    if (m.driver.empty()) {
        m.dll = "The monitor's key has no \"Driver\" value, so the spooler does not load the monitor.";
        diagnosis.problems.push_back(m.dll);
    } else {
        std::string why;
        if (auto found = findDll(m.driver, why)) {
            m.dll = found->path;
            m.version = found->version;
        } else {
            m.dll = why;
            diagnosis.problems.push_back(why);
        }
    }
    std::string probe = joinKey(MonitorKeyPath, ProbeKeyName);
    for (const std::string& name : subkeyNames(MonitorKeyPath))
        if (IsProbeKeyName(name.c_str())) {
            m.probeKeyLeft = true;
            probe = joinKey(MonitorKeyPath, name);
        }
    if (m.probeKeyLeft) m.unfinishedPort = valueText(probe, "PortName").value_or("");
}

void diagnoseInstances(Diagnosis& diagnosis) {
    // Two instances may ask for one name: the first met in the scan's order gets it.
    std::vector<std::pair<std::string, std::string>> claimed;  // port name, instance key
    for (const std::string& device : subkeyNames(UsbEnumKeyPath)) {
        std::string devicePath = joinKey(UsbEnumKeyPath, device);
        for (const std::string& instance : subkeyNames(devicePath)) {
            InstanceReport r;
            r.instanceKey = joinKey(devicePath, instance);
            HKEY key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, r.instanceKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
                continue;
            bool hasValue = rawValue(key, PortNameValue, r.valueType, r.valueBytes);
            UsbInstanceDecision decision;
            if (hasValue) DecideUsbInstance(key, instance.c_str(), &decision);
            RegCloseKey(key);
            if (!hasValue) continue;
            explainInstance(decision, instance, r);
            if (r.verdict == "will-be-created") {
                auto earlier = std::find_if(claimed.begin(), claimed.end(),
                                            [&](const auto& c) { return sameName(c.first, r.portName); });
                if (earlier != claimed.end()) {
                    r.verdict = "duplicate";
                    r.reason = fmt::format("{} asks for {} too and comes first in the scan's order: it gets the "
                                           "port, and this instance gets none.",
                                           earlier->second, earlier->first);
                    r.problem = true;
                } else {
                    claimed.emplace_back(r.portName, r.instanceKey);
                }
            }
            if (r.problem) diagnosis.problems.push_back(r.instanceKey + ": " + r.reason);
            diagnosis.instances.push_back(std::move(r));
        }
    }
}

void diagnosePorts(Diagnosis& diagnosis) {
    for (const std::string& name : subkeyNames(MonitorKeyPath)) {
        PortConfig config;
        DWORD error = ERROR_SUCCESS;
        DWORD verdict = ClassifyPortKey(MonitorKeyPath, name.c_str(), &config, &error);
        if (verdict == PortKeyFailsStart) {
            KeyProblem p{joinKey(MonitorKeyPath, name), error, ""};
            p.sentence = error == ERROR_FILE_NOT_FOUND
                             ? fmt::format("The key {} has no \"Property\" value: the next start of the monitor fails "
                                           "with {}. Delete the key, or give it its value.",
                                           p.key, errorText(error))
                             : fmt::format("The key {} cannot be read as a port: the next start of the monitor fails "
                                           "with {} ({}).",
                                           p.key, errorText(error), errorMeaning(error));
            diagnosis.startWouldFail = true;
            diagnosis.problems.push_back(p.sentence);
            diagnosis.failingKeys.push_back(std::move(p));
            continue;
        }
        if (verdict != PortKeyLoads) continue;
        PortReport port;
        port.name = name;
        port.kind = config.kind;
        port.fileName = fixedText(config.fileName, sizeof config.fileName);
        port.interfaceGuid = guidText(config.usb.interfaceGuid);
        port.instanceId = fixedText(config.usb.instanceId, sizeof config.usb.instanceId);
        port.writePipe = config.usb.writePipe;
        port.readPipe = config.usb.readPipe;
        config.usb.instanceId[sizeof config.usb.instanceId - 1] = 0;
        port.present = IsPortDevicePresent(&config.usb.interfaceGuid, config.usb.instanceId) != FALSE;
        port.stale = config.kind == PortKindUsb && (port.instanceId.empty() || !keyExists("Enum\\" + port.instanceId));
        diagnosis.ports.push_back(std::move(port));
    }
    // The ports the next enumeration makes; their printers follow them from then on.
    for (const InstanceReport& r : diagnosis.instances) {
        if (r.verdict != "will-be-created") continue;
        auto listed = std::find_if(diagnosis.ports.begin(), diagnosis.ports.end(),
                                   [&](const PortReport& p) { return sameName(p.name, r.portName); });
        if (listed != diagnosis.ports.end()) continue;
        PortReport port;
        port.name = r.portName;
        port.kind = PortKindUsb;
        port.interfaceGuid = guidText(UsbPortInterfaceGuid);
        port.instanceId = r.instanceId;
        port.writePipe = 1;
        port.readPipe = 0;
        port.present = true;
        port.created = true;
        diagnosis.ports.push_back(std::move(port));
    }
}

void diagnosePrinters(Diagnosis& diagnosis) {
    for (const std::string& printer : subkeyNames(PrintersKeyPath)) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, joinKey(PrintersKeyPath, printer).c_str(), 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            continue;
        CHAR port[PrinterPortValueMax + 1];
        LONG read = ReadPrinterPort(key, port);
        if (read == ERROR_MORE_DATA) {
            DWORD type = 0;
            std::vector<BYTE> bytes;
            rawValue(key, "Port", type, bytes);
            std::string value(bytes.begin(), bytes.end());
            value = value.substr(0, value.find('\0'));
            diagnosis.printersNeverMatching.emplace_back(printer, value);
            diagnosis.problems.push_back(fmt::format(
                "Printer {} prints to \"{}\": a \"Port\" value of 8 characters or more never matches a port of this "
                "monitor, so the printer never follows its device.",
                printer, value));
        }
        RegCloseKey(key);
        if (read != ERROR_SUCCESS) continue;
        for (PortReport& p : diagnosis.ports) {
            if (!PrinterPortMatches(port, p.name.c_str())) continue;
            PrinterReport r;
            r.name = printer;
            auto online = printerOnline(printer);
            r.online = online.value_or(false);
            // The refresh sets every printer of a listed port after its device.
            r.nextOnline = p.present;
            p.printers.push_back(r);
        }
    }
}

}  // namespace

Diagnosis diagnose(const DllFinder& findDll) {
    Diagnosis diagnosis;
    diagnoseMonitor(findDll, diagnosis);
    diagnoseInstances(diagnosis);
    if (diagnosis.monitor.installed) diagnosePorts(diagnosis);
    diagnosePrinters(diagnosis);
    return diagnosis;
}

std::vector<std::string> stalePorts(const Diagnosis& diagnosis) {
    std::vector<std::string> names;
    for (const PortReport& p : diagnosis.ports)
        if (p.stale) names.push_back(p.name);
    return names;
}

int cmdDoctor(Run& run) {
    Diagnosis diagnosis = run.diagnose();
    if (run.options.asJson)
        std::printf("%s\n", jsonOutput(diagnosisJson(diagnosis)).c_str());
    else
        printFitted("%s", shown(diagnosisText(diagnosis)).c_str());
    return diagnosis.problems.empty() ? 0 : 1;
}

int cmdPrune(Run& run) {
    return pruneStalePorts([&](const std::string& name) { return run.route->deletePort(name); }, run.diagnose(),
                           run.options.assumeYes);
}

int pruneStalePorts(const PortDeleter& deletePort, const Diagnosis& diagnosis, bool assumeYes) {
    std::vector<std::string> stale = stalePorts(diagnosis);
    if (stale.empty()) {
        std::printf("No stale USB ports: every USB port's printer is still installed.\n");
        return 0;
    }
    std::printf("These USB ports belong to printers that are no longer installed:\n");
    for (const PortReport& p : diagnosis.ports)
        if (p.stale) std::printf("  %-9s %s\n", p.name.c_str(), p.instanceId.empty() ? "(no instance id)" : p.instanceId.c_str());
    if (!assumeYes) {
        if (!inputIsTerminal())
            throw Failure("Nothing was deleted: confirm with --yes when there is no terminal to ask on.");
        std::fprintf(stderr, "Delete them? [y/N] ");
        std::fflush(stderr);
        std::string reply;
        std::getline(std::cin, reply);
        if (reply != "y" && reply != "Y" && reply != "yes") {
            std::printf("Nothing was deleted.\n");
            return 0;
        }
    }
    for (const std::string& name : stale) {
        if (!deletePort(name)) fail("Port " + name + " could not be deleted");
        result("Port " + name + " deleted.");
    }
    return 0;
}

static const char* kindName(int kind) {
    switch (kind) {
    case PortKindNull: return "null";
    case PortKindFile: return "file";
    case PortKindUsb: return "usb";
    default: return "unknown";
    }
}

json diagnosisJson(const Diagnosis& d) {
    json monitor = {{"key", d.monitor.key},         {"installed", d.monitor.installed},
                    {"driver", d.monitor.driver},   {"dll", d.monitor.dll},
                    {"version", d.monitor.version}, {"probeKeyLeft", d.monitor.probeKeyLeft},
                    {"unfinishedPort", d.monitor.unfinishedPort}};
    json instances = json::array();
    for (const InstanceReport& r : d.instances) {
        json value = {{"type", typeName(r.valueType)}, {"length", r.valueBytes.size()}};
        if (!printable(r.valueBytes)) value["bytes"] = hexBytes(r.valueBytes);
        json entry = {{"instanceKey", r.instanceKey}, {"portName", r.portName}, {"stored", value},
                      {"verdict", r.verdict},         {"reason", r.reason}};
        if (!r.instanceId.empty()) entry["instanceId"] = r.instanceId;
        instances.push_back(entry);
    }
    json ports = json::array();
    for (const PortReport& p : d.ports) {
        json printers = json::array();
        for (const PrinterReport& r : p.printers)
            printers.push_back({{"name", r.name}, {"online", r.online}, {"nextOnline", r.nextOnline}});
        // A file or null port has no device to be present or not.
        json present = p.kind == PortKindUsb ? json(p.present) : json(nullptr);
        json entry = {{"name", p.name},   {"kind", kindName(p.kind)}, {"present", present},
                      {"stale", p.stale}, {"created", p.created},     {"printers", printers}};
        if (p.kind == PortKindFile) entry["fileName"] = p.fileName;
        if (p.kind == PortKindUsb) {
            entry["interfaceGuid"] = p.interfaceGuid;
            entry["instanceId"] = p.instanceId;
            entry["writePipe"] = p.writePipe;
            entry["readPipe"] = p.readPipe;
        }
        ports.push_back(entry);
    }
    json never = json::array();
    for (auto& [printer, value] : d.printersNeverMatching) never.push_back({{"printer", printer}, {"port", value}});
    json failing = json::array();
    for (const KeyProblem& k : d.failingKeys)
        failing.push_back({{"key", k.key}, {"error", k.error}, {"errorName", errorText(k.error)}});
    return {{"monitor", monitor},
            {"instances", instances},
            {"ports", ports},
            {"printersNeverMatching", never},
            {"keysFailingStart", failing},
            {"startWouldFail", d.startWouldFail},
            {"problems", d.problems}};
}

std::string diagnosisText(const Diagnosis& d) {
    std::string out;
    out += "The monitor\n";
    out += fmt::format("  key       {}{}\n", d.monitor.key, d.monitor.installed ? "" : " (missing)");
    if (d.monitor.installed) {
        out += fmt::format("  Driver    {}\n", d.monitor.driver.empty() ? "(none)" : d.monitor.driver);
        out += fmt::format("  DLL       {}{}\n", d.monitor.dll,
                           d.monitor.version.empty() ? "" : ", version " + d.monitor.version);
        if (d.monitor.probeKeyLeft)
            out += fmt::format("  probe key {} left behind{}; the next port creation removes it\n", ProbeKeyName,
                               d.monitor.unfinishedPort.empty() ? "" : ", marking " + d.monitor.unfinishedPort);
        out += d.startWouldFail ? "  start     FAILS: see the problems below\n" : "  start     loads every port key\n";
    }

    out += "\nUSB instances with a \"PortName\"\n";
    if (d.instances.empty()) out += "  (none)\n";
    for (const InstanceReport& r : d.instances) {
        out += fmt::format("  {}\n    PortName  {}\n    verdict   {}\n              {}\n", r.instanceKey,
                           describeValue(r), r.verdict, r.reason);
    }

    out += "\nPorts\n";
    if (d.ports.empty()) out += "  (none)\n";
    for (const PortReport& p : d.ports) {
        std::string config;
        if (p.kind == PortKindFile)
            config = p.fileName.empty() ? "asks for a file at every job" : "to " + p.fileName;
        else if (p.kind == PortKindUsb)
            config = fmt::format("{} {}, pipes {} (out) and {} (in)", p.instanceId.empty() ? "(no instance id)" : p.instanceId,
                                 p.interfaceGuid, p.writePipe, p.readPipe);
        out += fmt::format("  {:<9} {:<5} {}{}\n", p.name, kindName(p.kind), config,
                           p.created ? " (made at the next enumeration)" : "");
        if (p.kind == PortKindUsb)
            out += fmt::format("            device {}{}\n", p.present ? "present" : "absent",
                               p.stale ? "; stale: its instance id no longer appears below Enum\\USB (zevmon prune)"
                                       : "");
        else if (!p.printers.empty())
            out += "            no USB device: the refresh judges every port by its USB block, so its printers are "
                   "set offline\n";
        for (const PrinterReport& r : p.printers)
            out += fmt::format("            printer {}: {} now, {} after the next refresh\n", r.name,
                               r.online ? "online" : "offline", r.nextOnline ? "online" : "offline");
    }
    for (auto& [printer, value] : d.printersNeverMatching)
        out += fmt::format("  printer {} on \"{}\": never matches a port (8 characters or more)\n", printer, value);

    out += "\n";
    if (d.problems.empty()) {
        out += "No problems found.\n";
    } else {
        out += fmt::format("{} problem{}:\n", d.problems.size(), d.problems.size() == 1 ? "" : "s");
        for (const std::string& p : d.problems) out += "  - " + p + "\n";
    }
    return out;
}

}  // namespace zevmon
