// The monitor under the spooler of Windows 95/98/Me: an application prints, the
// spooler queues the job and plays it back through the monitor's table on a
// thread of its own, with its retries, its error dialog and work-offline
// holding jobs.
#include "test_support.h"

#include <fcntl.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
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
    DWORD print(const std::string& data, const char* printer = Printer, const std::string& document = "Page") {
        HANDLE handle = nullptr;
        if (!OpenPrinterA(const_cast<LPSTR>(printer), &handle, nullptr)) return 0;
        DOC_INFO_1A doc = {const_cast<LPSTR>(document.c_str()), nullptr, nullptr};
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

// A failed StartDocPort meets the spooler's error dialog, as a failed write
// does; Retry starts the job again.
TEST_F(Spooler, AFailedStartIsTriedAgain) {
    machine().addPrinter(Printer, "USB-001");
    machine().setMessageBoxHandler([](const sim::Machine::MessageBoxCall&) { return IDRETRY; });
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

// Each call of a playback is told as it was made, a failed one with the
// monitor's error, which a trace making calls of its own cannot change; a
// call on a thread that does not want it is not told.
TEST_F(Spooler, TheTraceIsToldEachCallOfAPlaybackWithItsOwnLastError) {
    machine().addPrinter(Printer, "USB-001");
    sim::SpoolerSettings settings;
    settings.writeChunk = 4;
    machine().setSpoolerSettings(settings);
    std::mutex mutex;
    std::vector<std::string> told;
    std::atomic<bool> wanted{true};
    machine().setMonitorTrace(
        [&](const MonitorCall& c) {
            std::lock_guard<std::mutex> lock(mutex);
            told.push_back(std::string(c.slot) + (c.port ? " " : " no handle ") + (c.name ? c.name : "-") + " " +
                           (c.document ? c.document : "-") + " " + std::to_string(c.jobId) + " " +
                           std::to_string(c.size) + "/" + std::to_string(c.done) +
                           (c.result ? "" : " error " + std::to_string(c.error)));
            SetLastError(ERROR_ACCESS_DENIED);
        },
        [&] { return wanted.load(); });
    answerDialogs(IDCANCEL);
    machine().failCall("WriteFile", 2, ERROR_GEN_FAILURE);
    DWORD id = print("1234abcd", Printer, "Doc");
    ASSERT_TRUE(machine().waitForPlayback());
    wanted = false;
    print("untold");
    ASSERT_TRUE(machine().waitForPlayback());
    wanted = true;
    machine().stopSpooler();
    const std::string job = std::to_string(id);
    EXPECT_EQ(told, (std::vector<std::string>{"OpenPort USB-001 - 0 0/0", "StartDocPort Office Printer Doc " + job + " 0/0",
                                              "WritePort - - 0 4/4", "WritePort - - 0 4/0 error 31",
                                              "EndDocPort - - 0 0/0", "ClosePort - - 0 0/0"}));
    ASSERT_EQ(machine().messageBoxes().size(), 1u);
    EXPECT_NE(machine().messageBoxes()[0].text.find("(error 31)"), std::string::npos) << "the monitor's, not the trace's";
}

// Unplugged mid-job and plugged in again while the error dialog waits: Retry
// goes on through pipes opened anew, whatever code the dead pipes gave (31 on
// Windows 98, 1167 on NT, each tried with the machine's other differences),
// and the printer has the document once.
TEST_F(Spooler, RetryAfterThePrinterCameBackSendsTheRestOnce) {
    machine().addPrinter(Printer, "USB-001");
    // The status window's first look must not fall while the printer is out:
    // the test's replug is no device change, so nothing would set it online.
    ASSERT_TRUE(machine().startSpooler());
    ASSERT_TRUE(machine().waitIdle());
    std::string document(200 * 1024, '\0');
    for (std::size_t i = 0; i < document.size(); i++) document[i] = (char)(i * 7 + i / 251);
    sim::SystemTraits traits = machine().traits();
    for (DWORD gone : {ERROR_GEN_FAILURE, ERROR_DEVICE_NOT_CONNECTED})
    for (bool atAnotherPath : {false, true}) {
        traits.unpluggedDeviceError = gone;
        machine().setTraits(traits);
        machine().onCall("WriteFile", 16, [this] { machine().unplugUsbPrinter(PrinterId); });  // after 60 KB
        machine().setMessageBoxHandler([this, atAnotherPath](const sim::Machine::MessageBoxCall&) {
            machine().plugUsbPrinter(PrinterId, atAnotherPath);
            return IDRETRY;
        });
        machine().withUsbPrinter(PrinterId, [](sim::UsbPrinter& p) { p.received.clear(); });
        print(document);
        ASSERT_TRUE(machine().waitForPlayback());
        EXPECT_TRUE(received() == document) << received().size() << " bytes received, another path " << atAnotherPath
                                            << ", unplugged I/O failing with " << gone;
    }
    EXPECT_EQ(machine().messageBoxes().size(), 4u);
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

// Printers are found letter case aside in the machine's code page, é as É and
// ÿ as Ÿ but never ÷ as ×, and a job says its printer's own name.
TEST_F(Spooler, PrintersAreFoundInEitherLetterCaseOfTheCodePage) {
    machine().unplugUsbPrinter(PrinterId);  // held, so that the jobs stay to be looked at
    machine().addPrinter("\xc9tage \x9c\xff", "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    machine().addPrinter("Caisse \xf7", "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    const std::pair<const char*, const char*> names[] = {
        {"\xe9TAGE \x8c\x9f", "\xc9tage \x9c\xff"}, {"CAISSE \xf7", "Caisse \xf7"}, {"Caisse \xd7", ""}, {"Etage \x9c\xff", ""}};
    for (auto [opened, own] : names) {
        DWORD id = print("held", opened);
        auto jobs = machine().spooledJobs();
        auto job = std::find_if(jobs.begin(), jobs.end(), [&](const sim::JobReport& j) { return j.id == id; });
        EXPECT_EQ(job == jobs.end() ? "" : job->printer, own) << opened;
    }
}

// A program reads the queues as the printer folder does: the printers with
// EnumPrintersA, each one's jobs with EnumJobsA and GetJobA, a job's Position
// counted in its own printer's whole queue, whichever job the listing starts at.
TEST_F(Spooler, QueuesAreReadPrinterByPrinterWithEachJobsPlaceInItsOwnQueue) {
    const char Other[] = "Back Room";
    machine().unplugUsbPrinter(PrinterId);  // held: the monitor sets no printer of it online
    machine().addPrinter(Printer, "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    machine().addPrinter(Other, "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    DWORD needed = 0, count = Marker;
    EXPECT_REFUSED(ERROR_INSUFFICIENT_BUFFER, EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_REFUSED(ERROR_INVALID_LEVEL, EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 1, nullptr, 0, &needed, &count));
    std::vector<BYTE> printers(needed);
    ASSERT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, printers.data(), needed, &needed, &count));
    ASSERT_EQ(count, 2u);
    std::set<std::string> listed;
    for (auto* p = (PRINTER_INFO_2A*)printers.data(); p < (PRINTER_INFO_2A*)printers.data() + 2; p++)
        listed.insert(std::string(p->pPrinterName) + " " + p->pPortName + " " +
                      (p->Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE ? "offline" : "online"));
    EXPECT_EQ(listed, (std::set<std::string>{"Back Room USB-001 offline", "Office Printer USB-001 offline"}));

    for (const char* printer : {Printer, Printer, Other, Printer}) ASSERT_NE(print("held", printer), 0u);
    HANDLE office = nullptr, other = nullptr;
    ASSERT_TRUE(OpenPrinterA(const_cast<LPSTR>(Printer), &office, nullptr));
    ASSERT_TRUE(OpenPrinterA(const_cast<LPSTR>(Other), &other, nullptr));
    JOB_INFO_1A raise{};
    raise.Priority = 5;
    ASSERT_TRUE(SetJobA(office, 4, 1, (LPBYTE)&raise, 0));  // the office's queue: 4, 1, 2
    std::vector<BYTE> buffer(4096);
    auto* jobs = (JOB_INFO_1A*)buffer.data();
    ASSERT_TRUE(EnumJobsA(office, 1, 10, 1, buffer.data(), (DWORD)buffer.size(), &needed, &count));
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(std::vector<DWORD>({jobs[0].JobId, jobs[0].Position, jobs[1].JobId, jobs[1].Position}),
              std::vector<DWORD>({1, 2, 2, 3}));
    const struct { HANDLE printer; DWORD job, position; } places[] = {{office, 4, 1}, {office, 2, 3}, {other, 3, 1}};
    for (auto& place : places) {
        ASSERT_TRUE(GetJobA(place.printer, place.job, 1, buffer.data(), (DWORD)buffer.size(), &needed)) << place.job;
        EXPECT_EQ(jobs->Position, place.position) << place.job;
    }
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, GetJobA(other, 2, 1, buffer.data(), (DWORD)buffer.size(), &needed));
    ClosePrinter(office);
    ClosePrinter(other);
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

// The spool folder a machine's spooler keeps across its starts; each run here
// is a start of the spooler over it, which prints, or only lists for a
// machine that cannot record what it prints.
class SpoolFolder : public Spooler {
protected:
    void SetUp() override {
        Spooler::SetUp();
        char pattern[] = "/tmp/spool-XXXXXX";
        folder = mkdtemp(pattern);
    }
    void TearDown() override {
        Spooler::TearDown();
        std::filesystem::remove_all(folder);
    }
    // A new run; its printer unplugged and working offline, or back.
    void run(bool offline, bool playsBack = true) {
        machine().stopSpooler();
        machine().addPrinter(Printer, "USB-001", offline ? PRINTER_ATTRIBUTE_WORK_OFFLINE : 0);
        offline ? machine().unplugUsbPrinter(PrinterId) : machine().plugUsbPrinter(PrinterId);
        sim::SpoolerSettings settings;
        settings.playsBack = playsBack;
        machine().setSpoolerSettings(settings);
        machine().setSpoolFolder(folder);
        ASSERT_TRUE(machine().startSpooler());
        ASSERT_TRUE(machine().waitIdle());
    }
    std::string file(DWORD id, const char* extension) {
        return folder + "/" + std::string(5 - std::to_string(id).size(), '0') + std::to_string(id) + extension;
    }
    // A job's NNNNN.ctl: the bytes sent, as a spooler stopped midway leaves it.
    std::uint64_t shared(DWORD id, int at, std::optional<std::uint64_t> set = std::nullopt) {
        int fd = ::open(file(id, ".ctl").c_str(), O_RDWR);
        std::uint64_t value = 0;
        EXPECT_EQ(set ? ::pwrite(fd, &*set, 8, at * 8) : ::pread(fd, &value, 8, at * 8), 8);
        ::close(fd);
        return set.value_or(value);
    }
    // Job 1's file changed as a person (or a run killed midway) leaves it.
    void edit(const char* extension, const std::function<void(std::string&)>& change) {
        std::ifstream in(file(1, extension), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        change(text);
        std::ofstream(file(1, extension), std::ios::binary) << text;
    }
    // As the printer folder cancels a job: SetJobA on a handle of its printer.
    BOOL cancel(DWORD id) {
        HANDLE handle = nullptr;
        OpenPrinterA(const_cast<LPSTR>(Printer), &handle, nullptr);
        BOOL ok = SetJobA(handle, id, 0, nullptr, JOB_CONTROL_CANCEL);
        ClosePrinter(handle);
        return ok;
    }
    std::string notices() {
        std::string all;
        for (auto& line : machine().spoolerNotices()) all += line + "\n";
        return all;
    }
    std::string folder;
};

// Jobs given while the printer is away print as a printer's queue does: by
// priority, then as they were given; also across starts, and after a power
// cut while it printed one. A spooler that only lists prints none.
TEST_F(SpoolFolder, HeldJobsPrintByPriorityThenArrivalAcrossRunsAndAfterAKill) {
    // raised: a job given priority 5; killed: a run ended while job 1 printed, after its first byte.
    const struct { const char* scenario; bool newRun; DWORD raised; bool killed; const char* order; } scenarios[] = {{"in one run", false, 0, false, "123456"},
                     {"across runs", true, 0, false, "123456"},
                     {"job 4 raised", true, 4, false, "412356"},
                     {"after a kill", true, 0, true, "123456"}};
    for (auto& s : scenarios) {
        SCOPED_TRACE(s.scenario);
        machine().withUsbPrinter(PrinterId, [](sim::UsbPrinter& p) { p.received.clear(); });
        run(true);
        for (char d = '1'; d <= '6'; d++) ASSERT_EQ(print(std::string(1, d), Printer, std::string("d") + d), DWORD(d - '0'));
        if (s.raised) {
            HANDLE handle = nullptr;
            JOB_INFO_1A info{};
            info.Priority = 5;
            ASSERT_TRUE(OpenPrinterA(const_cast<LPSTR>(Printer), &handle, nullptr));
            EXPECT_TRUE(SetJobA(handle, s.raised, 1, (LPBYTE)&info, 0)) << GetLastError();
            ClosePrinter(handle);
        }
        if (s.newRun) {
            machine().stopSpooler();
            if (s.killed) {
                edit(".job", [](std::string& t) { t.replace(t.find("queued"), 6, "printing"); });
                shared(1, 0, 1);
            }
            run(false, false);
            EXPECT_EQ(machine().spooledJobs().front().id, s.raised ? s.raised : 1u);
            EXPECT_EQ(machine().spooledJobs().front().status, s.killed ? DWORD(JOB_STATUS_PRINTING) : 0u);
            run(true);
        }
        EXPECT_EQ(received(), "") << "held, and not printed by a spooler that lists";
        machine().plugUsbPrinter(PrinterId);
        machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        ASSERT_TRUE(waitForStatus(s.order[5] - '0', JOB_STATUS_DELETED)) << "the last one printed";
        EXPECT_EQ(received(), s.order);
        EXPECT_EQ(notices().find("was printing when the spooler stopped, after 1 of 1 bytes; the job prints again from the start") != std::string::npos,
                  s.killed) << notices();
    }
}

// Every record reads back whatever bytes its names hold; one edited into
// nonsense, or missing its data, is named with its file and line, listed
// as unreadable, never printed, and cancelled with its files.
TEST_F(SpoolFolder, EveryRecordReadsBackAndOneThatCannotIsNamedListedAndCancellable) {
    machine().addPrinter("Office\nPrinter", "USB-001", PRINTER_ATTRIBUTE_WORK_OFFLINE);
    for (std::string name : {"Report\nQ3", "Report\nspooled: 3", "\"},\n\"state\": \"printed", "caf\xe9 \x81\x7f\x01"})
        for (const char* printer : {Printer, "Office\nPrinter"}) {
            run(true);
            print("x", printer, name);
            run(true, false);
            ASSERT_EQ(machine().spooledJobs().size(), 1u) << notices();
            EXPECT_EQ(machine().spooledJobs()[0].document, name);
            EXPECT_EQ(machine().spooledJobs()[0].printer, printer);
            std::filesystem::remove_all(folder);
        }
    // A record of an earlier version, "key: value" a line, still reads.
    std::filesystem::create_directories(folder);
    std::ofstream(file(1, ".job")) << "printer: Office Printer\nport: USB-001\ndocument: old\nstate: queued\nspooled: 3\n";
    std::ofstream(file(1, ".spl")) << "old";
    run(true, false);
    ASSERT_EQ(machine().spooledJobs().size(), 1u) << notices();
    EXPECT_EQ(machine().spooledJobs()[0].document, "old");
    std::filesystem::remove_all(folder);
    const struct { std::function<void()> edit; const char* said; } broken[] = {
        {[this] { edit(".job", [](std::string& t) { t += "colour: blue\n"; }); },
         "00001.job: line 11 (\"colour: blue\") is not part of a job record"},
        {[&] { edit(".job", [](std::string& t) { t.replace(t.find("\"spooled\": 9"), 12, "\"spooled\": -9"); }); },
         "00001.job: line 7: its \"spooled\" is -9, not a count of bytes"},
        {[&] { edit(".job", [](std::string& t) { t.replace(t.find("queued"), 6, "flying"); }); },
         "its state \"flying\" is none a job can be in"},
        {[&] { edit(".spl", [](std::string& t) { t.resize(2); }); },
         "its data file 00001.spl holds 2 bytes, and its record says 9"},
        {[&] { std::filesystem::remove(file(1, ".spl")); }, "its data file 00001.spl is missing"},
        {[&] { std::filesystem::remove(file(1, ".job")); }, "00001.spl: its spooled data 00001.spl has no job record"},
    };
    for (auto& b : broken) {
        SCOPED_TRACE(b.said);
        run(true);
        ASSERT_EQ(print("held page"), 1u);
        machine().stopSpooler();
        b.edit();
        run(false);
        EXPECT_NE(notices().find(b.said), std::string::npos) << notices();
        ASSERT_EQ(machine().spooledJobs().size(), 1u);
        EXPECT_NE(machine().spooledJobs()[0].unreadable.find(b.said), std::string::npos);
        EXPECT_TRUE(machine().waitForPlayback());
        EXPECT_EQ(received().find("held page"), std::string::npos) << "never printed";
        EXPECT_TRUE(cancel(1));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 0) << "its files went with it";
    }
}

}  // namespace
