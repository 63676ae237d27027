// What several Wine test files share: the monitor started from Wine's
// registry, a USB printer in Wine's SetupAPI, and a printer of Wine's spooler.
// The Wine prefix is shared by every case of a run, so each helper removes
// what it made.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "tests/common/job_scenarios.h"  // binaryData
#include "wine_test.h"

// Set into out-parameters and the last error before a call, so that what must
// stay untouched is checked, not assumed.
const DWORD Untouched = 0xdeadbeef;

// The device interface class every automatic USB port names.
extern const GUID PrinterClass;
#define PrinterClassKey "System\\CurrentControlSet\\Control\\DeviceClasses\\{6A7AD4E2-AE15-11D7-890B-0080AD72B9D1}"

// Each case starts from a monitor key of its own making.
void clearMonitorKey();
// The key as the monitor's installation leaves it, with its "Driver" value;
// without it the USB scan counts every port name as taken.
void createMonitorKey();
bool keyExists(const std::string& pathBelowLocalMachine);
// Creates the key below HKEY_LOCAL_MACHINE as needed.
bool setKeyValue(const std::string& pathBelowLocalMachine, const char* name, DWORD type, const void* data, size_t size);

// A USB port's configuration as the scan would make it: write pipe 1, read pipe 0.
PortConfig usbPortConfig(const std::string& instanceId);
// The port's key below the monitor key, with its "Property" value.
void writePortConfig(const char* name, const PortConfig& config);
void writeUsbPort(const char* name, const std::string& instanceId);
// The port's "Property" value as stored; "(no key)" or "(no value)" without one.
std::string readPortProperty(const char* name);

// Loads the DLL from the program's folder and starts it as the spooler does;
// returns once the status window is up.
MONITOR_TABLE startMonitor();
HANDLE openPort(const MONITOR_TABLE& monitor, const char* name);

// Writes the data in chunks of the given sizes; each must be reported whole.
void writeChunks(const MONITOR_TABLE& monitor, HANDLE port, const std::string& data, std::vector<DWORD> sizes);

// The status window of this process, once its thread has left CreateWindowExA
// (and with it the first refresh) for its message loop; NULL if it never came.
HWND waitForStatusWindow();
// An EnumPorts that made a port leaves the driver-index rebuild to the status
// window's next message. Wine itself sends the window messages now and then,
// and one that comes while the process ends starts the rebuild's program from
// a dying thread, which may leave that program hanging on the run's output; a
// case that made a port therefore runs the rebuild before it ends.
void runPendingRebuild();

// As the system announces a device that came or went: to every top-level
// window, returning when each has handled it. A window that hangs is not waited for.
void broadcastDeviceChange();

// The stand-in Rundll beside this program appends every command line it is
// started with to this file, each ended by CR LF.
std::string rundllRecordPath();
std::vector<std::string> rundllCalls();
// The command runs in a process of its own: its record comes a little later.
std::vector<std::string> waitForRundllCalls();
// A file as it is now, shared with others as asked; nothing when it cannot be opened.
std::optional<std::string> fileBytes(const std::string& path, DWORD share);
// A file as it is now, while others may still write to it; empty when it cannot be opened.
std::string readWholeFile(const std::string& path);

// A message box that the DLL showed, as the user saw it.
struct ShownBox {
    std::string caption, text;
};

// MessageBoxA blocks the thread that calls it, so a second thread watches for
// message boxes of this process while the object lives, notes what each says
// and presses its OK button.
class MessageBoxWatcher {
public:
    MessageBoxWatcher();
    ~MessageBoxWatcher() { finish(); }
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    // Stops watching; every box seen so far, in the order shown.
    const std::vector<ShownBox>& finish();

private:
    static DWORD WINAPI run(LPVOID parameter);

    HANDLE stop_ = NULL, thread_ = NULL;
    std::vector<ShownBox> shown_;
    std::vector<HWND> answered_;
};

// A USB instance key below HKEY_LOCAL_MACHINE\Enum\USB, which Wine does not
// have, with the "PortName" that the device's installation would write; its
// device key is deviceName ("VID_xxxx&PID_xxxx") below Enum\USB. What it makes
// goes again with the object, empty parent keys included.
class UsbInstanceKey {
public:
    UsbInstanceKey(const char* instanceName, const char* portName, const char* deviceName);
    // Below the device key that the earlier cases share.
    UsbInstanceKey(const char* instanceName, const char* portName);
    ~UsbInstanceKey();
    UsbInstanceKey(const UsbInstanceKey&) = delete;
    UsbInstanceKey& operator=(const UsbInstanceKey&) = delete;
    bool hasPortName() const;

private:
    std::string deviceKey_, path_;
};

// A USB printer as its driver would register it: a device of the class with
// one interface, present only while the interface is linked. The device goes
// when the object does.
class Printer {
public:
    explicit Printer(const char* instanceId);
    ~Printer();
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    // The instance id as SetupAPI reports it.
    const std::string& instanceId() const { return reportedId_; }
    const std::string& devicePath() const { return devicePath_; }

    // The way a device comes and goes in Wine's SetupAPI: the interface's
    // "Linked" and "SymbolicLink" first and its "DeviceInstance" last; going,
    // "DeviceInstance" first, then the interface's whole key. Unlinking alone
    // would leave the device in the present set. Plugged in again at another
    // path, the interface is linked under the reference string "2", to which
    // Wine gives the first path and "\2".
    void plugIn(bool atAnotherPath = false);
    void unplug();

    // Presence switched while every key stays: SetupAPI passes over an
    // interface key without its "DeviceInstance" value, device and interface
    // alike. unplug() deletes the key instead, which shifts every later
    // interface of the class down by one under a reader that walks the class
    // by index, as Wine's SetupDiGetClassDevs itself does. That call also
    // writes the value again for every interface it lists, so a listing under
    // way when the printer goes may bring it back; nothing else takes it away.
    // For a printer plugged in.
    void setPresent(bool present);

private:
    void createInterface();

    std::string requestedId_, reportedId_, interfaceKey_, firstPath_, devicePath_;
    bool unplugged_ = false;
};

// A printer of Wine's spooler whose "Port" value names the given port. It
// goes when the object does.
class SpoolerPrinter {
public:
    SpoolerPrinter(const char* name, const char* port);
    ~SpoolerPrinter();
    SpoolerPrinter(const SpoolerPrinter&) = delete;
    SpoolerPrinter& operator=(const SpoolerPrinter&) = delete;

    const std::string& name() const { return name_; }
    // PRINTER_INFO_2 Attributes, or 0xdeadbeef when the printer cannot be read.
    DWORD attributes() const;
    void setAttributes(DWORD attributes);

private:
    void remove();
    std::string name_;
};
