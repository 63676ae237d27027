// The calls that zevmon.exe's runtime makes through tools/zevmon/win32/win9x_runtime.cpp
// instead of the system's wide-character and newer msvcrt.dll ones. This
// program links that file as zevmon.exe does, so every call below reaches it;
// under Wine the system's own functions are still there to compare with.
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "wine_test.h"

namespace {

std::wstring wide(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], (int)out.size());
    out.resize(length > 0 ? length - 1 : 0);
    return out;
}

std::string tempFile(const char* name) {
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(sizeof folder, folder);
    return std::string(folder, length) + name;
}

}  // namespace

WINE_TEST(runtime_semaphore_keeps_its_name_and_counts) {
    HANDLE semaphore = CreateSemaphoreW(NULL, 1, 2, L"zevmon-runtime-semaphore");
    CHECK(semaphore != NULL);
    // The name reached the system: the same semaphore opens by its narrow name.
    HANDLE same = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "zevmon-runtime-semaphore");
    CHECK(same != NULL);
    CHECK_EQ(WaitForSingleObject(same, 0), (DWORD)WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(semaphore, 0), (DWORD)WAIT_TIMEOUT);
    CHECK(ReleaseSemaphore(semaphore, 2, NULL));
    CHECK(!ReleaseSemaphore(semaphore, 1, NULL));  // beyond the maximum of 2
    CloseHandle(same);
    CloseHandle(semaphore);

    HANDLE unnamed = CreateSemaphoreW(NULL, 0, 65535, NULL);
    CHECK(unnamed != NULL);
    CHECK_EQ(WaitForSingleObject(unnamed, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(unnamed);
}

WINE_TEST(runtime_modules_by_wide_name) {
    CHECK(GetModuleHandleW(L"KERNEL32.DLL") == GetModuleHandleA("KERNEL32.DLL"));
    CHECK(GetModuleHandleW(NULL) == GetModuleHandleA(NULL));
    CHECK(GetModuleHandleW(L"no-such-module.dll") == NULL);

    HMODULE version = LoadLibraryW(L"version.dll");
    CHECK(version != NULL);
    CHECK(version && GetProcAddress(version, "GetFileVersionInfoA") != NULL);
    if (version) FreeLibrary(version);
    SetLastError(0);
    CHECK(LoadLibraryW(L"no-such-library.dll") == NULL);
    CHECK_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

WINE_TEST(runtime_lead_bytes_match_the_system) {
    typedef BOOL(WINAPI * LeadByteFn)(UINT, BYTE);
    auto system = (LeadByteFn)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsDBCSLeadByteEx");
    CHECK(system != NULL);
    if (!system) return;
    // Not a vacuous comparison: Shift JIS has lead bytes, and both say so.
    CHECK(system(932, 0x81));
    CHECK(IsDBCSLeadByteEx(932, 0x81));
    const UINT codePages[] = {CP_ACP, CP_OEMCP, 437, 932, 936, 949, 950, 1252};
    for (UINT codePage : codePages)
        for (int byte = 0; byte < 256; byte++)
            if (!IsDBCSLeadByteEx(codePage, (BYTE)byte) != !system(codePage, (BYTE)byte))
                winetest::fail(__FILE__, __LINE__,
                               "code page " + std::to_string(codePage) + ", byte " + std::to_string(byte) +
                                   ": the runtime and the system disagree on whether it is a lead byte");
}

WINE_TEST(runtime_opens_wide_file_names_and_sizes_files) {
    std::string path = tempFile("zevmon-runtime-file.bin");
    FILE* file = _wfopen(wide(path).c_str(), L"wb");
    CHECK(file != NULL);
    if (!file) return;
    std::string data(1234, 'x');
    CHECK_EQ(fwrite(data.data(), 1, data.size(), file), data.size());
    fflush(file);
    struct _stat64 status = {};
    CHECK_EQ(_fstat64(_fileno(file), &status), 0);
    CHECK_EQ((long long)status.st_size, 1234LL);
    CHECK((status.st_mode & _S_IFMT) == _S_IFREG);
    CHECK(status.st_mtime > 0);
    fclose(file);

    file = _wfopen(wide(path).c_str(), L"rb");
    CHECK(file != NULL);
    if (file) {
        char first = 0;
        CHECK_EQ(fread(&first, 1, 1, file), (size_t)1);
        CHECK_EQ(first, 'x');
        fclose(file);
    }
    DeleteFileA(path.c_str());

    CHECK(_wfopen(wide(tempFile("no-such-folder\\file.bin")).c_str(), L"rb") == NULL);
    CHECK_EQ(_fstat64(-1, &status), -1);
}
