// The USB job and status scenarios of tests/common/device_scenarios.cpp, each a
// test of its own, played against the machine's virtual USB printers, its
// SetupAPI, spooler and windows.
#include "test_support.h"
#include "tests/common/device_scenarios.h"

namespace {

class DeviceScenario : public InstalledMonitorTest, public DeviceHarness, public testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        MonitorTest::SetUp();  // the monitor's key only when a scenario installs it
    }
    void TearDown() override {
        if (holder_ != nullptr) CloseHandle(holder_);
        EXPECT_TRUE(machine().waitIdle());
        EXPECT_EQ(machine().openHandles(), 0u) << "device or pipe handles left open";
        InstalledMonitorTest::TearDown();
    }

    DeviceTraits traits() override {
        sim::SystemTraits t = machine().traits();
        return {t.unpluggedDeviceError, t.commTimeoutsOnlyOnCommPorts};
    }
    void addPrinter(const std::string& id, const char* portName) override {
        sim::UsbPrinterSpec spec{id, portName != nullptr ? portName : ""};
        spec.present = false;
        machine().addUsbPrinter(spec);
    }
    void plug(const std::string& id, bool atAnotherPath) override { machine().plugUsbPrinter(id, atAnotherPath); }
    void unplug(const std::string& id) override { machine().unplugUsbPrinter(id); }
    // The device held by another opener that shares nothing.
    void refuseOpens(const std::string& id) override {
        held_ = printer<size_t>(id, [](sim::UsbPrinter& p) { return p.opened.size(); });  // not the monitor's
        holder_ = CreateFileA(devicePath(id).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder_, INVALID_HANDLE_VALUE);
    }
    std::string devicePath(const std::string& id) override {
        return printer<std::string>(id, [](sim::UsbPrinter& p) { return p.devicePath; });
    }
    std::vector<DeviceOpen> opens(const std::string& id) override {
        return printer<std::vector<DeviceOpen>>(id, [this](sim::UsbPrinter& p) {
            std::vector<DeviceOpen> all;
            for (size_t i = 0; i < p.opened.size(); i++) {
                if (holder_ != nullptr && i == held_) continue;
                const auto& o = p.opened[i];
                auto set = p.timeouts.find(o.pipe);
                all.push_back({o.name, o.access, o.share, o.open, o.endOfFileCalls, set != p.timeouts.end(),
                               set != p.timeouts.end() ? set->second : COMMTIMEOUTS{}});
            }
            return all;
        });
    }
    std::string received(const std::string& id) override {
        std::vector<BYTE> bytes = machine().usbReceived(id);
        return std::string(bytes.begin(), bytes.end());
    }
    void queueInput(const std::string& id, const std::string& bytes) override {
        machine().withUsbPrinter(id, [&](sim::UsbPrinter& p) { p.toRead.insert(p.toRead.end(), bytes.begin(), bytes.end()); });
    }
    void answerControls(const std::string& id, const std::string& reply) override {
        machine().withUsbPrinter(id, [this, reply](sim::UsbPrinter& p) {
            p.controlHandler = [this, reply](DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                                             DWORD& returned, DWORD&) {
                controls_.push_back({code, std::string((const char*)in, inSize)});
                returned = (DWORD)std::min<size_t>(outSize, reply.size());
                std::memcpy(out, reply.data(), returned);
                return true;
            };
        });
    }
    std::vector<DeviceControl> controls(const std::string&) override { return controls_; }
    int descriptorRequests(const std::string& id) override {
        return printer<int>(id, [](sim::UsbPrinter& p) { return (int)p.descriptorRequests; });
    }
    void installMonitor() override { installMonitorKey(); }
    MONITOR_TABLE startMonitor() override {
        EXPECT_TRUE(initialize());
        return table;
    }
    void addSpoolerPrinter(const char* name, const char* port, bool offline) override {
        machine().addPrinter(name, port, offline ? PRINTER_ATTRIBUTE_WORK_OFFLINE : 0);
    }
    bool offline(const char* printer) override {
        return (machine().printerAttributes(printer) & PRINTER_ATTRIBUTE_WORK_OFFLINE) != 0;
    }
    void deviceChange() override { handled([] { sim::machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0); }); }
    void settingsChange() override {
        handled([] { sim::machine().broadcast(WM_WININICHANGE, 0, (LPARAM) "windows"); });
    }
    void message(UINT message) override {
        handled([message] { ASSERT_TRUE(PostMessageA(FindWindowA(StatusWindowClass, nullptr), message, 0, 0)); });
    }
    // Each as the system starts it, shown normally.
    std::vector<std::string> rebuilds(size_t) override {
        std::vector<std::string> lines;
        for (const auto& [line, show] : machine().commandLines())
            lines.push_back(show == SW_SHOWNORMAL ? line : line + " (shown " + std::to_string(show) + ")");
        return lines;
    }
    // Each owned by the desktop, with an OK button alone.
    std::vector<std::string> messageBoxes() override {
        std::vector<std::string> boxes;
        for (const auto& box : machine().messageBoxes())
            boxes.push_back(box.caption + ": " + box.text +
                            (box.owner == machine().desktopWindow() && box.type == MB_OK ? "" : " (owner, type)"));
        return boxes;
    }
    void fail(const std::string& what) override { ADD_FAILURE() << what; }

private:
    template <typename T> T printer(const std::string& id, const std::function<T(sim::UsbPrinter&)>& read) {
        T value{};
        EXPECT_TRUE(machine().withUsbPrinter(id, [&](sim::UsbPrinter& p) { value = read(p); })) << "no printer " << id;
        return value;
    }
    void handled(const std::function<void()>& send) {
        send();
        EXPECT_TRUE(machine().waitIdle());
    }

    HANDLE holder_ = nullptr;
    size_t held_ = 0;
    std::vector<DeviceControl> controls_;
};

TEST_P(DeviceScenario, Plays) { PlayDeviceScenario(GetParam(), *this); }

INSTANTIATE_TEST_SUITE_P(Devices, DeviceScenario, testing::ValuesIn(DeviceScenarioNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
