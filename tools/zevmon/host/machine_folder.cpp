// Loading and saving a simulated machine kept in a folder.
#include "machine_folder.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "common/error_text.h"
#include "common/registry.h"
#include "common/text.h"
#include "monitor/zevuruzi.h"
#include "sim/machine.h"

namespace zevmon {

namespace fs = std::filesystem;
using nlohmann::json;

const char DefaultPrinterId[] = "USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1";
const char DefaultPrinterName[] = "Office Printer";

namespace {

const char RegistryFile[] = "registry.reg";
const char DevicesFile[] = "devices.json";
// Present while the two files are being replaced: both new files are complete
// and are to be renamed over the old ones.
const char CommitMarker[] = "saving";
// What the machine's process keeps beside the machine: not the machine itself.
const char* const ProcessFiles[] = {"machine.lock", "machine.sock", "machine.log", ".zevmon-lock"};
const char PersonalityFile[] = "personality";

fs::path withSuffix(const fs::path& path, const char* suffix) {
    fs::path out = path;
    out += suffix;
    return out;
}

std::string readFile(const fs::path& path) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw MachineError(path.string() + ": cannot be read: " + fileErrorText(errno ? errno : ENOENT));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The whole text reaches the disk before the file is renamed into place, so a
// crash leaves the old file or the new one, never a part.
void writeSynced(const fs::path& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    for (size_t at = 0; ok && at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) at += (size_t)n;
    }
    ok = ok && ::fsync(fd) == 0;
    int error = errno;
    if (fd >= 0) ::close(fd);
    if (!ok) throw MachineError(path.string() + ": cannot be written: " + std::strerror(error));
}

void renameOver(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        throw MachineError(to.string() + ": cannot be replaced: " + std::strerror(errno));
}

// Where a save puts a file of the machine. A link (a registry.reg kept in a
// person's own folder and linked here) is saved through: its target is
// replaced, so that the link stays a link, and the new text is written beside
// the target, so that the replacement stays one rename within one folder.
struct SavePlace {
    fs::path named;    // as the machine folder names it
    fs::path target;   // what the save replaces: `named`, or the file its links end at
    fs::path pending;  // the new text, until it is renamed over the target
    bool linked() const { return target != named; }
};

SavePlace savePlace(const fs::path& path) {
    SavePlace place{path, path, {}};
    std::error_code error;
    if (fs::is_symlink(path, error)) {
        place.target = fs::canonical(path, error);
        // A link to nothing, or a loop of links: where it leads, to be named;
        // reading the file fails and says so.
        if (error) {
            place.target = path;
            for (int hops = 0; hops < 40 && fs::is_symlink(place.target, error); hops++) {
                fs::path to = fs::read_symlink(place.target, error);
                if (error) break;
                place.target = to.is_absolute() ? to : place.target.parent_path() / to;
            }
        }
    }
    place.pending = withSuffix(place.target, ".new");
    return place;
}

// Why a linked file cannot be saved where its link leads; "" when it can be
// or is no link. The machine folder's own rights are checked apart.
std::string linkNotWritable(const SavePlace& place) {
    if (!place.linked() || ::access(place.target.parent_path().c_str(), W_OK) == 0) return "";
    return fmt::format("{} is a link to {}, whose folder {} cannot be written ({})", place.named.string(),
                       place.target.string(), place.target.parent_path().string(), std::strerror(errno));
}

void writePending(const SavePlace& place, const std::string& text) {
    if (std::string why = linkNotWritable(place); !why.empty()) throw MachineError(why);
    writeSynced(place.pending, text);
}

// The whole file replaced at once, through a link if it is one.
void replaceFile(const fs::path& path, const std::string& text) {
    SavePlace place = savePlace(path);
    writePending(place, text);
    renameOver(place.pending, place.target);
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
    if (text.size() % 2) throw MachineError(where + ": \"descriptors\" must be pairs of hex digits");
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        auto digit = [&](char c) {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            throw MachineError(where + ": '" + std::string(1, c) + "' in \"descriptors\" is not a hex digit");
        };
        bytes.push_back((unsigned char)(digit(text[i]) * 16 + digit(text[i + 1])));
    }
    return bytes;
}

std::string fileStemFor(const std::string& instanceId) {
    std::string name;
    for (char c : instanceId) name += (std::isalnum((unsigned char)c) || c == '-' || c == '_') ? c : '_';
    return name;
}

// The line on which each element of the top-level JSON array begins: the
// parser keeps no positions, and a person fixing devices.json needs them.
std::vector<int> elementLines(const std::string& text) {
    std::vector<int> lines;
    int line = 1, depth = 0;
    bool inString = false, escaped = false, expectElement = false;
    for (char c : text) {
        if (c == '\n') line++;
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (expectElement && !std::isspace((unsigned char)c) && c != ']') {
            lines.push_back(line);
            expectElement = false;
        }
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') {
            if (++depth == 1) expectElement = true;
        } else if (c == ']' || c == '}') depth--;
        else if (c == ',' && depth == 1) expectElement = true;
    }
    return lines;
}

std::string jsonTypeName(const json& value) {
    if (value.is_string()) return "the text " + value.dump();
    if (value.is_boolean()) return value.dump();
    if (value.is_number()) return "the number " + value.dump();
    if (value.is_null()) return "null";
    return value.is_array() ? "a list" : "an object";
}

bool looksLikeUsbInstanceId(const std::string& id) {
    auto parts = sim::splitKeyPath(id);
    return parts.size() == 3 && sim::equalNoCase(parts[0], "USB") && !parts[1].empty() && !parts[2].empty();
}

std::vector<UsbPrinterEntry> parseDevices(const std::string& text, const fs::path& path) {
    json devices;
    try {
        devices = json::parse(text);
    } catch (const json::parse_error& e) {
        // The parser counts bytes; people count lines.
        size_t line = 1 + std::count(text.begin(), text.begin() + std::min(e.byte, text.size()), '\n');
        throw MachineError(path.string() + ":" + std::to_string(line) + ": not valid JSON");
    }
    if (!devices.is_array()) throw MachineError(path.string() + ":1: a list of USB printers is expected");
    std::vector<int> lines = elementLines(text);
    std::vector<UsbPrinterEntry> printers;
    for (size_t i = 0; i < devices.size(); i++) {
        const json& d = devices[i];
        std::string where = path.string() + ":" + std::to_string(i < lines.size() ? lines[i] : 1) + ": USB printer " +
                            std::to_string(i + 1);
        if (!d.is_object()) throw MachineError(where + " is " + jsonTypeName(d) + ", not an object");
        if (!d.contains("instanceId")) throw MachineError(where + " has no \"instanceId\"");
        if (!d["instanceId"].is_string())
            throw MachineError(where + ": \"instanceId\" is " + jsonTypeName(d["instanceId"]) + ", not a text");
        UsbPrinterEntry p;
        p.instanceId = d["instanceId"].get<std::string>();
        if (!looksLikeUsbInstanceId(p.instanceId))
            throw MachineError(where + ": \"" + p.instanceId +
                               "\" is not a USB instance id (such as " + DefaultPrinterId + ")");
        for (const UsbPrinterEntry& earlier : printers)
            if (sim::equalNoCase(earlier.instanceId, p.instanceId))
                throw MachineError(where + ": " + p.instanceId + " is listed twice");
        if (d.contains("present")) {
            if (!d["present"].is_boolean())
                throw MachineError(where + ": \"present\" is " + jsonTypeName(d["present"]) + ", not true or false");
            p.present = d["present"].get<bool>();
        }
        if (d.contains("descriptors")) {
            if (!d["descriptors"].is_string())
                throw MachineError(where + ": \"descriptors\" is " + jsonTypeName(d["descriptors"]) +
                                   ", not a text of hex digits");
            p.descriptors = unhex(d["descriptors"].get<std::string>(), where);
        }
        for (auto& [field, value] : d.items())
            if (field != "instanceId" && field != "present" && field != "descriptors") p.otherFields[field] = value;
        printers.push_back(p);
    }
    return printers;
}

// The machine's USB printers as devices.json holds them, each with the other
// fields its entry had when read.
std::string devicesText(const std::vector<UsbPrinterEntry>& read) {
    json devices = json::array();
    for (const std::string& id : sim::machine().usbPrinterIds()) {
        json entry = {{"instanceId", id}};
        for (const UsbPrinterEntry& e : read)
            if (sim::equalNoCase(e.instanceId, id))
                for (auto& [field, value] : e.otherFields.items()) entry[field] = value;
        sim::machine().withUsbPrinter(id, [&](sim::UsbPrinter& p) {
            entry["present"] = p.present;
            if (p.descriptors != sim::defaultPrinterDescriptors())
                entry["descriptors"] = hex(std::vector<unsigned char>(p.descriptors.begin(), p.descriptors.end()));
        });
        devices.push_back(entry);
    }
    return devices.dump(2) + "\n";
}

// A file's identity: a rename over it, or a write to it, changes it.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long modified = 0;
    bool operator==(const Identity& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified == o.modified;
    }
};

Identity identity(const fs::path& path) {
    struct stat info;
    Identity id;
    if (::stat(path.c_str(), &info) != 0) return id;
    id.exists = true;
    id.device = info.st_dev;
    id.inode = info.st_ino;
    id.size = info.st_size;
    id.modified = (long long)info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
    return id;
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
    registry.setString(deviceKey(DefaultPrinterId), "PortName", "USB-001");
    registry.setString(deviceKey(DefaultPrinterId), "DeviceDesc", "USB Printer");
    std::string printer = sim::printerKey(DefaultPrinterName);
    registry.setString(printer, "Port", "USB-001");
    registry.setDword(printer, "Attributes", PRINTER_ATTRIBUTE_LOCAL);
    registry.setString(printer, "Printer Driver", "Generic / Text Only");
    return registry.exportText();
}

std::string localTime() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

}  // namespace

fs::path MachineFolder::defaultFolder() {
    if (const char* machine = std::getenv("ZEVMON_MACHINE"); machine && *machine) return machine;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) return fs::path(state) / "zevmon" / "machine";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : ".") / ".local" / "state" / "zevmon" / "machine";
}

bool MachineFolder::isNew() const {
    std::error_code error;
    if (!fs::exists(folder_, error)) return !error;
    if (!fs::is_directory(folder_, error)) return false;
    for (auto it = fs::directory_iterator(folder_, error); !error && it != fs::directory_iterator(); it.increment(error))
        if (std::find(std::begin(ProcessFiles), std::end(ProcessFiles), it->path().filename()) == std::end(ProcessFiles))
            return false;
    return !error;
}

void MachineFolder::checkUsable() const {
    std::string name = folder_.string();
    std::error_code error;
    bool exists = fs::exists(folder_, error);
    if (error)
        throw NotAMachine(fmt::format("The machine folder {} cannot be reached: {}.", name, error.message()));
    if (!exists) return;
    if (!fs::is_directory(folder_, error))
        throw NotAMachine(fmt::format("{} is a file, not a machine folder: --machine names a folder that holds "
                                       "registry.reg and devices.json, or an empty or new one for a new machine.",
                                       name));
    if (isNew()) return;
    SavePlace registry = savePlace(folder_ / RegistryFile), devices = savePlace(folder_ / DevicesFile);
    bool committing = fs::exists(folder_ / CommitMarker);
    bool hasRegistry = fs::exists(registry.target) || (committing && fs::exists(registry.pending));
    bool hasDevices = fs::exists(devices.target) || (committing && fs::exists(devices.pending));
    if (hasRegistry && hasDevices) return;
    for (const SavePlace* place : {&registry, &devices})
        if (place->linked() && !fs::exists(place->target))
            throw NotAMachine(fmt::format("{} is a link to {}, which does not exist: zevmon leaves the folder alone "
                                          "until the link leads to the file again.",
                                          place->named.string(), place->target.string()));
    if (hasRegistry || hasDevices)
        throw NotAMachine(fmt::format(
            "The machine in {} has {} but no {}: without it the machine's {} are unknown, so zevmon leaves the "
            "folder alone. Put the file back, or name an empty folder with --machine for a new machine.",
            name, hasRegistry ? RegistryFile : DevicesFile, hasRegistry ? DevicesFile : RegistryFile,
            hasRegistry ? "USB printers" : "registry, ports and printers"));
    throw NotAMachine(fmt::format("{} holds other files and no machine (no registry.reg, no devices.json): zevmon "
                                   "makes a new machine only in an empty or new folder.",
                                   name));
}

fs::path MachineFolder::jobFolder(const std::string& instanceId) const {
    return folder_ / "received" / fileStemFor(instanceId);
}

void MachineFolder::createDefault() {
    fs::create_directories(folder_ / "received");
    fs::create_directories(folder_ / "drives" / "c" / "jobs");
    json devices = json::array({{{"instanceId", DefaultPrinterId}, {"present", true}}});
    writeSynced(folder_ / DevicesFile, devices.dump(2) + "\n");
    // registry.reg last: a folder with only devices.json is seen as damaged, never as a machine.
    replaceFile(folder_ / RegistryFile, defaultRegistry());
}

std::string MachineFolder::personality() const {
    std::ifstream in(folder_ / PersonalityFile);
    std::string name;
    if (!(in >> name)) return "98";
    if (name != "98" && name != "nt")
        throw MachineError(fmt::format("{}: \"{}\" is no personality; it holds 98 or nt.",
                                       (folder_ / PersonalityFile).string(), name));
    return name;
}

void MachineFolder::setPersonality(const std::string& name) { writeSynced(folder_ / PersonalityFile, name + "\n"); }

void MachineFolder::recover() {
    fs::path marker = folder_ / CommitMarker;
    bool committing = fs::exists(marker);
    for (const char* file : {RegistryFile, DevicesFile}) {
        SavePlace place = savePlace(folder_ / file);
        if (!fs::exists(place.pending)) continue;
        if (committing)
            renameOver(place.pending, place.target);
        else
            fs::remove(place.pending);
    }
    if (committing) fs::remove(marker);
}

void MachineFolder::load() {
    fs::path registryPath = folder_ / RegistryFile, devicesPath = folder_ / DevicesFile;
    std::string registryText, devices;
    // Another run may replace both files while they are read: read them again
    // until neither changed meanwhile.
    for (int attempt = 0;; attempt++) {
        bool committing = fs::exists(folder_ / CommitMarker);
        fs::path registryFile = registryPath, devicesFile = devicesPath;
        if (committing) {
            if (fs::path pending = savePlace(registryPath).pending; fs::exists(pending)) registryFile = pending;
            if (fs::path pending = savePlace(devicesPath).pending; fs::exists(pending)) devicesFile = pending;
        }
        Identity registryBefore = identity(registryFile), devicesBefore = identity(devicesFile);
        try {
            registryText = readFile(registryFile);
            devices = readFile(devicesFile);
        } catch (const MachineError&) {
            if (attempt >= 100) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (committing == fs::exists(folder_ / CommitMarker) && identity(registryFile) == registryBefore &&
            identity(devicesFile) == devicesBefore)
            break;
        if (attempt >= 100) throw MachineError(folder_.string() + ": the machine files keep changing while read");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    registryFileText_ = registryText;
    devicesFileText_ = devices;
    std::vector<UsbPrinterEntry> printers = parseDevices(devices, devicesPath);
    entries_ = printers;
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
    std::error_code ignored;
    fs::create_directories(folder_ / "drives" / "c", ignored);  // a read-only folder still reads
    sim::machine().setFileRoot((folder_ / "drives").string());
    loadedRegistry_ = sim::machine().registry().exportText();
    loadedDevices_ = devicesText(entries_);
}

bool MachineFolder::changed() const {
    return sim::machine().registry().exportText() != loadedRegistry_ || devicesText(entries_) != loadedDevices_;
}

// Both new files are written in full before the marker appears; from then on
// the new state is the machine's, and a run that stops half-way through the
// renames is finished by the next run's recover(), or read through by a reader.
void MachineFolder::save() {
    if (!unreadableEdit_.empty() || !changed()) return;
    fs::path registry = folder_ / RegistryFile, devices = folder_ / DevicesFile, marker = folder_ / CommitMarker;
    for (auto [path, loaded] : {std::pair(registry, &registryFileText_), std::pair(devices, &devicesFileText_)}) {
        std::string now;
        try {
            now = readFile(path);
        } catch (const MachineError&) {
            now = "\1(unreadable)";
        }
        if (now != *loaded)
            throw ChangedElsewhere(fmt::format("{} was changed by another program while this run worked, so the "
                                               "changes of this run to the machine were not saved and that file stays "
                                               "as it is now.",
                                               path.string()));
    }
    std::string registryText = sim::machine().registry().exportText(), devicesNow = devicesText(entries_);
    SavePlace registryPlace = savePlace(registry), devicesPlace = savePlace(devices);
    try {
        writePending(registryPlace, registryText);
        writePending(devicesPlace, devicesNow);
        writeSynced(marker, "");
        renameOver(registryPlace.pending, registryPlace.target);
        renameOver(devicesPlace.pending, devicesPlace.target);
        fs::remove(marker);
    } catch (const MachineError& e) {
        std::error_code ignored;
        if (!fs::exists(marker, ignored)) {
            fs::remove(registryPlace.pending, ignored);
            fs::remove(devicesPlace.pending, ignored);
        }
        throw MachineError(fmt::format("{}; the changes of this run were not saved.", e.what()));
    }
    loadedRegistry_ = registryFileText_ = registryText;
    loadedDevices_ = devicesFileText_ = devicesNow;
    // A printer removed takes its fields with it: one added again later starts without them.
    std::vector<std::string> ids = sim::machine().usbPrinterIds();
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const UsbPrinterEntry& e) {
                                      return std::none_of(ids.begin(), ids.end(), [&](const std::string& id) {
                                          return sim::equalNoCase(id, e.instanceId);
                                      });
                                  }),
                   entries_.end());
}

std::vector<std::string> MachineFolder::takeInEdits() {
    fs::path registryPath = folder_ / RegistryFile, devicesPath = folder_ / DevicesFile;
    std::string registryText, devices;
    try {
        registryText = readFile(registryPath);
        devices = readFile(devicesPath);
    } catch (const MachineError& e) {
        if (unreadableEdit_ == e.what()) return {};
        unreadableEdit_ = e.what();
        return {fmt::format("{}; the machine goes on as it was, and saves nothing over its files until both are "
                            "there again.",
                            e.what())};
    }
    if (registryText == registryFileText_ && devices == devicesFileText_) {
        unreadableEdit_.clear();
        return {};
    }
    std::string edited = registryText != registryFileText_ ? RegistryFile : DevicesFile;
    std::vector<UsbPrinterEntry> printers;
    sim::Registry registry;
    try {
        printers = parseDevices(devices, devicesPath);
        registry.importText(registryText, registryPath.string());
    } catch (const std::exception& e) {
        std::string said = e.what();
        if (unreadableEdit_ == said) return {};
        unreadableEdit_ = said;
        return {fmt::format("{} was edited while the machine runs, and cannot be read: {}. The machine goes on as it "
                            "was, and saves nothing over the file until it reads well; zevmon machine stop leaves it "
                            "as it is.",
                            edited, said)};
    }
    unreadableEdit_.clear();
    entries_ = printers;
    auto& machine = sim::machine();
    machine.registry().replaceWith(registry);
    std::vector<std::string> installed = machine.usbPrinterIds();
    for (const std::string& id : installed)
        if (std::none_of(printers.begin(), printers.end(),
                         [&](const UsbPrinterEntry& p) { return sim::equalNoCase(p.instanceId, id); }))
            machine.removeUsbPrinter(id);
    for (const UsbPrinterEntry& p : printers) {
        std::vector<BYTE> descriptors = p.descriptors.empty() ? sim::defaultPrinterDescriptors()
                                                               : std::vector<BYTE>(p.descriptors.begin(), p.descriptors.end());
        bool same = false, present = false;
        bool known = machine.withUsbPrinter(p.instanceId, [&](sim::UsbPrinter& printer) {
            same = printer.descriptors == descriptors;
            present = printer.present;
        });
        if (known && !same) machine.removeUsbPrinter(p.instanceId);
        if (!known || !same) {
            sim::UsbPrinterSpec spec(p.instanceId);
            spec.descriptors = descriptors;
            spec.present = p.present;
            machine.addUsbPrinter(spec);
        } else if (present != p.present) {
            p.present ? machine.plugUsbPrinter(p.instanceId) : machine.unplugUsbPrinter(p.instanceId);
        }
    }
    registryFileText_ = registryText;
    devicesFileText_ = devices;
    loadedRegistry_ = machine.registry().exportText();
    loadedDevices_ = devicesText(entries_);
    return {fmt::format("{} was edited while the machine runs; the machine took the edit in.", edited)};
}

void MachineFolder::checkWritable(const std::string& consequence) const {
    std::error_code ignored;
    fs::create_directories(folder_ / "received", ignored);
    for (const fs::path& place : {folder_, folder_ / "received"})
        if (::access(place.c_str(), W_OK) != 0)
            throw MachineError(fmt::format("The machine folder {} cannot be written ({}), so {}.", place.string(),
                                           std::strerror(errno), consequence));
}

void MachineFolder::checkLinksWritable(const std::string& consequence) const {
    for (const char* file : {RegistryFile, DevicesFile})
        if (std::string why = linkNotWritable(savePlace(folder_ / file)); !why.empty())
            throw MachineError(fmt::format("{}, so {}.", why, consequence));
}

std::vector<ReceivedJob> MachineFolder::receivedJobs(const std::string& instanceId,
                                                    const std::function<bool(const fs::path&)>& recording) const {
    std::vector<ReceivedJob> jobs;
    fs::path legacy = folder_ / "received" / (fileStemFor(instanceId) + ".bin");
    std::error_code error;
    if (fs::exists(legacy, error)) {
        ReceivedJob job;
        job.document = "(jobs received before zevmon kept them apart)";
        job.outcome = "complete";
        job.bytes = fs::file_size(legacy, error);
        job.data = legacy;
        jobs.push_back(job);
    }
    std::map<int, ReceivedJob> numbered;
    for (auto it = fs::directory_iterator(jobFolder(instanceId), error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        fs::path path = it->path();
        if (path.extension() != ".bin") continue;
        ReceivedJob job;
        job.number = std::atoi(path.stem().string().c_str());
        if (job.number <= 0) continue;
        job.data = path;
        std::error_code sizeError;
        job.bytes = fs::file_size(path, sizeError);
        job.outcome = "(no record of this job)";
        std::ifstream in(withSuffix(jobFolder(instanceId) / path.stem(), ".json"), std::ios::binary);
        json record = json::parse(in, nullptr, false);
        auto text = [&](const char* key) {
            return record.is_object() && record.contains(key) && record[key].is_string() ? record[key].get<std::string>()
                                                                                         : std::string();
        };
        if (record.is_object()) {
            job.document = text("document");
            job.port = text("port");
            job.started = text("started");
            job.outcome = text("outcome");
        }
        // "printing", and no machine writes it: the machine stopped without a word.
        if (job.outcome == "printing" && !(recording && recording(path)))
            // Captured 64 KiB at a time: the last bytes the printer took may not have reached the file.
            job.outcome = fmt::format("abandoned: the machine stopped while it printed it; the capture holds {} "
                                      "bytes, which may be less than the printer had received",
                                      job.bytes);
        numbered[job.number] = job;
    }
    for (auto& [number, job] : numbered) jobs.push_back(job);
    return jobs;
}

size_t MachineFolder::clearReceived(const std::string& instanceId) {
    size_t count = receivedJobs(instanceId).size();
    fs::remove(folder_ / "received" / (fileStemFor(instanceId) + ".bin"));
    fs::remove_all(jobFolder(instanceId));
    return count;
}

// ---- JobRecorder ----

JobRecorder::JobRecorder(MachineFolder& folder, std::string document, std::string port)
    : folder_(folder), document_(std::move(document)), port_(std::move(port)), started_(localTime()) {}

JobRecorder::~JobRecorder() {
    for (Open& open : open_)
        if (open.fd >= 0) ::close(open.fd);
}

// Beside, then renamed: a record is the old one or the new one, never a part.
bool JobRecorder::writeRecord(const Open& open) const {
    // The record is JSON, so UTF-8; what the monitor was given was in the machine's code page.
    json record = {{"document", ansiToUtf8(open.job.document)},
                   {"port", ansiToUtf8(open.job.port)},
                   {"started", open.job.started},
                   {"outcome", open.job.outcome},
                   {"bytes", open.job.bytes}};
    fs::path path = withSuffix(open.job.data.parent_path() / open.job.data.stem(), ".json");
    std::string text = record.dump(2) + "\n";
    try {
        replaceFile(path, text);
        return true;
    } catch (const MachineError&) {
    }
    int error = errno;
    std::error_code ignored;
    fs::remove(savePlace(path).pending, ignored);
    // A full disk has no room for a new record beside the old one, but the
    // old one's room is its own: it is written over in place, so that the
    // record still tells how the job ended.
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    bool written = fd >= 0 && ::pwrite(fd, text.data(), text.size(), 0) == (ssize_t)text.size() &&
                   ::ftruncate(fd, (off_t)text.size()) == 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    errno = error;  // why the new record could not be written
    return written;
}

JobRecorder::Open& JobRecorder::openFor(const std::string& instanceId) {
    for (Open& open : open_)
        if (open.instanceId == instanceId) return open;
    Open o;
    o.instanceId = instanceId;
    fs::path folder = folder_.jobFolder(instanceId);
    fs::create_directories(folder);
    int number = 1;
    for (const ReceivedJob& job : folder_.receivedJobs(instanceId)) number = std::max(number, job.number + 1);
    o.job = {number, document_, port_, started_, "printing", 0, folder / fmt::format("{:04}.bin", number)};
    o.fd = ::open(o.job.data.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (o.fd < 0) throw MachineError(o.job.data.string() + ": cannot be written: " + std::strerror(errno));
    if (!writeRecord(o)) {
        int error = errno;
        ::close(o.fd);
        fs::remove(o.job.data);
        throw MachineError(fmt::format("The record of a job beside {} cannot be written: {}; nothing was sent.",
                                       o.job.data.string(), std::strerror(error)));
    }
    open_.push_back(o);
    return open_.back();
}

void JobRecorder::begin(const std::string& instanceId) { openFor(instanceId); }

// Straight to the file, unbuffered: a job stopped by any means keeps what was
// sent. A capture that cannot be written whole stops where it is, and its
// printer then refuses every write, as one whose buffer stays full does: the
// job fails at the monitor as for any device, rather than being recorded
// complete with bytes missing.
void JobRecorder::collect() {
    for (const std::string& id : sim::machine().usbPrinterIds()) {
        std::map<int, std::vector<BYTE>> arrived;
        sim::machine().withUsbPrinter(id, [&](sim::UsbPrinter& p) { arrived.swap(p.received); });
        size_t total = 0;
        for (auto& [pipe, bytes] : arrived) total += bytes.size();
        if (total == 0) continue;
        Open& open = openFor(id);
        open.received += total;
        for (auto& [pipe, bytes] : arrived) {
            writeCapture(open, bytes.data(), bytes.size());
            if (!open.writeError.empty()) {
                sim::machine().withUsbPrinter(id, [](sim::UsbPrinter& p) { p.writeError = ERROR_SEM_TIMEOUT; });
                break;
            }
        }
    }
}

bool JobRecorder::take(const std::string& instanceId, const unsigned char* data, size_t size) {
    // Written 64 KiB at a time, few calls and no more memory than a direct
    // job's: a job the spooler plays back is still whole in its spool file,
    // so a run that dies loses nothing of it.
    Open& open = openFor(instanceId);
    if (!open.writeError.empty()) return false;
    open.pending.append((const char*)data, size);
    if (open.pending.size() >= (1u << 16)) {
        writeCapture(open, (const unsigned char*)open.pending.data(), open.pending.size());
        open.pending.clear();
    }
    if (open.writeError.empty()) open.received += size;
    return open.writeError.empty();
}

void JobRecorder::writeCapture(Open& open, const unsigned char* data, size_t size) {
    for (size_t at = 0; open.writeError.empty() && at < size;) {
        ssize_t n = ::write(open.fd, data + at, size - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            open.writeError = n < 0 && errno == ENOSPC ? "the disk of the machine's folder is full"
                              : n < 0                  ? std::strerror(errno)
                                                       : "nothing more could be written";
            open.cutAtEnd = finishing_;
            break;
        }
        at += (size_t)n;
        open.job.bytes += (size_t)n;
    }
}

void JobRecorder::finish(const std::string& outcome) {
    finishing_ = true;
    collect();
    for (Open& open : open_) {
        writeCapture(open, (const unsigned char*)open.pending.data(), open.pending.size());
        open.pending.clear();
        if (::close(open.fd) != 0 && open.writeError.empty()) open.writeError = std::strerror(errno), open.cutAtEnd = true;
        open.fd = -1;
        open.job.outcome = open.writeError.empty() ? outcome : outcome + "; capture cut short";
        open.recordWritten = writeRecord(open);
    }
}

std::vector<fs::path> JobRecorder::captures() const {
    std::vector<fs::path> files;
    for (const Open& open : open_) files.push_back(open.job.data);
    return files;
}

std::string JobRecorder::captureProblem() const {
    std::string said;
    for (const Open& open : open_) {
        if (!open.writeError.empty())
            said += fmt::format("{}{} could not be written whole ({}): it holds {} of the {} bytes the printer "
                                "received{}.",
                                said.empty() ? "" : " ", open.job.data.string(), open.writeError, open.job.bytes,
                                open.received, open.cutAtEnd ? "" : ", and the printer took no more");
        if (!open.recordWritten)
            said += fmt::format("{}The record beside {} could not be written, so it still says \"printing\".",
                                said.empty() ? "" : " ", open.job.data.string());
    }
    return said;
}

}  // namespace zevmon
