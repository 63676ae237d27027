// Print jobs on null and file ports, as the spooler runs them: start, write,
// end, and everything that can go wrong in between.
#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;

class Jobs : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        fs::create_directories(disks.root + "/c/jobs");
        machine().addPrinter("Office Printer", "FILE:");
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

    BOOL start(HANDLE port, DWORD jobId = 0, LPSTR docName = const_cast<LPSTR>("Letter"), DWORD level = 1) {
        doc = {docName, nullptr, nullptr};
        return StartDocPort(port, const_cast<LPSTR>("Office Printer"), jobId, level, reinterpret_cast<LPBYTE>(&doc));
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

TEST_F(Jobs, NullPortSwallowsAWholeJob) {
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    HANDLE port = open("NUL:");
    ASSERT_TRUE(start(port));
    EXPECT_EQ(record(port)->flags, (DWORD)JobBackEndOpen);
    DWORD written;
    EXPECT_TRUE(write(port, std::string(4096, 'x'), &written));
    EXPECT_EQ(written, 4096u);

    BYTE buffer[16];
    DWORD read = Marker;
    EXPECT_REFUSED(ERROR_CANTREAD, ReadPort(port, buffer, sizeof buffer, &read));
    EXPECT_EQ(read, 0u);
    COMMTIMEOUTS timeouts{};
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, SetPortTimeOuts(port, &timeouts, 0));
    DWORD returned = Marker;
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER,
                   GetPrinterDataFromPort(port, 0x220010, nullptr, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(returned, Marker);

    EXPECT_TRUE(EndDocPort(port));
    EXPECT_EQ(record(port)->flags, 0u);
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, write(port, "late"));
    // No job to end.
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, EndDocPort(port));
}

TEST_F(Jobs, EveryEntryPointChecksItsArguments) {
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    HANDLE port = open("NUL:");
    BYTE buffer[8] = {};
    DWORD count = Marker;
    COMMTIMEOUTS timeouts{};
    DWORD wrongSignature[64] = {0x1234};
    // Each call starts from the marker: a refusal without its code shows.
    auto expectInvalid = [](auto call) {
        EXPECT_REFUSED(ERROR_INVALID_PARAMETER, call());
    };
    // An idle port refuses all I/O.
    expectInvalid([&] { return WritePort(port, buffer, sizeof buffer, &count); });
    expectInvalid([&] { return ReadPort(port, buffer, sizeof buffer, &count); });
    expectInvalid([&] { return GetPrinterDataFromPort(port, 1, nullptr, nullptr, 0, nullptr, 0, &count); });
    expectInvalid([&] { return SetPortTimeOuts(port, &timeouts, 0); });
    ASSERT_TRUE(start(port));
    // An open one still refuses bad arguments.
    expectInvalid([&] { return WritePort(port, buffer, 0, &count); });
    expectInvalid([&] { return WritePort(port, nullptr, sizeof buffer, &count); });
    expectInvalid([&] { return ReadPort(port, buffer, 0, &count); });
    expectInvalid([&] { return ReadPort(port, nullptr, 1, &count); });
    expectInvalid([&] { return SetPortTimeOuts(port, nullptr, 0); });
    EXPECT_EQ(count, Marker) << "refused calls write no count";
    for (HANDLE bad : {(HANDLE) nullptr, (HANDLE)wrongSignature}) {
        expectInvalid([&] { return StartDocPort(bad, nullptr, 0, 1, nullptr); });
        expectInvalid([&] { return WritePort(bad, buffer, sizeof buffer, &count); });
        expectInvalid([&] { return ReadPort(bad, buffer, sizeof buffer, &count); });
        expectInvalid([&] { return GetPrinterDataFromPort(bad, 1, nullptr, nullptr, 0, nullptr, 0, &count); });
        expectInvalid([&] { return SetPortTimeOuts(bad, &timeouts, 0); });
        expectInvalid([&] { return EndDocPort(bad); });
    }
    EXPECT_EQ(count, Marker);
    EXPECT_TRUE(EndDocPort(port));
}

TEST_F(Jobs, FilePortWritesTheJobAndEmptiesTheFileAtEveryStart) {
    addPort("FILE:", fileConfig("C:\\jobs\\out.prn"));
    ASSERT_TRUE(initialize());
    std::ofstream(machine().hostPath("C:\\jobs\\out.prn")) << "an older, much longer job that must disappear";
    HANDLE port = open("FILE:");

    ASSERT_TRUE(start(port));
    std::string job;
    for (int i = 0; i < 50; i++) job += "chunk " + std::to_string(i) + std::string(997, char('a' + i % 26));
    for (size_t at = 0; at < job.size(); at += 4096) {
        DWORD written;
        std::string chunk = job.substr(at, 4096);
        ASSERT_TRUE(write(port, chunk, &written));
        EXPECT_EQ(written, chunk.size());
    }
    EXPECT_EQ(machine().openHandles(), 1u);
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_EQ(hostFile("C:\\jobs\\out.prn"), job);
    EXPECT_EQ(record(port)->file.handle, nullptr);
    EXPECT_EQ(record(port)->file.writeOnly, 1u) << "nothing clears it";

    ASSERT_TRUE(start(port));
    ASSERT_TRUE(write(port, "short"));
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_EQ(hostFile("C:\\jobs\\out.prn"), "short");
}

TEST_F(Jobs, AnOpenFilePortRefusesReadsTimeoutsAndControls) {
    addPort("FILE:", fileConfig("C:\\jobs\\out.prn"));
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    ASSERT_TRUE(start(port));
    BYTE buffer[8];
    DWORD count = Marker;
    EXPECT_REFUSED(ERROR_CANTREAD, ReadPort(port, buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_REFUSED(ERROR_CANTREAD, ReadPort(port, buffer, sizeof buffer, nullptr));
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, SetPortTimeOuts(port, &timeouts, 0));
    count = Marker;
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER,
                   GetPrinterDataFromPort(port, 0x220010, nullptr, nullptr, 0, (LPSTR)buffer, sizeof buffer, &count));
    EXPECT_EQ(count, Marker);
    EXPECT_TRUE(write(port, "still writable"));
    EXPECT_TRUE(EndDocPort(port));
}

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

TEST_F(Jobs, AFileHeldOpenElsewhereFailsTheStartAndLeavesThePortIdle) {
    addPort("FILE:", fileConfig("C:\\jobs\\out.prn"));
    ASSERT_TRUE(initialize());
    HANDLE holder = CreateFileA("C:\\jobs\\out.prn", GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    HANDLE port = open("FILE:");
    EXPECT_REFUSED(ERROR_SHARING_VIOLATION, start(port, 7));
    EXPECT_EQ(record(port)->flags, 0u);
    EXPECT_EQ(record(port)->file.handle, nullptr);
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, write(port, "x"));
    EXPECT_EQ(machine().openPrinterHandles(), 0u) << "the spooler makes no EndDocPort after a failed start";
    EXPECT_EQ(record(port)->printer, nullptr);
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, EndDocPort(port));

    CloseHandle(holder);
    ASSERT_TRUE(start(port));
    ASSERT_TRUE(write(port, "now"));
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_EQ(hostFile("C:\\jobs\\out.prn"), "now");
}

TEST_F(Jobs, AnEmptyFileNameAsksForAFileAtEveryJob) {
    addPort("FILE:", fileConfig(""));
    ASSERT_TRUE(initialize());
    machine().scriptOpenFile("C:\\jobs\\first.prn");
    machine().scriptOpenFile("C:\\jobs\\second.prn");
    HANDLE port = open("FILE:");
    ASSERT_TRUE(start(port));
    ASSERT_TRUE(write(port, "one"));
    ASSERT_TRUE(EndDocPort(port));
    ASSERT_TRUE(start(port));
    ASSERT_TRUE(write(port, "two"));
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_EQ(hostFile("C:\\jobs\\first.prn"), "one");
    EXPECT_EQ(hostFile("C:\\jobs\\second.prn"), "two");
    EXPECT_STREQ(record(port)->config.fileName, "") << "the choice is never stored";

    auto calls = machine().openFileCalls();
    ASSERT_EQ(calls.size(), 2u);
    const OPENFILENAMEA& request = calls[0].request;
    EXPECT_EQ(request.lStructSize, (DWORD)OPENFILENAME_SIZE_VERSION_400A);
    EXPECT_EQ(request.hwndOwner, machine().desktopWindow());
    EXPECT_EQ(request.hInstance, nullptr);
    EXPECT_EQ(calls[0].filter, (std::vector<std::string>{"All Files", "*.*"}));
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

TEST_F(Jobs, AnUnnamedDocumentOnAFilePortIsDeferred) {
    addPort("FILE:", fileConfig(""));
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    for (DWORD level : {1u, 2u}) {
        SCOPED_TRACE(level);
        DOC_INFO_2A info{};  // DOC_INFO_1 and _2 both start with the name, here null
        ASSERT_TRUE(StartDocPort(port, const_cast<LPSTR>("Office Printer"), 3, level, (LPBYTE)&info));
        EXPECT_EQ(record(port)->flags, (DWORD)JobDeferred);
        EXPECT_REFUSED(ERROR_INVALID_PARAMETER, write(port, "data"));
        EXPECT_TRUE(EndDocPort(port));
        EXPECT_EQ(record(port)->flags, 0u);
    }
    EXPECT_TRUE(machine().openFileCalls().empty()) << "no dialog for a deferred job";

    // Without document information the job is real: a null port opens.
    HANDLE nul = open("NUL:");
    ASSERT_TRUE(StartDocPort(nul, nullptr, 0, 1, nullptr));
    EXPECT_EQ(record(nul)->flags, (DWORD)JobBackEndOpen);
    EXPECT_TRUE(EndDocPort(nul));
    // Any other level is not deferred either: the dialog is asked.
    machine().scriptOpenFile(std::nullopt);
    DOC_INFO_2A unnamed{};
    EXPECT_REFUSED(ERROR_CANCELLED, StartDocPort(port, nullptr, 0, 3, (LPBYTE)&unnamed));
    EXPECT_EQ(machine().openFileCalls().size(), 1u);
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

TEST_F(Jobs, AJobHoldsItsPrinterUntilItEnds) {
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    HANDLE port = open("NUL:");
    ASSERT_TRUE(start(port, 42));
    EXPECT_EQ(machine().openPrinterHandles(), 1u);
    EXPECT_NE(record(port)->printer, nullptr);
    ASSERT_TRUE(EndDocPort(port));
    EXPECT_EQ(machine().openPrinterHandles(), 0u);
    EXPECT_EQ(record(port)->printer, nullptr);

    ASSERT_TRUE(start(port, 0)) << "job id 0 opens no printer";
    EXPECT_EQ(machine().openPrinterHandles(), 0u);
    ASSERT_TRUE(EndDocPort(port));
    ASSERT_TRUE(StartDocPort(port, const_cast<LPSTR>("No Such Printer"), 5, 1, nullptr)) << "the job goes on";
    EXPECT_EQ(record(port)->printer, nullptr);
    ASSERT_TRUE(EndDocPort(port));
}

TEST_F(Jobs, ASecondStartWhileOpenIsRefusedAndTheRunningJobKeepsItsPrinter) {
    addPort("NUL:", nullConfig());
    ASSERT_TRUE(initialize());
    HANDLE port = open("NUL:");
    ASSERT_TRUE(start(port, 1));
    HANDLE printer = record(port)->printer;
    EXPECT_REFUSED(ERROR_INVALID_PARAMETER, start(port, 2));
    EXPECT_EQ(record(port)->printer, printer);
    EXPECT_EQ(machine().openPrinterHandles(), 1u);
    EXPECT_TRUE(write(port, "the first job goes on"));
    EXPECT_TRUE(EndDocPort(port));
    EXPECT_EQ(machine().openPrinterHandles(), 0u);
}

TEST_F(Jobs, AStartThatIsNeverEndedLeavesNoPrinterHandleBehind) {
    addPort("FILE:", fileConfig(""));
    ASSERT_TRUE(initialize());
    HANDLE port = open("FILE:");
    DOC_INFO_1A unnamed{};
    ASSERT_TRUE(StartDocPort(port, const_cast<LPSTR>("Office Printer"), 1, 1, (LPBYTE)&unnamed));
    ASSERT_TRUE(StartDocPort(port, const_cast<LPSTR>("Office Printer"), 2, 1, (LPBYTE)&unnamed));
    EXPECT_EQ(machine().openPrinterHandles(), 1u);
    EXPECT_TRUE(EndDocPort(port));
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

// A stored kind the monitor does not know (a newer configuration) opens
// nothing and moves nothing, and every count it returns says so.
TEST_F(Jobs, AnUnknownKindMovesNothingAndSaysSo) {
    PortConfig odd = nullConfig();
    odd.kind = 7;
    addPort("ODD:", odd);
    ASSERT_TRUE(initialize());
    HANDLE port = open("ODD:");
    ASSERT_TRUE(start(port));
    DWORD count = Marker;
    EXPECT_TRUE(WritePort(port, (LPBYTE) "page", 4, &count));
    EXPECT_EQ(count, 0u) << "nothing was written";
    BYTE byte = 0;
    count = Marker;
    EXPECT_TRUE(ReadPort(port, &byte, 1, &count));
    EXPECT_EQ(count, 0u);
    count = Marker;
    EXPECT_TRUE(GetPrinterDataFromPort(port, 0x220010, nullptr, nullptr, 0, nullptr, 0, &count));
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
