// What the unit tests share: a fixture that loads the monitor into a fresh
// simulated machine, and helpers to arrange port keys.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/zevuruzi_module.h"
#include "monitor/monitor.h"
#include "sim/machine.h"

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

inline std::string portKeyPath(const std::string& name) { return std::string(MonitorKeyPath) + "\\" + name; }

inline std::vector<BYTE> configBytes(const PortConfig& config) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&config);
    return std::vector<BYTE>(p, p + sizeof config);
}

// Copies text into a fixed field, cut to fit with its terminator.
inline void copyText(char* field, size_t size, const std::string& text) {
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), n);
    field[n] = 0;
}

inline PortConfig nullConfig() {
    PortConfig c;
    std::memset(&c, 0, sizeof c);
    return c;
}

inline PortConfig fileConfig(const std::string& fileName) {
    PortConfig c = nullConfig();
    c.kind = PortKindFile;
    copyText(c.fileName, sizeof c.fileName, fileName);
    return c;
}

inline PortConfig usbConfig(const std::string& instanceId) {
    static const GUID usbPrinterClass = {0x6A7AD4E2, 0xAE15, 0x11D7, {0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1}};
    PortConfig c = nullConfig();
    c.kind = PortKindUsb;
    c.usb.interfaceGuid = usbPrinterClass;
    copyText(c.usb.instanceId, sizeof c.usb.instanceId, instanceId);
    c.usb.writePipe = 1;
    c.usb.readPipe = 0;
    return c;
}

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override { module = host::loadZevuruzi(); }
    void TearDown() override { sim::machine().reset(); }

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
