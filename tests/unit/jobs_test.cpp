// Print jobs on null and file ports, as the spooler runs them: start, write,
// end, and everything that can go wrong in between. The scenarios that the
// Wine program plays too are in tests/common/job_scenarios.cpp; the cases here
// need what only the simulated machine does (failing a call, a stored name
// without its terminator, a kind changed under a running job).
#include "test_support.h"
#include "tests/common/job_scenarios.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class Jobs : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        fs::create_directories(disks.root + "/c/jobs");
        machine().addPrinter(JobPrinterName, "FILE:");
    }
    void TearDown() override {
        EXPECT_EQ(machine().openHandles(), 0u) << "file handles left open";
        EXPECT_EQ(machine().openPrinterHandles(), 0u) << "printer handles left open";
        MonitorTest::TearDown();
    }

    HANDLE open(const char* name) {
        HANDLE port = nullptr;
        EXPECT_TRUE(OpenPort(const_cast<LPSTR>(name), &port));
        return port;
    }
    PortRecord* record(HANDLE port) { return static_cast<PortRecord*>(port); }

    BOOL start(HANDLE port, DWORD jobId = 0) {
        doc = {const_cast<LPSTR>("Letter"), nullptr, nullptr};
        return StartDocPort(port, const_cast<LPSTR>(JobPrinterName), jobId, 1, reinterpret_cast<LPBYTE>(&doc));
    }

    BOOL write(HANDLE port, const std::string& data, DWORD* written = nullptr) {
        DWORD count = Marker;
        BOOL ok = WritePort(port, (LPBYTE)data.data(), (DWORD)data.size(), &count);
        if (written) *written = count;
        return ok;
    }

    std::string hostFile(const std::string& windowsPath) {
        std::ifstream in(machine().hostPath(windowsPath), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TemporaryDisks disks{"zevjobs"};
    DOC_INFO_1A doc{};
};

// The shared scenarios on the simulated machine, which also counts the
// handles the monitor holds after every step.
class JobScenario : public Jobs, public JobHarness, public testing::WithParamInterface<std::string> {
protected:
    MONITOR_TABLE startMonitor(const char* portName, const PortConfig& config) override {
        addPort(portName, config);
        EXPECT_TRUE(initialize());
        return table;
    }
    std::string jobPath(const char* fileName) override { return std::string("C:\\jobs\\") + fileName; }
    void answerDialog(const char* path) override { machine().scriptOpenFile(std::string(path)); }
    int dialogsShown() override { return (int)machine().openFileCalls().size(); }
    std::string dialogFileType() override { return machine().openFileCalls().back().filter.at(0); }
    std::string machineFault(const PortRecord* record, int heldElsewhere) override {
        if (machine().openHandles() != (size_t)heldElsewhere + (record->file.handle != nullptr))
            return std::to_string(machine().openHandles()) + " file handles open";
        if (machine().openPrinterHandles() != (size_t)(record->printer != nullptr))
            return std::to_string(machine().openPrinterHandles()) + " printer handles open";
        return "";
    }
    void fail(const std::string& what) override { ADD_FAILURE() << what; }
};

TEST_P(JobScenario, Plays) {
    PlayJobScenario(GetParam(), *this);
    // Every dialog asked as the systems before Windows 2000 know it, owned by
    // the desktop, for any file, in a folder that exists.
    for (const sim::Machine::OpenFileCall& call : machine().openFileCalls()) {
        const OPENFILENAMEA& request = call.request;
        EXPECT_EQ(request.lStructSize, (DWORD)OPENFILENAME_SIZE_VERSION_400A);
        EXPECT_EQ(request.hwndOwner, machine().desktopWindow());
        EXPECT_EQ(request.hInstance, nullptr);
        EXPECT_EQ(call.filter, (std::vector<std::string>{"All Files", "*.*"}));
        EXPECT_EQ(request.lpstrCustomFilter, nullptr);
        EXPECT_EQ(request.nFilterIndex, 1u);
        EXPECT_EQ(request.nMaxFile, 260u);
        EXPECT_EQ(request.lpstrFileTitle, nullptr);
        EXPECT_EQ(request.lpstrInitialDir, nullptr);
        EXPECT_EQ(request.lpstrTitle, nullptr);
        EXPECT_EQ(request.lpstrDefExt, nullptr);
        EXPECT_EQ(request.Flags, 0x220802u);
        EXPECT_EQ(request.lpfnHook, nullptr);
        EXPECT_EQ(request.lpTemplateName, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Jobs, JobScenario, testing::ValuesIn(JobScenarioNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_F(Jobs, ClosedFileTargetRefusesEverythingWithInvalidHandle) {
    FileTarget target{};
    BYTE buffer[4];
    DWORD count = Marker;
    COMMTIMEOUTS timeouts{};
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, CloseFileTarget(&target));
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, WriteFileTarget(&target, buffer, sizeof buffer, &count));
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, ReadFileTarget(&target, buffer, sizeof buffer, &count));
    EXPECT_EQ(count, Marker);
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, SetFileTargetTimeouts(&target, &timeouts));
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, ControlFileTarget(&target, 1, nullptr, 0, nullptr, 0, &count));

    ASSERT_TRUE(OpenFileTarget(&target, "C:\\jobs\\direct.prn"));
    EXPECT_TRUE(CloseFileTarget(&target));
    // Closing twice.
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, CloseFileTarget(&target));
}

TEST_F(Jobs, CancellingTheDialogFailsTheStartWithNothingCreated) {
    addPort("FILE:", fileConfig(""));
    ASSERT_TRUE(initialize());
    machine().scriptOpenFile(std::nullopt);
    HANDLE port = open("FILE:");
    EXPECT_REFUSED(ERROR_CANCELLED, start(port));
    EXPECT_EQ(record(port)->flags, 0u);
    EXPECT_TRUE(fs::is_empty(disks.root + "/c/jobs"));
    // A dialog that fails outright is reported the same way.
    machine().failCall("GetOpenFileNameA", 1, 0x3003);
    EXPECT_REFUSED(ERROR_CANCELLED, start(port));
}

// StartDocPort refuses a second start before anything changes; the back-end's
// own guard is the second line: a second opening would lose the running job's
// file handle and truncate its file.
TEST_F(Jobs, ASecondOpeningOfARunningJobsBackEndIsRefusedAndKeepsItsFile) {
    addPort("FILE:", fileConfig("C:\\jobs\\out.prn"));
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    ASSERT_TRUE(start(port));
    ASSERT_TRUE(write(port, "first half, "));
    HANDLE file = record(port)->file.handle;
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, OpenJobBackEnd(record(port), 1, reinterpret_cast<LPBYTE>(&doc)));
    EXPECT_EQ(record(port)->file.handle, file);
    EXPECT_EQ(record(port)->flags, (DWORD)JobBackEndOpen);
    EXPECT_EQ(machine().openHandles(), 1u);
    ASSERT_TRUE(write(port, "second half"));
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_EQ(hostFile("C:\\jobs\\out.prn"), "first half, second half");
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, CloseJobBackEnd(record(port)));
}

// Nor does a SetJob that the spooler refuses.
TEST_F(Jobs, EndDocPortReportsTheBackEndsErrorNotThePrintersOne) {
    addPort("FILE:", fileConfig("C:\\jobs\\out.prn"));
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    ASSERT_TRUE(start(port, 9));
    machine().failCall("CloseHandle", 1, ERROR_DISK_FULL);
    machine().failCall("SetJobA", 1, ERROR_ACCESS_DENIED);
    machine().failCall("ClosePrinter", 1, ERROR_INVALID_PRINTER_NAME);
    EXPECT_REFUSED(ERROR_DISK_FULL, EndDocPort(port));
    EXPECT_EQ(record(port)->flags, 0u) << "the job ends whatever the close said";
    EXPECT_EQ(record(port)->file.handle, nullptr);
    EXPECT_EQ(record(port)->printer, nullptr);

    ASSERT_TRUE(start(port, 10));
    machine().failCall("SetJobA", 1, ERROR_ACCESS_DENIED);
    machine().failCall("ClosePrinter", 1, ERROR_INVALID_PRINTER_NAME);
    SetLastError(Marker);
    EXPECT_TRUE(EndDocPort(port));
}

// A failed start releases the printer it opened: that closing must not change
// the error the spooler is told.
TEST_F(Jobs, AFailedStartReportsItsOwnErrorNotThePrintersOne) {
    addPort("FILE:", fileConfig(""));
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    machine().scriptOpenFile(std::nullopt);
    machine().failCall("ClosePrinter", 1, ERROR_INVALID_PRINTER_NAME);
    EXPECT_REFUSED(ERROR_CANCELLED, start(port, 11));
    EXPECT_EQ(record(port)->printer, nullptr);
    EXPECT_EQ(record(port)->flags, 0u);
}

TEST_F(Jobs, AFailedWriteKeepsTheFileOpenAndIsNotRetried) {
    addPort("FILE:", fileConfig("C:\\jobs\\out.prn"));
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    ASSERT_TRUE(start(port));
    machine().failCall("WriteFile", 1, ERROR_DISK_FULL);
    DWORD written;
    EXPECT_REFUSED(ERROR_DISK_FULL, write(port, "lost", &written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(machine().callCount("WriteFile"), 1u);
    EXPECT_TRUE(write(port, "kept"));
    EXPECT_TRUE(EndDocPort(port));
    EXPECT_EQ(hostFile("C:\\jobs\\out.prn"), "kept");
}

TEST_F(Jobs, TheKindLatchedAtTheStartRulesTheWholeJob) {
    addPort("FILE:", fileConfig("C:\\jobs\\out.prn"));
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    ASSERT_TRUE(start(port));
    record(port)->config.kind = PortKindNull;
    EXPECT_TRUE(write(port, "to the file"));
    EXPECT_TRUE(ClosePort(port));
    EXPECT_TRUE(write(port, ", still")) << "ClosePort does not end the job";
    EXPECT_TRUE(EndDocPort(port));
    EXPECT_EQ(hostFile("C:\\jobs\\out.prn"), "to the file, still");

    // A kind without a back-end opens nothing and accepts everything, moving nothing.
    record(port)->config.kind = 9;
    ASSERT_TRUE(start(port));
    DWORD count = Marker;
    BYTE buffer[4];
    EXPECT_TRUE(WritePort(port, buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0u);
    count = Marker;
    EXPECT_TRUE(ReadPort(port, buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(EndDocPort(port));
}

TEST_F(Jobs, AStoredNameWithoutTerminatorLosesItsLastCharacter) {
    // 3 + 120 + 1 + 120 + 1 + 15 = 260 bytes, no terminator.
    std::string dirs = "C:\\" + std::string(120, 'a') + "\\" + std::string(120, 'b');
    std::string name = dirs + "\\" + "job-file-12345X";
    ASSERT_EQ(name.size(), 260u);
    fs::create_directories(machine().hostPath(dirs));
    PortConfig config = fileConfig("");
    std::memcpy(config.fileName, name.data(), 260);
    addPort("FILE:", config);
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    ASSERT_TRUE(start(port));
    ASSERT_TRUE(write(port, "cut"));
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_EQ(hostFile(name.substr(0, 259)), "cut");
    EXPECT_FALSE(fs::exists(machine().hostPath(name)));

    std::string exact = name.substr(0, 258) + "Y";  // 259 characters: used unchanged
    FileTarget target{};
    ASSERT_TRUE(OpenFileTarget(&target, exact.c_str()));
    CloseFileTarget(&target);
    EXPECT_TRUE(fs::exists(machine().hostPath(exact)));
}

// Every platform call of a job's start and end, failed in turn: the start and
// end report the failure or absorb it, and no file or printer handle is left.
TEST_F(Jobs, EveryFailingCallOfAJobLeavesNoHandleBehind) {
    addPort("FILE:", fileConfig(""));
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    auto runJob = [&](BOOL& started) {
        machine().scriptOpenFile("C:\\jobs\\picked.prn");
        SetLastError(Marker);
        started = start(port, 77);
        DWORD startError = GetLastError();
        if (started) write(port, "data");
        EndDocPort(port);
        return startError;
    };
    BOOL started;
    auto points = recordCallPoints([&] {
        runJob(started);
        ASSERT_TRUE(started);
    });
    for (const CallPoint& point : points) {
        const std::string& call = point.function;
        SCOPED_TRACE(point.name());
        machine().failCall(call, point.nth, ERROR_GEN_FAILURE);
        DWORD error = runJob(started);
        machine().clearFaults();
        if (call == "CreateFileA") {
            EXPECT_FALSE(started);
            EXPECT_EQ(error, (DWORD)ERROR_GEN_FAILURE);
        } else if (call == "GetOpenFileNameA") {
            EXPECT_FALSE(started);
            EXPECT_EQ(error, (DWORD)ERROR_CANCELLED);
        } else {
            EXPECT_TRUE(started) << "a printer or a window that fails does not stop the job";
        }
        EXPECT_EQ(record(port)->flags, 0u);
        EXPECT_EQ(machine().openHandles(), 0u);
        EXPECT_EQ(machine().openPrinterHandles(), 0u);
    }
}

}  // namespace
