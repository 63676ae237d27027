// Runs the Wine test cases: "wine_tests.exe NAME" runs one, no argument runs
// all, and "--windows98" runs all with Wine telling the program that it runs
// on Windows 98, as our users' machines do.
#include "wine_test.h"

namespace winetest {

std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

int failures = 0;

// Checks may fail on several threads at once: one line and one count each.
void fail(const char* file, int line, const std::string& what) {
    static CRITICAL_SECTION lock;
    static bool made = (InitializeCriticalSection(&lock), true);
    (void)made;
    const char* base = std::strrchr(file, '/');
    EnterCriticalSection(&lock);
    std::printf("%s:%d: %s\n", base ? base + 1 : file, line, what.c_str());
    std::fflush(stdout);
    failures++;
    LeaveCriticalSection(&lock);
}

DWORD setting(const char* name, DWORD fallback) {
    char text[32] = "";
    DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text) return fallback;
    DWORD value = strtoul(text, NULL, 10);
    return value != 0 ? value : fallback;
}

DWORD patient(DWORD milliseconds) { return milliseconds * setting("ZEV_WINE_PATIENCE", 1); }

std::string text(unsigned long long v) { return std::to_string(v) + " (0x" + [&] {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%llx", v);
    return std::string(hex);
}() + ")"; }

std::string text(const std::string& s) { return "\"" + s + "\""; }

}  // namespace winetest

// Wine may kill a process that ends while the monitor's status thread is still
// starting: when the monitor was started, wait until its window has handled a
// message before the process ends.
static void settleStatusThread() {
    if (!GetModuleHandleA("ZEVURUZI.DLL")) return;
    for (DWORD until = GetTickCount() + winetest::patient(2000); GetTickCount() < until; Sleep(50)) {
        HWND window = FindWindowA("SetQMUsbPortStatus", NULL);
        if (window) {
            DWORD_PTR result;
            SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_BLOCK, winetest::patient(5000), &result);
            return;
        }
    }
}

// Each case runs in a process of its own, as the spooler loads the DLL once per
// process: with no argument, the program starts itself once per case.
static int runAll(const char* self) {
    int passed = 0, failed = 0;
    for (auto& c : winetest::cases()) {
        // Named before it runs: a run stopped at its time limit shows which case hung.
        std::printf("%s:\n", c.name);
        std::fflush(stdout);
        std::string commandLine = std::string("\"") + self + "\" " + c.name;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        DWORD code = 1;
        if (CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
            // A case that hangs is stopped at the bound of one case, and the rest still run.
            DWORD seconds = winetest::setting("ZEV_WINE_CASE_SECONDS", 120);
            if (WaitForSingleObject(process.hProcess, seconds * 1000) == WAIT_TIMEOUT) {
                std::printf("%s did not end within %lu s: stopped\n", c.name, seconds);
                TerminateProcess(process.hProcess, 1);
                WaitForSingleObject(process.hProcess, INFINITE);
            }
            GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        if (code == 0) {
            passed++;
        } else {
            std::printf("FAILED: %s\n", c.name);
            failed++;
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}

// Wine's per-program version setting, read by every process of this program.
static int runAllAsWindows98(const char* self) {
    const char* key = "Software\\Wine\\AppDefaults\\wine_tests.exe";
    HKEY settings;
    if (RegCreateKeyA(HKEY_CURRENT_USER, key, &settings) != ERROR_SUCCESS) return 2;
    RegSetValueExA(settings, "Version", 0, REG_SZ, (const BYTE*)"win98", 6);
    RegCloseKey(settings);
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    std::printf("Wine reports platform %lu, version %lu.%lu\n", version.dwPlatformId, version.dwMajorVersion,
                version.dwMinorVersion);
    int status = runAll(self);
    RegDeleteKeyA(HKEY_CURRENT_USER, key);
    return status;
}

int main(int argc, char** argv) {
    if (argc < 2) return runAll(argv[0]);
    if (std::strcmp(argv[1], "--windows98") == 0) return runAllAsWindows98(argv[0]);
    for (auto& c : winetest::cases()) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        c.run();
        settleStatusThread();
        bool ok = winetest::failures == 0;
        std::printf("%d passed, %d failed\n", ok ? 1 : 0, ok ? 0 : 1);
        return ok ? 0 : 1;
    }
    std::printf("no test named %s\n", argv[1]);
    return 2;
}
