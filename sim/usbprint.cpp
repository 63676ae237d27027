// The virtual USB printer driver: device files at the interface paths of the
// printers, pipe files "<path>\NN" below them, and the control API that adds,
// plugs and unplugs printers.
#include "usbprint.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "state.h"

namespace sim {

const GUID UsbPrinterClass = {0x6A7AD4E2, 0xAE15, 0x11D7, {0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1}};

// The descriptor request of the driver.
static const DWORD GetDescriptorsIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_BUFFERED, FILE_ANY_ACCESS);

std::vector<BYTE> defaultPrinterDescriptors() {
    return {
        9, 2, 32, 0, 1, 1, 0, 0xC0, 0,  // configuration: 32 bytes in all, one interface, self-powered
        9, 4, 0, 0, 2, 7, 1, 2, 0,      // interface 0: two endpoints, printer class, bidirectional
        7, 5, 0x01, 2, 64, 0, 0,        // endpoint 0x01: bulk OUT, 64 bytes
        7, 5, 0x82, 2, 64, 0, 0,        // endpoint 0x82: bulk IN, 64 bytes
    };
}

static std::string lower(std::string s) {
    for (char& c : s) c = (char)std::tolower((unsigned char)c);
    return s;
}

static std::string guidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return text;
}

// "USB\VID_1&PID_2\5&ABC" -> device key "VID_1&PID_2", instance key "5&ABC".
static std::pair<std::string, std::string> enumKeys(const std::string& instanceId) {
    auto parts = splitKeyPath(instanceId);
    std::string device = parts.size() > 1 ? parts[1] : "", instance = parts.size() > 2 ? parts[2] : "";
    return {device, instance};
}

// The endpoint descriptors in order, as the monitor walks them: pipe NN is the
// NN-th. Each gives its bEndpointAddress, or nothing when the descriptor is too
// short to hold it. A length below 2, or one that runs past the end, ends the walk.
static std::vector<std::optional<BYTE>> endpoints(const std::vector<BYTE>& d) {
    std::vector<std::optional<BYTE>> found;
    for (size_t p = 0; d.size() - p >= 2 && d[p] >= 2 && d[p] <= d.size() - p; p += d[p])
        if (d[p + 1] == 5) found.push_back(d[p] >= 3 ? std::optional<BYTE>(d[p + 2]) : std::nullopt);
    return found;
}

// The number of endpoint descriptors: the driver's pipes.
static int pipeCount(const std::vector<BYTE>& d) { return (int)endpoints(d).size(); }

// Bit 0x80 of bEndpointAddress: an IN endpoint. Transfers go one way on a pipe:
// a write to an IN pipe or a read from an OUT pipe is refused. The error is
// ERROR_INVALID_FUNCTION: USB client drivers built on KMDF (the usbsamp sample,
// whose pipe files are opened as "<device>\PIPEnn" as here) format their
// transfers with WdfUsbTargetPipeFormatRequestForRead/ForWrite, documented to
// return STATUS_INVALID_DEVICE_REQUEST for "an invalid transfer direction", and
// that status reaches the caller of ReadFile/WriteFile as ERROR_INVALID_FUNCTION.
// A pipe whose descriptor is too short to give its address has no known
// direction and takes both.
static bool wrongDirection(const UsbPrinter& printer, int pipe, bool writing) {
    auto all = endpoints(printer.descriptors);
    if (pipe < 0 || pipe >= (int)all.size() || !all[pipe]) return false;
    bool in = (*all[pipe] & 0x80) != 0;
    return writing == in;
}

std::shared_ptr<UsbPrinter> Machine::Usb::find(const std::string& instanceId) {
    for (auto& p : printers)
        if (equalNoCase(p->instanceId, instanceId)) return p;
    return nullptr;
}

namespace {

// How long a read of a printer that never answers waits before it returns
// nothing: far longer than anyone should wait for a printer.
const auto NeverAnswersFor = std::chrono::seconds(20);

// A handle on the device (pipe -1) or on one of its pipes.
struct UsbFile : FileObject {
    std::shared_ptr<UsbPrinter> printer;
    unsigned generation = 0;
    int pipe = -1;
    bool closed = false;
    std::size_t opening = NotRecorded;  // its entry in the printer's opened
    static constexpr std::size_t NotRecorded = ~(std::size_t)0;
    UsbPrinter::Opened* entry() { return opening == NotRecorded ? nullptr : &printer->opened[opening]; }

    const char* kind() const override { return pipe < 0 ? "usb device" : "usb pipe"; }

    // Every call on a handle of an unplugged printer fails; the handle can still
    // be closed. NT reports the removed device (STATUS_DEVICE_NOT_CONNECTED, made
    // ERROR_DEVICE_NOT_CONNECTED); Windows 98's USB stack fails the request with
    // a generic failure, which reaches Win32 as ERROR_GEN_FAILURE, as Windows maps
    // STATUS_UNSUCCESSFUL ("Mapping NT Status Error Codes to Win32 Error Codes",
    // Microsoft Knowledge Base Q113996). No first-hand account of 98 was found.
    // A request that reaches the driver after the file was closed (its
    // thread had looked the handle up before) is cancelled, as a WDM driver
    // cancels what comes after IRP_MJ_CLEANUP.
    bool alive(DWORD& error) {
        if (closed) return (error = ERROR_OPERATION_ABORTED), false;
        if (printer->present && printer->generation == generation) return true;
        error = goneError();
        return false;
    }
    static DWORD goneError() { return machine().traits().unpluggedDeviceError; }
    bool write(const void* buffer, DWORD size, DWORD& written, DWORD& error) override {
        std::unique_lock<std::mutex> lock(machine().usb().mutex);
        if (!alive(error)) return false;
        if (pipe < 0) return (error = ERROR_INVALID_FUNCTION), false;
        if (!(access & GENERIC_WRITE)) return (error = ERROR_ACCESS_DENIED), false;
        if (wrongDirection(*printer, pipe, true)) return (error = ERROR_INVALID_FUNCTION), false;
        if (printer->writeError) return (error = *printer->writeError), false;
        if (printer->stallAtByte && printer->receivedBytes >= *printer->stallAtByte) {
            // Pulled out meanwhile, the printer fails the write as any unplugged one does.
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(printer->stallMilliseconds);
            std::shared_ptr<UsbPrinter> held = printer;  // close() lets go of printer
            held->stallAtByte.reset();
            held->stalling = true;
            machine().usb().changed.wait_until(lock, until, [&] {
                return !held->stalling || closed || !held->present || held->generation != generation;
            });
            held->stalling = false;
            if (!alive(error)) return false;
        }
        // A staged event cuts the write short at its byte.
        DWORD take = size;
        for (auto at : {printer->unplugAtByte, printer->stallAtByte})
            if (at && printer->receivedBytes + take > *at) take = (DWORD)(*at - std::min(*at, printer->receivedBytes));
        bool unplugs = printer->unplugAtByte && printer->receivedBytes + take >= *printer->unplugAtByte;
        if (take > 0 && printer->sink && !printer->sink(pipe, (const BYTE*)buffer, take))
            return (error = ERROR_SEM_TIMEOUT), false;
        printer->receivedBytes += take;
        if (take > 0 && !printer->discardReceived && !printer->sink) {
            auto& data = printer->received[pipe];
            data.insert(data.end(), (const BYTE*)buffer, (const BYTE*)buffer + take);
        }
        if (unplugs) {
            printer->unplugAtByte.reset();
            printer->present = false;
            printer->generation++;
            if (take == 0) return (error = goneError()), false;
        }
        written = take;
        return true;
    }
    bool read(void* buffer, DWORD size, DWORD& read, DWORD& error) override {
        std::unique_lock<std::mutex> lock(machine().usb().mutex);
        if (!alive(error)) return false;
        if (pipe < 0) return (error = ERROR_INVALID_FUNCTION), false;
        if (!(access & GENERIC_READ)) return (error = ERROR_ACCESS_DENIED), false;
        if (wrongDirection(*printer, pipe, false)) return (error = ERROR_INVALID_FUNCTION), false;
        std::shared_ptr<UsbPrinter> held = printer;  // close() lets go of printer
        bool woken = machine().usb().changed.wait_for(lock, NeverAnswersFor, [&] {
            return closed || !held->readsWait || !held->toRead.empty() || !held->present ||
                   held->generation != generation;
        });
        if (!woken) return true;  // nothing, after a long time
        if (closed) return (error = ERROR_OPERATION_ABORTED), false;
        if (!alive(error)) return false;
        while (read < size && !printer->toRead.empty()) {
            ((BYTE*)buffer)[read++] = printer->toRead.front();
            printer->toRead.pop_front();
        }
        return true;
    }
    bool setEndOfFile(DWORD& error) override {
        std::lock_guard<std::mutex> lock(machine().usb().mutex);
        if (!alive(error)) return false;
        if (auto* e = entry()) e->endOfFileCalls++;
        return true;  // the driver accepts it and does nothing
    }
    bool setTimeouts(const COMMTIMEOUTS& t, DWORD& error) override {
        std::lock_guard<std::mutex> lock(machine().usb().mutex);
        if (!alive(error)) return false;
        if (printer->refuseTimeouts.count(pipe)) return (error = ERROR_INVALID_FUNCTION), false;
        printer->timeouts[pipe] = t;
        return true;
    }
    bool control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD& returned,
                 DWORD& error) override {
        ControlHandler handler;
        {
            std::lock_guard<std::mutex> lock(machine().usb().mutex);
            if (!alive(error)) return false;
            if (code == GetDescriptorsIoctl) {
                printer->descriptorRequests++;
                if (printer->descriptorError) return (error = *printer->descriptorError), false;
                if (!out && outSize) return (error = ERROR_INVALID_PARAMETER), false;
                returned = (DWORD)std::min<size_t>(outSize, printer->descriptors.size());
                if (returned) std::memcpy(out, printer->descriptors.data(), returned);
                return true;
            }
            handler = printer->controlHandler;
        }
        if (!handler) return (error = ERROR_INVALID_FUNCTION), false;
        return handler(code, in, inSize, out, outSize, returned, error);
    }
    void close() override {
        std::lock_guard<std::mutex> lock(machine().usb().mutex);
        if (printer && --printer->openCount[pipe] <= 0) printer->openCount.erase(pipe);
        if (auto* e = printer ? entry() : nullptr) e->open = false;
        printer = nullptr;
        closed = true;
        machine().usb().changed.notify_all();
    }
};

}  // namespace

std::shared_ptr<FileObject> openDeviceFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                                           DWORD& error) {
    auto& usb = machine().usb();
    std::lock_guard<std::mutex> lock(usb.mutex);
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return (error = ERROR_ACCESS_DENIED), nullptr;
    for (auto& printer : usb.printers) {
        if (!printer->present) continue;
        const std::string& device = printer->devicePath;
        if (path.size() < device.size() || !equalNoCase(path.substr(0, device.size()), device)) continue;
        int pipe = -1;
        std::string rest = path.substr(device.size());
        if (!rest.empty()) {
            std::string digits = rest.substr(1);
            if (rest[0] != '\\' || digits.empty() || digits.size() > 7 ||
                digits.find_first_not_of("0123456789") != std::string::npos)
                continue;
            pipe = std::stoi(digits);
            if (pipe >= pipeCount(printer->descriptors)) return (error = ERROR_FILE_NOT_FOUND), nullptr;
            auto refused = printer->pipeOpenErrors.find(pipe);
            if (refused != printer->pipeOpenErrors.end()) return (error = refused->second), nullptr;
        }
        // The driver allows one opener of each file unless it is shared.
        if (printer->openCount[pipe] > 0 && share == 0) return (error = ERROR_SHARING_VIOLATION), nullptr;
        auto file = std::make_shared<UsbFile>();
        file->printer = printer;
        file->generation = printer->generation;
        file->pipe = pipe;
        file->access = access;
        // Long runs that keep no bytes keep no opens either.
        if (!printer->discardReceived && !printer->sink) {
            file->opening = printer->opened.size();
            printer->opened.push_back({path, pipe, access, share});
        }
        printer->openCount[pipe]++;
        return file;
    }
    return (error = ERROR_FILE_NOT_FOUND), nullptr;
}

// ---- control API ----

static const char EnumUsb[] = "Enum\\USB";

void Machine::addUsbPrinter(const UsbPrinterSpec& spec) {
    auto printer = std::make_shared<UsbPrinter>();
    auto [device, instance] = enumKeys(spec.instanceId);
    printer->instanceId = spec.instanceId;
    printer->devicePath = "\\\\?\\usb#" + lower(device) + "#" + lower(instance) + "#" + guidText(spec.interfaceClass);
    printer->interfaceClass = spec.interfaceClass;
    printer->descriptors = spec.descriptors;
    printer->present = spec.present;
    {
        std::lock_guard<std::mutex> lock(usb_->mutex);
        usb_->printers.push_back(printer);
    }
    if (!spec.portName.empty() && !device.empty() && !instance.empty())
        registry_.setString(std::string(EnumUsb) + "\\" + device + "\\" + instance, "PortName", spec.portName);
}

void Machine::removeUsbPrinter(const std::string& instanceId) {
    {
        std::lock_guard<std::mutex> lock(usb_->mutex);
        auto& all = usb_->printers;
        for (auto it = all.begin(); it != all.end(); ++it)
            if (equalNoCase((*it)->instanceId, instanceId)) {
                (*it)->present = false;
                (*it)->generation++;
                all.erase(it);
                break;
            }
        usb_->changed.notify_all();
    }
    auto [device, instance] = enumKeys(instanceId);
    if (!device.empty() && !instance.empty()) {
        registry_.remove(std::string(EnumUsb) + "\\" + device + "\\" + instance);
        if (registry_.subkeys(std::string(EnumUsb) + "\\" + device).empty())
            registry_.remove(std::string(EnumUsb) + "\\" + device);
    }
}

void Machine::plugUsbPrinter(const std::string& instanceId, bool atAnotherPath) {
    std::lock_guard<std::mutex> lock(usb_->mutex);
    auto p = usb_->find(instanceId);
    if (!p) return;
    p->present = true;
    if (atAnotherPath) {
        std::size_t guid = p->devicePath.rfind('#');
        p->devicePath.insert(guid, "&" + std::to_string(p->generation));
    }
}

void Machine::endStalls() {
    std::lock_guard<std::mutex> lock(usb_->mutex);
    for (auto& printer : usb_->printers) printer->stalling = false, printer->stallAtByte.reset();
    usb_->changed.notify_all();
}

void Machine::unplugUsbPrinter(const std::string& instanceId) {
    std::lock_guard<std::mutex> lock(usb_->mutex);
    if (auto p = usb_->find(instanceId)) {
        p->present = false;
        p->generation++;
    }
    usb_->changed.notify_all();
}

bool Machine::withUsbPrinter(const std::string& instanceId, const std::function<void(UsbPrinter&)>& f) {
    std::lock_guard<std::mutex> lock(usb_->mutex);
    auto p = usb_->find(instanceId);
    if (!p) return false;
    f(*p);
    usb_->changed.notify_all();  // bytes to read may have come
    return true;
}

std::vector<BYTE> Machine::usbReceived(const std::string& instanceId) {
    std::vector<BYTE> all;
    withUsbPrinter(instanceId, [&](UsbPrinter& p) {
        for (auto& pipe : p.received) all.insert(all.end(), pipe.second.begin(), pipe.second.end());
    });
    return all;
}

std::vector<std::string> Machine::usbPrinterIds() {
    std::lock_guard<std::mutex> lock(usb_->mutex);
    std::vector<std::string> ids;
    for (auto& p : usb_->printers) ids.push_back(p->instanceId);
    return ids;
}

std::size_t Machine::openDeviceInfoSets() const {
    std::lock_guard<std::mutex> lock(usb_->mutex);
    return usb_->sets.size();
}

}  // namespace sim
