// Everything the monitor reads from outside, at once: its port keys and their
// "Property" values, the USB device registry with its "PortName" values, the
// printers and their "Port" values, SetupAPI's answers and the USB devices, and
// the spooler's arguments. Each input builds one simulated machine (the format
// is in outside_data_input.h), starts the monitor on it, drives every entry
// point of the table and the printer refresh, and checks what the monitor must
// never do whatever it is given:
//  - leave a registry key, device information set, file or device handle,
//    printer handle or heap block behind;
//  - add ports when an enumeration is repeated on a machine that did not change,
//    or list two ports whose names are the same but for letter case;
//  - write an enumeration record or string outside the caller's buffer, or a
//    string pointer that leaves it, or anything at all when the call fails
//    without having added ports;
//  - read past the end of the 260-byte strings of a port's configuration;
//  - leave a port key that the next start of the monitor cannot load;
//  - do otherwise than doctor's model (what `zevmon doctor --json` prints)
//    foretold of the start, the first enumeration and the refresh after it.
// A violation aborts with a message; OUTSIDE_DATA_TRACE=1 prints the decoded
// machine and every call of an input run on its own.
#include <sanitizer/asan_interface.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/zevuruzi_module.h"
#include "monitor/monitor.h"
#include "outside_data_input.h"
#include "sim/machine.h"
#include "tests/common/enum_answer.h"
#include "tools/zevmon/common/doctor.h"

using namespace outside;

namespace {

constexpr DWORD Untouched = 0xdeadbeef;
constexpr size_t GuardSize = 64;
constexpr BYTE GuardByte = 0xA5;
constexpr DWORD MaxEnumBuffer = 16384;  // far beyond what the ports of one input need
const char EnumUsbPath[] = "Enum\\USB";
const char MonitorName[] = "VO DUV Udadizo";

bool tracing = false;
std::filesystem::path fileRoot;

void trace(const char* format, ...) {
    if (!tracing) return;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
}

[[noreturn]] void violation(const char* format, ...) {
    std::fprintf(stderr, "\n==outside_data_fuzz== ");
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    std::abort();
}

// Printable form of bytes for traces and messages.
std::string shown(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size() && i < 64; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c >= 32 && c < 127 && c != '"') {
            out += (char)c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    out += "\"";
    if (s.size() > 64) out += "...(" + std::to_string(s.size()) + " bytes)";
    return out;
}

std::string shown(const char* s) { return s ? shown(std::string(s)) : "null"; }

std::string decimal(unsigned value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*u", width, value);
    return text;
}

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string flipCase(std::string s, uint32_t mask) {
    for (size_t i = 0; i < s.size(); i++)
        if (isLetter(s[i]) && ((mask >> (i % 32)) & 1)) s[i] ^= 0x20;
    return s;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c ^= 0x20;
    return s;
}

bool sameNoCase(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

// Registry key names hold neither a backslash nor a terminator, and are never empty.
std::string keyName(std::string s) {
    for (char& c : s) {
        if (c == '\\') c = '/';
        if (c == 0) c = '_';
    }
    return s.empty() ? "_" : s;
}

std::string upToTerminator(const std::string& s) { return s.substr(0, s.find('\0')); }

std::string lastComponent(const std::string& id) {
    size_t slash = id.rfind('\\');
    return slash == std::string::npos ? id : id.substr(slash + 1);
}

std::string deviceComponent(const std::string& id) {
    size_t first = id.find('\\');
    if (first == std::string::npos) return id;
    size_t second = id.find('\\', first + 1);
    return id.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

std::vector<BYTE> bytesOf(const std::string& s) { return std::vector<BYTE>(s.begin(), s.end()); }
std::vector<BYTE> terminated(const std::string& s) {
    std::vector<BYTE> v = bytesOf(s);
    v.push_back(0);
    return v;
}

DWORD errorChoice(uint8_t b) {
    static const DWORD errors[] = {ERROR_GEN_FAILURE,     ERROR_ACCESS_DENIED,        ERROR_NO_MORE_ITEMS,
                                   ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_HANDLE, ERROR_DEVICE_NOT_CONNECTED,
                                   ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER};
    return errors[b % 8];
}

// ---------------------------------------------------------------------------
// Decoding: the machine is arranged as the items are read; calls and SetupAPI
// failures are kept for later.
// ---------------------------------------------------------------------------

struct Pools {
    std::vector<std::string> portNames;
    std::vector<std::string> instanceIds;
    std::vector<std::string> printerNames;
};

std::string pick(const std::vector<std::string>& pool, uint8_t index, const char* fallback) {
    return pool.empty() ? fallback : pool[index % pool.size()];
}

struct Call {
    uint8_t op;
    uint8_t p[8];
    std::string text;
};

struct Plan {
    uint8_t flags = 0;
    uint8_t refusals = 0;
    uint8_t enumA[5] = {};
    uint8_t enumB[5] = {};
    std::vector<sim::Fault> setupFaults;
    std::vector<Call> calls;
    std::vector<std::string> usbIds;
    bool monitorKeyMade = false;
};

class Decoder {
public:
    Decoder(Reader& r, Plan& plan) : r(r), plan(plan) {}

    void all() {
        plan.flags = r.u8();
        plan.refusals = r.u8();
        for (uint8_t& b : plan.enumA) b = r.u8();
        for (uint8_t& b : plan.enumB) b = r.u8();
        while (!r.done()) {
            switch (ItemOf(r.u8())) {
            case ItemPortKey: portKey(); break;
            case ItemEnumInstance: enumInstance(); break;
            case ItemPrinter: printer(); break;
            case ItemUsbPrinter: usbPrinter(); break;
            case ItemSetupFault: setupFault(); break;
            case ItemOpenFileAnswer: openFileAnswer(); break;
            case ItemCall: call(); break;
            }
        }
        refusals();
    }

private:
    sim::Registry& registry() { return sim::machine().registry(); }

    void setValue(const std::string& path, const char* name, DWORD type, const std::vector<BYTE>& data) {
        registry().setValue(path, name, type, data);
    }

    std::string portName() {
        switch (r.u8() % PortNameModes) {
        case NameUsbNumber: return "USB-" + decimal(r.u16() % 1000, 3);
        case NameUsbDigits: {
            int digits = r.u8() % 6;
            uint32_t n = r.u32();
            uint32_t limit = 1;
            for (int i = 0; i < digits; i++) limit *= 10;
            return digits == 0 ? "USB-" : "USB-" + decimal(n % limit, digits);
        }
        case NamePoolExact: return pick(pools.portNames, r.u8(), "USB-001");
        case NamePoolCase: {
            std::string s = pick(pools.portNames, r.u8(), "USB-001");
            return flipCase(s, r.u32());
        }
        case NameProbe: return flipCase(ProbeKeyName, r.u8());
        case NameRaw: return r.text(300);
        case NameRepeat: {
            char c = (char)r.u8();
            return std::string(r.length(700), c);
        }
        case NameExhausted: return "USB-000";
        default: return "usb-" + decimal(r.u16() % 1000, 3);
        }
    }

    std::string tail() {
        switch (r.u8() % TailModes) {
        case TailSerial: {
            char text[32];
            uint32_t serial = r.u32();
            unsigned index = r.u8() % 10;
            std::snprintf(text, sizeof text, "5&%08X&0&%u", serial, index);
            return text;
        }
        case TailRaw: return keyName(r.text(300));
        case TailNumber: return "SN" + std::to_string(r.u16());
        default: return "";
        }
    }

    // Test devices use the open vendor id 1209 with product ids 0001 to 0010.
    std::string product() {
        char text[8];
        std::snprintf(text, sizeof text, "%02X", r.u8() % 16 + 1);
        return text;
    }

    // Instance ids come from SetupAPI as C strings: no terminator inside.
    std::string instanceId() {
        std::string id;
        switch (r.u8() % InstanceIdModes) {
        case IdUsb: {
            std::string p = product();
            id = "USB\\VID_1209&PID_00" + p + "\\" + tail();
            break;
        }
        case IdUsbLower: {
            std::string p = product();
            id = lower("USB\\VID_1209&PID_00" + p + "\\" + tail());
            break;
        }
        case IdRaw: id = r.text(300); break;
        case IdOtherBus: id = "HID\\VID_1209&PID_0001\\" + tail(); break;
        case IdPoolCase: {
            std::string s = pick(pools.instanceIds, r.u8(), "USB\\VID_1209&PID_0001\\1");
            id = flipCase(s, r.u32());
            break;
        }
        case IdLong: id = "USB\\VID_1209&PID_0001\\" + std::string(r.length(600), 'X'); break;
        default: {
            std::string p = product();
            id = "USB\\VID_1209&PID_00" + p + "\\" + tail() + "\\extra";
            break;
        }
        }
        for (char& c : id)
            if (c == 0) c = '_';
        return id;
    }

    int32_t pipe() {
        switch (r.u8() % PipeModes) {
        case PipeOne: return 1;
        case PipeZero: return 0;
        case PipeNone: return -1;
        case PipeSmall: return r.u8() % 8;
        case PipeRaw: return r.i32();
        case PipeMax: return 0x7fffffff;
        default: return 12345678;
        }
    }

    // Copies text into a 260-byte field: terminated when it fits, else all 260 bytes.
    static void fill(char* field, const std::string& text) {
        std::memset(field, 0, 260);
        std::memcpy(field, text.data(), std::min<size_t>(text.size(), 260));
    }

    PortConfig config() {
        PortConfig c;
        std::memset(&c, 0, sizeof c);
        switch (r.u8() % KindModes) {
        case KindNull: c.kind = PortKindNull; break;
        case KindFile: c.kind = PortKindFile; break;
        case KindUsb: c.kind = PortKindUsb; break;
        case KindRaw: c.kind = r.i32(); break;
        default: c.kind = -1; break;
        }
        switch (r.u8() % FileNameModes) {
        case FileEmpty: break;
        case FileShort: fill(c.fileName, "C:\\out" + std::to_string(r.u8()) + ".prn"); break;
        case FileUnterminated: fill(c.fileName, std::string(260, (char)('A' + r.u8() % 26))); break;
        case FileRaw: fill(c.fileName, r.text(259)); break;
        case FileNoFolder: fill(c.fileName, "C:\\nodir\\x.prn"); break;
        default: fill(c.fileName, ("C:\\" + std::string(r.length(256), 'a')).substr(0, 259)); break;
        }
        switch (r.u8() % GuidModes) {
        case GuidPrinterClass: c.usb.interfaceGuid = sim::UsbPrinterClass; break;
        case GuidZero: break;
        case GuidRaw: {
            std::string raw = r.bytes(16);
            std::memcpy(&c.usb.interfaceGuid, raw.data(), 16);
            break;
        }
        default: std::memset(&c.usb.interfaceGuid, 0x51, sizeof c.usb.interfaceGuid); break;
        }
        switch (r.u8() % InstanceFieldModes) {
        case FieldEmpty: break;
        case FieldPool: {
            std::string s = pick(pools.instanceIds, r.u8(), "USB\\VID_1209&PID_0001\\1");
            fill(c.usb.instanceId, flipCase(s, r.u32()));
            break;
        }
        case FieldUnterminated: {
            std::string id = "USB\\VID_1209&PID_0001\\";
            fill(c.usb.instanceId, id + std::string(260 - id.size(), 'Q'));
            break;
        }
        case FieldRaw: fill(c.usb.instanceId, r.text(259)); break;
        default: fill(c.usb.instanceId, instanceId()); break;
        }
        c.usb.usbReserved = (r.u8() & 1) ? 0x51515151 : 0;
        c.usb.writePipe = pipe();
        c.usb.readPipe = pipe();
        return c;
    }

    void portKey() {
        std::string name = keyName(portName());
        pools.portNames.push_back(name);
        uint8_t shape = r.u8();
        std::string path = std::string(MonitorKeyPath) + "\\" + name;
        registry().create(path);
        plan.monitorKeyMade = true;
        if (shape & ShapeWithSubkey) registry().create(path + "\\Settings");
        if (shape & ShapeRefuseDelete) registry().refuseAccess(path, DELETE);
        PropertyMode mode = (PropertyMode)(shape % PropertyModes);
        if (mode == PropertyAbsent) {
            trace("port key %s without \"Property\"", shown(name).c_str());
            return;
        }
        DWORD type = mode == PropertyOddType ? r.u32() : REG_BINARY;
        PortConfig c = config();
        const BYTE* p = reinterpret_cast<const BYTE*>(&c);
        std::vector<BYTE> value(p, p + sizeof c);
        if (mode == PropertyShort) value.resize(r.length(sizeof c - 1));
        if (mode == PropertyEmpty) value.clear();
        if (mode == PropertyLong) {
            size_t extra = 1 + r.length(2000);
            value.insert(value.end(), extra, r.u8());
        }
        setValue(path, "Property", type, value);
        trace("port key %s \"Property\" type %u, %zu bytes: kind %d, file %s, instance %s, pipes %d/%d", shown(name).c_str(),
              type, value.size(), c.kind, shown(std::string(c.fileName, 260)).c_str(),
              shown(std::string(c.usb.instanceId, 260)).c_str(), c.usb.writePipe, c.usb.readPipe);
    }

    void enumInstance() {
        std::string device, instance;
        switch (r.u8() % DeviceKeyModes) {
        case DeviceVidPid: device = "VID_1209&PID_00" + product(); break;
        case DeviceOfPool: device = deviceComponent(pick(pools.instanceIds, r.u8(), "USB\\VID_1209&PID_0001\\1")); break;
        case DeviceRaw: device = r.text(300); break;
        default: {
            char c = (char)r.u8();
            device = std::string(r.length(600), c);
            break;
        }
        }
        switch (r.u8() % InstanceKeyModes) {
        case InstanceTailOfPool: {
            std::string s = lastComponent(pick(pools.instanceIds, r.u8(), "USB\\VID_1209&PID_0001\\1"));
            instance = flipCase(s, r.u32());
            break;
        }
        case InstanceRaw: instance = r.text(300); break;
        case InstanceRepeat: {
            char c = (char)r.u8();
            instance = std::string(r.length(600), c);
            break;
        }
        default: instance = "X" + lastComponent(pick(pools.instanceIds, r.u8(), "USB\\VID_1209&PID_0001\\1")); break;
        }
        std::string path = std::string(EnumUsbPath) + "\\" + keyName(device) + "\\" + keyName(instance);
        registry().create(path);
        DWORD type = REG_SZ;
        std::vector<BYTE> value;
        switch (r.u8() % PortNameValueModes) {
        case ValueAbsent: trace("instance %s without \"PortName\"", shown(path).c_str()); return;
        case ValueUsb: value = terminated("USB-" + decimal(r.u16() % 1000, 3)); break;
        case ValueExhausted: value = terminated("USB-000"); break;
        case ValueLower: value = terminated("usb-" + decimal(r.u16() % 1000, 3)); break;
        case ValueUnterminated8: value = bytesOf("USB-" + decimal(r.u16() % 10000, 4)); break;
        case ValueName: value = terminated(portName()); break;
        case ValuePoolCase: {
            std::string s = pick(pools.portNames, r.u8(), "USB-001");
            value = terminated(flipCase(s, r.u32()));
            break;
        }
        case ValueRaw:
            type = r.u8() % 12;
            value = bytesOf(r.text(40));
            break;
        default: value = bytesOf("USB-" + decimal(r.u16() % 1000, 3)); break;
        }
        setValue(path, "PortName", type, value);
        pools.portNames.push_back(upToTerminator(std::string(value.begin(), value.end())));
        trace("instance %s \"PortName\" type %u %s", shown(path).c_str(), type,
              shown(std::string(value.begin(), value.end())).c_str());
    }

    void printer() {
        std::string name;
        switch (r.u8() % PrinterNameModes) {
        case PrinterNumbered: name = "Printer " + std::to_string(r.u8()); break;
        case PrinterRaw: name = r.text(300); break;
        case PrinterRepeat: {
            char c = (char)r.u8();
            name = std::string(r.length(300), c);
            break;
        }
        default: name = pick(pools.portNames, r.u8(), "USB-001"); break;
        }
        name = keyName(name);
        std::string path = std::string(PrintersKeyPath) + "\\" + name;
        DWORD type = REG_SZ;
        std::optional<std::vector<BYTE>> port;
        switch (r.u8() % PrinterPortModes) {
        case PrinterPortPool: port = terminated(pick(pools.portNames, r.u8(), "USB-001")); break;
        case PrinterPortPoolCase: {
            std::string s = pick(pools.portNames, r.u8(), "USB-001");
            port = terminated(flipCase(s, r.u32()));
            break;
        }
        case PrinterPortName: port = terminated(portName()); break;
        case PrinterPortRaw:
            type = r.u8() % 12;
            port = bytesOf(r.text(40));
            break;
        case PrinterPortLong: port = terminated("USB-00" + std::to_string(r.u16())); break;
        case PrinterPortAbsent: break;
        default: port = terminated(""); break;
        }
        DWORD attributes = r.u16();
        if (port) setValue(path, "Port", type, *port);
        registry().setDword(path, "Attributes", attributes);
        pools.printerNames.push_back(name);
        trace("printer %s \"Port\" %s", shown(name).c_str(),
              port ? shown(std::string(port->begin(), port->end())).c_str() : "absent");
    }

    void usbPrinter() {
        sim::UsbPrinterSpec device(instanceId());
        switch (r.u8() % UsbPortNameModes) {
        case UsbNoPortName: break;
        case UsbPortNumber: device.portName = "USB-" + decimal(r.u16() % 1000, 3); break;
        case UsbPortPool: device.portName = pick(pools.portNames, r.u8(), "USB-001"); break;
        default: device.portName = portName(); break;
        }
        if (r.u8() % 4 == 3) device.interfaceClass.Data1 = r.u32();
        switch (r.u8() % DescriptorModes) {
        case DescriptorsRaw: {
            std::string raw = r.text(300);
            device.descriptors.assign(raw.begin(), raw.end());
            break;
        }
        case DescriptorsAppended: {
            std::string raw = r.text(64);
            device.descriptors.insert(device.descriptors.end(), raw.begin(), raw.end());
            break;
        }
        default: break;
        }
        device.present = r.u8() % 4 != 0;
        uint8_t faults = r.u8();
        std::optional<DWORD> descriptorError, writeError;
        std::optional<std::pair<int, DWORD>> pipeOpenError;
        std::optional<int> refuseTimeouts;
        std::string toRead, controlAnswer;
        if (faults & FaultDescriptors) descriptorError = errorChoice(r.u8());
        if (faults & FaultPipeOpen) {
            int pipe = r.u8() % 4;
            pipeOpenError = std::make_pair(pipe, errorChoice(r.u8()));
        }
        if (faults & FaultWrite) writeError = errorChoice(r.u8());
        if (faults & FaultTimeouts) refuseTimeouts = (int)(r.u8() % 4) - 1;
        if (faults & FaultToRead) toRead = r.text(64);
        if (faults & FaultControl) controlAnswer = r.text(64);

        sim::machine().addUsbPrinter(device);
        sim::machine().withUsbPrinter(device.instanceId, [&](sim::UsbPrinter& p) {
            p.descriptorError = descriptorError;
            p.writeError = writeError;
            if (pipeOpenError) p.pipeOpenErrors[pipeOpenError->first] = pipeOpenError->second;
            if (refuseTimeouts) p.refuseTimeouts.insert(*refuseTimeouts);
            p.toRead.assign(toRead.begin(), toRead.end());
            p.discardReceived = (faults & FaultDiscard) != 0;
            if (faults & FaultControl)
                p.controlHandler = [controlAnswer](DWORD, const void*, DWORD, void* out, DWORD outSize, DWORD& returned,
                                                   DWORD& error) {
                    if (!out && outSize) {
                        error = ERROR_INVALID_PARAMETER;
                        return false;
                    }
                    returned = (DWORD)std::min<size_t>(outSize, controlAnswer.size());
                    if (returned) std::memcpy(out, controlAnswer.data(), returned);
                    return true;
                };
        });
        pools.instanceIds.push_back(device.instanceId);
        plan.usbIds.push_back(device.instanceId);
        if (!device.portName.empty()) pools.portNames.push_back(device.portName);
        trace("USB printer %s%s port name %s, %zu descriptor bytes, faults 0x%02x", shown(device.instanceId).c_str(),
              device.present ? "" : " (absent)", shown(device.portName).c_str(), device.descriptors.size(), faults);
    }

    void setupFault() {
        static const char* const functions[] = {"SetupDiGetClassDevsA",         "SetupDiEnumDeviceInterfaces",
                                                "SetupDiGetDeviceInterfaceDetailA", "SetupDiEnumDeviceInfo",
                                                "SetupDiGetDeviceInstanceIdA",    "SetupDiDestroyDeviceInfoList"};
        sim::Fault fault;
        fault.function = functions[r.u8() % SetupFunctions];
        fault.nth = r.u8() % 32 + 1;
        fault.error = errorChoice(r.u8());
        fault.everyCallFromNth = r.u8() & 1;
        plan.setupFaults.push_back(fault);
    }

    void openFileAnswer() {
        std::optional<std::string> answer;
        switch (r.u8() % AnswerModes) {
        case AnswerCancel: break;
        case AnswerFile: answer = "C:\\answer" + std::to_string(r.u8()) + ".prn"; break;
        case AnswerRaw: answer = r.text(300); break;
        default: answer = "C:\\" + std::string(r.length(300), 'b'); break;
        }
        sim::machine().scriptOpenFile(answer);
    }

    void call() {
        Call c;
        c.op = r.u8();
        for (uint8_t& b : c.p) b = r.u8();
        c.text = r.text(300);
        plan.calls.push_back(c);
    }

    void refusals() {
        sim::Registry& reg = registry();
        if (!(plan.refusals & NoMonitorKey) || plan.monitorKeyMade) reg.create(MonitorKeyPath);
        DWORD monitorRefused = 0;
        if (plan.refusals & RefuseCreateSubKey) monitorRefused |= KEY_CREATE_SUB_KEY;
        if (plan.refusals & RefuseMonitorRead) monitorRefused |= KEY_QUERY_VALUE;
        if (monitorRefused && reg.exists(MonitorKeyPath)) reg.refuseAccess(MonitorKeyPath, monitorRefused);
        if (plan.refusals & RefuseEnumUsbRead) {
            reg.create(EnumUsbPath);
            reg.refuseAccess(EnumUsbPath, KEY_ENUMERATE_SUB_KEYS);
        }
        if (plan.refusals & RefusePrintersRead) {
            reg.create(PrintersKeyPath);
            reg.refuseAccess(PrintersKeyPath, KEY_ENUMERATE_SUB_KEYS);
        }
    }

    Reader& r;
    Plan& plan;
    Pools pools;

public:
    const Pools& names() const { return pools; }
};

// ---------------------------------------------------------------------------
// The run: the spooler's side, with the checks.
// ---------------------------------------------------------------------------

size_t listedCount() {
    size_t n = 0;
    for (PortRecord* r = PortList; r; r = r->next) n++;
    return n;
}

std::vector<PortRecord*> listed() {
    std::vector<PortRecord*> all;
    for (PortRecord* r = PortList; r; r = r->next) all.push_back(r);
    return all;
}

// The bytes that follow the two 260-byte strings of a record's configuration
// (interfaceGuid after fileName, usbReserved after instanceId) are made
// unaddressable while the monitor runs, so that a read running off the end of
// an unterminated string meets poisoned memory and ASan reports it, whatever
// those bytes hold. Filling them with a non-zero pattern would only make such
// a read longer, not visible. usbReserved is poisoned for good: once a record
// exists nothing reads it. interfaceGuid is poisoned except in the calls that
// read it by right: a USB job's start and write (its own record: a failed
// write looks the device up again) and the printer refresh
// (every record). The status thread, when it runs, is idle in its
// message loop whenever the harness calls in, so it reads nothing meanwhile.
// Only listed records are touched: a record freed by DeletePort belongs to the
// allocator again.
class Poisoned {
public:
    enum Guids { GuidsPoisoned, GuidsReadable };

    explicit Poisoned(Guids guids, const PortRecord* reader = nullptr) {
        for (PortRecord* r = PortList; r; r = r->next) {
            ASAN_POISON_MEMORY_REGION(&r->config.usb.usbReserved, sizeof r->config.usb.usbReserved);
            if (guids == GuidsPoisoned && r != reader)
                ASAN_POISON_MEMORY_REGION(&r->config.usb.interfaceGuid, sizeof r->config.usb.interfaceGuid);
            if (!layoutChecked) checkLayout(r, guids == GuidsPoisoned && r != reader);
        }
    }
    ~Poisoned() {
        for (PortRecord* r = PortList; r; r = r->next)
            ASAN_UNPOISON_MEMORY_REGION(&r->config.usb.interfaceGuid, sizeof r->config.usb.interfaceGuid);
    }

private:
    // ASan poisons whole 8-byte granules or their tails: the record's layout
    // must let the first byte after each string be poisoned.
    static void checkLayout(PortRecord* r, bool guidPoisoned) {
        if (!__asan_address_is_poisoned(&r->config.usb.usbReserved))
            violation("harness: the byte after instanceId cannot be poisoned at this record layout");
        if (guidPoisoned) {
            if (!__asan_address_is_poisoned(&r->config.usb.interfaceGuid))
                violation("harness: the byte after fileName cannot be poisoned at this record layout");
            if (__asan_address_is_poisoned(&r->config.usb.instanceId[259]))
                violation("harness: poisoning reaches into instanceId");
            layoutChecked = true;
        }
    }
    static bool layoutChecked;
};
bool Poisoned::layoutChecked = false;

struct Slot {
    HANDLE handle;
    bool gone = false;  // its port was deleted: the handle is dead
};

const char* descriptionOf(INT kind) {
    switch (kind) {
    case PortKindNull: return "NULL Port";
    case PortKindFile: return "FILE Port";
    case PortKindUsb: return "USB Port";
    default: return "";
    }
}

DWORD levelOf(uint8_t b) {
    static const DWORD levels[] = {0, 1, 2, 1, 2};
    if (b % 6 < 5) return levels[b % 6];
    return b < 0x80 ? 3 : 0xFFFFFFFF;
}

class Run {
public:
    Run(const Plan& plan, const Pools& pools) : plan(plan), pools(pools) {}

    void go() {
        thread = (plan.flags & StatusThread) == StatusThread;
        // Without its thread the harness refreshes where the window would.
        if (!thread) sim::machine().failCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
        unloadableAtStart = unloadablePortKeys();
        foretell();
        bool started = initialize();
        checkStart(started);
        if (!started) return;

        enumPorts(plan.enumA, "EnumPorts (first)");
        checkEnumeration();
        refresh(2);
        checkRefresh();
        enumPorts(plan.enumB, "EnumPorts (second)");

        for (const sim::Fault& fault : plan.setupFaults) {
            sim::machine().inject(fault);
            trace("SetupAPI: call %u of %s fails with %u%s", fault.nth, fault.function.c_str(), fault.error,
                  fault.everyCallFromNth ? " and every later one" : "");
            answersVary = true;  // each call may now be answered otherwise than the last
        }
        for (const Call& c : plan.calls) call(c);
        finish();
    }

private:
    // ---- accounting ----

    static size_t heldHandles() {
        size_t n = 0;
        auto open = [](HANDLE h) { return h != NULL && h != INVALID_HANDLE_VALUE; };
        for (PortRecord* r = PortList; r; r = r->next) {
            if (!(r->flags & JobBackEndOpen)) continue;
            if (r->activeKind == PortKindFile && r->file.handle) n++;
            if (r->activeKind == PortKindUsb) n += open(r->usb.device) + open(r->usb.writeHandle) + open(r->usb.readHandle);
        }
        return n;
    }

    static size_t heldPrinters() {
        size_t n = 0;
        for (PortRecord* r = PortList; r; r = r->next) n += r->printer != NULL;
        return n;
    }

    // What the monitor may hold between two calls: its port records and the copy
    // of its root, and for each open job its back-end's handles and its printer.
    // The status thread, idle in its message loop, holds nothing: its refresh
    // closes every key, set and printer it opens, and its thread handle is
    // closed at once.
    void account(const char* after) {
        sim::Machine& m = sim::machine();
        if (m.openKeys() != 0) violation("%s: %zu registry key(s) left open", after, m.openKeys());
        if (m.openDeviceInfoSets() != 0)
            violation("%s: %zu device information set(s) left", after, m.openDeviceInfoSets());
        size_t records = 0;
        std::map<std::string, std::string> families;  // lower-case name -> the first spelling listed
        for (PortRecord* r = PortList; r; r = r->next, records++) {
            if (r->signature != PortSignature) violation("%s: a listed record has signature 0x%x", after, r->signature);
            if (r->name != (LPSTR)(r + 1) || r->recordSize != sizeof(PortRecord) + std::strlen(r->name) + 1)
                violation("%s: the record of %s is not one allocation with its name", after, shown(r->name).c_str());
            auto family = families.emplace(lower(r->name), r->name);
            if (!family.second)
                violation("%s: two listed ports are named %s and %s", after, shown(family.first->second).c_str(),
                          shown(r->name).c_str());
        }
        if (m.liveAllocations() != records + 1)
            violation("%s: %zu heap block(s) live for %zu listed port(s) and the root", after, m.liveAllocations(),
                      records);
        if (m.openHandles() != heldHandles())
            violation("%s: %zu handle(s) open, the open jobs hold %zu", after, m.openHandles(), heldHandles());
        if (m.openPrinterHandles() != heldPrinters())
            violation("%s: %zu printer handle(s) open, the listed ports hold %zu", after, m.openPrinterHandles(),
                      heldPrinters());
    }

    // ---- start ----

    bool initialize() {
        static char root[] = MonitorKeyPath;
        if (plan.flags & BadInitFirst) {
            SetLastError(0);
            if (InitializeMonitorEx(root, nullptr) || GetLastError() != ERROR_INVALID_PARAMETER)
                violation("InitializeMonitorEx without a table did not fail with ERROR_INVALID_PARAMETER");
            if (InitializeMonitorEx(nullptr, &table) || GetLastError() != ERROR_INVALID_PARAMETER)
                violation("InitializeMonitorEx without a root did not fail with ERROR_INVALID_PARAMETER");
        }
        SetLastError(0);
        BOOL ok = InitializeMonitorEx(root, &table);
        startError = GetLastError();
        trace("InitializeMonitorEx -> %d (error %lu), %zu port(s)", ok, (unsigned long)GetLastError(), listedCount());
        if (thread && ok && !sim::machine().waitIdle(60000))
            violation("the status thread did not come back to its message loop after its first refresh");
        if (!ok) {
            if (PortList != NULL) violation("InitializeMonitorEx failed and left ports listed");
            account("InitializeMonitorEx (failed)");
            return false;
        }
        if (std::memcmp(&table, &MonitorTable, sizeof table) != 0)
            violation("InitializeMonitorEx handed out another table");
        account("InitializeMonitorEx");
        if (plan.flags & InitTwice) {
            std::vector<PortRecord*> before = listed();
            MONITOR_TABLE again{};
            if (!InitializeMonitorEx(root, &again) || std::memcmp(&again, &MonitorTable, sizeof again) != 0)
                violation("a second InitializeMonitorEx did not hand out the table again");
            if (listed() != before) violation("a second InitializeMonitorEx changed the port list");
            account("InitializeMonitorEx (again)");
        }
        return true;
    }

    // ---- doctor's predictions (asked before the monitor runs) against what it does ----
    [[noreturn]] static void disagree(const char* field, const std::string& detail) {
        violation("doctor foretold otherwise: %s: %s", field, detail.c_str());
    }
    void foretell() {
        foretold = zevmon::diagnose(
            [](const std::string& driver, std::string&) { return std::optional(zevmon::DllFound{driver, ""}); });
        for (const std::string& name : sim::machine().registry().subkeys(PrintersKeyPath))
            attributesBefore[name] = sim::machine().printerAttributes(name);
        boxesBefore = sim::machine().messageBoxes().size();
    }
    void checkStart(bool started) {
        if (started == foretold.startWouldFail || (!started && startError != foretold.startError))
            disagree("startWouldFail, startError",
                     std::to_string(foretold.startError) + " foretold, " + std::to_string(startError) + " met");
    }
    // The first enumeration lists the ports the start loaded and those its scan
    // made, of the kind and for the instance foretold, and tells of each USB-000.
    void checkEnumeration() {
        std::set<std::string> expected, actual;
        for (const zevmon::PortReport& p : foretold.ports) expected.insert(lower(p.name));
        for (PortRecord* r = PortList; r; r = r->next) actual.insert(lower(r->name));
        if (expected != actual)
            disagree("ports[].name", std::to_string(expected.size()) + " foretold, " + std::to_string(actual.size()));
        for (const zevmon::PortReport& p : foretold.ports) {
            PortRecord* r = firstNamed(p.name.c_str());
            if (r->config.kind != p.kind || (p.created && std::string(r->config.usb.instanceId) != p.instanceId))
                disagree("ports[].kind, instanceId", shown(p.name) + " foretold for " + shown(p.instanceId));
        }
        size_t exhausted = 0;
        bool refused = false;  // a refused key is told of once for every instance, at every scan
        for (const zevmon::InstanceReport& i : foretold.instances) {
            refused |= i.keyRefused;
            exhausted += i.verdict == "usb-000";
            if (i.verdict == "usb-000" && sim::machine().registry().value(i.instanceKey, "PortName"))
                disagree("instances[].verdict", shown(i.instanceKey) + " foretold usb-000, its value stays");
        }
        if (!refused && sim::machine().messageBoxes().size() - boxesBefore != exhausted)
            disagree("instances[].verdict", "the message boxes are not one for each usb-000");
    }
    // Every printer of a listed port as foretold after the refresh, every other
    // printer untouched; a stale port's device absent by the refresh's rule.
    void checkRefresh() {
        std::map<std::string, bool> nextOnline;
        for (const zevmon::PortReport& p : foretold.ports) {
            for (const zevmon::PrinterReport& r : p.printers) nextOnline[r.name] = r.nextOnline;
            PortRecord* r = firstNamed(p.name.c_str());
            if (p.stale && IsPortDevicePresent(&r->config.usb.interfaceGuid, r->config.usb.instanceId))
                disagree("ports[].stale", shown(p.name) + " is stale, and its device is present");
        }
        for (const auto& [name, before] : attributesBefore) {
            DWORD now = sim::machine().printerAttributes(name);
            auto it = nextOnline.find(name);
            if (it == nextOnline.end() ? now != before : !(now & PRINTER_ATTRIBUTE_WORK_OFFLINE) != it->second)
                disagree("ports[].printers[].nextOnline", shown(name) + " is not as foretold after the refresh");
        }
    }

    // ---- enumeration ----

    static DWORD neededFor(DWORD level) {
        DWORD total = 0;
        for (PortRecord* r = PortList; r; r = r->next) {
            if (level == 1) total += (DWORD)(sizeof(PORT_INFO_1A) + std::strlen(r->name) + 1);
            if (level == 2)
                total += (DWORD)(sizeof(PORT_INFO_2A) + std::strlen(r->name) + 1 + std::strlen(r->monitorName) + 1 +
                                 std::strlen(r->description) + 1);
        }
        return total;
    }

    // A whole answer (tests/common/enum_answer.h) that says what the listed ports say.
    static void checkRecords(DWORD level, LPBYTE buffer, DWORD size, size_t count, DWORD needed) {
        EnumAnswer answer = ReadEnumAnswer(level, buffer, size, (DWORD)count, needed);
        if (!answer.fault.empty()) violation("EnumPorts: %s", answer.fault.c_str());
        PortRecord* r = PortList;
        for (size_t i = 0; i < count; i++, r = r->next) {
            const EnumAnswerPort& port = answer.ports[i];
            auto same = [&](const std::string& text, const char* field, const char* expected) {
                if (text != expected)
                    violation("EnumPorts: %s of record %zu reads %s, the port has %s", field, i, shown(text).c_str(),
                              shown(expected).c_str());
            };
            same(port.name, level == 1 ? "pName" : "pPortName", r->name);
            if (level == 1) continue;
            same(port.monitorName, "pMonitorName", MonitorName);
            same(port.description, "pDescription", descriptionOf(r->config.kind));
            DWORD type = r->config.kind == PortKindUsb ? PORT_TYPE_WRITE | PORT_TYPE_READ : PORT_TYPE_WRITE;
            if (port.type != type || port.reserved != 0)
                violation("EnumPorts: record %zu has type %u reserved %u", i, port.type, port.reserved);
        }
    }

    // One EnumPorts call in a buffer surrounded by guard bytes. Returns the size
    // it reported as needed.
    DWORD enumOnce(const char* what, DWORD level, bool nullBuffer, DWORD size, LPSTR server, bool noNeeded,
                   bool noReturned) {
        std::vector<BYTE> area(size + 2 * GuardSize, GuardByte);
        LPBYTE buffer = nullBuffer ? nullptr : area.data() + GuardSize;
        DWORD needed = Untouched, returned = Untouched;
        size_t before = listed().size();
        BOOL ok;
        DWORD error;
        {
            Poisoned poisoned(Poisoned::GuidsPoisoned);
            SetLastError(0);
            ok = table.pfnEnumPorts(server, level, buffer, size, noNeeded ? nullptr : &needed,
                                    noReturned ? nullptr : &returned);
            error = GetLastError();
        }
        size_t after = listedCount();
        trace("%s(level %u, buffer %s, size %u) -> %d (error %lu), needed %u, returned %u, %zu -> %zu port(s)", what,
              level, nullBuffer ? "null" : "given", size, ok, (unsigned long)error, needed, returned, before, after);
        if (!machineChanged && !answersVary && after != before)
            violation("%s: a repeated enumeration on an unchanged machine went from %zu to %zu ports", what, before,
                      after);
        machineChanged = false;
        // A failed call may have filled the buffer only when its scan added ports
        // after a first listing that fitted: the second listing then does not.
        bool mayFill = level == 1 || level == 2;
        if (!ok && after == before) mayFill = false;
        auto untouched = [&](size_t from, size_t to) {
            static const std::vector<BYTE> pattern(MaxEnumBuffer + GuardSize, GuardByte);
            if (to - from <= pattern.size() && std::memcmp(area.data() + from, pattern.data(), to - from) == 0) return;
            for (size_t i = from; i < to; i++)
                if (area[i] != GuardByte)
                    violation("%s(level %u, size %u) -> %d wrote at offset %td of its buffer", what, level, size, ok,
                              (ptrdiff_t)i - (ptrdiff_t)GuardSize);
        };
        untouched(0, GuardSize);
        untouched(GuardSize + size, area.size());
        if (!mayFill || nullBuffer) untouched(GuardSize, GuardSize + size);
        DWORD expected = neededFor(level);
        if (level > 2) {
            if (ok || error != ERROR_INVALID_LEVEL) violation("%s: level %u was not refused with ERROR_INVALID_LEVEL", what, level);
            return 0;
        }
        if (!noNeeded && needed != expected)
            violation("%s: needed %u, the listed ports need %u", what, needed, expected);
        if (ok) {
            if (!noReturned && returned != after) violation("%s: returned %u of %zu ports", what, returned, after);
            if (expected > size)
                violation("%s: succeeded in %u bytes where %u are needed", what, size, expected);
            if (!nullBuffer && level != 0) checkRecords(level, buffer, size, after, expected);
        } else {
            if (error != ERROR_INSUFFICIENT_BUFFER)
                violation("%s(level %u, size %u) failed with %lu", what, level, size, (unsigned long)error);
            if (!noReturned && returned != 0) violation("%s: failed and returned %u", what, returned);
            if (expected <= size && !nullBuffer)
                violation("%s: failed with %u bytes where %u are needed", what, size, expected);
        }
        return needed == Untouched ? 0 : needed;
    }

    void enumPorts(const uint8_t* a, const char* what) {
        static char serverName[] = "\\\\SERVER";
        static char emptyName[] = "";
        DWORD level = levelOf(a[0]);
        DWORD extra = (a[2] | (a[3] << 8)) % (MaxEnumBuffer / 2);
        LPSTR server = (a[4] & ServerMask) == 1 ? serverName : (a[4] & ServerMask) == 2 ? emptyName : nullptr;
        bool noNeeded = a[4] & NoNeeded, noReturned = a[4] & NoReturned;
        switch (a[1] % EnumBufferModes) {
        case BufferAsSpooler:
        case BufferShort:
        case BufferLarge: {
            DWORD needed = enumOnce(what, level, true, 0, server, false, false);
            DWORD size = needed;
            if (a[1] % EnumBufferModes == BufferShort) size = needed ? needed - 1 - extra % needed : 0;
            if (a[1] % EnumBufferModes == BufferLarge) size = needed + extra;
            enumOnce(what, level, false, size, server, noNeeded, noReturned);
            break;
        }
        case BufferZero: enumOnce(what, level, false, 0, server, noNeeded, noReturned); break;
        case BufferNullSized: enumOnce(what, level, true, extra, server, noNeeded, noReturned); break;
        default: enumOnce(what, level, false, extra, server, noNeeded, noReturned); break;
        }
        account(what);
    }

    // ---- the other calls ----

    // A handle the spooler holds, or one it should never pass: null, or memory
    // that is not a port.
    HANDLE handleOf(uint8_t b, PortRecord** record) {
        static PortRecord notAPort;  // zero: no signature
        *record = nullptr;
        std::vector<Slot*> live;
        for (Slot& s : slots)
            if (!s.gone) live.push_back(&s);
        if (live.empty() || b >= 0xF0) return (b & 1) ? NULL : (HANDLE)&notAPort;
        Slot* slot = live[b % live.size()];
        *record = (PortRecord*)slot->handle;
        return slot->handle;
    }

    // A port name as the spooler might pass it; null when chosen so.
    std::optional<std::string> nameOf(const uint8_t* p, const std::string& text) {
        std::vector<PortRecord*> all = listed();
        std::string some = all.empty() ? "USB-001" : std::string(all[p[1] % all.size()]->name);
        switch (p[0] % 5) {
        case 0: return some;
        case 1: return flipCase(some, p[2] | (p[3] << 8));
        case 2: return pick(pools.portNames, p[1], "USB-001");
        case 3: return text;
        default: return std::nullopt;
        }
    }

    static PortRecord* firstNamed(const char* name) {
        for (PortRecord* r = PortList; r; r = r->next)
            if (sameNoCase(r->name, name)) return r;
        return nullptr;
    }

    void call(const Call& c) {
        const uint8_t* p = c.p;
        PortRecord* record = nullptr;
        char what[64];
        switch (c.op % Ops) {
        case OpEnumPorts: enumPorts(p, "EnumPorts"); return;
        case OpOpenPort: {
            std::optional<std::string> name = nameOf(p, c.text);
            HANDLE handle = (HANDLE)(uintptr_t)Untouched;
            BOOL ok;
            {
                Poisoned poisoned(Poisoned::GuidsPoisoned);
                ok = table.pfnOpenPort(name ? const_cast<LPSTR>(name->c_str()) : nullptr,
                                       (p[5] & 1) ? nullptr : &handle);
            }
            trace("OpenPort(%s) -> %d, %p", name ? shown(name->c_str()).c_str() : "null", ok, handle);
            if (ok) {
                if (!name || handle != firstNamed(name->c_str()))
                    violation("OpenPort(%s) gave a handle that is not the port of that name", shown(*name).c_str());
                slots.push_back({handle});
            } else if (name && !(p[5] & 1) && firstNamed(name->c_str())) {
                violation("OpenPort(%s) did not find the listed port", shown(name->c_str()).c_str());
            }
            std::snprintf(what, sizeof what, "OpenPort");
            break;
        }
        case OpStartDoc: {
            HANDLE handle = handleOf(p[0], &record);
            std::string printer;
            LPSTR printerName = nullptr;
            if (p[1] % 4 == 2) printer = c.text;
            else if (p[1] % 4 != 0) printer = pick(pools.printerNames, p[2], "Printer 1");
            if (p[1] % 4 != 0) printerName = const_cast<LPSTR>(printer.c_str());
            DWORD jobId = p[3] % 3 == 0 ? 0 : (p[3] * 2654435761u) | 1;
            static const DWORD levels[] = {0, 1, 2, 3, 0xFFFFFFFF};
            DWORD level = levels[p[4] % 5];
            // An exact-size copy of the document information the level names.
            std::unique_ptr<DOC_INFO_2A> doc2;
            std::unique_ptr<DOC_INFO_1A> doc1;
            LPBYTE docInfo = nullptr;
            static char docName[] = "document";
            LPSTR name = p[5] % 4 == 2 ? docName : p[5] % 4 == 3 ? const_cast<LPSTR>(c.text.c_str()) : nullptr;
            if (p[5] % 4 != 0) {
                if (level == 2) {
                    doc2.reset(new DOC_INFO_2A{name, nullptr, nullptr, 0, jobId});
                    docInfo = (LPBYTE)doc2.get();
                } else {
                    doc1.reset(new DOC_INFO_1A{name, nullptr, nullptr});
                    docInfo = (LPBYTE)doc1.get();
                }
            }
            bool usb = record && record->config.kind == PortKindUsb;
            if (record && record->config.kind == PortKindFile) touchedFiles = true;
            BOOL ok;
            {
                Poisoned poisoned(Poisoned::GuidsPoisoned, usb ? record : nullptr);
                SetLastError(0);
                ok = table.pfnStartDocPort(handle, printerName, jobId, level, docInfo);
            }
            trace("StartDocPort(%s, printer %s, job %u, level %u, doc %s) -> %d (error %lu)",
                  record ? shown(record->name).c_str() : "not a port", shown(printerName).c_str(), jobId, level,
                  docInfo ? shown(name).c_str() : "null", ok, (unsigned long)GetLastError());
            if (ok && record && !(record->flags & (JobBackEndOpen | JobDeferred)))
                violation("StartDocPort succeeded and the port has no job");
            std::snprintf(what, sizeof what, "StartDocPort");
            break;
        }
        case OpWrite:
        case OpRead: {
            HANDLE handle = handleOf(p[0], &record);
            DWORD size = (p[1] | (p[2] << 8)) % 8193;
            std::vector<BYTE> data(size);
            for (DWORD i = 0; i < size; i++) data[i] = c.text.empty() ? (BYTE)i : (BYTE)c.text[i % c.text.size()];
            LPBYTE buffer = (p[3] & 1) ? nullptr : data.data();
            DWORD count = Untouched;
            LPDWORD countOut = (p[3] & 2) ? nullptr : &count;
            bool write = c.op % Ops == OpWrite;
            BOOL ok;
            {
                // A failed USB write looks its device up again by its interface class.
                bool usb = record && record->config.kind == PortKindUsb;
                Poisoned poisoned(Poisoned::GuidsPoisoned, write && usb ? record : nullptr);
                SetLastError(0);
                ok = write ? table.pfnWritePort(handle, buffer, size, countOut)
                           : table.pfnReadPort(handle, buffer, size, countOut);
            }
            trace("%s(%s, %u bytes) -> %d (error %lu), count %u", write ? "WritePort" : "ReadPort",
                  record ? shown(record->name).c_str() : "not a port", size, ok, (unsigned long)GetLastError(), count);
            // A kind without a back-end succeeds without a count: only a count given is judged.
            if (ok && countOut && count != Untouched && count > size) violation("%s reported %u bytes of %u", write ? "WritePort" : "ReadPort", count, size);
            std::snprintf(what, sizeof what, "%s", write ? "WritePort" : "ReadPort");
            break;
        }
        case OpGetData: {
            HANDLE handle = handleOf(p[0], &record);
            DWORD code;
            switch (p[1] % 4) {
            case 0: code = GetDescriptorsIoctl; break;
            case 1: code = p[2] | (p[3] << 8) | (p[4] << 16) | ((DWORD)p[1] << 24); break;
            case 2: code = 0; break;
            default: code = CTL_CODE(FILE_DEVICE_UNKNOWN, 13, METHOD_BUFFERED, FILE_ANY_ACCESS); break;
            }
            DWORD inSize = p[5] % 65, outSize = p[6] + ((p[7] & 0x10) ? 256 : 0);
            std::vector<char> in(inSize, 'i'), out(outSize);
            DWORD returned = Untouched;
            BOOL ok;
            {
                Poisoned poisoned(Poisoned::GuidsPoisoned);
                SetLastError(0);
                ok = table.pfnGetPrinterDataFromPort(handle, code,
                                                     (p[7] & 4) ? nullptr : const_cast<LPSTR>(c.text.c_str()),
                                                     (p[7] & 1) ? nullptr : in.data(), inSize,
                                                     (p[7] & 2) ? nullptr : out.data(), outSize,
                                                     (p[7] & 8) ? nullptr : &returned);
            }
            trace("GetPrinterDataFromPort(%s, 0x%x, in %u, out %u) -> %d (error %lu), returned %u",
                  record ? shown(record->name).c_str() : "not a port", code, inSize, outSize, ok,
                  (unsigned long)GetLastError(), returned);
            if (ok && !(p[7] & 8) && returned != Untouched && returned > outSize)
                violation("GetPrinterDataFromPort returned %u bytes into %u", returned, outSize);
            std::snprintf(what, sizeof what, "GetPrinterDataFromPort");
            break;
        }
        case OpTimeouts: {
            HANDLE handle = handleOf(p[0], &record);
            COMMTIMEOUTS timeouts{p[2], p[3], p[4], p[5], p[6]};
            BOOL ok;
            {
                Poisoned poisoned(Poisoned::GuidsPoisoned);
                SetLastError(0);
                ok = table.pfnSetPortTimeOuts(handle, (p[1] & 1) ? nullptr : &timeouts, 0);
            }
            trace("SetPortTimeOuts(%s) -> %d (error %lu)", record ? shown(record->name).c_str() : "not a port", ok,
                  (unsigned long)GetLastError());
            std::snprintf(what, sizeof what, "SetPortTimeOuts");
            break;
        }
        case OpEndDoc: {
            HANDLE handle = handleOf(p[0], &record);
            endDoc(handle, record);
            std::snprintf(what, sizeof what, "EndDocPort");
            break;
        }
        case OpClosePort: {
            HANDLE handle = handleOf(p[0], &record);
            BOOL ok;
            {
                Poisoned poisoned(Poisoned::GuidsPoisoned);
                ok = table.pfnClosePort(handle);
            }
            trace("ClosePort(%s) -> %d", record ? shown(record->name).c_str() : "not a port", ok);
            if (ok != (record != nullptr)) violation("ClosePort -> %d on %s", ok, record ? "a port" : "no port");
            std::snprintf(what, sizeof what, "ClosePort");
            break;
        }
        case OpDeletePort: {
            std::optional<std::string> name = nameOf(p, c.text);
            std::vector<PortRecord*> before = listed();
            PortRecord* target = name ? firstNamed(name->c_str()) : nullptr;
            // A deferred job is a job: its port is as busy as one whose back-end is open.
            bool busy = target && (target->flags & (JobBackEndOpen | JobDeferred));
            BOOL ok;
            {
                Poisoned poisoned(Poisoned::GuidsPoisoned);
                SetLastError(0);
                ok = table.pfnDeletePort(nullptr, (p[5] & 2) ? sim::machine().desktopWindow() : NULL,
                                         name ? const_cast<LPSTR>(name->c_str()) : nullptr);
            }
            DWORD error = GetLastError();
            trace("DeletePort(%s) -> %d (error %lu)", name ? shown(*name).c_str() : "null", ok, (unsigned long)error);
            std::vector<PortRecord*> after = listed();
            if (ok != (target && !busy))
                violation("DeletePort(%s) -> %d", name ? shown(*name).c_str() : "null", ok);
            if (ok) {
                before.erase(std::find(before.begin(), before.end(), target));
                if (after != before) violation("DeletePort removed another port than the one named");
                for (Slot& s : slots)
                    if (s.handle == (HANDLE)target) s.gone = true;
                machineChanged = true;  // its key is gone: the scan may bring it back
            } else if (after != before) {
                violation("DeletePort failed and changed the list");
            } else if (busy && error != ERROR_BUSY) {
                violation("DeletePort of a port with an open job failed with %lu", (unsigned long)error);
            }
            std::snprintf(what, sizeof what, "DeletePort");
            break;
        }
        case OpRefresh: refresh(p[0] % 3); std::snprintf(what, sizeof what, "the refresh"); break;
        case OpPlug: {
            if (plan.usbIds.empty()) return;
            const std::string& id = plan.usbIds[p[0] % plan.usbIds.size()];
            static const char* const actions[] = {"unplugged", "plugged in", "removed"};
            if (p[1] % 3 == 0) sim::machine().unplugUsbPrinter(id);
            if (p[1] % 3 == 1) sim::machine().plugUsbPrinter(id);
            if (p[1] % 3 == 2) sim::machine().removeUsbPrinter(id);
            trace("USB printer %s %s", shown(id).c_str(), actions[p[1] % 3]);
            machineChanged = true;
            return;
        }
        default: {
            static char monitor[] = "VO DUV Udadizo";
            BOOL ok = (p[0] & 1) ? table.pfnConfigurePort(nullptr, NULL, const_cast<LPSTR>(c.text.c_str()))
                                 : table.pfnAddPort(nullptr, NULL, monitor);
            if (ok) violation("%s succeeded: there is nothing to add or configure", (p[0] & 1) ? "ConfigurePort" : "AddPort");
            std::snprintf(what, sizeof what, "AddPort/ConfigurePort");
            break;
        }
        }
        account(what);
    }

    void endDoc(HANDLE handle, PortRecord* record) {
        // A deferred job followed by a real start holds both bits, and takes
        // one EndDocPort for each start.
        bool oneJob = record && (record->flags & (JobBackEndOpen | JobDeferred)) != (JobBackEndOpen | JobDeferred);
        BOOL ok;
        {
            Poisoned poisoned(Poisoned::GuidsPoisoned);
            SetLastError(0);
            ok = table.pfnEndDocPort(handle);
        }
        trace("EndDocPort(%s) -> %d (error %lu)", record ? shown(record->name).c_str() : "not a port", ok,
              (unsigned long)GetLastError());
        if (oneJob && (record->flags & (JobBackEndOpen | JobDeferred))) violation("EndDocPort left the job open");
    }

    // The status window's refresh, by the broadcasts that reach it or directly.
    void refresh(int how) {
        Poisoned poisoned(Poisoned::GuidsReadable);
        if (thread && how < 2) {
            sim::machine().broadcast(how == 0 ? WM_DEVICECHANGE : WM_WININICHANGE);
            if (!sim::machine().waitIdle(60000)) violation("the status thread did not come back from its refresh");
        } else {
            RefreshPrinterStates();
        }
        trace("refresh (%s)", thread && how < 2 ? "broadcast" : "direct");
    }

    // ---- end ----

    // As the spooler ends: every job it started is ended, every port it opened
    // closed. Then nothing but the ports may remain, and every port key left in
    // the registry must load at the next start.
    void finish() {
        for (PortRecord* r = PortList; r; r = r->next) {
            for (int jobs = 0; jobs < 2 && (r->flags & (JobBackEndOpen | JobDeferred)); jobs++) endDoc((HANDLE)r, r);
        }
        for (Slot& s : slots) {
            if (s.gone) continue;
            Poisoned poisoned(Poisoned::GuidsPoisoned);
            table.pfnClosePort(s.handle);
        }
        refresh(0);
        account("the end");
        sim::Machine& m = sim::machine();
        if (m.openHandles() != 0) violation("the end: %zu handle(s) open after every job ended", m.openHandles());
        if (m.openPrinterHandles() != 0)
            violation("the end: %zu printer handle(s) open after every job ended", m.openPrinterHandles());

        for (const std::string& name : unloadablePortKeys())
            if (std::find(unloadableAtStart.begin(), unloadableAtStart.end(), name) == unloadableAtStart.end())
                violation("the end: port key %s holds no \"Property\" value that loads: the next start would fail",
                          shown(name).c_str());
    }

    // The port keys whose "Property" value is missing or too long to read, by
    // lower-case name. The input may hold some (when the monitor cannot read its
    // key it starts all the same); the monitor must add none.
    static std::vector<std::string> unloadablePortKeys() {
        sim::Registry& registry = sim::machine().registry();
        std::string monitorKey = MonitorKeyPath;
        std::vector<std::string> names;
        for (const std::string& name : registry.subkeys(monitorKey)) {
            auto value = registry.value(monitorKey + "\\" + name, "Property");
            if (!value || value->data.size() > sizeof(PortConfig)) names.push_back(lower(name));
        }
        return names;
    }

    const Plan& plan;
    const Pools& pools;
    MONITOR_TABLE table{};
    zevmon::Diagnosis foretold;
    std::map<std::string, DWORD> attributesBefore;
    size_t boxesBefore = 0;
    DWORD startError = ERROR_SUCCESS;
    std::vector<Slot> slots;
    bool thread = false;
    bool answersVary = false;
    std::vector<std::string> unloadableAtStart;
    bool machineChanged = true;  // until the first enumeration has seen the machine
    bool touchedFiles = false;

public:
    bool wroteFiles() const { return touchedFiles; }
};

void removeFiles() {
    std::error_code ignored;
    for (auto& entry : std::filesystem::directory_iterator(fileRoot / "c", ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tracing = std::getenv("OUTSIDE_DATA_TRACE") != nullptr;
    char folder[] = "/tmp/outside-data-fuzz-XXXXXX";
    if (!mkdtemp(folder)) violation("harness: cannot make a folder for the machine's disk");
    fileRoot = folder;
    std::filesystem::create_directories(fileRoot / "c");
    sim::machine().setFileRoot(fileRoot.string());
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(fileRoot, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host::loadZevuruzi();
    Reader reader(data, size);
    Plan plan;
    Decoder decoder(reader, plan);
    decoder.all();
    Run run(plan, decoder.names());
    run.go();
    if (run.wroteFiles()) removeFiles();
    // Everything the input made goes now rather than at the next input, so that
    // libFuzzer's leak detection does not take the machine for a leak.
    sim::machine().reset();
    return 0;
}
