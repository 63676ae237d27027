// Shared state of the simulated DLLs, behind the control API. Each part has its
// own lock; none is held while calling back into code of the monitor.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <thread>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <winspool.h>

#include "machine.h"

namespace sim {

struct Machine::Heap {
    std::mutex mutex;
    std::unordered_map<void*, std::size_t> blocks;
};

struct OpenKey {
    std::shared_ptr<RegNode> node;
    REGSAM access = 0;
};

struct Machine::Keys {
    std::mutex mutex;
    std::map<uintptr_t, OpenKey> open;
    uintptr_t next = 0x1000;
};

// Anything a kernel handle can stand for: a file, a device, a pipe, a thread.
struct KernelObject {
    virtual ~KernelObject() = default;
    virtual const char* kind() const = 0;
};

// What CreateFileA opens: a disk file, or a device or pipe of a driver. Each call
// returns FALSE with the error in *error, or TRUE.
struct FileObject : KernelObject {
    DWORD access = 0;
    virtual bool write(const void* buffer, DWORD size, DWORD& written, DWORD& error) = 0;
    virtual bool read(void* buffer, DWORD size, DWORD& read, DWORD& error) = 0;
    virtual bool setEndOfFile(DWORD& error) = 0;
    virtual bool setTimeouts(const COMMTIMEOUTS& timeouts, DWORD& error) = 0;
    virtual bool control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD& returned,
                         DWORD& error) = 0;
    virtual void close() {}
};

// The device namespace (\\.\ and \\?\ paths) belongs to drivers; the virtual USB
// printer driver answers for its devices and pipes.
std::shared_ptr<FileObject> openDeviceFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                                           DWORD& error);

struct Machine::Handles {
    std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<KernelObject>> table;
    uintptr_t next = 0x100;

    HANDLE add(std::shared_ptr<KernelObject> object) {
        std::lock_guard<std::mutex> lock(mutex);
        uintptr_t value = next;
        next += 4;
        table[value] = std::move(object);
        return (HANDLE)value;
    }
    std::shared_ptr<KernelObject> get(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = table.find((uintptr_t)handle);
        return it == table.end() ? nullptr : it->second;
    }
    template <class T>
    std::shared_ptr<T> get(HANDLE handle) {
        return std::dynamic_pointer_cast<T>(get(handle));
    }
    std::shared_ptr<KernelObject> remove(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = table.find((uintptr_t)handle);
        if (it == table.end()) return nullptr;
        auto object = it->second;
        table.erase(it);
        return object;
    }
};

// A job's NNNNN.ctl: the count of bytes its playback has sent, mapped into
// memory so that it is exact after every write, costs no call, and outlives
// a machine that stops without a word. Versions that shared the folder
// between runs kept a cancel request after it; its 16 bytes still read.
struct SharedJobState {
    std::atomic<std::uint64_t> sent{0};
};
static_assert(sizeof(SharedJobState) == 8, "NNNNN.ctl: one 64-bit count");

// The spooler's own job: spooled by an application, kept in its files, and played back
// through its port's monitor on a thread of its own.
struct SpoolerJob {
    DWORD id = 0;
    std::string printer, port, document;
    DWORD priority = DEF_PRIORITY;
    // The spooled bytes: a file in the spool folder beside the job's record,
    // or, without a spool folder, a temporary file that goes with the job.
    int data = -1;
    std::string dataPath, recordPath, sharedPath;  // host paths; empty without a spool folder
    SharedJobState* shared = &local;  // mapped from sharedPath, or `local`
    SharedJobState local;
    std::size_t spooled = 0;
    DWORD status = 0;      // JOB_STATUS_*
    std::size_t sent = 0;  // bytes WritePort reported written
    DWORD error = 0;
    DWORD writeChunk = 0;  // the size of its WritePort calls; 0: the settings'
    bool cancel = false;   // to end as soon as its playback can
    bool leave = false;    // to leave the queue when its playback ends
    bool paused = false;
    bool spooling = false;    // its application still gives it bytes
    DWORD spoolError = 0;     // a write to its data file failed: it cannot be whole
    bool playingBack = false; // a playback thread holds it
    bool observed = false;    // the playback observer was told it started
    bool whole = false;       // every byte reached the printer: it counts as printed
    std::string unreadable;   // see JobReport
    std::string problem;      // see JobReport
    std::string folderProblem;  // see JobReport
    // When the WritePort under way began; none between writes.
    std::optional<std::chrono::steady_clock::time_point> writing;
    SpoolerJob() = default;
    SpoolerJob(const SpoolerJob&) = delete;
    SpoolerJob& operator=(const SpoolerJob&) = delete;
    ~SpoolerJob();
    JobReport seen() const;
    // Earlier in the queue: a higher priority, or given before.
    bool before(const SpoolerJob& other) const {
        return priority != other.priority ? priority > other.priority : id < other.id;
    }
};

struct Machine::Spooler {
    std::mutex mutex;
    std::map<uintptr_t, std::string> open;  // printer handle -> printer name
    uintptr_t next = 0x5000;

    // The spooler process; everything below under mutex.
    std::condition_variable changed;
    SpoolerSettings settings;
    bool running = false, stopping = false;
    struct Monitor {
        std::string name;
        MONITOR_TABLE table{};
        HINSTANCE module = nullptr;  // the spooler's reference on its DLL
        // The trace and its question as they stood when the spooler started it.
        std::function<void(const MonitorCall&)> trace;
        std::function<bool()> traceWanted;
    };
    std::vector<Monitor> monitors;
    struct Port {
        std::size_t monitor = 0;
        DWORD type = 0;  // PORT_TYPE_*
        HANDLE handle = nullptr;
        bool busy = false;
        bool lent = false;  // called directly by a tool (lendPort), not by a job
    };
    std::map<std::string, Port> ports;  // by the name its monitor lists
    std::vector<std::shared_ptr<SpoolerJob>> jobs;
    std::map<uintptr_t, std::shared_ptr<SpoolerJob>> spooling;  // printer handle -> job it spools
    // Job ids count upward for the spooler process's life, across its
    // restarts, so that no id names two jobs while someone may still use it.
    DWORD nextJob = 1;
    std::string folder;                // the spool folder's host path; empty: jobs live in memory
    std::vector<std::string> notices;  // what the last start found in the spool folder
    std::string folderError;           // why the folder itself could not be read
    std::vector<JobReport> ended;     // how the latest playbacks ended, newest last
    std::function<void(const JobReport&, bool ended)> observer;
    std::function<void(const MonitorCall&)> trace;  // see setMonitorTrace()
    std::function<bool()> traceWanted;              // and whether to tell it
    std::function<void(const char* point, DWORD job)> stopPoint;             // see setStopPoint()
    std::vector<std::thread> playbacks;
    std::size_t playing = 0;  // playbacks not yet ended

    Port* port(const std::string& name);
    // A named moment of a job's life in the spool folder, for a test that
    // stops the machine there; called without the lock.
    void reached(const char* point, DWORD job) {
        if (stopPoint) stopPoint(point, job);
    }
};

// The spooler process's side of the application calls (winspool.cpp): each
// returns 0 or an error for the last error.
DWORD spoolerStartDoc(uintptr_t printer, const std::string& printerName, const std::string& document, DWORD& jobId);
DWORD spoolerWrite(uintptr_t printer, const void* data, DWORD size);
DWORD spoolerEndDoc(uintptr_t printer);
DWORD spoolerAbort(uintptr_t printer);
DWORD spoolerSetJob(const std::string& printerName, DWORD jobId, DWORD command);
DWORD spoolerSetPriority(const std::string& printerName, DWORD jobId, DWORD priority);
DWORD spoolerEnumPorts(DWORD level, LPBYTE buffer, DWORD size, DWORD& needed, DWORD& returned);
DWORD spoolerDeletePort(HWND window, const std::string& port);
DWORD spoolerDeleteMonitor(const std::string& monitor);

struct Machine::Ui {
    std::mutex mutex;
    std::vector<std::optional<std::string>> openFileAnswers;
    std::function<std::optional<std::string>(const OpenFileCall&)> openFilePrompt;
    std::vector<OpenFileCall> openFileCalls;
    std::vector<MessageBoxCall> messageBoxes;
    std::function<int(const MessageBoxCall&)> messageBoxHandler;
};

struct Machine::Usb {
    std::mutex mutex;
    std::condition_variable changed;  // bytes to read, a handle closed, a printer gone
    std::vector<std::shared_ptr<UsbPrinter>> printers;  // in the order they were added
    // A device information set: the present interfaces of a class when it was
    // made, and their devices as its device elements, in an order of their own.
    struct Set {
        std::vector<std::shared_ptr<UsbPrinter>> interfaces, devices;
    };
    std::map<uintptr_t, Set> sets;
    uintptr_t nextSet = 0x7000;

    std::shared_ptr<UsbPrinter> find(const std::string& instanceId);
};

// One thread's message queue: messages sent from other threads are handled
// before posted ones, inside GetMessageA, as on Windows.
struct ThreadQueue {
    struct Sent {
        HWND hwnd;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        LRESULT result = 0;
        bool done = false;
    };
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<Sent>> sent;
    bool waiting = false;  // blocked in GetMessageA with nothing to do
    bool ended = false;
    bool stopRequested = false;  // Machine::stopThreads() posted its WM_QUIT: no more injected failures
    bool failing = false;        // GetMessageA failed (injected) at every call since failingSince
    std::chrono::steady_clock::time_point failingSince;
};

struct Machine::Windows {
    std::mutex mutex;
    std::condition_variable changed;  // any queue, window or thread changed
    std::map<DWORD, std::shared_ptr<ThreadQueue>> queues;
    struct Window {
        std::string className;
        WNDPROC proc;
        DWORD style;
        DWORD threadId;
        HWND parent;
        HINSTANCE module;  // its class's: the procedure's code is gone once that is unloaded
    };
    std::map<uintptr_t, Window> windows;
    uintptr_t nextWindow = 0x20000;
    std::vector<WNDCLASSA> classes;
    std::vector<std::string> classNames;
    struct Thread {
        DWORD id;
        std::thread thread;
    };
    std::vector<Thread> threads;
    std::vector<std::pair<std::string, UINT>> commandLines;

    std::shared_ptr<ThreadQueue> queue(DWORD threadId) {  // caller holds mutex
        auto& q = queues[threadId];
        if (!q) q = std::make_shared<ThreadQueue>();
        return q;
    }
};

// Thrown by FreeLibraryAndExitThread, which does not return: it ends the
// thread's start routine, and CreateThread's thread catches it.
struct ThreadExit {
    DWORD code;
};

// The failure a simulated function must report, if one is due: used as
//   if (auto e = fault("RegOpenKeyExA")) return *e;
inline std::optional<DWORD> fault(const char* function) { return machine().enter(function); }
// For the functions that report a failure in the last error: true when one is
// due, with the last error set; used as
//   if (sim::failsNow("CreateFileA")) return INVALID_HANDLE_VALUE;
inline bool failsNow(const char* function) {
    std::optional<DWORD> error = fault(function);
    if (error) SetLastError(*error);
    return error.has_value();
}
// The same with the fault's mode, for the functions that support more than Fail.
inline std::optional<InjectedFault> injectedFault(const char* function) { return machine().enterFault(function); }

}  // namespace sim
