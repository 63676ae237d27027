// The USB job and status scenarios of tests/common/device_scenarios.cpp, each a
// case of its own, played through the real DLL against Wine's registry,
// SetupAPI, windows and spooler, with each printer's device and pipe files
// served by the virtual printer in this program.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/device_scenarios.h"
#include "virtual_printer.h"
#include "wine_support.h"

namespace {

// A printer as Wine's SetupAPI lists it, served at its path and at the other
// path it may come back at.
struct WinePrinter {
    explicit WinePrinter(const std::string& id) : printer(id.c_str()) {
        // The other path first: a name goes to the first path it begins with.
        moved.reset(new VirtualPrinter(printer.devicePath() + "\\2"));
        device.reset(new VirtualPrinter(printer.devicePath()));
    }
    Printer printer;
    std::unique_ptr<VirtualPrinter> moved, device;
    std::unique_ptr<UsbInstanceKey> instance;
    bool atAnotherPath = false;
};

std::string printerPortValue(const char* printerName) {
    HKEY key;
    std::string path = std::string(PrintersKeyPath "\\") + printerName;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "(no key)";
    char port[64] = "";
    DWORD size = sizeof port - 1;
    LONG result = RegQueryValueExA(key, "Port", NULL, NULL, (LPBYTE)port, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? port : "(no value)";
}

class WineDevices : public DeviceHarness {
public:
    WineDevices() {
        clearMonitorKey();
        DeleteFileA(rundllRecordPath().c_str());
    }
    ~WineDevices() override {
        spooler_.clear();
        printers_.clear();
        DeleteFileA(rundllRecordPath().c_str());
        clearMonitorKey();
    }

    // The virtual printer fails a pulled-out printer's calls as Windows 98's
    // USB stack does, and takes time-outs on any handle.
    DeviceTraits traits() override { return {ERROR_GEN_FAILURE, false}; }
    void addPrinter(const std::string& id, const char* portName) override {
        WinePrinter& added = *(printers_[id] = std::make_unique<WinePrinter>(id));  // registered, not yet linked
        if (portName != NULL) {
            std::string device = id.substr(id.find('\\') + 1), instance = device.substr(device.find('\\') + 1);
            device.resize(device.find('\\'));
            added.instance.reset(new UsbInstanceKey(instance.c_str(), portName, device.c_str()));
        }
    }
    void plug(const std::string& id, bool atAnotherPath) override {
        printers_[id]->printer.plugIn(atAnotherPath);
        printers_[id]->atAnotherPath = atAnotherPath;
    }
    void unplug(const std::string& id) override {
        WinePrinter& gone = *printers_[id];
        gone.printer.unplug();
        for (VirtualPrinter* served : {gone.device.get(), gone.moved.get()})
            if (served != NULL) served->pullOut(traits().unpluggedDeviceError);
    }
    // Nothing answers on its path any more.
    void refuseOpens(const std::string& id) override {
        printers_[id]->device.reset();
        printers_[id]->moved.reset();
    }
    std::string devicePath(const std::string& id) override { return printers_[id]->printer.devicePath(); }
    std::vector<DeviceOpen> opens(const std::string& id) override {
        std::vector<DeviceOpen> all;
        for (VirtualPrinter* served : both(id))
            for (const VirtualHandle& h : served->handles())
                all.push_back({h.name, h.access, h.share, h.open, h.endOfFileCalls, h.hasTimeouts, h.timeouts});
        return all;
    }
    std::string received(const std::string& id) override {
        std::string all;
        for (VirtualPrinter* served : both(id)) all += served->received();
        return all;
    }
    void queueInput(const std::string& id, const std::string& bytes) override { served(id).queueInput(bytes); }
    void answerControls(const std::string& id, const std::string& reply) override { served(id).setControlReply(reply); }
    std::vector<DeviceControl> controls(const std::string& id) override {
        std::vector<DeviceControl> all;
        for (const VirtualControl& c : served(id).controls()) all.push_back({c.code, c.input});
        return all;
    }
    int descriptorRequests(const std::string& id) override { return served(id).descriptorRequests(); }

    void installMonitor() override { createMonitorKey(); }
    // The status window has taken a message before this returns.
    MONITOR_TABLE startMonitor() override {
        return startMonitorOnVirtualPrinters(&window_);
    }
    void addSpoolerPrinter(const char* name, const char* port, bool offline) override {
        spooler_.push_back(std::make_unique<SpoolerPrinter>(name, port));
        spooler_.back()->setAttributes(offline ? PRINTER_ATTRIBUTE_WORK_OFFLINE : 0);
        CHECK_STR(printerPortValue(name), port);  // where the refresh reads it
    }
    bool offline(const char* name) override {
        for (const auto& printer : spooler_)
            if (printer->name() == name) return (printer->attributes() & PRINTER_ATTRIBUTE_WORK_OFFLINE) != 0;
        fail(std::string("no spooler printer ") + name);
        return false;
    }
    void deviceChange() override { broadcastDeviceChange(); }
    void settingsChange() override {
        CHECK_EQ(SendMessageA(window_, WM_WININICHANGE, 0, (LPARAM) "windows"), (LRESULT)0);
    }
    void message(UINT message) override {
        if (window_ != NULL) SendMessageA(window_, message, 0, 0);
    }
    // WinExec waits for the stand-in Rundll, which ends at once; the wait
    // covers a slow start, and the pause after it a run too many.
    std::vector<std::string> rebuilds(size_t expected) override {
        for (DWORD until = GetTickCount() + winetest::patient(5000);
             rundllCalls().size() < expected && GetTickCount() < until;)
            Sleep(20);
        Sleep(300);
        return rundllCalls();
    }
    std::vector<std::string> messageBoxes() override {
        for (const ShownBox& box : watcher_->finish()) boxes_.push_back(box.caption + ": " + box.text);
        watcher_.reset(new MessageBoxWatcher);
        return boxes_;
    }
    void fail(const std::string& what) override { winetest::fail(__FILE__, __LINE__, what); }

private:
    std::vector<VirtualPrinter*> both(const std::string& id) {
        std::vector<VirtualPrinter*> all;
        for (VirtualPrinter* served : {printers_[id]->device.get(), printers_[id]->moved.get()})
            if (served != NULL) all.push_back(served);
        return all;
    }
    VirtualPrinter& served(const std::string& id) {
        return printers_[id]->atAnotherPath ? *printers_[id]->moved : *printers_[id]->device;
    }

    std::map<std::string, std::unique_ptr<WinePrinter>> printers_;
    std::vector<std::unique_ptr<SpoolerPrinter>> spooler_;
    HWND window_ = NULL;
    std::unique_ptr<MessageBoxWatcher> watcher_{new MessageBoxWatcher};
    std::vector<std::string> boxes_;
};

const bool registered = winetest::addScenarios<WineDevices>(DeviceScenarioNames(), PlayDeviceScenario);

}  // namespace
