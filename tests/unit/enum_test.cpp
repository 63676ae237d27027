// Port enumeration into the spooler's buffer, and the deletions only the simulated machine can fail.
#include "test_support.h"

#include <map>

namespace {

class Enumeration : public MonitorTest {
protected:
    void TearDown() override {
        EXPECT_EQ(machine().openKeys(), 0u);
        MonitorTest::TearDown();
    }
    DWORD level1Size(const std::string& name) { return (DWORD)(sizeof(PORT_INFO_1A) + name.size() + 1); }
    DWORD level2Size(const std::string& name, const std::string& description) {
        return (DWORD)(sizeof(PORT_INFO_2A) + name.size() + 1 + std::strlen("VO DUV Udadizo") + 1 +
                       description.size() + 1);
    }
    LPBYTE at(std::vector<BYTE>& buffer, size_t offset) { return buffer.data() + offset; }
};

TEST_F(Enumeration, Level1PacksRecordsInFrontAndNamesFromTheEnd) {
    addPort("USB-001", usbConfig("USB\\VID_1\\A"));
    addPort("USB-002", usbConfig("USB\\VID_2\\B"));
    ASSERT_TRUE(initialize());
    DWORD needed = Marker, returned = Marker;
    EXPECT_REFUSED(ERROR_INSUFFICIENT_BUFFER, EnumPorts(nullptr, 1, nullptr, 0, &needed, &returned));
    const DWORD total = level1Size("USB-001") + level1Size("USB-002");  // 24 on the 32-bit DLL
    EXPECT_EQ(needed, total);
    EXPECT_EQ(returned, 0u);

    std::vector<BYTE> buffer(total, 0xAB);
    ASSERT_TRUE(EnumPorts(nullptr, 1, buffer.data(), total, &needed, &returned));
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(needed, total);
    auto* info = reinterpret_cast<PORT_INFO_1A*>(buffer.data());
    EXPECT_EQ((LPBYTE)info[0].pName, at(buffer, total - 8)) << "the first name is placed last";
    EXPECT_EQ((LPBYTE)info[1].pName, at(buffer, total - 16));
    EXPECT_STREQ(info[0].pName, "USB-001");
    EXPECT_STREQ(info[1].pName, "USB-002");
}

TEST_F(Enumeration, Level2ReportsNameMonitorDescriptionAndType) {
    NT_ONLY("subkeys come in the order they were made");
    addPort("USB-001", usbConfig("USB\\VID_1\\A"));
    addPort("FILE:", fileConfig("C:\\out.prn"));
    ASSERT_TRUE(initialize());
    const DWORD total = level2Size("FILE:", "FILE Port") + level2Size("USB-001", "USB Port");
    EXPECT_EQ(level2Size("USB-001", "USB Port"), sizeof(PORT_INFO_2A) + 32) << "52 on the 32-bit DLL";
    std::vector<BYTE> buffer(total + 10, 0xAB);
    DWORD needed = 0, returned = 0;
    ASSERT_TRUE(EnumPorts(nullptr, 2, buffer.data(), (DWORD)buffer.size(), &needed, &returned));
    EXPECT_EQ(needed, total);
    ASSERT_EQ(returned, 2u);
    auto* info = reinterpret_cast<PORT_INFO_2A*>(buffer.data());
    EXPECT_STREQ(info[0].pPortName, "FILE:");
    EXPECT_STREQ(info[0].pDescription, "FILE Port");
    EXPECT_EQ(info[0].fPortType, (DWORD)PORT_TYPE_WRITE);
    EXPECT_STREQ(info[1].pPortName, "USB-001");
    EXPECT_STREQ(info[1].pMonitorName, "VO DUV Udadizo");
    EXPECT_STREQ(info[1].pDescription, "USB Port");
    EXPECT_EQ(info[1].fPortType, (DWORD)(PORT_TYPE_WRITE | PORT_TYPE_READ));
    EXPECT_EQ(info[1].Reserved, 0u);
    // Strings go downwards from the end, name first, in record order.
    EXPECT_EQ((LPBYTE)info[0].pPortName, at(buffer, buffer.size() - 6));
    EXPECT_EQ((LPBYTE)info[0].pMonitorName, at(buffer, buffer.size() - 6 - 15));
    EXPECT_EQ(buffer[2 * sizeof(PORT_INFO_2A)], 0xAB) << "the gap between records and strings is untouched";
}

TEST_F(Enumeration, LevelsZeroAndThreeAndABufferTooSmall) {
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    std::vector<BYTE> buffer(64, 0xAB);
    DWORD needed = Marker, returned = Marker;
    ASSERT_TRUE(EnumPorts(nullptr, 0, buffer.data(), 0, &needed, &returned));
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(buffer, std::vector<BYTE>(64, 0xAB));

    needed = returned = Marker;
    EXPECT_REFUSED(ERROR_INVALID_LEVEL, EnumPorts(nullptr, 3, buffer.data(), 64, &needed, &returned));
    EXPECT_EQ(needed, Marker);
    EXPECT_EQ(returned, Marker);
    // The level is compared unsigned.
    EXPECT_REFUSED(ERROR_INVALID_LEVEL, EnumPorts(nullptr, 0x80000001u, buffer.data(), 64, &needed, &returned));
    EXPECT_EQ(needed, Marker);
    EXPECT_EQ(returned, Marker);

    const DWORD total = level2Size("NUL:", "NULL Port");
    EXPECT_REFUSED(ERROR_INSUFFICIENT_BUFFER, EnumPorts(nullptr, 2, buffer.data(), total - 1, &needed, &returned));
    EXPECT_EQ(needed, total);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(buffer, std::vector<BYTE>(64, 0xAB)) << "nothing written";
    // No buffer holds nothing.
    EXPECT_REFUSED(ERROR_INSUFFICIENT_BUFFER, EnumPorts(nullptr, 2, nullptr, 64, &needed, &returned));
    EXPECT_TRUE(EnumPorts(nullptr, 2, buffer.data(), total, nullptr, nullptr));
}

// The measure and the fill each hold the lock for their walk only; a port
// linked or unlinked by another thread in between must never make the fill
// write past the buffer.
TEST_F(Enumeration, APortLinkedBetweenMeasureAndFillNeverOverrunsTheBuffer) {
    addPort("USB-001", usbConfig("USB\\VID_1\\A"));
    ASSERT_TRUE(initialize());
    const DWORD one = level2Size("USB-001", "USB Port");
    PortCreateRequest* request = NewPortCreateRequest("USB-002", nullptr);
    request->config = usbConfig("USB\\VID_2\\B");
    PortRecord* added = CreatePortFromRequest(request);
    FreePortRecord(request);
    // The second walk's lock is the second one EnumeratePorts takes.
    machine().onCall("EnterCriticalSection", 2, [&] { LinkPortRecord(added); });
    std::vector<BYTE> buffer(one + 16, 0xAB);
    DWORD needed = 0, returned = Marker;
    EXPECT_REFUSED(ERROR_INSUFFICIENT_BUFFER, EnumeratePorts(2, buffer.data(), one, &needed, &returned));
    EXPECT_EQ(needed, 2 * one) << "the size to ask again with";
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(buffer, std::vector<BYTE>(one + 16, 0xAB));

    // A port removed in between: the fill reports what it wrote.
    machine().onCall("EnterCriticalSection", 2, [&] { UnlinkPortRecord(added); });
    buffer.assign(2 * one, 0xAB);
    ASSERT_TRUE(EnumeratePorts(2, buffer.data(), 2 * one, &needed, &returned));
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(needed, one);
    EXPECT_STREQ(reinterpret_cast<PORT_INFO_2A*>(buffer.data())->pPortName, "USB-001");
    FreePortRecord(added);
}

TEST_F(Enumeration, AScanThatAddsNothingKeepsTheFirstAnswersError) {
    addPort("NUL:", nullConfig());
    registry().create("Enum\\USB\\VID_1\\A");  // something for the scan to walk
    ASSERT_TRUE(initialize());
    DWORD needed = 0, returned = 0;
    EXPECT_REFUSED(ERROR_INSUFFICIENT_BUFFER, EnumPorts(nullptr, 1, nullptr, 0, &needed, &returned));
    EXPECT_GT(machine().callCount("RegEnumKeyA"), 1u) << "the scan ran";
    EXPECT_EQ(DriverIndexRebuildPending, 0);

    // A printer of ours that is not plugged in: the scan looks for its device
    // in vain, and that search's error is not the enumeration's.
    const char printerId[] = "USB\\VID_1209&PID_0002\\5&1&0&2";
    machine().addUsbPrinter({printerId, "USB-002"});
    machine().unplugUsbPrinter(printerId);
    unsigned lookUps = machine().callCount("SetupDiGetClassDevsA");
    needed = returned = Marker;
    EXPECT_REFUSED(ERROR_INSUFFICIENT_BUFFER, EnumPorts(nullptr, 1, nullptr, 0, &needed, &returned));
    EXPECT_GT(machine().callCount("SetupDiGetClassDevsA"), lookUps) << "the device was looked for";
    EXPECT_EQ(needed, (DWORD)level1Size("NUL:"));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(DriverIndexRebuildPending, 0);
}

class Deletion : public Enumeration {};

TEST_F(Deletion, AKeyThatCannotBeRemovedBringsThePortBackAtTheNextStart) {
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    machine().failCall("RegDeleteKeyA", 1, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeletePort(nullptr, nullptr, const_cast<LPSTR>("NUL:")));
    EXPECT_EQ(PortList, nullptr);
    EXPECT_TRUE(registry().exists(portKeyPath("NUL:")));

    restartKeepingRegistry();
    ASSERT_TRUE(initialize());
    EXPECT_EQ(listedNames(), std::vector<std::string>{"NUL:"});
}

TEST_F(Deletion, EveryFailingCallOfADeletionLeavesRegistryAndListConsistent) {
    auto arrange = [this] {
        module = host::loadZevuruzi();
        addPort("NUL:", nullConfig());
        addPort("USB-001", usbConfig("USB\\VID_1\\A"));
        EXPECT_TRUE(initialize());
    };
    arrange();
    auto points = recordCallPoints([] { ASSERT_TRUE(DeletePort(nullptr, nullptr, const_cast<LPSTR>("NUL:"))); });
    for (const CallPoint& point : points) {
        SCOPED_TRACE(point.name());
        arrange();
        machine().failCall(point.function, point.nth, ERROR_GEN_FAILURE);
        EXPECT_TRUE(DeletePort(nullptr, nullptr, const_cast<LPSTR>("NUL:"))) << "the port leaves the list regardless";
        EXPECT_EQ(listedNames(), std::vector<std::string>{"USB-001"});
        EXPECT_EQ(machine().liveAllocations(), 2u);
        EXPECT_EQ(machine().openKeys(), 0u);
        EXPECT_TRUE(registry().exists(portKeyPath("USB-001")));
    }
}

}  // namespace
