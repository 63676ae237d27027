// The control API of the simulated Windows machine: what tests and tools use to
// arrange a machine, observe it, inject failures and reset it. The Win32 functions
// themselves live in the file of the system DLL that provides them (kernel32.cpp,
// advapi32.cpp, user32.cpp, ...).
//
// Injected failures come in four kinds (FaultMode, below): Fail, the plain
// failure every function with a fault point supports; FailKeepingObject, a close
// that fails and keeps its object; ShortWrite, a WriteFile that succeeds with part
// of the bytes; FailAfterEffect, a RegCreateKeyA that creates the key and then
// fails. Machine::faultModesFor() says which a function supports, and
// Machine::refusedCloses() which objects are held open only because an injected
// close refused them.
#pragma once

#include <windows.h>
#include <commdlg.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "monitor/zevuruzi.h"
#include "registry.h"
#include "usbprint.h"

namespace sim {

// A module as the machine loads it: its entry point, its string table and what
// unloading it must reset (the host build links the monitor in, so "unloading"
// returns its process-wide state to that of a freshly loaded image).
struct Module {
    std::string fileName;
    BOOL(WINAPI* entryPoint)(HINSTANCE, DWORD, LPVOID) = nullptr;
    std::map<UINT, std::string> strings;
    std::function<void()> unload;
    // A port monitor's InitializeMonitorEx, given its registry key's path: the
    // table of the 95/98/Me family it hands out.
    std::function<BOOL(const std::string& registryRoot, MONITOR_TABLE& table)> initializeMonitor;
};

// The choices the documents of the 95/98/Me spooler leave open, each with the
// reading taken by default.
struct SpoolerSettings {
    // The 95 DDK asks EndDocPort to delete the finished job with SetJob: by
    // default a printed job stays in the queue until then.
    bool finishedJobsLeaveByThemselves = false;
    // A language monitor reads a bidirectional port (PORT_TYPE_READ) after
    // each write; the documents do not say when, so off by default.
    bool readAfterEachWrite = false;
    // The size of each WritePort of a job's playback (setWriteChunk sets one job's).
    DWORD writeChunk = 4096;
    // "Start printing after first page is spooled", the 98 spooler's default
    // (its Spool Settings dialog): a job plays back once its first bytes are
    // spooled, the playback waiting for bytes not yet spooled. False: after the last.
    bool printWhileSpooling = true;
    // False: a spooler that lists the jobs of its folder as they stand and
    // leaves them, its files too, for a run that cannot record what a printer
    // receives; it takes no new job.
    bool playsBack = true;
};

// A report of one job of the spooler's queue, as it stood when asked: a
// copy a test or a tool may keep.
struct JobReport {
    DWORD id = 0;
    std::string printer, port, document;
    DWORD status = 0;  // JOB_STATUS_*
    std::size_t spooled = 0, sent = 0;
    DWORD error = 0;  // the last failure of its playback, 0 for none
    DWORD priority = 1;
    bool cancelAsked = false;  // a cancel waits for the playback's next write
    // How long the WritePort under way has taken so far, in milliseconds: a
    // printer that takes nothing keeps its job's write waiting. 0 between writes.
    unsigned writingForMs = 0;
    // Why its record or data cannot be read, with the file and line: listed
    // and cancellable, never printed. "" for a job that can be read.
    std::string unreadable;
    // Why a job that reads well is not printed: its printer no longer exists,
    // or prints to another port than the one the job was given for. "" for
    // none; the job waits, listed, until that changes or it is cancelled.
    std::string problem;
    // The spool folder could not be written when the job ended, so its files
    // do not say so: what the next start will make of them. "" for none.
    std::string folderProblem;
};

// How an injected failure behaves. Every simulated function with a fault point
// supports Fail; Machine::faultModesFor() tells which others a function supports,
// and Machine::inject() refuses a mode that the function does not.
enum class FaultMode {
    // The call fails with the error, as the real function fails (its failure
    // value, and the last error where the real one sets it), and has no other
    // effect. The close functions are the exception: CloseHandle, RegCloseKey,
    // SetupDiDestroyDeviceInfoList, ClosePrinter and GlobalFree still release
    // their object, so that the error stands for one reported by a close that did
    // close.
    Fail,
    // A close that fails and keeps its object: CloseHandle, RegCloseKey,
    // SetupDiDestroyDeviceInfoList, ClosePrinter and GlobalFree return the error
    // and the handle, key, device information set, printer handle or block stays
    // open (still counted by openHandles(), openKeys(), openDeviceInfoSets(),
    // openPrinterHandles(), liveAllocations()) and is listed by refusedCloses()
    // until a later close of it succeeds or reset() releases it.
    FailKeepingObject,
    // A short write: WriteFile returns TRUE with fewer bytes written than asked,
    // Fault::shortWriteBytes of them (half, rounded down, when not given; never
    // more than asked; 0 is allowed). Exactly the bytes reported are written, in
    // the file or at the printer; the rest are not. The error is not used.
    ShortWrite,
    // The call has its effect, then returns the error: RegCreateKeyA creates the
    // key and every missing key on its path, then returns the error without
    // opening a handle (the handle is set to NULL; no key is left open).
    FailAfterEffect,
};

// One failure to inject: the nth call (counted from the moment of injection,
// 1-based) of the named function fails with the given error, or every call from
// the nth on. For example:
//   machine().failCall("RegOpenKeyExA", 2, ERROR_BADDB);                 // Fail
//   machine().inject({"CloseHandle", 1, ERROR_INVALID_HANDLE, false,
//                     sim::FaultMode::FailKeepingObject});
//   machine().inject({"WriteFile", 1, 0, false, sim::FaultMode::ShortWrite, 3});
// A Fault can also be made empty and filled in field by field.
struct Fault {
    Fault() = default;
    Fault(std::string function_, unsigned nth_ = 1, DWORD error_ = 0, bool everyCallFromNth_ = false,
          FaultMode mode_ = FaultMode::Fail, std::optional<DWORD> shortWriteBytes_ = std::nullopt)
        : function(std::move(function_)),
          nth(nth_),
          error(error_),
          everyCallFromNth(everyCallFromNth_),
          mode(mode_),
          shortWriteBytes(shortWriteBytes_) {}
    std::string function;
    unsigned nth = 1;
    DWORD error = 0;
    bool everyCallFromNth = false;
    FaultMode mode = FaultMode::Fail;
    std::optional<DWORD> shortWriteBytes;  // ShortWrite only: bytes written; none: half of those asked
};

// The failure a call must show, as Machine::enterFault() returns it.
struct InjectedFault {
    DWORD error = 0;
    FaultMode mode = FaultMode::Fail;
    std::optional<DWORD> shortWriteBytes;
};

// An object held open only because a close injected with FailKeepingObject
// refused to close it: the close function's name and the handle's value.
struct RefusedClose {
    std::string function;  // "CloseHandle", "RegCloseKey", "SetupDiDestroyDeviceInfoList", "ClosePrinter", "GlobalFree"
    uintptr_t object;
};

// The spooler's printers, each a key below this one of HKEY_LOCAL_MACHINE.
inline constexpr char PrintersKey[] = "System\\CurrentControlSet\\Control\\Print\\Printers";
inline std::string printerKey(const std::string& printerName) { return std::string(PrintersKey) + "\\" + printerName; }

// Which family the machine behaves as: Windows 98, the users' system, or NT,
// what Wine shows, so that the cases mirrored under Wine agree.
enum class Personality { NT, Windows98 };

// What the machine's system does where the 98 family and NT differ. The
// personality sets every field; a test may change one alone (setTraits) to see
// what depends on that difference. The file of the DLL each belongs to reads
// it; docs/windows98.md gives their sources.
struct SystemTraits {
    // NT: a key handle grants only the rights it was opened with, and a key may
    // refuse them to every opener. 98 has no registry security.
    bool registrySecurity = true;
    // 98: one leading backslash of a key path is skipped; NT refuses the path.
    bool skipsLeadingBackslash = false;
    // 98: RegEnumKeyA gives subkeys in the order they were made; NT: sorted.
    bool subkeysInCreationOrder = false;
    // 98: RegDeleteKeyA deletes a key with its subkeys; NT refuses a key that has any.
    bool deletesKeyTrees = false;
    // 98: a device information set lists its device elements in the reverse
    // order of its interfaces (SetupAPI promises no order; see the docs).
    bool deviceElementsReversed = false;
    // 98: SetCommTimeouts works only on communications ports and fails with
    // ERROR_INVALID_HANDLE on any other handle, a USB device's included.
    bool commTimeoutsOnlyOnCommPorts = false;
    // What I/O on a handle of an unplugged USB printer fails with.
    DWORD unpluggedDeviceError = ERROR_DEVICE_NOT_CONNECTED;

    static SystemTraits of(Personality personality);
};

class Machine {
public:
    // Returns the machine to a pristine state: modules unloaded, heap, handles,
    // keys, recorded calls and faults cleared, registry empty, and the
    // personality the process started with (ZEV_PERSONALITY=98 or nt; NT
    // without it).
    void reset();

    // ---- personality ----
    // Also sets the traits to the personality's.
    void setPersonality(Personality personality);
    Personality personality() const;
    bool isWindows98() const { return personality() == Personality::Windows98; }
    static Personality defaultPersonality();
    // The differences the machine shows now; setTraits keeps the personality.
    SystemTraits traits() const;
    void setTraits(const SystemTraits& traits);

    // ---- modules ----
    // A module loaded here holds one reference; LoadLibraryA of its file name
    // adds one, FreeLibrary takes one away. At none it is unloaded: its code is
    // gone, and a window procedure of it that runs afterwards is a crash,
    // recorded and not run. Its state is reset only by reset(), since a thread
    // of it may still be running.
    HINSTANCE loadModule(const Module& module);
    const Module* moduleFor(HINSTANCE instance) const;
    // LoadLibraryA and FreeLibrary: a loaded module of that file name gains a
    // reference (NULL for none); the module loses one (false for no loaded module).
    HINSTANCE referenceModule(const std::string& fileName);
    bool releaseModule(HINSTANCE instance);
    unsigned moduleReferences(HINSTANCE instance) const;
    bool isModuleUnloaded(HINSTANCE instance) const;
    // What ran after its code was gone, one line each; empty on a machine that never crashed.
    void noteCrash(const std::string& what);
    std::vector<std::string> crashes() const;

    // ---- registry ----
    Registry& registry() { return registry_; }

    // ---- failure injection and call accounting ----
    // Throws std::invalid_argument for a mode the function does not support.
    void inject(const Fault& fault);
    void failCall(const std::string& function, unsigned nth, DWORD error) { inject(Fault(function, nth, error)); }
    void clearFaults();
    // The modes a function's injected failures can take: Fail first, then the
    // others it supports (for a fault sweep: inject each in turn).
    static std::vector<FaultMode> faultModesFor(const std::string& function);
    // Objects held open only because an injected close refused them (see
    // FaultMode::FailKeepingObject), all or those of one close function: what a
    // sweep subtracts from openHandles() and the other counts before it calls
    // anything a leak.
    std::vector<RefusedClose> refusedCloses() const;
    std::size_t refusedCloseCount(const std::string& function) const;
    // Runs action once, at the start of the nth call (counted from now) of the
    // function, before the function does anything: to change the machine at an
    // exact point of an operation.
    void onCall(const std::string& function, unsigned nth, std::function<void()> action);
    unsigned callCount(const std::string& function) const;
    void recordCalls(bool on);
    std::vector<std::string> recordedCalls() const;
    // Called by every simulated function on entry: counts it, records it, and
    // returns the fault due, if any.
    std::optional<InjectedFault> enterFault(const char* function);
    // The same for functions that support only FaultMode::Fail: the error.
    std::optional<DWORD> enter(const char* function);
    // Called by the close functions: a close refused with FailKeepingObject, and
    // a close that released its object.
    void noteCloseRefused(const char* function, uintptr_t object);
    void noteClosed(const char* function, uintptr_t object);

    // ---- files ----
    // Windows paths map onto the host below the file root: drive X: is the folder
    // <root>/x, so "C:\jobs\out.prn" is <root>/c/jobs/out.prn; a relative path is
    // taken from C:\. Names keep their case on the host.
    void setFileRoot(const std::string& hostDirectory);
    std::string fileRoot();
    // The host path of a Windows path, or "" for one that names no disk file.
    std::string hostPath(const std::string& windowsPath);

    // ---- spooler ----
    // A printer is its key below PrintersKey (printerKey(name)), with its "Port"
    // and "Attributes" values, as on the real system.
    void addPrinter(const std::string& name, const std::string& port, DWORD attributes = 0);
    bool printerExists(const std::string& name);
    DWORD printerAttributes(const std::string& name);
    std::size_t openPrinterHandles() const;

    // ---- the spooler process (SPOOL32 with its router and local provider) ----
    // Loads every monitor registered below "System\CurrentControlSet\Control\Print\Monitors"
    // whose "Driver" names a loaded module, and starts it with its key's path.
    // False, with the reason, when a monitor cannot be started.
    bool startSpooler(std::string* reason = nullptr);
    // Ends every job's playback (EndDocPort for one under way), closes the
    // ports and lets go of the monitors' modules; reset() calls it.
    void stopSpooler();
    void setSpoolerSettings(const SpoolerSettings& settings);
    // Where the spooler keeps its queue, for its next start: each job's bytes
    // (NNNNN.spl) beside a record a person can read (NNNNN.job, JSON, whose
    // state changes by one rename) and the count of bytes sent (NNNNN.ctl,
    // exact at every write), so that a queue outlives the spooler and a
    // machine that stops at any moment. Its one spooler owns it. Empty (the
    // default): jobs live in memory and end with the spooler.
    void setSpoolFolder(const std::string& hostFolder);
    // What the last start found in the spool folder, a sentence each: jobs
    // dropped, printed again from their start, or that cannot be read.
    std::vector<std::string> spoolerNotices();
    // Why the spool folder itself could not be read at the last start; "".
    std::string spoolFolderError();
    // Told, on the playback thread, when a job starts to play back (its port is
    // its own) and when its playback ends: with its final status, or still
    // JOB_STATUS_PRINTING when the spooler's stop broke it off. Cleared by
    // setSpoolFolder() and reset().
    void setPlaybackObserver(std::function<void(const JobReport&, bool ended)> observer);
    // Told of every call the spooler makes into a monitor it starts from now
    // on, on the thread that made it, just after it returns: the slot, what it
    // was given and gave back, its result and its last error, which is left as
    // the call left it; `wanted` says whether a call on this thread is told at
    // all. Cleared by reset().
    void setMonitorTrace(std::function<void(const MonitorCall& call)> trace, std::function<bool()> wanted = nullptr);
    // Told at each named moment of a job's life in the spool folder, on the
    // thread that reached it ("spooling", "queued", "printing", "writing",
    // "written", "printed", "ended", "removing", "removed-data"): a test stops
    // the machine there. Set before the spooler starts.
    void setStopPoint(std::function<void(const char* point, DWORD job)> stop);
    // The size of the WritePort calls of one job's playback, set before its
    // first byte is spooled.
    void setWriteChunk(DWORD job, DWORD size);
    // A port taken from the spooler for a tool that calls the monitor's table
    // itself (OpenPort, StartDocPort, ...): no job starts there until it is
    // given back. False, with the job that prints there, when one does.
    bool lendPort(const std::string& port, DWORD* printingJob = nullptr);
    void giveBackPort(const std::string& port);
    // The queue in the order it prints: by priority, then as the jobs were
    // given. A spooler that only looks reads the folder afresh each time.
    std::vector<JobReport> spooledJobs();
    // One job of that queue; none once it has left.
    std::optional<JobReport> spooledJob(DWORD id);
    // How a job's playback ended (status JOB_STATUS_PRINTED, _DELETED or
    // _ERROR), whether or not it is still in the queue; none while it has not.
    std::optional<JobReport> endedJob(DWORD id);
    // Waits until no job is playing back or waiting to (held jobs aside);
    // false after the time given.
    bool waitForPlayback(unsigned milliseconds = 10000);
    // Ends every stall of the USB printers at once, so that a stopping
    // machine's writes do not wait for them.
    void endStalls();

    // ---- USB printers ----
    // Adding a printer gives it its device interface, its virtual device and, with
    // a port name, its instance key below "Enum\USB" with "PortName", in one call.
    void addUsbPrinter(const UsbPrinterSpec& spec);
    void removeUsbPrinter(const std::string& instanceId);
    // atAnotherPath: plugged into another socket, its interface gets another
    // device path while its instance id stays.
    void plugUsbPrinter(const std::string& instanceId, bool atAnotherPath = false);
    void unplugUsbPrinter(const std::string& instanceId);  // open handles die
    // Runs f on the printer under the driver's lock; false when there is none.
    bool withUsbPrinter(const std::string& instanceId, const std::function<void(UsbPrinter&)>& f);
    // Everything written to the printer's pipes, pipe by pipe in pipe order.
    std::vector<BYTE> usbReceived(const std::string& instanceId);
    std::vector<std::string> usbPrinterIds();
    std::size_t openDeviceInfoSets() const;

    // ---- user interface ----
    struct OpenFileCall {
        OPENFILENAMEA request;             // as the caller filled it in
        std::vector<std::string> filter;   // the filter list, pair by pair
    };
    // The next open-file dialogs answer in turn with these paths (nullopt: the user
    // cancels). With nothing scripted the prompt is asked; with no prompt, cancel.
    void scriptOpenFile(std::optional<std::string> answer);
    void setOpenFilePrompt(std::function<std::optional<std::string>(const OpenFileCall&)> prompt);
    std::vector<OpenFileCall> openFileCalls() const;
    // Message boxes are recorded and answered IDOK, or by the handler a tool installs.
    struct MessageBoxCall {
        HWND owner;
        std::string text;
        std::string caption;
        UINT type;
    };
    std::vector<MessageBoxCall> messageBoxes() const;
    void setMessageBoxHandler(std::function<int(const MessageBoxCall&)> handler);
    HWND desktopWindow() const { return (HWND)(uintptr_t)0x10010; }

    // ---- threads, windows and messages ----
    // Sends the message to every top-level window and returns when all have
    // handled it, as the system's broadcasts of WM_DEVICECHANGE and
    // WM_WININICHANGE do. Those send with a time-out: a window whose thread's
    // GetMessageA has failed (injected) at every call for a second is passed
    // over, and the message stays queued for it.
    void broadcast(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // Waits until every thread started with CreateThread waits in GetMessageA
    // with nothing to do, or has ended; false if that takes longer than the time
    // given (a thread spinning on a failing GetMessageA never waits).
    bool waitIdle(unsigned milliseconds = 10000);
    // Ends every thread started with CreateThread (WM_QUIT, then join). From then
    // on injected failures no longer apply to those threads' GetMessageA, so that
    // every message loop reaches the WM_QUIT, also one that would spin on -1.
    void stopThreads();
    std::size_t liveThreads() const;
    // Threads blocked in EnterCriticalSection on a lock another thread holds.
    unsigned threadsWaitingForLocks() const;
    struct WindowInfo {
        HWND hwnd;
        std::string className;
        DWORD style;
        DWORD threadId;
    };
    std::vector<WindowInfo> windows() const;
    // Command lines started with WinExec, with their show commands.
    std::vector<std::pair<std::string, UINT>> commandLines() const;

    // ---- accounting of what the monitor holds ----
    std::size_t liveAllocations() const;
    std::size_t openKeys() const;
    std::size_t openHandles() const;

    // Shared state of the simulated DLLs, kept here so that reset() reaches it.
    struct Heap;
    struct Keys;
    struct Handles;
    struct Spooler;
    struct Ui;
    struct Usb;
    struct Windows;
    Heap& heap() { return *heap_; }
    Keys& keys() { return *keys_; }
    Handles& handles() { return *handles_; }
    Spooler& spooler() { return *spooler_; }
    Ui& ui() { return *ui_; }
    Usb& usb() { return *usb_; }
    Windows& windowing() { return *windows_; }

    Machine();
    ~Machine();

private:
    Registry registry_;
    std::unique_ptr<Heap> heap_;
    std::unique_ptr<Keys> keys_;
    std::unique_ptr<Handles> handles_;
    std::unique_ptr<Spooler> spooler_;
    std::unique_ptr<Ui> ui_;
    std::unique_ptr<Usb> usb_;
    std::unique_ptr<Windows> windows_;
    std::mutex fileRootMutex_;
    std::string fileRoot_;
    std::vector<std::pair<HINSTANCE, Module>> modules_;
    mutable std::mutex moduleMutex_;  // the references and crashes below
    std::map<HINSTANCE, unsigned> moduleReferences_;
    std::vector<std::string> crashes_;
    mutable std::mutex faultMutex_;
    std::vector<Fault> faults_;
    std::map<std::string, unsigned> callCounts_;
    std::vector<unsigned> faultCalls_;  // calls of each fault's function since it was injected
    struct Hook {
        std::string function;
        unsigned nth;
        unsigned seen;
        std::function<void()> action;
    };
    std::vector<Hook> hooks_;
    bool recording_ = false;
    std::vector<std::string> recorded_;
    std::vector<RefusedClose> refusedCloses_;
    std::atomic<Personality> personality_{defaultPersonality()};
    mutable std::mutex traitsMutex_;
    SystemTraits traits_ = SystemTraits::of(defaultPersonality());
};

// The one machine of this process.
Machine& machine();


}  // namespace sim
