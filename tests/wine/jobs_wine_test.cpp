// Print jobs on null and file ports through the table the real DLL hands out,
// against Wine's own files, sharing rules and open-file dialog.
#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "wine_support.h"
#include "wine_test.h"

#include <dlgs.h>  // the dialog's control ids; needs <windows.h> first

namespace {

#define JobFolder "C:\\zevjobs"

struct StartedPort {
    MONITOR_TABLE monitor;
    HANDLE port;
};

// The case's monitor, started with one port of its own, and that port opened
// as the spooler opens it.
StartedPort startWithPort(const char* name, INT kind, const char* fileName = "") {
    clearMonitorKey();
    PortConfig config;
    ZeroMemory(&config, sizeof config);
    config.kind = kind;
    lstrcpynA(config.fileName, fileName, sizeof config.fileName);
    writePortConfig(name, config);
    StartedPort started = {startMonitor(), NULL};
    started.port = openPort(started.monitor, name);
    return started;
}

const PortRecord* record(HANDLE port) { return (const PortRecord*)port; }

BOOL startJob(const MONITOR_TABLE& monitor, HANDLE port, const char* docName = "Letter", DWORD jobId = 0) {
    DOC_INFO_1A doc = {(LPSTR)docName, NULL, NULL};
    SetLastError(Untouched);
    return monitor.pfnStartDocPort(port, (LPSTR) "Office Printer", jobId, 1, (LPBYTE)&doc);
}

// A write on a port without an open back-end: 87, and the count is not touched.
void checkWriteRefused(const MONITOR_TABLE& monitor, HANDLE port) {
    BYTE data = 0x1B;
    DWORD written = Untouched;
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnWritePort(port, &data, 1, &written));
    CHECK_EQ(written, Untouched);
}

// A port without a job has none to end: 87.
void checkEndRefused(const MONITOR_TABLE& monitor, HANDLE port) {
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnEndDocPort(port));
}

// Null and file ports have nothing to read: ERROR_CANTREAD, and a count of 0.
void checkReadRefused(const MONITOR_TABLE& monitor, HANDLE port, BYTE* buffer, DWORD size) {
    DWORD read = Untouched;
    CHECK_REFUSED(ERROR_CANTREAD, monitor.pfnReadPort(port, buffer, size, &read));
    CHECK_EQ(read, (DWORD)0);
}

// Only a USB port answers a device request: 87, and no count.
void checkDeviceRequestRefused(const MONITOR_TABLE& monitor, HANDLE port) {
    char out[64];
    DWORD returned = Untouched;
    CHECK_REFUSED(ERROR_INVALID_PARAMETER,
                  monitor.pfnGetPrinterDataFromPort(port, 0x220010, (LPSTR) "Status", NULL, 0, out, sizeof out, &returned));
    CHECK_EQ(returned, Untouched);
}

// Nor do time-outs mean anything to a null or file port: 87.
void checkTimeoutsRefused(const MONITOR_TABLE& monitor, HANDLE port) {
    COMMTIMEOUTS timeouts = {0, 0, 0, 0, 5000};
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnSetPortTimeOuts(port, &timeouts, 0));
}

void checkFileHolds(const char* path, const std::string& expected) {
    std::string actual = fileBytes(path, FILE_SHARE_READ).value_or("(no file)");
    CHECK_EQ(actual.size(), expected.size());
    CHECK(actual == expected);
}

// A fresh target path in the shared prefix: the folder exists, the file does
// not. Whatever a job leaves there goes with the object.
class FreshFile {
public:
    explicit FreshFile(const char* path) : path_(path) {
        CreateDirectoryA(JobFolder, NULL);
            CHECK_EQ(GetFileAttributesA(path), INVALID_FILE_ATTRIBUTES);
    }
    ~FreshFile() { DeleteFileA(path_); }
    FreshFile(const FreshFile&) = delete;
    FreshFile& operator=(const FreshFile&) = delete;
    operator const char*() const { return path_; }

private:
    const char* path_;
};

// Watches this thread for the open-file dialog while it lives. A dialog is
// answered with the given path and OK, or cancelled when there is no path, so a
// job start that asks when it should not comes back instead of hanging.
class DialogAnswerer {
public:
    explicit DialogAnswerer(const char* path = NULL) : path_(path ? path : ""), owner_(GetCurrentThreadId()) {
        stop_ = CreateEventA(NULL, TRUE, FALSE, NULL);
        worker_ = CreateThread(NULL, 0, run, this, 0, NULL);
        CHECK(stop_ != NULL && worker_ != NULL);
    }
    ~DialogAnswerer() {
        SetEvent(stop_);
        WaitForSingleObject(worker_, INFINITE);
        CloseHandle(worker_);
        CloseHandle(stop_);
    }
    LONG dialogsSeen() const { return seen_; }
    const std::string& fileTypeShown() const { return fileType_; }

private:
    static DWORD WINAPI run(LPVOID self) {
        DialogAnswerer* answerer = (DialogAnswerer*)self;
        while (WaitForSingleObject(answerer->stop_, 20) == WAIT_TIMEOUT) {
            HWND dialog = NULL;
            EnumThreadWindows(answerer->owner_, findDialog, (LPARAM)&dialog);
            if (dialog == NULL) continue;
            answerer->answer(dialog);
            // Counted once: wait until the job's thread has taken it down.
            while (IsWindow(dialog) && WaitForSingleObject(answerer->stop_, 20) == WAIT_TIMEOUT) {
            }
        }
        return 0;
    }

    static BOOL CALLBACK findDialog(HWND window, LPARAM found) {
        char className[16] = "";
        GetClassNameA(window, className, sizeof className);
        if (!IsWindowVisible(window) || lstrcmpA(className, "#32770") != 0) return TRUE;
        *(HWND*)found = window;
        return FALSE;
    }

    // The file name's edit box: edt1 in the old-style dialog, inside the cmb13
    // combo box in the Explorer-style one that Wine shows instead.
    static BOOL CALLBACK findFileNameEdit(HWND window, LPARAM found) {
        char className[16] = "";
        GetClassNameA(window, className, sizeof className);
        int id = GetDlgCtrlID(window);
        if (lstrcmpiA(className, "Edit") != 0 || (id != edt1 && id != cmb13)) return TRUE;
        *(HWND*)found = window;
        return FALSE;
    }

    void answer(HWND dialog) {
        InterlockedIncrement(&seen_);
        char fileType[128] = "";
        HWND types = GetDlgItem(dialog, cmb1);
        LRESULT selected = types != NULL ? SendMessageA(types, CB_GETCURSEL, 0, 0) : CB_ERR;
        LRESULT length = selected != CB_ERR ? SendMessageA(types, CB_GETLBTEXTLEN, selected, 0) : CB_ERR;
        if (length != CB_ERR && length < (LRESULT)sizeof fileType)
            SendMessageA(types, CB_GETLBTEXT, selected, (LPARAM)fileType);
        fileType_ = fileType;
        WORD button = IDCANCEL;
        HWND fileName = NULL;
        EnumChildWindows(dialog, findFileNameEdit, (LPARAM)&fileName);
        if (!path_.empty() && fileName != NULL && SetWindowTextA(fileName, path_.c_str())) button = IDOK;
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(dialog, button));
    }

    std::string path_;
    DWORD owner_;
    HANDLE stop_ = NULL, worker_ = NULL;
    LONG volatile seen_ = 0;
    std::string fileType_;
};

}  // namespace

WINE_TEST(NullPortSwallowsAJobAndRefusesTheRest) {
    auto [monitor, port] = startWithPort("NUL-1", PortKindNull);

    CHECK(startJob(monitor, port));
    CHECK_EQ(record(port)->flags, (DWORD)JobBackEndOpen);
    CHECK(record(port)->printer == NULL);  // job id 0: no printer is opened
    std::string data = binaryData(4096, 1);
    writeChunks(monitor, port, data, {4096});

    DWORD written = Untouched;
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnWritePort(port, (LPBYTE)&data[0], 0, &written));
    CHECK_EQ(written, Untouched);
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnWritePort(port, NULL, 16, &written));

    BYTE buffer[64];
    checkReadRefused(monitor, port, buffer, sizeof buffer);
    // The arguments are refused before the back-end is asked: 87, and no count.
    DWORD read = Untouched;
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnReadPort(port, buffer, 0, &read));
    CHECK_EQ(read, Untouched);
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnReadPort(port, NULL, sizeof buffer, &read));
    CHECK_EQ(read, Untouched);

    checkDeviceRequestRefused(monitor, port);
    checkTimeoutsRefused(monitor, port);
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnSetPortTimeOuts(port, NULL, 0));

    // The spooler may close its handle while the job runs; the job goes on.
    CHECK(monitor.pfnClosePort(port));
    writeChunks(monitor, port, data, {100, 3996});

    CHECK(monitor.pfnEndDocPort(port));
    CHECK_EQ(record(port)->flags, (DWORD)0);
    checkWriteRefused(monitor, port);
    checkEndRefused(monitor, port);

    // Without any document info the job is not deferred: the back-end opens.
    SetLastError(Untouched);
    CHECK(monitor.pfnStartDocPort(port, NULL, 0, 1, NULL));
    CHECK_EQ(record(port)->flags, (DWORD)JobBackEndOpen);
    writeChunks(monitor, port, "x", {1});
    CHECK(monitor.pfnEndDocPort(port));
    clearMonitorKey();
}

WINE_TEST(FileJobLandsByteForByteAndTheNextJobEmptiesTheFile) {
    FreshFile path(JobFolder "\\out.prn");
    auto [monitor, port] = startWithPort("FILE-1", PortKindFile, path);

    CHECK(startJob(monitor, port));
    CHECK(record(port)->file.handle != NULL);
    // Nobody else may open the file while the job runs.
    SetLastError(Untouched);
    HANDLE reader = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(reader == INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);

    std::string first = binaryData(70000, 3);
    writeChunks(monitor, port, first, {1, 4095, 65536, 368});
    CHECK(monitor.pfnEndDocPort(port));
    CHECK(record(port)->file.handle == NULL);
    checkFileHolds(path, first);

    // A shorter job leaves nothing of the longer one behind.
    CHECK(startJob(monitor, port));
    std::string second = "\x1B@second job\r\n\x1A\x0C";
    writeChunks(monitor, port, second, {3, (DWORD)second.size() - 3});
    CHECK(monitor.pfnEndDocPort(port));
    checkFileHolds(path, second);

    // A job that writes nothing leaves an empty file.
    CHECK(startJob(monitor, port));
    CHECK(monitor.pfnEndDocPort(port));
    checkFileHolds(path, "");
    checkWriteRefused(monitor, port);
    clearMonitorKey();
}

WINE_TEST(OpenFilePortRefusesReadsTimeoutsAndControls) {
    FreshFile path(JobFolder "\\refusals.prn");
    auto [monitor, port] = startWithPort("FILE-2", PortKindFile, path);
    CHECK(startJob(monitor, port));

    BYTE buffer[32];
    checkReadRefused(monitor, port, buffer, sizeof buffer);
    CHECK_REFUSED(ERROR_CANTREAD, monitor.pfnReadPort(port, buffer, sizeof buffer, NULL));
    checkTimeoutsRefused(monitor, port);
    checkDeviceRequestRefused(monitor, port);

    // The refusals neither end the job nor disturb its data.
    std::string data = "after the refusals";
    writeChunks(monitor, port, data, {(DWORD)data.size()});
    CHECK(monitor.pfnEndDocPort(port));
    checkFileHolds(path, data);
    clearMonitorKey();
}

WINE_TEST(FileHeldOpenElsewhereFailsTheStartAndLeavesThePortIdle) {
    FreshFile path(JobFolder "\\held.prn");
    auto [monitor, port] = startWithPort("FILE-3", PortKindFile, path);

    HANDLE held = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    CHECK(held != INVALID_HANDLE_VALUE);
    DWORD count = 0;
    CHECK(WriteFile(held, "kept", 4, &count, NULL));

    CHECK(!startJob(monitor, port));
    CHECK_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CHECK_EQ(record(port)->flags, (DWORD)0);
    CHECK(record(port)->file.handle == NULL);
    checkWriteRefused(monitor, port);
    checkEndRefused(monitor, port);

    CloseHandle(held);
    checkFileHolds(path, "kept");  // the failed start did not truncate it
    CHECK(startJob(monitor, port));
    writeChunks(monitor, port, "new job", {7});
    CHECK(monitor.pfnEndDocPort(port));
    checkFileHolds(path, "new job");
    clearMonitorKey();
}

WINE_TEST(UnnamedDocumentOnAnAskingFilePortIsDeferredWithoutADialog) {
    auto [monitor, port] = startWithPort("ASK-1", PortKindFile);
    DialogAnswerer answerer;

    DOC_INFO_1A doc1 = {NULL, NULL, NULL};
    SetLastError(Untouched);
    CHECK(monitor.pfnStartDocPort(port, NULL, 0, 1, (LPBYTE)&doc1));
    CHECK_EQ(answerer.dialogsSeen(), (LONG)0);
    CHECK_EQ(record(port)->flags, (DWORD)JobDeferred);
    CHECK(record(port)->file.handle == NULL);
    checkWriteRefused(monitor, port);
    CHECK(monitor.pfnEndDocPort(port));
    CHECK_EQ(record(port)->flags, (DWORD)0);

    DOC_INFO_2A doc2;
    ZeroMemory(&doc2, sizeof doc2);
    CHECK(monitor.pfnStartDocPort(port, NULL, 0, 2, (LPBYTE)&doc2));
    CHECK_EQ(answerer.dialogsSeen(), (LONG)0);
    CHECK_EQ(record(port)->flags, (DWORD)JobDeferred);
    CHECK(monitor.pfnEndDocPort(port));
    checkEndRefused(monitor, port);
    clearMonitorKey();
}

WINE_TEST(EmptyFileNameAsksInTheOpenDialogAtEveryJob) {
    FreshFile picked(JobFolder "\\picked.prn");
    auto [monitor, port] = startWithPort("ASK-2", PortKindFile);
    std::string data = binaryData(5000, 9);
    {
        DialogAnswerer answerer(picked);
        CHECK(startJob(monitor, port));
        CHECK_EQ(answerer.dialogsSeen(), (LONG)1);
        CHECK_STR(answerer.fileTypeShown(), "All Files");
        writeChunks(monitor, port, data, {2500, 2500});
        CHECK(monitor.pfnEndDocPort(port));
    }
    checkFileHolds(picked, data);
    CHECK_STR(record(port)->config.fileName, "");  // the choice served that job only

    {
        DialogAnswerer answerer;  // cancels
        CHECK(!startJob(monitor, port));
        CHECK_EQ(GetLastError(), (DWORD)ERROR_CANCELLED);
        CHECK_EQ(answerer.dialogsSeen(), (LONG)1);
    }
    CHECK_EQ(record(port)->flags, (DWORD)0);
    CHECK(record(port)->file.handle == NULL);
    checkWriteRefused(monitor, port);
    checkFileHolds(picked, data);
    clearMonitorKey();
}

WINE_TEST(SecondStartWhileOpenIsRefusedAndTheJobGoesOn) {
    auto [monitor, port] = startWithPort("NUL-2", PortKindNull);

    // A printer that cannot be opened does not stop the job.
    CHECK(startJob(monitor, port, "First", 7));
    CHECK_EQ(record(port)->flags, (DWORD)JobBackEndOpen);
    CHECK(!startJob(monitor, port, "Second"));
    CHECK_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CHECK_EQ(record(port)->flags, (DWORD)JobBackEndOpen);
    // Nor may an unnamed document turn the running job into a deferred one.
    DOC_INFO_1A unnamed = {NULL, NULL, NULL};
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor.pfnStartDocPort(port, NULL, 0, 1, (LPBYTE)&unnamed));
    CHECK_EQ(record(port)->flags, (DWORD)JobBackEndOpen);

    writeChunks(monitor, port, binaryData(512, 5), {512});
    CHECK(monitor.pfnEndDocPort(port));
    CHECK_EQ(record(port)->flags, (DWORD)0);
    checkEndRefused(monitor, port);
    clearMonitorKey();
}
