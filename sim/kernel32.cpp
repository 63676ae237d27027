// kernel32 of the simulated machine: last error, critical sections, the heap,
// strings, and module start-up calls.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "state.h"

using sim::machine;

static thread_local DWORD lastError = 0;

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD code) { lastError = code; }

// ---- critical sections: a recursive lock kept behind DebugInfo ----

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    std::memset(cs, 0, sizeof *cs);
    cs->DebugInfo = new std::recursive_mutex();
    cs->LockCount = -1;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
    static_cast<std::recursive_mutex*>(cs->DebugInfo)->lock();
    cs->RecursionCount++;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    cs->RecursionCount--;
    static_cast<std::recursive_mutex*>(cs->DebugInfo)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    delete static_cast<std::recursive_mutex*>(cs->DebugInfo);
    cs->DebugInfo = nullptr;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE module) {
    if (auto e = sim::fault("DisableThreadLibraryCalls")) {
        SetLastError(*e);
        return FALSE;
    }
    if (!machine().moduleFor(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- the heap: fixed blocks only; GMEM_MOVEABLE is served as fixed ----

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
    if (auto e = sim::fault("GlobalAlloc")) {
        SetLastError(*e);
        return NULL;
    }
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    // Without GMEM_ZEROINIT the block holds garbage, so code that relies on
    // zero-filled memory it did not ask for shows up in tests.
    std::memset(block, (flags & GMEM_ZEROINIT) ? 0 : 0xCD, bytes);
    auto& heap = machine().heap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    heap.blocks[block] = bytes;
    return block;
}

// Returns NULL on success; on failure the block itself, with ERROR_INVALID_HANDLE.
HGLOBAL WINAPI GlobalFree(HGLOBAL memory) {
    if (auto e = sim::fault("GlobalFree")) {
        SetLastError(*e);
        return memory;
    }
    if (memory == NULL) return NULL;
    auto& heap = machine().heap();
    {
        std::lock_guard<std::mutex> lock(heap.mutex);
        auto it = heap.blocks.find(memory);
        if (it == heap.blocks.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return memory;
        }
        heap.blocks.erase(it);
    }
    std::free(memory);
    return NULL;
}

// ---- strings ----

int WINAPI lstrlenA(LPCSTR string) { return string ? (int)std::strlen(string) : 0; }

LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source) { return std::strcpy(destination, source); }

// Copies at most maxChars - 1 characters and always terminates (for maxChars > 0).
LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int maxChars) {
    if (maxChars <= 0) return destination;
    int i = 0;
    for (; i < maxChars - 1 && source[i]; i++) destination[i] = source[i];
    destination[i] = 0;
    return destination;
}

LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source) { return std::strcat(destination, source); }

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
    int r = std::strcmp(a ? a : "", b ? b : "");
    return r < 0 ? -1 : r > 0;
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
    int r = strcasecmp(a ? a : "", b ? b : "");
    return r < 0 ? -1 : r > 0;
}
