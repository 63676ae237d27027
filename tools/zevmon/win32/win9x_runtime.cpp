// zevmon.exe links the C and C++ runtime statically, and a few of the
// runtime's own objects call functions that Windows 95, 98 and Me lack, or
// that no document shows they have: wide-character KERNEL32 calls, which
// those systems leave unimplemented, and msvcrt.dll entry points newer than
// the msvcrt.dll they run with. A program that imports a function its system
// does not export is refused before it starts. Each such function is defined
// here, under the import name the runtime's objects refer to, over calls those
// systems do implement, so the linker takes it from here and never from an
// import library. tests/wine/win9x-imports.txt lists what may be imported.
#include <windows.h>
#include <stdio.h>
#include <sys/stat.h>

namespace {

// The system's ANSI code page is the only one these systems' file and module
// calls take; a name that does not fit in it cannot be passed on.
bool narrow(const wchar_t* wide, char* out, int size) {
    return WideCharToMultiByte(CP_ACP, 0, wide, -1, out, size, NULL, NULL) != 0;
}

// The unwinder and the exception allocator make their locks with an unnamed
// semaphore.
HANDLE WINAPI createSemaphore(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name) {
    char narrowName[MAX_PATH];
    if (name && !narrow(name, narrowName, sizeof narrowName)) return NULL;
    return CreateSemaphoreA(attributes, initial, maximum, name ? narrowName : NULL);
}

// The runtime looks msvcrt.dll up to ask it for the locale's code page.
HMODULE WINAPI getModuleHandle(LPCWSTR name) {
    char narrowName[MAX_PATH];
    if (name && !narrow(name, narrowName, sizeof narrowName)) return NULL;
    return GetModuleHandleA(name ? narrowName : NULL);
}

HMODULE WINAPI loadLibrary(LPCWSTR name) {
    char narrowName[MAX_PATH];
    if (!name || !narrow(name, narrowName, sizeof narrowName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return LoadLibraryA(narrowName);
}

// Multibyte conversion asks whether a byte starts a double-byte character.
// No document found says that Windows 95 exports IsDBCSLeadByteEx; the code
// page's lead-byte ranges from GetCPInfo answer the same question.
BOOL WINAPI isLeadByte(UINT codePage, BYTE byte) {
    CPINFO info;
    if (!GetCPInfo(codePage, &info)) return FALSE;
    for (int i = 0; i + 1 < MAX_LEADBYTES && (info.LeadByte[i] || info.LeadByte[i + 1]); i += 2)
        if (byte >= info.LeadByte[i] && byte <= info.LeadByte[i + 1]) return TRUE;
    return FALSE;
}

// The C++ file streams open wide names with _wfopen, which the run-time
// library of Visual C++ 6.0 supports on Windows NT only.
FILE* __cdecl openFile(const wchar_t* path, const wchar_t* mode) {
    char narrowPath[MAX_PATH], narrowMode[16];
    if (!path || !mode || !narrow(path, narrowPath, sizeof narrowPath) || !narrow(mode, narrowMode, sizeof narrowMode))
        return NULL;
    return fopen(narrowPath, narrowMode);
}

// The C++ file streams size their input with _fstat64, which msvcrt.dll has
// only from version 6.10; its _fstat reports the same fields, in 32 bits.
int __cdecl fileStatus(int fd, struct _stat64* status) {
    struct _stat32 small;
    if (_fstat32(fd, &small) != 0) return -1;
    status->st_dev = small.st_dev;
    status->st_ino = small.st_ino;
    status->st_mode = small.st_mode;
    status->st_nlink = small.st_nlink;
    status->st_uid = small.st_uid;
    status->st_gid = small.st_gid;
    status->st_rdev = small.st_rdev;
    status->st_size = small.st_size;
    status->st_atime = small.st_atime;
    status->st_mtime = small.st_mtime;
    status->st_ctime = small.st_ctime;
    return 0;
}

}  // namespace

// The import-address slots, by the names the runtime's objects refer to.
extern "C" {
void* importCreateSemaphoreW asm("__imp__CreateSemaphoreW@16") = (void*)&createSemaphore;
void* importGetModuleHandleW asm("__imp__GetModuleHandleW@4") = (void*)&getModuleHandle;
void* importLoadLibraryW asm("__imp__LoadLibraryW@4") = (void*)&loadLibrary;
void* importIsDBCSLeadByteEx asm("__imp__IsDBCSLeadByteEx@8") = (void*)&isLeadByte;
void* importWfopen asm("__imp___wfopen") = (void*)&openFile;
void* importFstat64 asm("__imp___fstat64") = (void*)&fileStatus;
}
