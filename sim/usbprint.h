// The virtual USB printer: one device instance with one device interface, a
// device file at the interface's path, and one file per endpoint pipe below it
// ("<path>\NN"). What it receives and what it answers can be read and scripted.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

// The class of USB printer interfaces: {6A7AD4E2-AE15-11D7-890B-0080AD72B9D1}.
extern const GUID UsbPrinterClass;

// Configuration, printer-class interface, bulk OUT 0x01, bulk IN 0x82.
std::vector<BYTE> defaultPrinterDescriptors();

struct UsbPrinterSpec {
    UsbPrinterSpec(std::string id = "", std::string port = "") : instanceId(std::move(id)), portName(std::move(port)) {}
    std::string instanceId;              // USB\VID_xxxx&PID_xxxx\<instance>
    std::string portName;                // "PortName" of its instance key below Enum\USB; empty: none
    GUID interfaceClass = UsbPrinterClass;
    std::vector<BYTE> descriptors = defaultPrinterDescriptors();
    bool present = true;
};

// Answers a device control that is not the descriptor request: returns the
// result and fills returned and error, as DeviceIoControl would.
using ControlHandler = std::function<bool(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                                          DWORD& returned, DWORD& error)>;

struct UsbPrinter {
    std::string instanceId;
    std::string devicePath;              // \\?\usb#vid_...#...#{class}
    GUID interfaceClass{};
    std::vector<BYTE> descriptors;
    bool present = true;
    unsigned generation = 0;             // changes at every unplug: older handles are dead

    // What arrived: the bytes written to each pipe, by pipe number.
    std::map<int, std::vector<BYTE>> received;
    // Counts what arrives without keeping it (for long runs such as benchmarks).
    bool discardReceived = false;
    // Takes what arrives instead of `received` (a recorder that writes it to
    // disk as it comes); false refuses it, as a device whose buffer stays
    // full fails the transfer (ERROR_SEM_TIMEOUT). Called under the driver's lock.
    std::function<bool(int pipe, const BYTE* data, DWORD size)> sink;
    std::uint64_t receivedBytes = 0;
    // What reads from the IN pipes return, in order.
    std::deque<BYTE> toRead;
    // A printer that never answers: a read with nothing to read waits until
    // bytes come, its handle is closed or the printer goes away (or, after
    // twenty seconds, returns nothing). A closed
    // handle ends it with ERROR_OPERATION_ABORTED, as a WDM driver completes
    // the pending requests of a file whose last handle is closed (IRP_MJ_CLEANUP).
    bool readsWait = false;
    // Time-outs last accepted, by handle: -1 the device, otherwise the pipe number.
    std::map<int, COMMTIMEOUTS> timeouts;

    // ---- faults to script ----
    std::optional<DWORD> descriptorError;    // the descriptor request fails with this error
    std::map<int, DWORD> pipeOpenErrors;     // this pipe cannot be opened
    std::optional<DWORD> writeError;         // every write fails with this error
    std::set<int> refuseTimeouts;            // -1 the device, otherwise the pipe number
    ControlHandler controlHandler;

    // ---- what happens to the printer during a job, staged by its received count ----
    // Pulled out once it has received this many bytes: the write that reaches
    // the count delivers up to it and succeeds short, later ones fail.
    std::optional<std::uint64_t> unplugAtByte;
    // Takes nothing for stallMilliseconds once it has received this many bytes
    // (a write waits that long), then goes on.
    std::optional<std::uint64_t> stallAtByte;
    unsigned stallMilliseconds = 0;
    bool stalling = false;  // a stall under way: a write waits in it

    // Open handles, for share checks: -1 the device, otherwise the pipe number.
    std::map<int, int> openCount;
    // Every file opened on it, closed ones included, in the order opened, and
    // the descriptor requests it answered: what a test checks of a job's opens.
    struct Opened {
        std::string name;  // as given to CreateFileA
        int pipe = -1;     // -1 the device
        DWORD access = 0, share = 0;
        bool open = true;
        int endOfFileCalls = 0;
    };
    std::vector<Opened> opened;
    unsigned descriptorRequests = 0;
};

}  // namespace sim
