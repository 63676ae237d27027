// Port enumeration and the automatic USB port on the real DLL: the 32-bit
// records it packs, the port it makes from Wine's registry and SetupAPI, and
// its message box as Wine really shows it. Deletion is a port scenario
// (ports_wine_test.cpp).
#include <string>
#include <vector>

#include "tests/common/enum_answer.h"
#include "wine_support.h"

namespace {

struct Enumeration {
    BOOL result;
    DWORD error, needed, returned;
};

Enumeration enumPorts(const MONITOR_TABLE& monitor, DWORD level, LPBYTE buffer, DWORD size) {
    Enumeration e = {FALSE, Untouched, Untouched, Untouched};
    SetLastError(Untouched);
    e.result = monitor.pfnEnumPorts(NULL, level, buffer, size, &e.needed, &e.returned);
    e.error = GetLastError();
    return e;
}

// The ports of a filled answer of size bytes, which must be whole
// (tests/common/enum_answer.h); always count of them, so that a case may index them.
std::vector<EnumAnswerPort> portsOf(DWORD level, const std::vector<BYTE>& buffer, DWORD size, const Enumeration& e,
                                    size_t count) {
    EnumAnswer answer = ReadEnumAnswer(level, buffer.data(), size, e.returned, e.needed);
    CHECK_STR(answer.fault, "");
    CHECK_EQ(answer.ports.size(), count);
    answer.ports.resize(count);
    return answer.ports;
}

void checkUntouched(const std::vector<BYTE>& buffer, size_t from) {
    for (size_t i = from; i < buffer.size(); i++)
        if (buffer[i] != 0xCC) {
            CHECK_EQ(i, (size_t)-1);  // the first byte written
            return;
        }
}

}  // namespace

WINE_TEST(EnumPortsPacksThe32BitRecords) {
    clearMonitorKey();
    writeUsbPort("USB-002", "USB\\VID_1209&PID_0001\\ZEVENUM2");
    writeUsbPort("USB-001", "USB\\VID_1209&PID_0001\\ZEVENUM1");
    MONITOR_TABLE monitor = startMonitor();

    // Level 1: 4-byte records from the front, each name with its terminator from the back.
    std::vector<BYTE> buffer(32, 0xCC);
    Enumeration e = enumPorts(monitor, 1, buffer.data(), 0);
    CHECK(!e.result);
    CHECK_EQ(e.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    CHECK_EQ(e.needed, (DWORD)24);
    CHECK_EQ(e.returned, (DWORD)0);
    e = enumPorts(monitor, 1, buffer.data(), 23);
    CHECK(!e.result);
    CHECK_EQ(e.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    CHECK_EQ(e.returned, (DWORD)0);
    checkUntouched(buffer, 0);

    e = enumPorts(monitor, 1, buffer.data(), 24);
    CHECK(e.result);
    CHECK_EQ(e.needed, (DWORD)24);
    CHECK_EQ(e.returned, (DWORD)2);
    const PORT_INFO_1A* level1 = (const PORT_INFO_1A*)buffer.data();
    CHECK(level1[0].pName == (LPSTR)buffer.data() + 16);
    CHECK(level1[1].pName == (LPSTR)buffer.data() + 8);
    std::vector<EnumAnswerPort> ports = portsOf(1, buffer, 24, e, 2);
    CHECK_STR(ports[0].name, "USB-001");
    CHECK_STR(ports[1].name, "USB-002");
    checkUntouched(buffer, 24);

    // Level 0 counts the ports and writes nothing; a level above 2 is refused.
    std::vector<BYTE> untouched(32, 0xCC);
    e = enumPorts(monitor, 0, untouched.data(), 0);
    CHECK(e.result);
    CHECK_EQ(e.needed, (DWORD)0);
    CHECK_EQ(e.returned, (DWORD)2);
    e = enumPorts(monitor, 3, untouched.data(), (DWORD)untouched.size());
    CHECK(!e.result);
    CHECK_EQ(e.error, (DWORD)ERROR_INVALID_LEVEL);
    checkUntouched(untouched, 0);

    // Level 2 for one port: 20 bytes of record and three strings.
    CHECK(monitor.pfnDeletePort(NULL, NULL, (LPSTR) "USB-002"));
    std::vector<BYTE> level2Buffer(64, 0xCC);
    e = enumPorts(monitor, 2, NULL, 0);
    CHECK(!e.result);
    CHECK_EQ(e.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    CHECK_EQ(e.needed, (DWORD)52);
    e = enumPorts(monitor, 2, level2Buffer.data(), 52);
    CHECK(e.result);
    CHECK_EQ(e.returned, (DWORD)1);
    const EnumAnswerPort level2Port = portsOf(2, level2Buffer, 52, e, 1)[0];
    CHECK_STR(level2Port.name, "USB-001");
    CHECK_STR(level2Port.monitorName, "VO DUV Udadizo");
    CHECK_STR(level2Port.description, "USB Port");
    CHECK_EQ(level2Port.type, (DWORD)3);
    CHECK_EQ(level2Port.reserved, (DWORD)0);
    const PORT_INFO_2A* level2 = (const PORT_INFO_2A*)level2Buffer.data();
    CHECK(level2->pPortName == (LPSTR)level2Buffer.data() + 44);  // the last 8 bytes of the 52
    checkUntouched(level2Buffer, 52);
    clearMonitorKey();
}

WINE_TEST(EnumPortsCreatesTheUsbPortOfANewPrinter) {
    clearMonitorKey();
    {
        Printer printer("USB\\VID_1209&PID_0001\\ZEVAUTO1");
        printer.plugIn();
        UsbInstanceKey instance("ZEVAUTO1", "USB-001");
        MONITOR_TABLE monitor = startMonitor();
        std::vector<BYTE> buffer(256, 0xCC);

        // No monitor key: every name counts as taken, and nothing is made.
        Enumeration e = enumPorts(monitor, 2, buffer.data(), (DWORD)buffer.size());
        CHECK(e.result);
        CHECK_EQ(e.returned, (DWORD)0);
        CHECK(!keyExists(MonitorKeyPath));

        createMonitorKey();
        e = enumPorts(monitor, 2, buffer.data(), (DWORD)buffer.size());
        CHECK(e.result);
        CHECK_EQ(e.needed, (DWORD)52);
        CHECK_EQ(e.returned, (DWORD)1);
        const EnumAnswerPort port = portsOf(2, buffer, (DWORD)buffer.size(), e, 1)[0];
        CHECK_STR(port.name, "USB-001");
        CHECK_STR(port.monitorName, "VO DUV Udadizo");
        CHECK_STR(port.description, "USB Port");
        // Strings are packed down from the end of the buffer given, not of the space needed.
        CHECK(((const PORT_INFO_2A*)buffer.data())->pPortName == (LPSTR)buffer.data() + buffer.size() - 8);
        CHECK_EQ(port.type, (DWORD)3);

        // The stored configuration, byte for byte.
        std::string expected(556, '\0');
        expected[0] = 2;
        const BYTE guid[16] = {0xE2, 0xD4, 0x7A, 0x6A, 0x15, 0xAE, 0xD7, 0x11,
                               0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1};
        CopyMemory(&expected[268], guid, sizeof guid);
        CHECK_STR(printer.instanceId(), "USB\\VID_1209&PID_0001\\ZEVAUTO1");
        CopyMemory(&expected[284], printer.instanceId().c_str(), printer.instanceId().size());
        expected[548] = 1;
        std::string stored = readPortProperty("USB-001");
        CHECK_EQ(stored.size(), expected.size());
        for (size_t i = 0; i < stored.size() && i < expected.size(); i++)
            if (stored[i] != expected[i]) {
                CHECK_EQ(i, (size_t)-1);  // the first byte that differs
                break;
            }
        CHECK(!keyExists(MonitorKeyPath "\\" ProbeKeyName));

        // The next enumeration finds the port made and adds nothing.
        e = enumPorts(monitor, 1, buffer.data(), (DWORD)buffer.size());
        CHECK(e.result);
        CHECK_EQ(e.returned, (DWORD)1);
        CHECK_STR(portsOf(1, buffer, (DWORD)buffer.size(), e, 1)[0].name, "USB-001");
        CHECK(instance.hasPortName());
        runPendingRebuild();
    }
    clearMonitorKey();
}

WINE_TEST(PortNameUsb000IsDeletedAndReportedOnce) {
    clearMonitorKey();
    createMonitorKey();
    {
        UsbInstanceKey instance("ZEVFULL", "USB-000");
        MONITOR_TABLE monitor = startMonitor();
        DWORD needed = 0, returned = Untouched;

        MessageBoxWatcher watcher;
        CHECK(monitor.pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned));
        CHECK_EQ(returned, (DWORD)0);
        CHECK(!instance.hasPortName());
        CHECK(monitor.pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned));
        const std::vector<ShownBox>& shown = watcher.finish();
        CHECK_EQ(shown.size(), (size_t)1);
        if (!shown.empty()) {
            CHECK_STR(shown[0].caption, "Error Message");
            CHECK_STR(shown[0].text,
                      "Because the USB Port Number has exceeded the upper limit, the USB Port was not able to be "
                      "created.\nPlease delete any unnecessary USB Ports.");
        }
        CHECK(!keyExists(MonitorKeyPath "\\USB-000"));
    }
    clearMonitorKey();
}
