// The monitor under the spooler of Windows 95/98/Me: an application prints, the
// spooler queues the job and plays it back through the monitor's table on a
// thread of its own, with its retries, its error dialog and work-offline
// holding jobs.
#include "test_support.h"

#include <filesystem>
#include <set>

namespace {

const char PrinterId[] = "USB\\VID_1209&PID_0003\\5&3C4D&0&1";
const char Printer[] = "Office Printer";

class Spooler : public InstalledMonitorTest {
protected:
    void SetUp() override {
        InstalledMonitorTest::SetUp();
        addPort("USB-001", usbConfig(PrinterId));
        machine().addUsbPrinter({PrinterId});
    }
    void TearDown() override {
        machine().stopSpooler();
        EXPECT_TRUE(machine().waitIdle()) << "the status window, which the spooler's monitor started";
        EXPECT_EQ(machine().openHandles(), 0u) << "the ports are closed at spooler shutdown";
        InstalledMonitorTest::TearDown();
    }

    // As an application prints: the job's id, 0 when it could not be spooled.
    DWORD print(const std::string& data, const char* printer = Printer) {
        HANDLE handle = nullptr;
        if (!OpenPrinterA(const_cast<LPSTR>(printer), &handle, nullptr)) return 0;
        DOC_INFO_1A doc = {const_cast<LPSTR>("Page"), nullptr, nullptr};
        DWORD id = StartDocPrinterA(handle, 1, (LPBYTE)&doc);
        DWORD written = 0;
        EXPECT_TRUE(id == 0 || (WritePrinter(handle, (LPVOID)data.data(), (DWORD)data.size(), &written) &&
                                EndDocPrinter(handle)));
        ClosePrinter(handle);
        return id;
    }
    std::string received() {
        std::vector<BYTE> bytes = machine().usbReceived(PrinterId);
        return std::string(bytes.begin(), bytes.end());
    }
    DWORD statusOf(DWORD id) {
        for (auto& job : machine().spooledJobs())
            if (job.id == id) return job.status;
        return JOB_STATUS_DELETED;  // gone from the queue
    }
    bool waitForStatus(DWORD id, DWORD status) {
        for (int i = 0; i < 500 && statusOf(id) != status; i++) Sleep(10);
        return statusOf(id) == status;
    }
    void answerDialogs(int answer) {
        machine().setMessageBoxHandler([answer](const sim::Machine::MessageBoxCall&) { return answer; });
    }
};

TEST_F(Spooler, AJobIsSpooledThenPlayedBackThroughTheMonitor) {
    machine().addPrinter(Printer, "USB-001");
    DWORD id = print("%!PS\nshowpage\n");
    ASSERT_NE(id, 0u) << GetLastError();
    ASSERT_TRUE(machine().waitForPlayback());
    EXPECT_EQ(received(), "%!PS\nshowpage\n");
    EXPECT_TRUE(machine().messageBoxes().empty());
}

// "Spooled and held ... not despooled until Work Offline is deactivated": the
// monitor's status window clears the mark when the printer is plugged in.
TEST_F(Spooler, AJobForAnOfflinePrinterWaitsAndPrintsWhenThePrinterComesBack) {
    machine().addPrinter(Printer, "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    machine().unplugUsbPrinter(PrinterId);
    DWORD id = print("held page");
    ASSERT_TRUE(waitForStatus(id, JOB_STATUS_OFFLINE));
    EXPECT_EQ(received(), "");
    machine().plugUsbPrinter(PrinterId);
    machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    ASSERT_TRUE(waitForStatus(id, JOB_STATUS_DELETED)) << "printed, it leaves the queue";
    EXPECT_EQ(received(), "held page");
}

// A failed StartDocPort is called again until it succeeds.
TEST_F(Spooler, AFailedStartIsTriedAgain) {
    machine().addPrinter(Printer, "USB-001");
    machine().failCall("CreateFileA", 1, ERROR_GEN_FAILURE);
    DWORD id = print("second try");
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(machine().waitForPlayback());
    EXPECT_EQ(received(), "second try");
}

// A failed write shows the spooler's dialog: Retry writes again what was not
// written, Cancel ends the job with EndDocPort and frees the port.
TEST_F(Spooler, TheErrorDialogRetriesTheRestOrCancelsTheJob) {
    machine().addPrinter(Printer, "USB-001");
    sim::SpoolerSettings settings;
    settings.writeChunk = 4;
    machine().setSpoolerSettings(settings);
    for (int answer : {IDRETRY, IDCANCEL}) {
        SCOPED_TRACE(answer == IDRETRY ? "Retry" : "Cancel");
        machine().withUsbPrinter(PrinterId, [](sim::UsbPrinter& p) { p.received.clear(); });
        answerDialogs(answer);
        machine().failCall("WriteFile", 2, ERROR_GEN_FAILURE);
        print("1234abcd5678");
        ASSERT_TRUE(machine().waitForPlayback());
        EXPECT_EQ(received(), answer == IDRETRY ? "1234abcd5678" : "1234");
    }
    ASSERT_EQ(machine().messageBoxes().size(), 2u);
    EXPECT_EQ(machine().messageBoxes()[0].type, (UINT)(MB_RETRYCANCEL | MB_ICONEXCLAMATION));
    machine().withUsbPrinter(PrinterId, [](sim::UsbPrinter& p) { p.received.clear(); });
    print("after the cancel");
    ASSERT_TRUE(machine().waitForPlayback());
    EXPECT_EQ(received(), "after the cancel") << "the port was freed";
}

// Unplugged mid-job and plugged in again while the error dialog waits: Retry
// goes on through pipes opened anew, whatever code the dead pipes gave (31 on
// Windows 98), and the printer has the document once.
TEST_F(Spooler, RetryAfterThePrinterCameBackSendsTheRestOnce) {
    machine().addPrinter(Printer, "USB-001");
    std::string document(200 * 1024, '\0');
    for (std::size_t i = 0; i < document.size(); i++) document[i] = (char)(i * 7 + i / 251);
    for (bool atAnotherPath : {false, true}) {
        machine().onCall("WriteFile", 16, [this] { machine().unplugUsbPrinter(PrinterId); });  // after 60 KB
        machine().setMessageBoxHandler([this, atAnotherPath](const sim::Machine::MessageBoxCall&) {
            machine().plugUsbPrinter(PrinterId, atAnotherPath);
            return IDRETRY;
        });
        machine().withUsbPrinter(PrinterId, [](sim::UsbPrinter& p) { p.received.clear(); });
        print(document);
        ASSERT_TRUE(machine().waitForPlayback());
        EXPECT_TRUE(received() == document) << received().size() << " bytes received, another path " << atAnotherPath;
    }
    EXPECT_EQ(machine().messageBoxes().size(), 2u);
}

// The spooler lists every monitor's ports in one buffer, and never asks a
// monitor to delete a port it holds open.
TEST_F(Spooler, PortsAreListedAndDeletedThroughTheSpoolerButNeverAnOpenOne) {
    machine().addPrinter(Printer, "USB-001");
    addPort("NUL:", nullConfig());
    DWORD needed = 0, returned = Marker;
    EXPECT_REFUSED(ERROR_INSUFFICIENT_BUFFER, EnumPortsA(nullptr, 2, nullptr, 0, &needed, &returned));
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(EnumPortsA(nullptr, 2, buffer.data(), needed, &needed, &returned));
    ASSERT_EQ(returned, 2u);
    std::set<std::string> listed;  // in the registry's order, which is the personality's
    for (auto* port = reinterpret_cast<PORT_INFO_2A*>(buffer.data()); port < (PORT_INFO_2A*)buffer.data() + 2; port++)
        listed.insert(std::string(port->pPortName) + " " + port->pDescription);
    EXPECT_EQ(listed, (std::set<std::string>{"NUL: NULL Port", "USB-001 USB Port"}));
    print("page");
    ASSERT_TRUE(machine().waitForPlayback());
    EXPECT_REFUSED(ERROR_BUSY, DeletePortA(nullptr, nullptr, const_cast<LPSTR>("USB-001")));
    EXPECT_TRUE(DeletePortA(nullptr, nullptr, const_cast<LPSTR>("NUL:"))) << GetLastError();
    EXPECT_FALSE(registry().exists(portKeyPath("NUL:")));
    EXPECT_REFUSED(ERROR_UNKNOWN_PORT, DeletePortA(nullptr, nullptr, const_cast<LPSTR>("NUL:")));
}

TEST_F(Spooler, ApplicationCallsRefuseWhatTheSpoolerCannotTake) {
    machine().addPrinter(Printer, "USB-001");
    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenPrinterA(const_cast<LPSTR>(Printer), &handle, nullptr));
    DWORD written = Marker;
    EXPECT_REFUSED(ERROR_SPL_NO_STARTDOC, WritePrinter(handle, (LPVOID) "x", 1, &written));
    EXPECT_REFUSED(ERROR_SPL_NO_STARTDOC, EndDocPrinter(handle));
    EXPECT_REFUSED(ERROR_INVALID_LEVEL, StartDocPrinterA(handle, 2, nullptr));
    DOC_INFO_1A doc = {const_cast<LPSTR>("Aborted"), nullptr, nullptr};
    ASSERT_NE(StartDocPrinterA(handle, 1, (LPBYTE)&doc), 0u);
    EXPECT_TRUE(AbortPrinter(handle));
    EXPECT_TRUE(machine().spooledJobs().empty()) << "an aborted job leaves nothing";
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, SetJobA(handle, 99, 0, nullptr, JOB_CONTROL_CANCEL));
    ClosePrinter(handle);
}

// The 95 DDK asks EndDocPort to delete the finished job with SetJob; under
// that strict reading a job leaves the queue only then.
TEST_F(Spooler, PrintedJobsLeaveTheQueue) {
    machine().addPrinter(Printer, "USB-001");
    for (int i = 0; i < 10; i++) print("page " + std::to_string(i));
    ASSERT_TRUE(machine().waitForPlayback());
    EXPECT_EQ(received().size(), 60u);
    EXPECT_TRUE(machine().spooledJobs().empty()) << machine().spooledJobs().size() << " jobs left";
}

// A language monitor reads after each write, and the printer never answers:
// every read ends within the monitor's bound (the whole job well within ten
// times its two reads' bounds), and the job completes.
TEST_F(Spooler, ReadsOfAPrinterThatNeverAnswersLetTheJobComplete) {
    machine().setPersonality(sim::Personality::Windows98);
    machine().addPrinter(Printer, "USB-001");
    sim::SpoolerSettings settings;
    settings.readAfterEachWrite = true;
    settings.writeChunk = 4;
    machine().setSpoolerSettings(settings);
    machine().withUsbPrinter(PrinterId, [](sim::UsbPrinter& p) { p.readsWait = true; });
    DWORD id = print("12345678");
    ASSERT_TRUE(machine().waitForPlayback(10 * 2 * UsbReadWaitMilliseconds));
    EXPECT_EQ(received(), "12345678");
    EXPECT_EQ(statusOf(id), (DWORD)JOB_STATUS_DELETED) << "printed, it left the queue";
}

// The spooler lets go of the DLL of a monitor it removes; the status window's
// thread keeps it loaded, so the next broadcast finds its procedure's code.
TEST_F(Spooler, RemovingTheMonitorWhileTheSpoolerRunsLeavesTheStatusWindowsCode) {
    machine().setPersonality(sim::Personality::Windows98);
    ASSERT_TRUE(machine().startSpooler());
    ASSERT_TRUE(machine().waitIdle()) << "the status window is up";
    ASSERT_TRUE(FreeLibrary(module)) << "the monitor lives in the spooler alone";
    ASSERT_TRUE(DeleteMonitorA(nullptr, nullptr, const_cast<LPSTR>(LastPathComponent(MonitorKeyPath))));
    EXPECT_FALSE(registry().exists(MonitorKeyPath));
    machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
}

// A job whose data the spool folder cannot hold (its disk is full) is refused
// at EndDocPrinter and discarded; nothing of it reaches the printer. One the
// folder holds waits there for the next start of the spooler.
TEST_F(Spooler, TheSpoolFolderKeepsAQueueForTheNextStartAndRefusesWhatItCannotHold) {
    machine().addPrinter(Printer, "USB-001");
    std::filesystem::path folder = std::filesystem::temp_directory_path() / ("spool-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    machine().setSpoolFolder(folder.string());
    ASSERT_TRUE(machine().startSpooler());
    ASSERT_TRUE(machine().waitIdle()) << "the status window's first refresh is over";
    std::filesystem::create_symlink("/dev/full", folder / "00001.spl");
    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenPrinterA(const_cast<LPSTR>(Printer), &handle, nullptr));
    DOC_INFO_1A doc = {const_cast<LPSTR>("Page"), nullptr, nullptr};
    DWORD written = 0;
    ASSERT_EQ(StartDocPrinterA(handle, 1, (LPBYTE)&doc), 1u);
    WritePrinter(handle, (LPVOID)"page", 4, &written);
    EXPECT_REFUSED(ERROR_DISK_FULL, EndDocPrinter(handle));
    ClosePrinter(handle);
    EXPECT_TRUE(machine().spooledJobs().empty());
    EXPECT_EQ(received(), "") << "refused before anything was sent";

    machine().addPrinter(Printer, "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    DWORD held = print("held page");
    ASSERT_TRUE(waitForStatus(held, JOB_STATUS_OFFLINE));
    machine().stopSpooler();
    machine().addPrinter(Printer, "USB-001");
    ASSERT_TRUE(machine().startSpooler());
    EXPECT_TRUE(machine().spoolerNotices().empty());
    ASSERT_TRUE(waitForStatus(held, JOB_STATUS_DELETED));
    EXPECT_EQ(received(), "held page");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 0) << "it left with its files";
    std::filesystem::remove_all(folder);
}

}  // namespace
