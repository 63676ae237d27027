// The job scenarios of tests/common/job_scenarios.cpp, each a case of its own,
// played through the table the real DLL hands out against Wine's own files,
// sharing rules, spooler and open-file dialog.
#include <memory>
#include <string>
#include <vector>

#include "tests/common/job_scenarios.h"
#include "wine_support.h"
#include "wine_test.h"

#include <dlgs.h>  // the dialog's control ids; needs <windows.h> first

namespace {

#define JobFolder "C:\\zevjobs"

// Watches this thread for the open-file dialog while it lives. The next dialog
// is answered with the path given and OK, any other is cancelled, so that a job
// start that asks when it should not comes back instead of hanging.
class DialogAnswerer {
public:
    DialogAnswerer() : owner_(GetCurrentThreadId()) {
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
    DialogAnswerer(const DialogAnswerer&) = delete;
    DialogAnswerer& operator=(const DialogAnswerer&) = delete;

    // Each is asked between job starts, while no dialog is shown.
    void answerNext(const char* path) { next_ = path; }
    LONG seen() const { return seen_; }
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
        char fileType[128] = "";
        HWND types = GetDlgItem(dialog, cmb1);
        LRESULT selected = types != NULL ? SendMessageA(types, CB_GETCURSEL, 0, 0) : CB_ERR;
        LRESULT length = selected != CB_ERR ? SendMessageA(types, CB_GETLBTEXTLEN, selected, 0) : CB_ERR;
        if (length != CB_ERR && length < (LRESULT)sizeof fileType)
            SendMessageA(types, CB_GETLBTEXT, selected, (LPARAM)fileType);
        fileType_ = fileType;
        std::string path;
        path.swap(next_);
        WORD button = IDCANCEL;
        HWND fileName = NULL;
        EnumChildWindows(dialog, findFileNameEdit, (LPARAM)&fileName);
        if (!path.empty() && fileName != NULL && SetWindowTextA(fileName, path.c_str())) button = IDOK;
        InterlockedIncrement(&seen_);
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(dialog, button));
    }

    DWORD owner_;
    HANDLE stop_ = NULL, worker_ = NULL;
    LONG volatile seen_ = 0;
    std::string next_, fileType_;
};

// Wine's machine for the scenarios: the port's key in Wine's registry, the
// printer in Wine's spooler, the files in a folder of the shared prefix, which
// each case empties of what it made.
class WineJobs : public JobHarness {
public:
    ~WineJobs() override {
        for (const std::string& path : paths_) DeleteFileA(path.c_str());
        clearMonitorKey();
    }
    MONITOR_TABLE startMonitor(const char* portName, const PortConfig& config) override {
        clearMonitorKey();
        writePortConfig(portName, config);
        printer_.reset(new SpoolerPrinter(JobPrinterName, portName));
        return ::startMonitor();
    }
    std::string jobPath(const char* fileName) override {
        std::string path = std::string(JobFolder "\\") + fileName;
        for (const std::string& known : paths_)
            if (known == path) return path;
        CreateDirectoryA(JobFolder, NULL);
        CHECK_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
        paths_.push_back(path);
        return path;
    }
    void answerDialog(const char* path) override { answerer_.answerNext(path); }
    int dialogsShown() override { return answerer_.seen(); }
    std::string dialogFileType() override { return answerer_.fileTypeShown(); }
    std::string machineFault(const PortRecord*, int) override { return ""; }
    void fail(const std::string& what) override { winetest::fail(__FILE__, __LINE__, what); }

private:
    std::vector<std::string> paths_;
    std::unique_ptr<SpoolerPrinter> printer_;
    DialogAnswerer answerer_;
};

const bool registered = winetest::addScenarios<WineJobs>(JobScenarioNames(), PlayJobScenario);

}  // namespace
