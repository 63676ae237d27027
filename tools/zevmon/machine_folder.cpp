// Loading and saving a simulated machine kept in a folder.
#include "machine_folder.h"

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "monitor/zevuruzi.h"
#include "sim/machine.h"

namespace zevmon {

namespace fs = std::filesystem;
using nlohmann::json;

const char DefaultPrinterId[] = "USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1";

namespace {

const char RegistryFile[] = "registry.reg";
const char DevicesFile[] = "devices.json";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw MachineError(path.string() + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Written beside the target and renamed over it, so that a machine file is
// never left half-written.
void writeFile(const fs::path& path, const std::string& text) {
    fs::path temporary = path;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw MachineError(temporary.string() + ": cannot be written");
    }
    fs::rename(temporary, path);
}

std::string hex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<unsigned char> unhex(const std::string& text, const std::string& where) {
    if (text.size() % 2) throw MachineError(where + ": descriptors must be pairs of hex digits");
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        auto digit = [&](char c) {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            throw MachineError(where + ": '" + std::string(1, c) + "' is not a hex digit");
        };
        bytes.push_back((unsigned char)(digit(text[i]) * 16 + digit(text[i + 1])));
    }
    return bytes;
}

std::string fileNameFor(const std::string& instanceId) {
    std::string name;
    for (char c : instanceId) name += (std::isalnum((unsigned char)c) || c == '-' || c == '_') ? c : '_';
    return name + ".bin";
}

// The default machine: one USB printer with its port name, a printer that uses
// that port, a file port and a null port.
std::string defaultRegistry() {
    auto config = [](int kind, const std::string& fileName) {
        PortConfig c;
        std::memset(&c, 0, sizeof c);
        c.kind = kind;
        std::memcpy(c.fileName, fileName.c_str(), fileName.size() + 1);
        return std::vector<BYTE>((BYTE*)&c, (BYTE*)&c + sizeof c);
    };
    sim::Registry registry;
    registry.setString(MonitorKeyPath, "Driver", "ZEVURUZI.DLL");
    registry.setValue(std::string(MonitorKeyPath) + "\\FILE:", "Property", REG_BINARY, config(PortKindFile, "C:\\jobs\\out.prn"));
    registry.setValue(std::string(MonitorKeyPath) + "\\NUL:", "Property", REG_BINARY, config(PortKindNull, ""));
    registry.setString("Enum\\USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1", "PortName", "USB-001");
    registry.setString("Enum\\USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1", "DeviceDesc", "USB Printer");
    std::string printer = "System\\CurrentControlSet\\Control\\Print\\Printers\\Office Printer";
    registry.setString(printer, "Port", "USB-001");
    registry.setDword(printer, "Attributes", PRINTER_ATTRIBUTE_LOCAL);
    registry.setString(printer, "Printer Driver", "Generic / Text Only");
    return registry.exportText();
}

}  // namespace

fs::path MachineFolder::defaultFolder() {
    if (const char* machine = std::getenv("ZEVMON_MACHINE"); machine && *machine) return machine;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) return fs::path(state) / "zevmon" / "machine";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : ".") / ".local" / "state" / "zevmon" / "machine";
}

bool MachineFolder::exists() const { return fs::exists(folder_ / RegistryFile); }

fs::path MachineFolder::receivedFile(const std::string& instanceId) const {
    return folder_ / "received" / fileNameFor(instanceId);
}

void MachineFolder::createDefault() {
    fs::create_directories(folder_ / "received");
    fs::create_directories(folder_ / "drives" / "c" / "jobs");
    writeFile(folder_ / RegistryFile, defaultRegistry());
    json devices = json::array({{{"instanceId", DefaultPrinterId}, {"present", true}}});
    writeFile(folder_ / DevicesFile, devices.dump(2) + "\n");
}

void MachineFolder::load() {
    fs::path registryPath = folder_ / RegistryFile, devicesPath = folder_ / DevicesFile;
    std::string registryText = readFile(registryPath);
    std::vector<UsbPrinterEntry> printers;
    if (fs::exists(devicesPath)) {
        json devices;
        try {
            devices = json::parse(readFile(devicesPath));
        } catch (const json::parse_error& e) {
            // The parser counts bytes; people count lines.
            std::string text = readFile(devicesPath);
            size_t line = 1 + std::count(text.begin(), text.begin() + std::min(e.byte, text.size()), '\n');
            throw MachineError(devicesPath.string() + ":" + std::to_string(line) + ": not valid JSON");
        }
        if (!devices.is_array()) throw MachineError(devicesPath.string() + ":1: a list of USB printers is expected");
        for (auto& d : devices) {
            std::string where = devicesPath.string();
            if (!d.is_object() || !d.contains("instanceId") || !d["instanceId"].is_string())
                throw MachineError(where + ": every USB printer needs an \"instanceId\"");
            UsbPrinterEntry p;
            p.instanceId = d["instanceId"];
            p.present = d.value("present", true);
            if (d.contains("descriptors")) p.descriptors = unhex(d["descriptors"].get<std::string>(), where);
            printers.push_back(p);
        }
    }
    try {
        sim::machine().registry().importText(registryText, registryPath.string());
    } catch (const sim::RegistryFormatError& e) {
        throw MachineError(e.what());
    }
    for (auto& p : printers) {
        sim::UsbPrinterSpec spec(p.instanceId);
        if (!p.descriptors.empty()) spec.descriptors = p.descriptors;
        spec.present = p.present;
        sim::machine().addUsbPrinter(spec);
    }
    fs::create_directories(folder_ / "drives" / "c");
    sim::machine().setFileRoot((folder_ / "drives").string());
}

void MachineFolder::save() {
    fs::create_directories(folder_ / "received");
    writeFile(folder_ / RegistryFile, sim::machine().registry().exportText());
    json devices = json::array();
    for (const std::string& id : sim::machine().usbPrinterIds()) {
        json entry = {{"instanceId", id}};
        sim::machine().withUsbPrinter(id, [&](sim::UsbPrinter& p) {
            entry["present"] = p.present;
            if (p.descriptors != sim::defaultPrinterDescriptors())
                entry["descriptors"] = hex(std::vector<unsigned char>(p.descriptors.begin(), p.descriptors.end()));
        });
        devices.push_back(entry);
        std::vector<BYTE> received = sim::machine().usbReceived(id);
        if (!received.empty()) {
            std::ofstream out(receivedFile(id), std::ios::binary | std::ios::app);
            out.write((const char*)received.data(), (std::streamsize)received.size());
        }
    }
    writeFile(folder_ / DevicesFile, devices.dump(2) + "\n");
}

}  // namespace zevmon
