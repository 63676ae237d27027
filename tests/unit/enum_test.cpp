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
