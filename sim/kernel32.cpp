// kernel32 of the simulated machine: last error, critical sections, the heap,
// strings, and module start-up calls.
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "codepage/code_page.h"
#include "errors/error_names.h"
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

// Threads blocked in EnterCriticalSection, so that a test can tell that a
// thread has reached a lock another one holds.
static std::atomic<unsigned> lockWaiters{0};

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
    sim::fault("EnterCriticalSection");  // counted, and a point where tests may act
    auto* mutex = static_cast<std::recursive_mutex*>(cs->DebugInfo);
    if (!mutex->try_lock()) {
        lockWaiters++;
        mutex->lock();
        lockWaiters--;
    }
    cs->RecursionCount++;
}

namespace sim {
unsigned Machine::threadsWaitingForLocks() const { return lockWaiters.load(); }
}  // namespace sim

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    cs->RecursionCount--;
    static_cast<std::recursive_mutex*>(cs->DebugInfo)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    delete static_cast<std::recursive_mutex*>(cs->DebugInfo);
    cs->DebugInfo = nullptr;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE module) {
    if (sim::failsNow("DisableThreadLibraryCalls")) return FALSE;
    if (!machine().moduleFor(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- the heap: fixed blocks only; GMEM_MOVEABLE is served as fixed ----

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
    if (sim::failsNow("GlobalAlloc")) return NULL;
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
// An injected failure (FaultMode::Fail) still releases the block, as the close
// functions do; with FailKeepingObject the block stays allocated.
HGLOBAL WINAPI GlobalFree(HGLOBAL memory) {
    auto injected = sim::injectedFault("GlobalFree");
    if (memory == NULL) return NULL;
    auto& heap = machine().heap();
    {
        std::lock_guard<std::mutex> lock(heap.mutex);
        auto it = heap.blocks.find(memory);
        if (it == heap.blocks.end()) {
            SetLastError(injected ? injected->error : ERROR_INVALID_HANDLE);
            return memory;
        }
        if (injected && injected->mode == sim::FaultMode::FailKeepingObject) {
            machine().noteCloseRefused("GlobalFree", (uintptr_t)memory);
            SetLastError(injected->error);
            return memory;
        }
        heap.blocks.erase(it);
    }
    machine().noteClosed("GlobalFree", (uintptr_t)memory);
    std::free(memory);
    if (injected) {
        SetLastError(injected->error);
        return memory;
    }
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

// Letter case aside in the machine's code page, as the names of its printers
// and keys are compared.
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
    int r = codepage::compareNoCase(a ? a : "", b ? b : "");
    return r < 0 ? -1 : r > 0;
}

// ---- files and devices ----

namespace {

// Open disk files by host path, for share-mode checks.
struct OpenFileTable {
    std::mutex mutex;
    std::multimap<std::string, std::pair<DWORD, DWORD>> open;  // path -> (access, share)
};

OpenFileTable& openFiles() {
    static OpenFileTable* table = new OpenFileTable();
    return *table;
}

DWORD errnoToError(int e) {
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_GEN_FAILURE;
    }
}

// A file on the host disk. Disk files answer no serial or device requests.
struct DiskFile : sim::FileObject {
    int fd = -1;
    std::string path;
    DWORD share = 0;
    const char* kind() const override { return "file"; }
    ~DiskFile() override { close(); }
    void close() override {
        if (fd < 0) return;
        ::close(fd);
        fd = -1;
        std::lock_guard<std::mutex> lock(openFiles().mutex);
        auto range = openFiles().open.equal_range(path);
        for (auto it = range.first; it != range.second; ++it)
            if (it->second == std::make_pair(access, share)) {
                openFiles().open.erase(it);
                break;
            }
    }
    bool write(const void* buffer, DWORD size, DWORD& written, DWORD& error) override {
        if (!(access & (GENERIC_WRITE | GENERIC_ALL))) return (error = ERROR_ACCESS_DENIED), false;
        const char* p = static_cast<const char*>(buffer);
        while (written < size) {
            ssize_t n = ::write(fd, p + written, size - written);
            if (n < 0) return (error = errnoToError(errno)), false;
            written += (DWORD)n;
        }
        return true;
    }
    bool read(void* buffer, DWORD size, DWORD& read, DWORD& error) override {
        if (!(access & (GENERIC_READ | GENERIC_ALL))) return (error = ERROR_ACCESS_DENIED), false;
        if (size == 0) return true;
        ssize_t n = ::read(fd, buffer, size);
        if (n < 0) return (error = errnoToError(errno)), false;
        read = (DWORD)n;
        return true;
    }
    bool setEndOfFile(DWORD& error) override {
        if (!(access & (GENERIC_WRITE | GENERIC_ALL))) return (error = ERROR_ACCESS_DENIED), false;
        off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (::ftruncate(fd, at) != 0) return (error = errnoToError(errno)), false;
        return true;
    }
    bool setTimeouts(const COMMTIMEOUTS&, DWORD& error) override { return (error = ERROR_INVALID_FUNCTION), false; }
    bool control(DWORD, const void*, DWORD, void*, DWORD, DWORD&, DWORD& error) override {
        return (error = ERROR_INVALID_FUNCTION), false;
    }
};

// Windows' share check: every open of a file must allow the others' access, and
// the others' share modes must allow its own.
bool shareConflict(const std::string& path, DWORD access, DWORD share) {
    auto needs = [](DWORD a, DWORD s) {
        bool reads = a & (GENERIC_READ | GENERIC_ALL), writes = a & (GENERIC_WRITE | GENERIC_ALL);
        return (reads && !(s & FILE_SHARE_READ)) || (writes && !(s & FILE_SHARE_WRITE));
    };
    auto range = openFiles().open.equal_range(path);
    for (auto it = range.first; it != range.second; ++it) {
        DWORD otherAccess = it->second.first, otherShare = it->second.second;
        if (needs(access, otherShare) || needs(otherAccess, share)) return true;
    }
    return false;
}

std::shared_ptr<sim::FileObject> openDiskFile(const std::string& name, DWORD access, DWORD share,
                                              DWORD disposition, DWORD& error, bool& existed) {
    std::string path = machine().hostPath(name);
    if (path.empty()) return (error = ERROR_INVALID_NAME), nullptr;
    struct stat st;
    existed = ::stat(path.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) return (error = ERROR_ACCESS_DENIED), nullptr;
    std::string parent = path.substr(0, path.rfind('/'));
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return (error = ERROR_PATH_NOT_FOUND), nullptr;

    int flags = 0;
    switch (disposition) {
    case CREATE_NEW:
        if (existed) return (error = ERROR_FILE_EXISTS), nullptr;
        flags = O_CREAT;
        break;
    case CREATE_ALWAYS: flags = O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING:
        if (!existed) return (error = ERROR_FILE_NOT_FOUND), nullptr;
        break;
    case OPEN_ALWAYS: flags = O_CREAT; break;
    case TRUNCATE_EXISTING:
        if (!existed) return (error = ERROR_FILE_NOT_FOUND), nullptr;
        if (!(access & GENERIC_WRITE)) return (error = ERROR_INVALID_PARAMETER), nullptr;
        flags = O_TRUNC;
        break;
    default: return (error = ERROR_INVALID_PARAMETER), nullptr;
    }
    bool reads = access & (GENERIC_READ | GENERIC_ALL), writes = access & (GENERIC_WRITE | GENERIC_ALL);
    flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;

    std::lock_guard<std::mutex> lock(openFiles().mutex);
    if (existed && shareConflict(path, access, share)) return (error = ERROR_SHARING_VIOLATION), nullptr;
    // Windows truncates for CREATE_ALWAYS whatever access the caller asked for.
    if ((flags & O_TRUNC) && !writes) {
        if (existed && ::truncate(path.c_str(), 0) != 0) return (error = errnoToError(errno)), nullptr;
        flags &= ~O_TRUNC;
    }
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return (error = errnoToError(errno)), nullptr;
    auto file = std::make_shared<DiskFile>();
    file->fd = fd;
    file->path = path;
    file->access = access;
    file->share = share;
    openFiles().open.emplace(path, std::make_pair(access, share));
    return file;
}

std::shared_ptr<sim::FileObject> fileFor(HANDLE handle) {
    return machine().handles().get<sim::FileObject>(handle);
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)security;
    (void)flagsAndAttributes;
    (void)templateFile;
    if (sim::failsNow("CreateFileA")) return INVALID_HANDLE_VALUE;
    if (!name || !*name) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = 0;
    bool existed = false;
    std::string path = name;
    std::shared_ptr<sim::FileObject> file;
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0)
        file = sim::openDeviceFile(path, access, shareMode, disposition, error);
    else
        file = openDiskFile(path, access, shareMode, disposition, error, existed);
    if (!file) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = machine().handles().add(file);
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0);
    return handle;
}

namespace {

// The common frame of the calls on an open file: the injected failure, the
// handle look-up, the count (zero first, as Windows sets it) and the last error.
// A fault of another mode than Fail is handed to the call.
template <class Call>
BOOL onFile(const char* function, HANDLE handle, LPDWORD count, Call call) {
    if (count) *count = 0;
    auto injected = sim::injectedFault(function);
    if (injected && injected->mode == sim::FaultMode::Fail) {
        SetLastError(injected->error);
        return FALSE;
    }
    auto file = fileFor(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD done = 0, error = 0;
    bool ok = call(*file, done, error, injected);
    if (count) *count = done;
    if (!ok) SetLastError(error);
    return ok;
}

}  // namespace

// Zero bytes (with any buffer, NULL included) succeed with a count of 0 and leave
// the last error as it was; a NULL buffer with a size fails with
// ERROR_INVALID_USER_BUFFER, as on Windows NT (Wine's kernel32 file tests,
// test_read_write). A short write (FaultMode::ShortWrite) writes only the bytes
// it reports.
BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    (void)overlapped;
    return onFile("WriteFile", handle, written,
                  [&](sim::FileObject& file, DWORD& count, DWORD& error, const std::optional<sim::InjectedFault>& f) {
                      if (!buffer && size) return (error = ERROR_INVALID_USER_BUFFER), false;
                      DWORD part = size;
                      if (f && f->mode == sim::FaultMode::ShortWrite)
                          part = f->shortWriteBytes ? std::min(*f->shortWriteBytes, size) : size / 2;
                      return file.write(buffer, part, count, error);
                  });
}

// As WriteFile; a NULL buffer with a size fails with ERROR_NOACCESS there. At the
// end of a file (an empty one included) a read succeeds with a count of 0.
BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    (void)overlapped;
    return onFile("ReadFile", handle, read,
                  [&](sim::FileObject& file, DWORD& count, DWORD& error, const std::optional<sim::InjectedFault>&) {
                      if (!buffer && size) return (error = ERROR_NOACCESS), false;
                      return file.read(buffer, size, count, error);
                  });
}

// An injected failure (FaultMode::Fail) still closes the handle: it stands for an
// error reported by the close. With FailKeepingObject the handle stays open.
BOOL WINAPI CloseHandle(HANDLE object) {
    auto injected = sim::injectedFault("CloseHandle");
    if (injected && injected->mode == sim::FaultMode::FailKeepingObject) {
        if (machine().handles().get(object)) machine().noteCloseRefused("CloseHandle", (uintptr_t)object);
        SetLastError(injected->error);
        return FALSE;
    }
    auto removed = machine().handles().remove(object);
    if (auto file = std::dynamic_pointer_cast<sim::FileObject>(removed)) file->close();
    if (removed) machine().noteClosed("CloseHandle", (uintptr_t)object);
    if (injected) {
        SetLastError(injected->error);
        return FALSE;
    }
    if (!removed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetEndOfFile(HANDLE handle) {
    return onFile("SetEndOfFile", handle, nullptr,
                  [&](sim::FileObject& file, DWORD&, DWORD& error, const std::optional<sim::InjectedFault>&) {
                      return file.setEndOfFile(error);
                  });
}

// On Windows 98 the communications functions belong to the serial and parallel
// port drivers (VCOMM): on any other handle, a USB device's included, the call fails.
BOOL WINAPI SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    return onFile("SetCommTimeouts", handle, nullptr,
                  [&](sim::FileObject& file, DWORD&, DWORD& error, const std::optional<sim::InjectedFault>&) {
                      if (machine().traits().commTimeoutsOnlyOnCommPorts) return (error = ERROR_INVALID_HANDLE), false;
                      if (!timeouts) return (error = ERROR_NOACCESS), false;
                      return file.setTimeouts(*timeouts, error);
                  });
}

BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    (void)overlapped;
    return onFile("DeviceIoControl", handle, returned,
                  [&](sim::FileObject& file, DWORD& count, DWORD& error, const std::optional<sim::InjectedFault>&) {
                      return file.control(code, inBuffer, inSize, outBuffer, outSize, count, error);
                  });
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    std::string path = machine().hostPath(name ? name : "");
    if (path.empty() || ::unlink(path.c_str()) != 0) {
        SetLastError(path.empty() ? ERROR_INVALID_NAME : errnoToError(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR name) {
    std::string path = machine().hostPath(name ? name : "");
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
        SetLastError(path.empty() ? ERROR_INVALID_NAME : errnoToError(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if (!(info.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// ---- messages ----

// Only system messages are known here; inserts are not expanded.
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                            DWORD size, va_list* arguments) {
    (void)source;
    (void)languageId;
    (void)arguments;
    if (sim::failsNow("FormatMessageA")) return 0;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto text = errors::systemMessage(messageId);
    if (!text) {
        SetLastError(317);  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    if (text->size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text->c_str(), text->size() + 1);
    return (DWORD)text->size();
}

// ---- threads ----

namespace {

std::atomic<DWORD> nextThreadId{0x100};
thread_local DWORD currentThreadId = 0;

struct ThreadObject : sim::KernelObject {
    DWORD id = 0;
    const char* kind() const override { return "thread"; }
};

}  // namespace

DWORD WINAPI GetCurrentThreadId(void) {
    if (!currentThreadId) currentThreadId = nextThreadId++;
    return currentThreadId;
}

void WINAPI Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// The thread ends when its start routine returns; its windows go with it.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
    (void)attributes;
    (void)stackSize;
    (void)flags;
    if (sim::failsNow("CreateThread")) return NULL;
    auto object = std::make_shared<ThreadObject>();
    object->id = nextThreadId++;
    DWORD id = object->id;
    auto& w = machine().windowing();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.queue(id);
        w.threads.push_back({id, std::thread([id, start, parameter] {
                                 currentThreadId = id;
                                 try {
                                     start(parameter);
                                 } catch (const sim::ThreadExit&) {
                                 }
                                 auto& w = machine().windowing();
                                 std::lock_guard<std::mutex> lock(w.mutex);
                                 w.queue(id)->ended = true;
                                 for (auto it = w.windows.begin(); it != w.windows.end();)
                                     it = it->second.threadId == id ? w.windows.erase(it) : std::next(it);
                                 w.changed.notify_all();
                             })});
    }
    if (threadId) *threadId = id;
    return machine().handles().add(object);
}

// Threads only: signalled once the thread has ended.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (sim::failsNow("WaitForSingleObject")) return WAIT_FAILED;
    auto thread = machine().handles().get<ThreadObject>(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    auto& w = machine().windowing();
    std::unique_lock<std::mutex> lock(w.mutex);
    auto ended = [&] { return w.queue(thread->id)->ended; };
    if (milliseconds == INFINITE)
        w.changed.wait(lock, ended);
    else if (!w.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ended))
        return WAIT_TIMEOUT;
    return WAIT_OBJECT_0;
}

// A program that cannot be started gives a value below 32: as Wine's WinExec,
// the error CreateProcess set (also as the last error) when it is below 32, and
// ERROR_BAD_FORMAT (11) for any other error.
UINT WINAPI WinExec(LPCSTR commandLine, UINT showCommand) {
    if (auto e = sim::fault("WinExec")) {
        SetLastError(*e);
        return *e < 32 ? (UINT)*e : (UINT)ERROR_BAD_FORMAT;
    }
    auto& w = machine().windowing();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.commandLines.emplace_back(commandLine ? commandLine : "", showCommand);
    return 33;  // above 31: started
}

namespace sim {

// From the moment a thread is asked to quit, injected failures no longer apply to
// its GetMessageA (see there): a message loop that ends on -1, one that ends on 0
// and one that takes -1 for TRUE all come to the WM_QUIT and end.
void Machine::stopThreads() {
    std::vector<Windows::Thread> threads;
    {
        std::lock_guard<std::mutex> lock(windows_->mutex);
        threads = std::move(windows_->threads);
        windows_->threads.clear();
        for (auto& t : threads) {
            auto q = windows_->queue(t.id);
            q->stopRequested = true;
            q->posted.push_back(MSG{NULL, WM_QUIT, 0, 0, 0, {0, 0}});
        }
        windows_->changed.notify_all();
    }
    for (auto& t : threads)
        if (t.thread.joinable()) t.thread.join();
}

bool Machine::waitIdle(unsigned milliseconds) {
    std::unique_lock<std::mutex> lock(windows_->mutex);
    return windows_->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        for (auto& t : windows_->threads) {
            auto q = windows_->queue(t.id);
            if (q->ended) continue;
            if (!q->waiting || !q->posted.empty() || !q->sent.empty()) return false;
        }
        return true;
    });
}

std::size_t Machine::liveThreads() const {
    std::lock_guard<std::mutex> lock(windows_->mutex);
    std::size_t live = 0;
    for (auto& t : windows_->threads)
        if (!windows_->queue(t.id)->ended) live++;
    return live;
}

}  // namespace sim

// ---- modules: the machine's modules by file name, with their references ----

// The folder the 95/98/Me spooler loads monitors from.
static const char SystemFolder[] = "C:\\WINDOWS\\SYSTEM\\";

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
    if (sim::failsNow("LoadLibraryA")) return NULL;
    HMODULE module = fileName ? machine().referenceModule(fileName) : nullptr;
    if (!module) SetLastError(ERROR_MOD_NOT_FOUND);
    return module;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    if (sim::failsNow("FreeLibrary")) return FALSE;
    if (machine().releaseModule(module)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

// "Invalid module handles are ignored"; the thread ends either way.
void WINAPI FreeLibraryAndExitThread(HMODULE module, DWORD exitCode) {
    sim::fault("FreeLibraryAndExitThread");  // counted; it has no failure to report
    machine().releaseModule(module);
    throw sim::ThreadExit{exitCode};
}

// The path of a module, cut to fit with its terminator: then the result is
// the buffer's size, with ERROR_INSUFFICIENT_BUFFER. The program's own file
// (NULL) is not known here.
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (sim::failsNow("GetModuleFileNameA")) return 0;
    const sim::Module* loaded = module ? machine().moduleFor(module) : nullptr;
    if (!loaded || machine().isModuleUnloaded(module)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::string path = SystemFolder + loaded->fileName;
    if (size == 0) return 0;
    DWORD copied = (DWORD)std::min<std::size_t>(path.size(), size - 1);
    std::memcpy(fileName, path.data(), copied);
    fileName[copied] = 0;
    if (copied < path.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return copied;
}
