// zevmon doctor: why a printer has no port, why it stays offline, and what
// would stop the monitor from starting. It reads the registry, the present
// devices and the spooler's printers through the Win32 API, changes nothing,
// and asks the monitor's own decision functions, so that its verdicts are what
// the next enumeration, start and refresh do.
#pragma once

#include <windows.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace zevmon {

struct InstanceReport {
    std::string instanceKey;          // below HKEY_LOCAL_MACHINE
    DWORD valueType = 0;              // "PortName" as stored
    std::vector<BYTE> valueBytes;
    std::string portName;             // as the scan reads it
    std::string verdict;              // port-exists, will-be-created, passed-over, usb-000, duplicate, no-port-name
    std::string reason;               // a sentence
    std::string instanceId;           // will-be-created: the instance id the port will store
    std::string boundTo;              // port-exists, duplicate: the instance id the existing port serves
    bool problem = false;             // no port although the instance asks for one
    bool waitsForDevice = false;      // passed over only until its printer is plugged in
    bool keyRefused = false;          // passed over: the monitor's key takes no new port keys
};

struct PrinterReport {
    std::string name;
    bool online = false;              // now
    bool nextOnline = false;          // after the next refresh: a printer of a USB port follows its device,
                                      // any other stays as it is
};

struct PortReport {
    std::string name;
    int kind = 0;
    std::string fileName;
    std::string interfaceGuid;
    std::string instanceId;
    int writePipe = 0;
    int readPipe = 0;
    bool present = false;             // by the refresh's own rule
    bool stale = false;               // a USB port whose instance id no longer appears below Enum\USB
    bool created = false;             // not yet in the registry: made at the next enumeration
    DWORD valueType = REG_BINARY;     // "Property" as stored
    size_t valueLength = 0;
    std::string unusable;             // why every job on it fails, or "" for a port that works
    std::vector<PrinterReport> printers;
};

struct MonitorReport {
    std::string key;
    bool installed = false;           // the key exists
    std::string driver;               // its "Driver" value, or ""
    std::string dll;                  // where the DLL was found, or a sentence why not
    std::string version;
    bool probeKeyLeft = false;
    std::string unfinishedPort;       // the port the probe key marks as cut short, if any
    bool loadedBySpooler = false;     // installed, with a "Driver" that names this monitor's DLL
};

struct KeyProblem {
    std::string key;
    DWORD error = 0;
    std::string sentence;
};

struct Diagnosis {
    MonitorReport monitor;
    std::vector<InstanceReport> instances;
    std::vector<PortReport> ports;
    std::vector<std::pair<std::string, std::string>> printersNeverMatching;  // printer, its "Port" value
    std::vector<std::pair<std::string, std::string>> printersWithoutPort;    // printer, the USB port it names
    std::vector<std::pair<std::string, std::string>> printersHeldOffline;    // printer, its file or null port
    std::vector<KeyProblem> failingKeys;
    bool startWouldFail = false;
    DWORD startError = ERROR_SUCCESS;  // the error the next start fails with
    std::vector<std::string> problems;
    std::vector<std::string> notes;    // facts that harm nothing: a printer switched off, a stale port
};

// Finds the monitor's DLL from its "Driver" value: its path and version, or
// nullopt with a sentence in why.
struct DllFound {
    std::string path;
    std::string version;
};
using DllFinder = std::function<std::optional<DllFound>(const std::string& driver, std::string& why)>;

Diagnosis diagnose(const DllFinder& findDll);
nlohmann::json diagnosisJson(const Diagnosis& diagnosis);
std::string diagnosisText(const Diagnosis& diagnosis);

// The USB ports doctor finds stale, by name.
std::vector<std::string> stalePorts(const Diagnosis& diagnosis);

// Why the spooler would not load the monitor at all, or "" when it would.
std::string monitorNotLoaded(const Diagnosis& diagnosis);

// The instance that asks for the port by its "PortName" and whose next
// enumeration makes it again, or "" when none does.
const InstanceReport* instanceRemaking(const Diagnosis& diagnosis, const std::string& portName);

// The printers whose "Port" value names no port of this monitor.
bool printerHasNoPort(const Diagnosis& diagnosis, const std::string& printer);

// Deletes the stale USB ports doctor found, after showing them; asks first
// unless assumeYes, and refuses without a terminal to ask on. A port that a
// printer still prints to is named with its printers and kept, unless
// evenIfUsed. deletePort is the spooler's DeletePort, however it is reached:
// false with the last error set.
using PortDeleter = std::function<bool(const std::string& name)>;
int pruneStalePorts(const PortDeleter& deletePort, const Diagnosis& diagnosis, bool assumeYes, bool evenIfUsed);

}  // namespace zevmon
