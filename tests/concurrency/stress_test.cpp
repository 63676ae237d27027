// The spooler's threads and the status thread at once: enumerations that
// create ports, deletions, jobs on several ports, printers plugged and
// unplugged, and broadcasts. Nothing may race, crash or leak.
#include "test_support.h"

#include <atomic>
#include <filesystem>
#include <thread>

namespace {

const char FirstId[] = "USB\\VID_1209&PID_0001\\STRESS1";
const char SecondId[] = "USB\\VID_1209&PID_0001\\STRESS2";
constexpr int Rounds = 400;

class Stress : public MonitorTest {
protected:
    void job(const char* portName, const std::string& data) {
        HANDLE port = nullptr;
        if (!OpenPort(const_cast<LPSTR>(portName), &port)) return;
        if (StartDocPort(port, const_cast<LPSTR>("Office"), 1, 1, nullptr)) {
            DWORD written;
            WritePort(port, (LPBYTE)data.data(), (DWORD)data.size(), &written);
            EndDocPort(port);
        }
        ClosePort(port);
    }
    TemporaryDisks disks{"zevstress"};
};

TEST_F(Stress, SpoolerThreadsAndTheStatusThreadTogether) {
    installMonitorKey();
    addPort("NUL:", nullConfig());
    addPort("FILE:", fileConfig("C:\\stress.prn"));
    machine().addUsbPrinter({FirstId, "USB-001"});
    machine().addUsbPrinter({SecondId, "USB-002"});
    machine().addPrinter("Office", "USB-001");
    machine().addPrinter("Lab", "USB-002");
    ASSERT_TRUE(initialize());

    std::atomic<int> enumerated{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // the spooler lists ports, which also creates them
        for (int i = 0; i < Rounds; i++) {
            DWORD needed = 0, returned = 0;
            EnumPorts(nullptr, 2, nullptr, 0, &needed, &returned);
            std::vector<BYTE> buffer(needed + 64);
            if (EnumPorts(nullptr, 2, buffer.data(), (DWORD)buffer.size(), &needed, &returned)) enumerated++;
        }
    });
    threads.emplace_back([&] {  // the user deletes a port that keeps coming back
        for (int i = 0; i < Rounds; i++) DeletePort(nullptr, nullptr, const_cast<LPSTR>("USB-001"));
    });
    threads.emplace_back([&] {
        for (int i = 0; i < Rounds; i++) job("NUL:", std::string(512, 'n'));
    });
    threads.emplace_back([&] {
        for (int i = 0; i < Rounds / 2; i++) job("FILE:", "file job " + std::to_string(i));
    });
    threads.emplace_back([&] {
        for (int i = 0; i < Rounds / 2; i++) job("USB-002", "usb job " + std::to_string(i));
    });
    threads.emplace_back([&] {  // a printer comes and goes; the system broadcasts each time
        for (int i = 0; i < Rounds / 2; i++) {
            if (i % 2)
                machine().plugUsbPrinter(FirstId);
            else
                machine().unplugUsbPrinter(FirstId);
            machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < Rounds / 2; i++) {
            machine().broadcast(WM_WININICHANGE);
            PostMessageA(FindWindowA("SetQMUsbPortStatus", nullptr), WM_USER, 0, 0);
        }
    });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(machine().waitIdle());

    EXPECT_GT(enumerated.load(), 0);
    EXPECT_EQ(machine().openKeys(), 0u);
    EXPECT_EQ(machine().openHandles(), 0u);
    EXPECT_EQ(machine().openPrinterHandles(), 0u);
    EXPECT_EQ(machine().openDeviceInfoSets(), 0u);
    EXPECT_EQ(machine().liveAllocations(), 1 + listedCount()) << "the root copy and the listed ports";
    EXPECT_FALSE(registry().exists(portKeyPath(ProbeKeyName)));
    EXPECT_LE(machine().commandLines().size(), (size_t)Rounds) << "at most one rebuild per creation";
    // The registry and the list agree on every port.
    for (const std::string& name : listedNames())
        EXPECT_TRUE(registry().value(portKeyPath(name), "Property").has_value()) << name;
}

// Applications spool while the spooler plays their jobs back from the spool
// folder, a third of them take theirs back midway, and a person cancels what
// the queue lists meanwhile: nothing may race, and every job leaves with its files.
TEST_F(Stress, JobsPlayBackWhileTheyAreSpooledAndCancelledMeanwhile) {
    installMonitorKey();
    machine().addUsbPrinter({FirstId, "USB-001"});
    machine().addPrinter("Office", "USB-001");
    machine().setSpoolFolder(disks.root + "/spool");
    ASSERT_TRUE(machine().startSpooler());
    auto withPrinter = [](const std::function<void(HANDLE)>& f) {
        HANDLE printer = nullptr;
        if (OpenPrinterA(const_cast<LPSTR>("Office"), &printer, nullptr)) f(printer), ClosePrinter(printer);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < Rounds / 20; i++)
                withPrinter([&](HANDLE printer) {
                    DOC_INFO_1A doc = {const_cast<LPSTR>("stress"), nullptr, nullptr};
                    DWORD written, id = StartDocPrinterA(printer, 1, (LPBYTE)&doc);
                    for (int k = 0; id && k < 8; k++) WritePrinter(printer, (LPVOID)std::string(4096, 's').data(), 4096, &written);
                    (i + t) % 3 ? EndDocPrinter(printer) : AbortPrinter(printer);
                });
        });
    threads.emplace_back([&] {
        for (int i = 0; i < Rounds; i++)
            for (auto& job : machine().spooledJobs())
                withPrinter([&](HANDLE printer) { SetJobA(printer, job.id, 0, nullptr, JOB_CONTROL_CANCEL); });
    });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(machine().waitForPlayback());
    EXPECT_TRUE(machine().spooledJobs().empty());
    machine().stopSpooler();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(disks.root + "/spool"), {}), 0);
    EXPECT_EQ(machine().openPrinterHandles(), 0u);
}

// Two printers' queues play on threads of their own: while one printer takes
// nothing, the other prints every job it is given, the queue is listed, and
// a cancel of the stalled job is asked; the stall's end lets it go.
TEST_F(Stress, APrinterThatStallsHoldsOnlyItsOwnQueue) {
    installMonitorKey();
    machine().addUsbPrinter({FirstId, "USB-001"});
    machine().addUsbPrinter({SecondId, "USB-002"});
    machine().addPrinter("Office", "USB-001");
    machine().addPrinter("Lab", "USB-002");
    machine().setSpoolFolder(disks.root + "/spool");
    ASSERT_TRUE(machine().startSpooler());
    machine().withUsbPrinter(FirstId, [](sim::UsbPrinter& p) { p.stallAtByte = 4096, p.stallMilliseconds = 60000; });
    auto give = [](const char* printerName, const std::string& data) {
        HANDLE printer = nullptr;
        DWORD id = 0, written = 0;
        DOC_INFO_1A doc = {const_cast<LPSTR>("stress"), nullptr, nullptr};
        if (OpenPrinterA(const_cast<LPSTR>(printerName), &printer, nullptr)) {
            id = StartDocPrinterA(printer, 1, (LPBYTE)&doc);
            if (!id || !WritePrinter(printer, (LPVOID)data.data(), (DWORD)data.size(), &written) || !EndDocPrinter(printer)) id = 0;
            ClosePrinter(printer);
        }
        return id;
    };
    DWORD stalled = give("Office", std::string(12288, 'o'));
    ASSERT_NE(stalled, 0u);
    std::vector<std::thread> threads;
    std::atomic<int> printed{0};
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < Rounds / 40; i++)
                if (DWORD id = give("Lab", std::string(2048, 'l')))
                    for (int wait = 0; wait < 500; wait++, Sleep(10))
                        if (auto ended = machine().endedJob(id)) {
                            printed += ended->status == JOB_STATUS_PRINTED;
                            break;
                        }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < Rounds; i++) machine().spooledJobs();
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(printed.load(), 2 * (Rounds / 40)) << "every job of the other printer printed meanwhile";
    EXPECT_FALSE(machine().endedJob(stalled)) << "still stalled";
    HANDLE office = nullptr;
    ASSERT_TRUE(OpenPrinterA(const_cast<LPSTR>("Office"), &office, nullptr));
    EXPECT_TRUE(SetJobA(office, stalled, 0, nullptr, JOB_CONTROL_CANCEL));
    ClosePrinter(office);
    machine().endStalls();
    ASSERT_TRUE(machine().waitForPlayback());
    auto ended = machine().endedJob(stalled);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, (DWORD)JOB_STATUS_DELETED) << "cancelled at its next write";
    machine().stopSpooler();
    EXPECT_EQ(machine().openPrinterHandles(), 0u);
}

}  // namespace
