// What the unit tests share: a fixture that loads the monitor into a fresh
// simulated machine, and helpers to arrange port keys.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/zevuruzi_module.h"
#include "monitor/monitor.h"
#include "sim/machine.h"
#include "tests/common/port_scenarios.h"

// One call of a recorded step: the function, and which of its calls it was.
struct CallPoint {
    std::string function;
    unsigned nth;
    std::string name() const { return function + " #" + std::to_string(nth); }
};

// Runs the step once with call recording and returns its calls in order, each
// numbered among the calls of its function: the points a test fails in turn.
inline std::vector<CallPoint> recordCallPoints(const std::function<void()>& step) {
    sim::machine().recordCalls(true);
    step();
    std::vector<std::string> calls = sim::machine().recordedCalls();
    sim::machine().recordCalls(false);
    std::map<std::string, unsigned> seen;
    std::vector<CallPoint> points;
    for (const std::string& call : calls) points.push_back({call, ++seen[call]});
    return points;
}

// Marker for "left untouched" checks.
constexpr DWORD Marker = 0xdeadbeef;

// The call fails with the given code. The last error is set to Marker first,
// so that a refusal which sets no code, or sets success, cannot pass for one
// that sets the right code.
#define EXPECT_REFUSED(error, ...)                                       \
    do {                                                                 \
        SetLastError(Marker);                                            \
        EXPECT_FALSE(__VA_ARGS__) << #__VA_ARGS__;                       \
        EXPECT_EQ(GetLastError(), (DWORD)(error)) << #__VA_ARGS__;       \
    } while (0)

// A case about a behaviour that the machine's traits record turns on or off
// (registry rights, deletion of key trees): skipped where this machine's traits,
// named t in the condition, do not have it.
#define WHERE_TRAITS(condition)                                                            \
    do {                                                                                   \
        const sim::SystemTraits t = sim::machine().traits();                               \
        if (!(condition)) GTEST_SKIP() << "this machine's traits do not have " #condition; \
    } while (0)

inline std::string portKeyPath(const std::string& name) { return std::string(MonitorKeyPath) + "\\" + name; }

inline std::vector<BYTE> configBytes(const PortConfig& config) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&config);
    return std::vector<BYTE>(p, p + sizeof config);
}

inline PortConfig nullConfig() { return PortConfigOf(PortKindNull, ""); }
inline PortConfig fileConfig(const std::string& fileName) { return PortConfigOf(PortKindFile, fileName.c_str()); }
inline PortConfig usbConfig(const std::string& instanceId) { return PortConfigOf(PortKindUsb, instanceId.c_str()); }

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override { module = host::loadZevuruzi(); }
    void TearDown() override {
        EXPECT_EQ(sim::machine().crashes(), std::vector<std::string>{}) << "code of an unloaded module ran";
        sim::machine().reset();
    }

    sim::Machine& machine() { return sim::machine(); }
    sim::Registry& registry() { return sim::machine().registry(); }

    void addPort(const std::string& name, const PortConfig& config) {
        registry().setValue(portKeyPath(name), "Property", REG_BINARY, configBytes(config));
    }

    // The key the spooler's installation makes for the monitor.
    void installMonitorKey() { registry().setString(MonitorKeyPath, "Driver", "ZEVURUZI.DLL"); }

    // Starts the monitor and lets its status thread finish its first refresh, so
    // that a test's calls and faults are its own.
    BOOL initialize() {
        BOOL ok = InitializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &table);
        EXPECT_TRUE(machine().waitIdle());
        return ok;
    }

    // A new process image over the same registry, as after a reboot: the
    // monitor's state, its heap, handles and the devices go; the registry stays.
    void restartKeepingRegistry() {
        std::string text = registry().exportText();
        module = host::loadZevuruzi();
        registry().importText(text, "registry before the restart");
    }

    std::vector<std::string> listedNames() {
        std::vector<std::string> names;
        for (PortRecord* r = PortList; r; r = r->next) names.push_back(r->name);
        return names;
    }

    std::size_t listedCount() { return listedNames().size(); }

    HINSTANCE module = nullptr;
    MONITOR_TABLE table{};
};

// The spooler's enumeration: ask the size, then fill; the names listed.
inline std::vector<std::string> enumeratePortNames(DWORD level = 2) {
    DWORD needed = 0, returned = 0;
    EnumPorts(nullptr, level, nullptr, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed + 1);
    EXPECT_TRUE(EnumPorts(nullptr, level, buffer.data(), needed, &needed, &returned));
    std::vector<std::string> names;
    for (DWORD i = 0; i < returned; i++)
        names.push_back(level == 1 ? reinterpret_cast<PORT_INFO_1A*>(buffer.data())[i].pName
                                   : reinterpret_cast<PORT_INFO_2A*>(buffer.data())[i].pPortName);
    return names;
}

// A monitor installed as the spooler's installation leaves it, on a machine
// that must hold no key, device information set or printer handle afterwards.
class InstalledMonitorTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        installMonitorKey();
    }
    void TearDown() override {
        EXPECT_EQ(machine().openKeys(), 0u);
        EXPECT_EQ(machine().openDeviceInfoSets(), 0u);
        EXPECT_EQ(machine().openPrinterHandles(), 0u);
        MonitorTest::TearDown();
    }
};

// The machine's disks in a temporary host folder, with C:\ made, gone afterwards.
struct TemporaryDisks {
    explicit TemporaryDisks(const char* prefix) {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        root = mkdtemp(pattern.data());
        sim::machine().setFileRoot(root);
        std::filesystem::create_directories(root + "/c");
    }
    ~TemporaryDisks() { std::filesystem::remove_all(root); }
    std::string root;
};
