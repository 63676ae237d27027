#include "field_support.h"

#include <cstring>

#include "monitor/monitor.h"
#include "tools/zevmon/win32/boot_rename_text.h"
#include "wine_support.h"

ZevmonRun runZevmon(const std::string& arguments) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE readEnd = NULL, writeEnd = NULL;
    CHECK(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, NULL);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::string commandLine = "\"" + thisFolder() + "\\zevmon.exe\" " + arguments;
    PROCESS_INFORMATION process = {};
    ZevmonRun run = {0xdeadbeef, ""};
    BOOL started = CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
    CHECK(started);
    CloseHandle(writeEnd);
    CloseHandle(input);
    if (started) {
        // Read until zevmon ends, not until the pipe's end: a program the
        // monitor started in zevmon's process (the driver-index rebuild) may
        // hold the pipe after zevmon, and under emulation Wine was seen to
        // leave one such child stuck in its start for good.
        char buffer[4096];
        for (bool ended = false; !ended;) {
            ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
            DWORD available = 0, got = 0;
            while (PeekNamedPipe(readEnd, NULL, 0, NULL, &available, NULL) && available > 0 &&
                   ReadFile(readEnd, buffer, available < sizeof buffer ? available : sizeof buffer, &got, NULL) &&
                   got > 0)
                run.output.append(buffer, got);
        }
        GetExitCodeProcess(process.hProcess, &run.status);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(readEnd);
    return run;
}

ZevmonRun runZevmonChecked(const char* file, int line, const std::string& arguments, DWORD status) {
    ZevmonRun run = runZevmon(arguments);
    if (run.status != status)
        winetest::fail(file, line,
                       "zevmon " + arguments + " ended with " + winetest::text(run.status) + ", want " +
                           winetest::text(status) + ":\n" + run.output);
    return run;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string thisFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string file = path;
    return file.substr(0, file.find_last_of('\\'));
}

static std::string systemFile(const char* name) {
    char folder[MAX_PATH] = "";
    GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder) + "\\" + name;
}

std::string systemDll() { return systemFile("ZEVURUZI.DLL"); }
std::string pendingDll() { return systemFile("ZEVURUZI.NEW"); }

std::string wininitPath() {
    char folder[MAX_PATH] = "";
    GetWindowsDirectoryA(folder, MAX_PATH);
    return std::string(folder) + "\\WININIT.INI";
}

#define SessionManagerKey "System\\CurrentControlSet\\Control\\Session Manager"
#define AppDefaultsKey "Software\\Wine\\AppDefaults\\zevmon.exe"

void removeInstallation() {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, MonitorKeyPath);
    RegDeleteTreeA(HKEY_CURRENT_USER, AppDefaultsKey);
    for (const char* name : {"ZEVURUZI.DLL", "ZEVURUZI.NEW", "ZEVURUZI.OLD"}) DeleteFileA(systemFile(name).c_str());
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "PendingFileRenameOperations");
        RegCloseKey(key);
    }
    DeleteFileA(wininitPath().c_str());
    std::string backup = wininitPath();
    DeleteFileA((backup.substr(0, backup.size() - 3) + "BAK").c_str());
}

std::string versionOf(const std::string& path) {
    DWORD handle = 0, size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return "";
    std::vector<BYTE> record(size);
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (!GetFileVersionInfoA(path.c_str(), 0, size, record.data()) ||
        !VerQueryValueA(record.data(), "\\", (LPVOID*)&fixed, &length) || length < sizeof *fixed)
        return "";
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                  HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    return text;
}

void writeTextFile(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    CHECK(file != INVALID_HANDLE_VALUE);
    DWORD written = 0;
    CHECK(WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL));
    CloseHandle(file);
}

std::string olderDll() {
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    std::string folder = std::string(temp) + "zevold";
    CreateDirectoryA(folder.c_str(), NULL);
    std::string copy = folder + "\\ZEVURUZI.DLL";
    std::string image = readWholeFile(thisFolder() + "\\ZEVURUZI.DLL");
    const unsigned char signature[] = {0xBD, 0x04, 0xEF, 0xFE};  // VS_FIXEDFILEINFO
    size_t at = image.find(std::string((const char*)signature, 4));
    CHECK(at != std::string::npos);
    if (at != std::string::npos) {
        const DWORD older[2] = {0x00000009, 0};  // dwFileVersionMS, LS: 0.9.0.0
        std::memcpy(&image[at + 8], older, sizeof older);
    }
    writeTextFile(copy, image);
    return copy;
}

std::vector<std::string> pendingRenames() {
    std::vector<std::string> entries;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return entries;
    std::vector<char> data(8192, 0);
    DWORD type = 0, size = (DWORD)data.size() - 2;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", NULL, &type, (LPBYTE)data.data(), &size) ==
        ERROR_SUCCESS) {
        CHECK_EQ(type, (DWORD)REG_MULTI_SZ);
        entries = zevmon::pendingEntries(data.data(), size);
    }
    RegCloseKey(key);
    return entries;
}

void restartWindows() {
    char commandLine[] = "wineboot.exe --restart";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    CHECK(CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process));
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

PretendWindows98::PretendWindows98() {
    HKEY key;
    CHECK_EQ(RegCreateKeyA(HKEY_CURRENT_USER, AppDefaultsKey, &key), (LONG)ERROR_SUCCESS);
    CHECK_EQ(RegSetValueExA(key, "Version", 0, REG_SZ, (const BYTE*)"win98", 6), (LONG)ERROR_SUCCESS);
    RegCloseKey(key);
}

PretendWindows98::~PretendWindows98() { RegDeleteTreeA(HKEY_CURRENT_USER, AppDefaultsKey); }

DllHolder::DllHolder(const std::string& path) {
    // Mapped as the loader maps it, without running its entry point.
    module_ = LoadLibraryExA(path.c_str(), NULL, DONT_RESOLVE_DLL_REFERENCES);
    CHECK(module_ != NULL);
}

void DllHolder::release() {
    if (module_) FreeLibrary(module_);
    module_ = NULL;
}
