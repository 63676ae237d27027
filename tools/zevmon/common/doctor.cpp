// zevmon doctor: the monitor's silent decisions, said in sentences. Every
// verdict comes from the function the monitor itself calls for it. zevmon
// prune deletes the stale USB ports doctor finds.
#include "doctor.h"

#include <fmt/format.h>
#include <setupapi.h>
#include <winspool.h>

#include <algorithm>
#include <cctype>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli.h"
#include "commands.h"
#include "monitor/zevuruzi.h"
#include "registry.h"
#include "text.h"
#include "monitor_caller.h"
#include "system_spooler.h"
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
    std::optional<bool> online;
    if (std::optional<std::vector<BYTE>> info = printerInfo2(printer))
        online = !(reinterpret_cast<PRINTER_INFO_2A*>(info->data())->Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE);
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
        r.boundTo = d.existingKey;  // the port's name for now: diagnoseInstances puts its device there
        break;
    case UsbInstancePortsUnknown:
        passedOver(r, "The monitor's key cannot be opened or listed, so the monitor cannot tell whether the port "
                      "exists and makes none.");
        break;
    case UsbInstanceNoDevice:
        // A printer switched off or unplugged is no fault: its port comes when it does.
        passedOver(r,
                   fmt::format("No present USB printer interface has an instance id ending in {}: the port is made "
                               "at the first enumeration after the printer is plugged in.",
                               instanceName),
                   false);
        r.waitsForDevice = true;
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
            m.loadedBySpooler = true;
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

const PortReport* findPort(const Diagnosis& diagnosis, const std::string& name) {
    for (const PortReport& p : diagnosis.ports)
        if (sameName(p.name, name)) return &p;
    return nullptr;
}

std::string lastComponent(const std::string& path) { return path.substr(path.rfind('\\') + 1); }

// Whether a port bound to id serves the device of an instance key below
// Enum\USB: its own id, or one whose last component ends the key's name, as
// the scan matched them.
bool servesInstance(const std::string& id, const std::string& instanceKey) {
    std::string own = instanceKey.substr(instanceKey.find('\\') + 1);
    if (sameName(id, own)) return true;
    std::string last = lastComponent(id), name = lastComponent(own);
    return !last.empty() && name.size() >= last.size() && sameName(name.substr(name.size() - last.size()), last);
}

// A printer's "Port" as the refresh reads it: `read` is ReadPrinterPort's
// answer, and `value` the port, or for ERROR_MORE_DATA the whole text stored.
struct PrinterPortValue {
    std::string printer;
    LONG read = ERROR_FILE_NOT_FOUND;
    std::string value;
};

// Every printer whose key opens, in the registry's order.
std::vector<PrinterPortValue> printerPortValues() {
    std::vector<PrinterPortValue> values;
    for (const std::string& printer : subkeyNames(PrintersKeyPath)) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, joinKey(PrintersKeyPath, printer).c_str(), 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            continue;
        CHAR port[PrinterPortValueMax + 1];
        PrinterPortValue v{printer, ReadPrinterPort(key, port), ""};
        if (v.read == ERROR_SUCCESS) v.value = port;
        if (v.read == ERROR_MORE_DATA) {
            DWORD type = 0;
            std::vector<BYTE> bytes;
            rawValue(key, "Port", type, bytes);
            v.value.assign(bytes.begin(), bytes.end());
            v.value = v.value.substr(0, v.value.find('\0'));
        }
        RegCloseKey(key);
        values.push_back(v);
    }
    return values;
}

// The printers whose "Port" names this port, as the refresh matches them.
std::vector<std::string> printersOn(const std::string& portName) {
    std::vector<std::string> printers;
    for (const PrinterPortValue& v : printerPortValues())
        if (v.read == ERROR_SUCCESS && PrinterPortMatches(v.value.c_str(), portName.c_str()))
            printers.push_back(v.printer);
    return printers;
}

// What prune does with a stale port: it keeps one a printer still prints
// to, as the printer folder refuses to delete a port in use.
std::string pruneAdvice(const PortReport& port) {
    std::vector<std::string> printers = printersOn(port.name);
    if (printers.empty()) return zevmonCommand("prune") + " deletes it";
    return fmt::format("printer {} still prints to it, so {} keeps it; {} deletes it all the same", printers.front(),
                       zevmonCommand("prune"), zevmonCommand("prune --even-if-used"));
}

// A port that a second instance asks for: the scan finds it existing and makes
// none, so only the device it serves ever prints through it.
void explainTakenPort(const PortReport& port, InstanceReport& r) {
    r.verdict = "duplicate";
    r.problem = true;
    if (port.kind != PortKindUsb) {
        r.reason = fmt::format("Port {} exists as a {} port: this instance asks for the same name and never gets a "
                               "USB port of its own. Give it another \"PortName\".",
                               port.name, port.kind == PortKindFile ? "file" : port.kind == PortKindNull ? "null" : "foreign");
        return;
    }
    r.boundTo = port.instanceId;
    r.reason = port.stale
                   ? fmt::format("Port {} is bound to {}, which is no longer installed: this instance asks for the "
                                 "same name but gets no port while that one exists: {}, and the next enumeration "
                                 "makes it for this instance.",
                                 port.name, port.instanceId, pruneAdvice(port))
                   : fmt::format("Port {} is bound to {}: this instance asks for the same name and never gets a port "
                                 "of its own, so jobs to {} never reach its printer. Give one of the two another "
                                 "\"PortName\".",
                                 port.name, port.instanceId, port.name);
}

// Whether the monitor's key lets new subkeys be made, asked by opening it for
// that right and nothing else: a port and its probe are keys made below it.
LONG monitorKeyTakesSubkeys() {
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, MonitorKeyPath, 0, KEY_CREATE_SUB_KEY, &key);
    if (result == ERROR_SUCCESS) RegCloseKey(key);
    return result;
}

void diagnoseInstances(Diagnosis& diagnosis) {
    LONG creation = monitorKeyTakesSubkeys();
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
            // The scan opens an instance key by a path of at most 256 bytes with its terminator.
            if (r.instanceKey.size() + 1 > 256)
                passedOver(r, fmt::format("The instance key's path has {} characters, more than the 255 the scan "
                                          "reads, so the scan never opens it and no port is made.",
                                          r.instanceKey.size()));
            // A key left cut short exists already: finishing it makes no new key.
            if (r.verdict == "will-be-created" && !decision.finishesKey && creation == ERROR_ACCESS_DENIED) {
                passedOver(r, fmt::format("The monitor's key does not let new subkeys be made ({}): the next "
                                          "enumeration cannot make port {} for {}, and says so in a message box.",
                                          errorText(ERROR_ACCESS_DENIED), r.portName, r.instanceId));
                r.keyRefused = true;
            }
            if (r.verdict == "port-exists") {
                const PortReport* port = findPort(diagnosis, r.boundTo);
                r.boundTo.clear();
                if (port && port->kind == PortKindUsb && servesInstance(port->instanceId, r.instanceKey))
                    r.boundTo = port->instanceId;
                else if (port)
                    explainTakenPort(*port, r);
            }
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
            if (r.waitsForDevice) diagnosis.notes.push_back(r.instanceKey + ": " + r.reason);
            diagnosis.instances.push_back(std::move(r));
        }
    }
}

// Why every job on a port the start loads fails, or "".
std::string unusableReason(const PortReport& p, const PortConfig& config) {
    std::string stored = fmt::format("{}, {} bytes", typeName(p.valueType), p.valueLength);
    if (p.kind != PortKindNull && p.kind != PortKindFile && p.kind != PortKindUsb)
        return fmt::format("Port {} is listed, but its \"Property\" ({}) holds kind {}, which this monitor does not "
                           "know: every job on it sends nothing and fails ({}).",
                           p.name, stored, p.kind, errorText(ERROR_WRITE_FAULT));
    if (p.kind == PortKindUsb && config.usb.instanceId[0] == 0) {
        const size_t idAt = offsetof(PortConfig, usb) + offsetof(UsbPortConfig, instanceId);
        return fmt::format("Port {} is listed as a USB port, but its \"Property\" ({}) {}: every job on it fails "
                           "({}).",
                           p.name, stored,
                           p.valueLength <= idAt ? fmt::format("is too short to hold an instance id, which starts at "
                                                               "byte {}",
                                                               idAt)
                                                 : std::string("holds an empty instance id"),
                           errorText(ERROR_OPEN_FAILED));
    }
    return "";
}

// The start counts the port keys before it reads any, each name into
// RegistryNameMax bytes: a longer name ends the count with the listing's error.
LONG portKeyCountError() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MonitorKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return ERROR_SUCCESS;
    CHAR name[RegistryNameMax];
    LONG result;
    for (DWORD index = 0; (result = RegEnumKeyA(key, index, name, sizeof name)) == ERROR_SUCCESS; index++) {
    }
    RegCloseKey(key);
    return result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result;
}

// The ports the next start loads, and the keys that would stop it.
void diagnoseLoadedPorts(Diagnosis& diagnosis) {
    if (LONG error = portKeyCountError()) {
        KeyProblem p{MonitorKeyPath, (DWORD)error, ""};
        p.sentence = fmt::format("The monitor's key {} cannot be listed as the start lists it{}: the next start of "
                                 "the monitor fails with {}.",
                                 p.key,
                                 error == ERROR_MORE_DATA ? ", since a subkey's name is longer than 255 characters"
                                                          : "",
                                 errorText(p.error));
        diagnosis.startWouldFail = true;
        diagnosis.startError = p.error;
        diagnosis.problems.push_back(p.sentence);
        diagnosis.failingKeys.push_back(std::move(p));
    }
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
            // The start stops at the first such key, in the registry's order.
            if (!diagnosis.startWouldFail) diagnosis.startError = error;
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
        std::string keyPath = joinKey(MonitorKeyPath, name);
        HKEY key;
        std::vector<BYTE> stored;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            rawValue(key, "Property", port.valueType, stored);
            RegCloseKey(key);
        }
        port.valueLength = stored.size();
        port.unusable = unusableReason(port, config);
        if (!port.unusable.empty()) diagnosis.problems.push_back(port.unusable);
        // A file port's jobs start by making its file: a folder that is not there fails every one.
        if (std::size_t slash = port.fileName.rfind('\\');
            port.kind == PortKindFile && port.unusable.empty() && slash != std::string::npos && slash > 2) {
            std::string folder = port.fileName.substr(0, slash);
            DWORD attributes = GetFileAttributesA(folder.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                diagnosis.problems.push_back(fmt::format(
                    "Port {} prints to {}, but its folder {} does not exist: every job on it fails to start. Make "
                    "the folder, or give the port another file.",
                    name, port.fileName, folder));
        }
        config.usb.instanceId[sizeof config.usb.instanceId - 1] = 0;
        port.present = IsPortDevicePresent(&config.usb.interfaceGuid, config.usb.instanceId) != FALSE;
        // A port whose device is present works, whatever the registry says of it.
        port.stale = config.kind == PortKindUsb && !port.present &&
                     (port.instanceId.empty() || !keyExists(deviceKey(port.instanceId)));
        diagnosis.ports.push_back(std::move(port));
    }
}

// The ports the next enumeration makes; their printers follow them from then on.
void addCreatedPorts(Diagnosis& diagnosis) {
    for (const InstanceReport& r : diagnosis.instances) {
        if (r.verdict != "will-be-created" || findPort(diagnosis, r.portName)) continue;
        PortReport port;
        port.name = r.portName;
        port.kind = PortKindUsb;
        port.interfaceGuid = guidText(UsbPortInterfaceGuid);
        port.instanceId = r.instanceId;
        port.writePipe = 1;
        port.readPipe = 0;
        port.present = true;
        port.created = true;
        port.valueLength = sizeof(PortConfig);
        diagnosis.ports.push_back(std::move(port));
    }
}

// The instance ids of the present printer interfaces, read as the monitor reads them.
std::vector<std::string> presentPrinterIds() {
    std::vector<std::string> ids;
    HDEVINFO set = SetupDiGetClassDevsA(&UsbPortInterfaceGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return ids;
    for (DWORD index = 0;; index++) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, NULL, &UsbPortInterfaceGuid, index, &data)) break;
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &needed, NULL);
        std::vector<BYTE> detail(std::max<size_t>(needed, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
        auto* head = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail.data());
        head->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        CHAR id[sizeof(UsbPortConfig::instanceId)] = {};
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, head, (DWORD)detail.size(), &needed, &device) &&
            SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, &needed) && id[0] != 0)
            ids.push_back(id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ids;
}

// A plugged-in USB printer that no "PortName" asks a port for, and that no
// port serves: the scan walks only instance keys with a "PortName", so it is
// never seen.
void diagnoseUnnamedPrinters(Diagnosis& diagnosis) {
    for (const std::string& id : presentPrinterIds()) {
        if (id.compare(0, 4, "USB\\") != 0) continue;  // no port is ever made for another bus
        std::string key = deviceKey(id);
        bool explained = std::any_of(diagnosis.instances.begin(), diagnosis.instances.end(),
                                     [&](const InstanceReport& r) { return sameName(r.instanceKey, key); });
        bool served = std::any_of(diagnosis.ports.begin(), diagnosis.ports.end(), [&](const PortReport& p) {
            return p.kind == PortKindUsb && sameName(p.instanceId, id);
        });
        if (explained || served) continue;
        InstanceReport r;
        r.instanceKey = key;
        r.verdict = "no-port-name";
        r.instanceId = id;
        r.problem = true;
        r.reason = fmt::format("The USB printer {} is plugged in, but no \"PortName\" value below {} asks for a port, "
                               "so the monitor never makes one: installing its printer driver writes that value (such "
                               "as USB-001).",
                               id, key);
        diagnosis.problems.push_back(r.instanceKey + ": " + r.reason);
        diagnosis.instances.push_back(std::move(r));
    }
}

bool isUsbPortName(const std::string& name) { return name.size() > 4 && sameName(name.substr(0, 4), "USB-"); }

// The printers the refresh reaches: it lists them into 256 bytes and stops at
// the first name that does not fit, so that none after it is ever set.
std::vector<std::string> printersReached() {
    std::vector<std::string> names;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PrintersKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    CHAR name[256] = {};
    for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof name) == ERROR_SUCCESS; index++) names.push_back(name);
    RegCloseKey(key);
    return names;
}

// Work Offline on a printer of a file or null port: no device ever brings it
// back, so its jobs wait for a person. Left so by its user, or by an earlier
// version of the monitor, which set such printers offline at every refresh.
void heldOffline(Diagnosis& diagnosis, const std::string& printer, const PortReport& port) {
    diagnosis.printersHeldOffline.emplace_back(printer, port.name);
    diagnosis.problems.push_back(fmt::format(
        "Printer {} prints to {}, a {} port, and is set to work offline, so the spooler holds every job for it: "
        "the monitor sets only the printers of USB ports online, after their devices (earlier versions set the "
        "printers of every port offline at each device change). Clear the mark with {}, or "
        "on the machine itself: select the printer in the Printers folder and uncheck Work Offline on the File menu.",
        printer, port.name, port.kind == PortKindFile ? "file" : "null",
        zevmonCommand("printers online " + shellWord(printer))));
}

void diagnosePrinters(Diagnosis& diagnosis) {
    std::vector<std::string> reached = printersReached();
    for (const PrinterPortValue& v : printerPortValues()) {
        const std::string& printer = v.printer;
        const char* port = v.value.c_str();
        if (v.read == ERROR_MORE_DATA) {
            const std::string& value = v.value;
            diagnosis.printersNeverMatching.emplace_back(printer, value);
            diagnosis.problems.push_back(fmt::format(
                "Printer {} prints to \"{}\": a \"Port\" value of 8 characters or more never matches a port of this "
                "monitor, so the printer never follows its device.",
                printer, value));
        }
        if (v.read != ERROR_SUCCESS) continue;
        bool matched = false;
        // The refresh opens a printer's key by a path of at most 256 bytes with its terminator.
        bool pathTooLong = std::strlen(PrintersKeyPath) + 1 + printer.size() + 1 > 256;
        bool unreached = std::find(reached.begin(), reached.end(), printer) == reached.end();
        for (PortReport& p : diagnosis.ports) {
            if (!PrinterPortMatches(port, p.name.c_str())) continue;
            matched = true;
            if (unreached && !pathTooLong) {
                diagnosis.printersNeverMatching.emplace_back(printer, port);
                diagnosis.problems.push_back(fmt::format(
                    "Printer {} comes after a printer whose name is longer than 255 characters: the refresh stops at "
                    "that one, so this printer never follows its device on {}.",
                    printer, p.name));
                break;
            }
            if (pathTooLong) {
                diagnosis.printersNeverMatching.emplace_back(printer, port);
                diagnosis.problems.push_back(fmt::format(
                    "Printer {} has a name of {} characters: the refresh finds a printer by a key path of at most 255 "
                    "characters, so this printer never follows its device on {}.",
                    printer, printer.size(), p.name));
                break;
            }
            PrinterReport r;
            r.name = printer;
            auto online = printerOnline(printer);
            r.online = online.value_or(false);
            // The refresh sets the printers of a USB port after its device and leaves all others as they are.
            r.nextOnline = p.kind == PortKindUsb ? p.present : r.online;
            p.printers.push_back(r);
            if (online == false && (p.kind == PortKindFile || p.kind == PortKindNull)) heldOffline(diagnosis, printer, p);
        }
        // Another monitor's port is none of ours to judge; a USB port that does not exist is.
        if (!matched && isUsbPortName(port)) {
            diagnosis.printersWithoutPort.emplace_back(printer, port);
            diagnosis.problems.push_back(fmt::format(
                "Printer {} prints to {}, which is no port of this monitor and is not made at the next enumeration: "
                "its jobs have nowhere to go, and the refresh never sets it online or offline. Give it an existing "
                "port, or the \"PortName\" of its device.",
                printer, port));
        }
    }
}

// A USB printer switched off or unplugged is a fact, not a fault.
void noteAbsentDevices(Diagnosis& diagnosis) {
    for (const PortReport& p : diagnosis.ports) {
        // Allowed, as on the machine itself, but rarely meant.
        if (p.printers.size() > 1) {
            std::string names;
            for (size_t i = 0; i < p.printers.size(); i++)
                names += (i == 0 ? "" : i + 1 == p.printers.size() ? " and " : ", ") + p.printers[i].name;
            diagnosis.notes.push_back(fmt::format("Printers {} {} print to {}: their jobs take turns at it, and "
                                                  "they go online and offline together.",
                                                  names, p.printers.size() == 2 ? "both" : "all", p.name));
        }
        if (p.kind != PortKindUsb || p.present || !p.unusable.empty()) continue;
        diagnosis.notes.push_back(
            p.stale ? fmt::format("Port {} is stale: its device {} is no longer installed ({}).",
                                  p.name, p.instanceId, pruneAdvice(p))
                    : fmt::format("Port {}: its printer {} is not plugged in; its printers work offline until it is.",
                                  p.name, p.instanceId));
    }
}

}  // namespace

Diagnosis diagnose(const DllFinder& findDll) {
    Diagnosis diagnosis;
    diagnoseMonitor(findDll, diagnosis);
    if (diagnosis.monitor.installed) diagnoseLoadedPorts(diagnosis);
    diagnoseInstances(diagnosis);
    if (diagnosis.monitor.installed) addCreatedPorts(diagnosis);
    diagnoseUnnamedPrinters(diagnosis);
    diagnosePrinters(diagnosis);
    noteAbsentDevices(diagnosis);
    return diagnosis;
}

std::vector<std::string> stalePorts(const Diagnosis& diagnosis) {
    std::vector<std::string> names;
    for (const PortReport& p : diagnosis.ports)
        if (p.stale) names.push_back(p.name);
    return names;
}

std::string monitorNotLoaded(const Diagnosis& diagnosis) {
    const MonitorReport& m = diagnosis.monitor;
    if (!m.installed)
        return fmt::format("The monitor's key {} does not exist, so the spooler does not load the monitor.", m.key);
    return m.loadedBySpooler ? "" : m.dll;
}

const InstanceReport* instanceRemaking(const Diagnosis& diagnosis, const std::string& portName) {
    for (const InstanceReport& r : diagnosis.instances)
        if ((r.verdict == "will-be-created" || r.waitsForDevice) && sameName(r.portName, portName))
            return &r;
    return nullptr;
}

bool printerHasNoPort(const Diagnosis& diagnosis, const std::string& printer) {
    return std::any_of(diagnosis.printersWithoutPort.begin(), diagnosis.printersWithoutPort.end(),
                       [&](const auto& p) { return sameName(p.first, printer); });
}

int pruneStalePorts(const PortDeleter& deletePort, const Diagnosis& diagnosis, bool assumeYes, bool evenIfUsed) {
    std::vector<const PortReport*> stale, kept;
    for (const PortReport& p : diagnosis.ports)
        if (p.stale) (p.printers.empty() || evenIfUsed ? stale : kept).push_back(&p);
    if (stale.empty() && kept.empty()) {
        std::fprintf(console().out(), "No stale USB ports: every USB port's device is still installed.\n");
        return 0;
    }
    auto printerNames = [](const PortReport& p) {
        std::string names;
        for (const PrinterReport& r : p.printers) names += (names.empty() ? "" : ", ") + r.name;
        return names;
    };
    // The system's own printer folder refuses to delete a port in use: so does prune, unless told.
    for (const PortReport* p : kept)
        std::fprintf(console().out(), "Port %s is kept: its device %s is no longer installed, but printer%s %s still print%s to it and "
                    "would be left without a port (%s deletes it all the same).\n",
                    shown(p->name).c_str(), p->instanceId.empty() ? "(no instance id)" : shown(p->instanceId).c_str(),
                    p->printers.size() == 1 ? "" : "s", shown(printerNames(*p)).c_str(), p->printers.size() == 1 ? "s" : "",
                    zevmonCommand("prune --even-if-used").c_str());
    if (stale.empty()) return 0;
    std::fprintf(console().out(), "These USB ports belong to devices that are no longer installed:\n");
    for (const PortReport* p : stale) {
        std::string users = p->printers.empty() ? "" : "; printers left without a port: " + printerNames(*p);
        std::fprintf(console().out(), "  %s %s%s\n", padded(shown(p->name), 9).c_str(),
                     p->instanceId.empty() ? "(no instance id)" : shown(p->instanceId).c_str(), shown(users).c_str());
    }
    if (!assumeYes) {
        if (!inputIsTerminal())
            throw Failure("Nothing was deleted: confirm with --yes when there is no terminal to ask on.");
        std::fprintf(console().err(), "Delete them? [y/N] ");
        std::fflush(console().err());
        std::string reply = readLine().value_or("");
        if (reply != "y" && reply != "Y" && reply != "yes") {
            std::fprintf(console().out(), "Nothing was deleted.\n");
            return 0;
        }
    }
    for (const PortReport* p : stale) {
        if (!deletePort(p->name)) fail("Port " + shown(p->name) + " could not be deleted");
        result("Port " + shown(p->name) + " deleted.");
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
                    {"unfinishedPort", d.monitor.unfinishedPort}, {"loadedBySpooler", d.monitor.loadedBySpooler}};
    json instances = json::array();
    for (const InstanceReport& r : d.instances) {
        json value = {{"type", typeName(r.valueType)}, {"length", r.valueBytes.size()}};
        if (!printable(r.valueBytes)) value["bytes"] = hexBytes(r.valueBytes);
        json entry = {{"instanceKey", r.instanceKey}, {"portName", r.portName}, {"stored", value},
                      {"verdict", r.verdict},         {"reason", r.reason}};
        if (!r.instanceId.empty()) entry["instanceId"] = r.instanceId;
        if (!r.boundTo.empty()) entry["boundTo"] = r.boundTo;
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
                      {"stale", p.stale}, {"created", p.created},     {"printers", printers},
                      {"usable", p.unusable.empty()}};
        if (!p.unusable.empty()) entry["unusable"] = p.unusable;
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
    json withoutPort = json::array();
    for (auto& [printer, port] : d.printersWithoutPort) withoutPort.push_back({{"printer", printer}, {"port", port}});
    json heldOffline = json::array();
    for (auto& [printer, port] : d.printersHeldOffline) heldOffline.push_back({{"printer", printer}, {"port", port}});
    json failing = json::array();
    for (const KeyProblem& k : d.failingKeys)
        failing.push_back({{"key", k.key}, {"error", k.error}, {"errorName", errorText(k.error)}});
    return {{"monitor", monitor},
            {"instances", instances},
            {"ports", ports},
            {"printersNeverMatching", never},
            {"printersWithoutPort", withoutPort},
            {"printersHeldOffline", heldOffline},
            {"keysFailingStart", failing},
            {"startWouldFail", d.startWouldFail},
            {"startError", d.startError},
            {"problems", d.problems},
            {"notes", d.notes}};
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

    out += "\nUSB instances with a \"PortName\", and plugged-in USB printers without one\n";
    if (d.instances.empty()) out += "  (none)\n";
    for (const InstanceReport& r : d.instances) {
        out += fmt::format("  {}\n    PortName  {}\n    verdict   {}\n              {}\n", r.instanceKey,
                           r.verdict == "no-port-name" ? "(none)" : describeValue(r), r.verdict, r.reason);
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
        // A name wider than its column stands whole on a line of its own: doctor's names are read to be typed.
        std::string name = p.name.size() <= 9 ? fmt::format("{:<9}", p.name) : p.name + "\n" + std::string(11, ' ');
        out += fmt::format("  {} {:<5} {}{}\n", name, kindName(p.kind), config,
                           p.created ? " (made at the next enumeration)" : "");
        if (p.kind == PortKindUsb)
            out += fmt::format("            device {}{}\n", p.present ? "present" : "absent",
                               p.stale ? "; stale: its instance id no longer appears below Enum\\USB (" + pruneAdvice(p) + ")"
                                       : "");
        else if (!p.printers.empty())
            out += "            no USB device: the refresh leaves its printers as they are\n";
        if (!p.unusable.empty()) out += "            UNUSABLE: every job on it fails (see the problems below)\n";
        for (const PrinterReport& r : p.printers)
            out += fmt::format("            printer {}: {} now, {} after the next refresh\n", r.name,
                               r.online ? "online" : "offline", r.nextOnline ? "online" : "offline");
    }
    for (auto& [printer, value] : d.printersNeverMatching)
        out += fmt::format("  printer {} on \"{}\": never matches a port (8 characters or more)\n", printer, value);
    for (auto& [printer, port] : d.printersWithoutPort)
        out += fmt::format("  printer {} on {}: no such port\n", printer, port);
    for (auto& [printer, port] : d.printersHeldOffline)
        out += fmt::format("  printer {} (port {}) works offline: its jobs wait until a person sets it online\n",
                           printer, port);

    out += "\n";
    if (d.problems.empty()) {
        out += "No problems found.\n";
    } else {
        out += fmt::format("{} problem{}:\n", d.problems.size(), d.problems.size() == 1 ? "" : "s");
        for (const std::string& p : d.problems) out += "  - " + p + "\n";
    }
    if (!d.notes.empty()) {
        out += "\nGood to know (no problem):\n";
        for (const std::string& n : d.notes) out += "  - " + n + "\n";
    }
    return out;
}

namespace {

struct DoctorWords {
    bool asJson = false;
};

struct PruneWords {
    bool assumeYes = false;
    bool evenIfUsed = false;  // ports that printers still use too
};

void declareDoctor(CLI::App& doctor, Run& run) {
    doctor.add_flag("--json", run.words<DoctorWords>().asJson, "one JSON object instead of the report");
}

int cmdDoctor(Run& run) {
    Diagnosis diagnosis = run.diagnose();
    if (run.words<DoctorWords>().asJson)
        std::fprintf(console().out(), "%s\n", jsonOutput(diagnosisJson(diagnosis)).c_str());
    else
        printFitted("%s", shownLines(diagnosisText(diagnosis)).c_str());
    return diagnosis.problems.empty() ? 0 : 1;
}

void declarePrune(CLI::App& prune, Run& run) {
    PruneWords& words = run.words<PruneWords>();
    prune.add_flag("--yes", words.assumeYes, "do not ask");
    prune.add_flag("--even-if-used", words.evenIfUsed,
                   "delete a stale port that a printer still prints to as well, leaving that printer without a port");
}

int cmdPrune(Run& run) {
    const PruneWords& words = run.words<PruneWords>();
    return pruneStalePorts([&](const std::string& name) { return run.route->deletePort(name); }, run.diagnose(),
                           words.assumeYes, words.evenIfUsed);
}

}  // namespace

const Verb<Run> DoctorCommand("doctor", "why a printer has no port, why it stays offline, what would stop the monitor",
                              declareDoctor, nullptr, cmdDoctor);
const Verb<Run> PruneCommand("prune", "delete the USB ports whose devices are no longer installed", declarePrune,
                             nullptr, cmdPrune);

}  // namespace zevmon
