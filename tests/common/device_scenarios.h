// USB jobs, the automatic USB port, the enumeration and the status refresh,
// written once for both harnesses: the unit tests play these scenarios against
// the simulated machine's virtual USB printer, the Wine program against the
// real DLL and its own virtual printer.
// A harness plugs, unplugs and watches its printers and spooler; what each
// step must do, and what it must leave, is the scenario's. Where NT and 98
// answer differently, the answer comes from the harness's traits.
#pragma once

#include <string>
#include <vector>

#include "monitor/monitor.h"

// What this machine answers where NT and 98 differ.
struct DeviceTraits {
    // I/O on a handle of a printer that was pulled out fails with this.
    DWORD unpluggedDeviceError;
    // 98: SetCommTimeouts fails with ERROR_INVALID_HANDLE on a USB device.
    bool commTimeoutsOnlyOnCommPorts;
};

// One file the monitor opened on a printer, closed ones included.
struct DeviceOpen {
    std::string name;  // as given to CreateFileA
    DWORD access, share;
    bool open;
    int endOfFileCalls;
    bool hasTimeouts;
    COMMTIMEOUTS timeouts;  // the last ones set, when hasTimeouts
};

struct DeviceControl {
    DWORD code;
    std::string input;
};

// Printers are named by their device instance id; each has configuration,
// printer-class interface, bulk OUT 0x01 and bulk IN 0x82.
class DeviceHarness {
public:
    virtual ~DeviceHarness() = default;
    virtual DeviceTraits traits() = 0;

    // Known to the system but not plugged in; portName, when given, is the
    // "PortName" of its device key, as the printer's installation leaves it.
    virtual void addPrinter(const std::string& id, const char* portName = NULL) = 0;
    virtual void plug(const std::string& id, bool atAnotherPath = false) = 0;
    // Pulled out: every handle opened on it fails from now on.
    virtual void unplug(const std::string& id) = 0;
    // Present, but nothing can open its device file.
    virtual void refuseOpens(const std::string& id) = 0;
    virtual std::string devicePath(const std::string& id) = 0;
    // Across every path it was plugged in at.
    virtual std::vector<DeviceOpen> opens(const std::string& id) = 0;
    virtual std::string received(const std::string& id) = 0;
    virtual void queueInput(const std::string& id, const std::string& bytes) = 0;
    // The answer to every device control but the descriptor request, which
    // are recorded.
    virtual void answerControls(const std::string& id, const std::string& reply) = 0;
    virtual std::vector<DeviceControl> controls(const std::string& id) = 0;
    virtual int descriptorRequests(const std::string& id) = 0;

    // The monitor's key, as the spooler's installation makes it.
    virtual void installMonitor() = 0;
    // Started from the ports written, its status window's first refresh done.
    virtual MONITOR_TABLE startMonitor() = 0;
    virtual void addSpoolerPrinter(const char* name, const char* port, bool offline) = 0;
    virtual bool offline(const char* printer) = 0;
    // A device broadcast and a settings change, each handled when this returns.
    virtual void deviceChange() = 0;
    virtual void settingsChange() = 0;
    // Any message to the status window, handled when this returns.
    virtual void message(UINT message) = 0;
    // The command lines of the driver-index rebuilds run, waiting a while for
    // `expected` of them.
    virtual std::vector<std::string> rebuilds(size_t expected) = 0;
    // The message boxes shown so far, "caption: text", each answered OK.
    virtual std::vector<std::string> messageBoxes() = 0;
    virtual void fail(const std::string& what) = 0;
};

const std::vector<std::string>& DeviceScenarioNames();
void PlayDeviceScenario(const std::string& name, DeviceHarness& harness);
