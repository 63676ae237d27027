// The spooler's threads, a printer that comes and goes and the system's
// broadcasts, all at once on the real DLL under Wine: two enumerations released
// together while the automatic USB port is deleted and made again, null, file
// and USB jobs, and the status window refreshing the printers. No port may be
// listed twice, no present printer may be missed or set offline, no job may
// lose a byte, and no busy port may go.
//
// The run ends after a number of rounds or of seconds, whichever comes first:
// ZEV_STRESS_ROUNDS and ZEV_STRESS_SECONDS in the environment raise both for a
// longer run by hand.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/enum_answer.h"
#include "virtual_printer.h"
#include "wine_support.h"

#include <dbt.h>  // needs <windows.h> first

namespace {

// The printer that comes and goes sorts before the one that stays in
// SetupAPI's order of the class's interfaces (by device path), so that each
// of its comings and goings moves the steady printer's place in that order.
const char ComingAndGoingId[] = "USB\\VID_1209&PID_0001\\ZEVSTRESS1";
const char ComingAndGoingDevice[] = "VID_1209&PID_0001";
const char ComingAndGoingInstance[] = "ZEVSTRESS1";
const char SteadyId[] = "USB\\VID_1209&PID_0002\\ZEVSTRESS2";
const char AutomaticPort[] = "USB-001";  // the coming and going printer's, made by the scan
const char SteadyPort[] = "USB-002";
const char SteadyPrinterName[] = "Zev Stress Printer";
#define JobFolder "C:\\zevstress"
const char JobFile[] = JobFolder "\\job.prn";

// The job and broadcast threads do this many rounds each. The enumerations
// and the printer coming and going are cheaper by far and go on for as long
// as those do, up to a hundred times as many rounds.
const DWORD DefaultRounds = 100;
const DWORD BackgroundRoundsPerRound = 100;
const DWORD DefaultSeconds = 20;
const DWORD WatchdogMilliseconds = winetest::patient(10000);
const DWORD Offline = PRINTER_ATTRIBUTE_WORK_OFFLINE;

std::string errorText(DWORD error) { return std::to_string(error); }

std::string secondsText(DWORD milliseconds) {
    return std::to_string(milliseconds / 1000) + "." + std::to_string(milliseconds % 1000 / 100) + " s";
}

std::string hexText(DWORD value) {
    char text[16];
    wsprintfA(text, "0x%lx", (unsigned long)value);
    return text;
}

// Every byte value, so nothing on the way may translate or stop at one.
std::string jobData(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i++) data[i] = (char)((i * 13 + seed) ^ (i >> 7));
    return data;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return "[" + text + "]";
}

// Two byte strings told apart for a reader: their sizes and the first byte that differs.
std::string firstDifference(const std::string& actual, const std::string& expected) {
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) at++;
    return std::to_string(actual.size()) + " bytes where " + std::to_string(expected.size()) +
           " were expected, differing from byte " + std::to_string(at);
}

// What the threads found wrong. Each kind is printed in full the first few
// times, with its round and what was seen; later ones are counted and summed
// up at the end, so a fault that repeats every round does not drown the rest.
class Findings {
public:
    Findings() : start_(GetTickCount()) { InitializeCriticalSection(&lock_); }
    ~Findings() { DeleteCriticalSection(&lock_); }

    void add(const char* file, int line, const std::string& kind, const std::string& what) {
        EnterCriticalSection(&lock_);
        Kind* entry = NULL;
        for (Kind& k : kinds_)
            if (k.name == kind) entry = &k;
        if (entry == NULL) {
            kinds_.push_back({kind, 0, GetTickCount() - start_});
            entry = &kinds_.back();
        }
        bool print = ++entry->count <= 3;
        LeaveCriticalSection(&lock_);
        if (print) winetest::fail(file, line, kind + ": " + what);
    }

    void restartClock() { start_ = GetTickCount(); }

    // How often a kind was found, and when first, for the run's closing line.
    std::string tally(const std::string& kind) {
        EnterCriticalSection(&lock_);
        std::string text = kind + " 0 times";
        for (const Kind& k : kinds_)
            if (k.name == kind)
                text = kind + " " + std::to_string(k.count) + " times, first after " + secondsText(k.firstAfter);
        LeaveCriticalSection(&lock_);
        return text;
    }

    void summarise() {
        EnterCriticalSection(&lock_);
        std::vector<Kind> all = kinds_;
        LeaveCriticalSection(&lock_);
        for (const Kind& k : all)
            if (k.count > 3)
                winetest::fail(__FILE__, __LINE__, k.name + ": " + std::to_string(k.count) + " times in all");
    }

private:
    struct Kind {
        std::string name;
        int count;
        DWORD firstAfter;  // milliseconds into the run
    };
    DWORD start_;
    CRITICAL_SECTION lock_;
    std::vector<Kind> kinds_;
};

#define FINDING(kind, what) run.findings.add(__FILE__, __LINE__, kind, what)

// The kinds the two faults under watch show as.
const char ListedTwice[] = "a port listed twice";
const char PresentPrinterMissed[] = "a job start missed its present printer";
const char PresentPrinterOffline[] = "a refresh set a present printer offline";

// Two threads meet here before each round, so that their calls start
// together; once one has left, the other no longer waits.
class Rendezvous {
public:
    Rendezvous() {
        for (int i = 0; i < 2; i++) {
            arrived_[i] = CreateSemaphoreA(NULL, 0, 0x7fffffff, NULL);
            left_[i] = CreateEventA(NULL, TRUE, FALSE, NULL);
        }
    }
    ~Rendezvous() {
        for (int i = 0; i < 2; i++) {
            CHECK(CloseHandle(arrived_[i]));
            CHECK(CloseHandle(left_[i]));
        }
    }
    bool meet(int side) {
        ReleaseSemaphore(arrived_[side], 1, NULL);
        HANDLE other[2] = {arrived_[1 - side], left_[1 - side]};
        return WaitForMultipleObjects(2, other, FALSE, INFINITE) == WAIT_OBJECT_0;
    }
    void leave(int side) { SetEvent(left_[side]); }

private:
    HANDLE arrived_[2], left_[2];
};

enum PortIndex { NullPortIndex, FilePortIndex, UsbPortIndex, PortCount };
const char* const PortNames[PortCount] = {"NUL:", "FILE:", SteadyPort};

struct Run;
struct SixPrinter;

// One thread of the run: its rounds so far and what it is doing now, for the watchdog.
struct Worker {
    const char* name;
    DWORD (*body)(Run& run, Worker& self);
    Run* run;
    int side;         // which enumeration, or which job thread
    bool background;  // goes on while the others do
    volatile LONG rounds;
    const char* volatile doing;
    HANDLE thread;
    DWORD milliseconds;  // from the start to its end
};

struct Run {
    MONITOR_TABLE monitor;
    HWND statusWindow;
    Printer* comingAndGoing;
    std::vector<SpoolerPrinter*> alwaysOnline;  // their devices stay present
    std::vector<SixPrinter>* six;
    DWORD rounds, backgroundRounds;
    volatile LONG stop;  // the seconds are up, or every worker is done
    Findings findings;
    Rendezvous enumerations;
    // As the spooler does, one job at a time on a port.
    CRITICAL_SECTION portLocks[PortCount];
    std::string usbSent;  // every byte of the USB jobs that started, in order; under the USB port's lock
    volatile LONG deletions, busyDeletions, usbStarts, refreshes;
};

// ---------------------------------------------------------------------------
// Enumeration
// ---------------------------------------------------------------------------

struct KnownPort {
    const char* name;
    const char* description;
    DWORD type;
};
const KnownPort KnownPorts[] = {
    {"NUL:", "NULL Port", PORT_TYPE_WRITE},
    {"FILE:", "FILE Port", PORT_TYPE_WRITE},
    {AutomaticPort, "USB Port", PORT_TYPE_WRITE | PORT_TYPE_READ},
    {SteadyPort, "USB Port", PORT_TYPE_WRITE | PORT_TYPE_READ},
};

const KnownPort* knownPort(const std::string& name) {
    for (const KnownPort& port : KnownPorts)
        if (name == port.name) return &port;
    return NULL;
}

// One filled answer of EnumPorts: whole (tests/common/enum_answer.h), every
// port one we made, none twice. Returns the names in the order listed.
std::vector<std::string> checkAnswer(Run& run, DWORD level, DWORD round, const std::vector<BYTE>& buffer, DWORD needed,
                                     DWORD returned) {
    std::vector<std::string> names;
    const std::string where = "round " + std::to_string(round) + ", level " + std::to_string(level);
    EnumAnswer answer = ReadEnumAnswer(level, buffer.data(), buffer.size(), returned, needed);
    if (!answer.fault.empty()) FINDING("a malformed answer", where + ": " + answer.fault);
    for (const EnumAnswerPort& port : answer.ports) {
        names.push_back(port.name);
        const KnownPort* known = knownPort(port.name);
        if (known == NULL) FINDING("a malformed answer", where + ": a port we never made, \"" + port.name + "\"");
        if (level != 2) continue;
        if (port.monitorName != "VO DUV Udadizo" || port.reserved != 0 ||
            (known != NULL && (port.description != known->description || port.type != known->type)))
            FINDING("a malformed answer", where + ": " + port.name + " is \"" + port.monitorName + "\", \"" +
                                              port.description + "\", type " + std::to_string(port.type) +
                                              ", reserved " + std::to_string(port.reserved));
    }
    if (answer.ports.size() != returned) return names;  // not whole: said above
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        FINDING(ListedTwice, where + ": " + joined(names));
    for (const char* always : {"NUL:", "FILE:", SteadyPort})
        if (std::find(names.begin(), names.end(), always) == names.end())
            FINDING("a port went missing", where + ": no " + always + " in " + joined(names));
    return names;
}

// As the spooler lists the ports: the size first, then a buffer of that size
// filled, asked again while ports made in between make the fill too small.
// Returns the names in the order listed, none when the answer was refused.
std::vector<std::string> listPorts(Run& run, DWORD level, DWORD round, const char* volatile* doing) {
    const std::string where = "round " + std::to_string(round) + ", level " + std::to_string(level);
    *doing = "EnumPorts asking for the size";
    DWORD needed = 0, returned = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    BOOL result = run.monitor.pfnEnumPorts(NULL, level, NULL, 0, &needed, &returned);
    DWORD error = GetLastError();
    if (result || error != ERROR_INSUFFICIENT_BUFFER || returned != 0 || needed == 0) {
        FINDING("a malformed answer", where + ": the size query gave " + std::to_string(result) + ", error " +
                                          errorText(error) + ", needed " + std::to_string(needed) + ", returned " +
                                          std::to_string(returned));
        return {};
    }
    *doing = "EnumPorts filling the buffer";
    std::vector<BYTE> buffer;
    for (int attempt = 0; attempt < 10; attempt++) {
        buffer.assign(needed, 0xCC);
        SetLastError(0xdeadbeef);
        if (run.monitor.pfnEnumPorts(NULL, level, buffer.data(), needed, &needed, &returned))
            return checkAnswer(run, level, round, buffer, needed, returned);
        error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) break;
    }
    FINDING("a malformed answer",
            where + ": the fill failed with error " + errorText(error) + ", needed " + std::to_string(needed));
    return {};
}

DWORD enumerationThread(Run& run, Worker& self) {
    DWORD level = self.side == 0 ? 1 : 2;
    for (DWORD round = 0; round < run.backgroundRounds && !run.stop; round++) {
        self.doing = "waiting for the other enumeration";
        if (!run.enumerations.meet(self.side)) break;
        listPorts(run, level, round, &self.doing);
        InterlockedIncrement(&self.rounds);
    }
    run.enumerations.leave(self.side);
    return 0;
}

// ---------------------------------------------------------------------------
// Jobs
// ---------------------------------------------------------------------------

void runJob(Run& run, Worker& self, PortIndex index, DWORD round) {
    const char* name = PortNames[index];
    const std::string where = "round " + std::to_string(round) + " of " + self.name + " on " + name;
    EnterCriticalSection(&run.portLocks[index]);
    self.doing = "OpenPort";
    HANDLE port = NULL;
    if (!run.monitor.pfnOpenPort((LPSTR)name, &port)) {
        FINDING("a port went missing", where + ": OpenPort failed with error " + errorText(GetLastError()));
        LeaveCriticalSection(&run.portLocks[index]);
        return;
    }
    std::string data = jobData(1 + (round * 977 + self.side * 331) % 6000, round * 7 + self.side);
    DOC_INFO_1A doc = {(LPSTR) "Stress", NULL, NULL};
    bool usb = index == UsbPortIndex;
    self.doing = "StartDocPort";
    SetLastError(0xdeadbeef);
    BOOL started =
        run.monitor.pfnStartDocPort(port, usb ? (LPSTR)SteadyPrinterName : NULL, usb ? round + 1 : 0, 1, (LPBYTE)&doc);
    DWORD error = GetLastError();
    if (usb) InterlockedIncrement(&run.usbStarts);
    if (!started) {
        if (usb && error == ERROR_NOT_READY)
            FINDING(PresentPrinterMissed, where + ": StartDocPort failed with " + errorText(error) +
                                              " (ERROR_NOT_READY) while the printer stayed present");
        else
            FINDING("a job did not start", where + ": StartDocPort failed with error " + errorText(error));
    } else {
        self.doing = "WritePort";
        size_t cut1 = data.size() / 3, cut2 = data.size() - data.size() / 4;
        size_t cuts[] = {0, cut1, cut2, data.size()};
        for (int chunk = 0; chunk < 3; chunk++) {
            DWORD size = (DWORD)(cuts[chunk + 1] - cuts[chunk]), written = 0xdeadbeef;
            if (size == 0) continue;
            if (!run.monitor.pfnWritePort(port, (LPBYTE)&data[cuts[chunk]], size, &written) || written != size)
                FINDING("job data lost", where + ": WritePort of " + std::to_string(size) + " bytes wrote " +
                                             std::to_string(written) + ", error " + errorText(GetLastError()));
        }
        if (usb) run.usbSent += data;
        self.doing = "EndDocPort";
        if (!run.monitor.pfnEndDocPort(port))
            FINDING("a job did not end", where + ": EndDocPort failed with error " + errorText(GetLastError()));
        if (index == FilePortIndex) {
            std::string stored = readWholeFile(JobFile);
            if (stored != data) FINDING("job data lost", where + ": the file holds " + firstDifference(stored, data));
        }
    }
    if (!run.monitor.pfnClosePort(port))
        FINDING("a port went missing", where + ": ClosePort failed with error " + errorText(GetLastError()));
    LeaveCriticalSection(&run.portLocks[index]);
}

void deleteBusyPort(Run& run, Worker& self, DWORD round);

// Each job thread takes the three ports in turn, the two out of step. Once,
// the second asks for its null port to be deleted while its job runs: only
// once, as Wine takes a couple of seconds over every message box.
DWORD jobThread(Run& run, Worker& self) {
    static const PortIndex turns[] = {UsbPortIndex, NullPortIndex, FilePortIndex};
    const DWORD busyRound = std::min<DWORD>(run.rounds / 2, 50);
    for (DWORD round = 0; round < run.rounds && !run.stop; round++) {
        if (self.side == 1 && round == busyRound)
            deleteBusyPort(run, self, round);
        else
            runJob(run, self, turns[(round + self.side) % 3], round);
        InterlockedIncrement(&self.rounds);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The printer that comes and goes, and deletions
// ---------------------------------------------------------------------------

// A job holds the null port while DeletePort is asked to remove it: the port
// stays, listed and in the registry, and the user is told (the box is answered
// by the test's watcher).
void deleteBusyPort(Run& run, Worker& self, DWORD round) {
    const std::string where = "round " + std::to_string(round) + " of " + self.name;
    EnterCriticalSection(&run.portLocks[NullPortIndex]);
    self.doing = "deleting the null port during a job";
    HANDLE port = NULL;
    DOC_INFO_1A doc = {(LPSTR) "Busy", NULL, NULL};
    if (run.monitor.pfnOpenPort((LPSTR) "NUL:", &port) && run.monitor.pfnStartDocPort(port, NULL, 0, 1, (LPBYTE)&doc)) {
        SetLastError(0xdeadbeef);
        BOOL deleted = run.monitor.pfnDeletePort(NULL, NULL, (LPSTR) "NUL:");
        DWORD error = GetLastError();
        InterlockedIncrement(&run.busyDeletions);
        if (deleted) {
            // The handle now names freed memory: it is left alone.
            FINDING("a busy port was deleted", where + ": DeletePort removed NUL: while its job ran");
        } else {
            if (error != ERROR_BUSY)
                FINDING("a busy port was deleted",
                        where + ": DeletePort failed with " + errorText(error) + ", not ERROR_BUSY");
            if (!keyExists(MonitorKeyPath "\\NUL:"))
                FINDING("a busy port was deleted", where + ": the key of NUL: is gone");
            BYTE byte = 0x1B;
            DWORD written = 0;
            if (!run.monitor.pfnWritePort(port, &byte, 1, &written) || !run.monitor.pfnEndDocPort(port))
                FINDING("a busy port was deleted",
                        where + ": its job could not go on, error " + errorText(GetLastError()));
            run.monitor.pfnClosePort(port);
        }
    } else {
        FINDING("a job did not start", where + ": the null job failed with error " + errorText(GetLastError()));
        if (port != NULL) run.monitor.pfnClosePort(port);
    }
    LeaveCriticalSection(&run.portLocks[NullPortIndex]);
}

// Present for a moment, its port deleted each time, then absent for a moment,
// for as long as any worker goes on.
DWORD comingAndGoingThread(Run& run, Worker& self) {
    for (DWORD round = 0; round < run.backgroundRounds && !run.stop; round++) {
        self.doing = "plugging the printer in";
        run.comingAndGoing->setPresent(true);
        self.doing = "deleting its port";
        SetLastError(0xdeadbeef);
        if (run.monitor.pfnDeletePort(NULL, NULL, (LPSTR)AutomaticPort)) {
            InterlockedIncrement(&run.deletions);
        } else if (GetLastError() != ERROR_UNKNOWN_PORT) {
            FINDING("a deletion failed", "round " + std::to_string(round) + ": DeletePort(" + AutomaticPort +
                                             ") failed with error " + errorText(GetLastError()));
        }
        Sleep(1 + round % 2);
        self.doing = "unplugging the printer";
        run.comingAndGoing->setPresent(false);
        Sleep(1);
        InterlockedIncrement(&self.rounds);
    }
    run.comingAndGoing->setPresent(true);
    return 0;
}

// ---------------------------------------------------------------------------
// Broadcasts
// ---------------------------------------------------------------------------

DWORD broadcastThread(Run& run, Worker& self) {
    for (DWORD round = 0; round < run.rounds && !run.stop; round++) {
        bool device = round % 2 == 0;
        const char* what = device ? "WM_DEVICECHANGE" : "WM_WININICHANGE";
        self.doing = device ? "sending WM_DEVICECHANGE" : "sending WM_WININICHANGE";
        DWORD_PTR result = 0;
        BOOL answered = device ? SendMessageTimeoutA(run.statusWindow, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0,
                                                     SMTO_NORMAL, WatchdogMilliseconds, &result)
                               : SendMessageTimeoutA(run.statusWindow, WM_WININICHANGE, 0, (LPARAM) "windows",
                                                     SMTO_NORMAL, WatchdogMilliseconds, &result);
        if (!answered) {
            FINDING("the status window did not answer",
                    "round " + std::to_string(round) + ": " + what + ", error " + errorText(GetLastError()));
        } else {
            InterlockedIncrement(&run.refreshes);
            self.doing = "reading the printers' attributes";
            for (SpoolerPrinter* printer : run.alwaysOnline) {
                DWORD attributes = printer->attributes();
                if (attributes == 0xdeadbeef)
                    FINDING("the printer could not be read", "round " + std::to_string(round));
                else if (attributes & Offline)
                    FINDING(PresentPrinterOffline, "round " + std::to_string(round) + ": after " + what + " \"" +
                                                       printer->name() + "\" works offline (attributes " +
                                                       hexText(attributes) + ") while its device stayed present");
            }
        }
        InterlockedIncrement(&self.rounds);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Six printers of the class
// ---------------------------------------------------------------------------

// Three printers print while the three between them in SetupAPI's order (by
// device path) come and go as devices do in Wine's SetupAPI, so that each
// coming and going moves the printing ones' places in the class's list.
struct SixPrinter {
    std::string id, port, name;
    bool printing;
    std::unique_ptr<Printer> device;
    std::unique_ptr<VirtualPrinter> served;
    std::unique_ptr<SpoolerPrinter> spooled;
    std::string sent;       // every byte of its jobs, in order; under lock
    CRITICAL_SECTION lock;  // one job at a time on a port, as the spooler does
};

const char ReachedAnother[] = "a job reached another printer";
const char AbsentPrinterOnline[] = "a refresh set an absent printer online";

void runSixJob(Run& run, Worker& self, SixPrinter& printer, DWORD round) {
    const std::string where = "round " + std::to_string(round) + " of " + self.name + " on " + printer.port;
    EnterCriticalSection(&printer.lock);
    self.doing = "a job on one of six printers";
    HANDLE port = NULL;
    DOC_INFO_1A doc = {(LPSTR) "Six", NULL, NULL};
    std::string data = jobData(1 + (round * 977 + self.side * 331) % 6000, round * 7 + self.side);
    DWORD written = 0;
    if (!run.monitor.pfnOpenPort((LPSTR)printer.port.c_str(), &port)) {
        FINDING("a port went missing", where + ": OpenPort failed with error " + errorText(GetLastError()));
    } else if (!run.monitor.pfnStartDocPort(port, (LPSTR)printer.name.c_str(), round + 1, 1, (LPBYTE)&doc)) {
        DWORD error = GetLastError();
        FINDING(error == ERROR_NOT_READY ? PresentPrinterMissed : "a job did not start",
                where + ": StartDocPort failed with error " + errorText(error));
    } else {
        InterlockedIncrement(&run.usbStarts);
        if (!run.monitor.pfnWritePort(port, (LPBYTE)&data[0], (DWORD)data.size(), &written) || written != data.size())
            FINDING("job data lost", where + ": WritePort wrote " + std::to_string(written) + " of " +
                                         std::to_string(data.size()) + ", error " + errorText(GetLastError()));
        if (!run.monitor.pfnEndDocPort(port))
            FINDING("a job did not end", where + ": EndDocPort failed with error " + errorText(GetLastError()));
        printer.sent += data;
        std::string received = printer.served->received();
        if (received != printer.sent) {
            FINDING(ReachedAnother, where + ": its printer holds " + firstDifference(received, printer.sent));
            printer.sent = received;  // the next job is judged on its own
        }
    }
    if (port != NULL) run.monitor.pfnClosePort(port);
    LeaveCriticalSection(&printer.lock);
}

// The two job threads take the printing printers in turn, out of step.
DWORD sixJobThread(Run& run, Worker& self) {
    for (DWORD round = 0; round < run.rounds && !run.stop; round++) {
        runSixJob(run, self, (*run.six)[1 + 2 * ((round + self.side) % 3)], round);
        InterlockedIncrement(&self.rounds);
    }
    return 0;
}

// Unplugs the three, refreshes and checks every printer; plugs them in, the same.
DWORD sixComingAndGoingThread(Run& run, Worker& self) {
    for (DWORD round = 0; round < run.backgroundRounds && !run.stop; round++) {
        bool plug = round % 2 == 1;
        self.doing = plug ? "plugging three printers in" : "unplugging three printers";
        for (SixPrinter& printer : *run.six)
            if (!printer.printing) plug ? printer.device->plugIn() : printer.device->unplug();
        self.doing = "refreshing after them";
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(run.statusWindow, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_NORMAL,
                                 WatchdogMilliseconds, &result))
            FINDING("the status window did not answer", "round " + std::to_string(round));
        for (SixPrinter& printer : *run.six) {
            DWORD attributes = printer.spooled->attributes();
            bool present = printer.printing || plug;
            if (attributes != 0xdeadbeef && ((attributes & Offline) != 0) == present)
                FINDING(present ? PresentPrinterOffline : AbsentPrinterOnline,
                        "round " + std::to_string(round) + ": \"" + printer.name + "\" has attributes " +
                            hexText(attributes) + " while its device is " + (present ? "present" : "absent"));
        }
        InterlockedIncrement(&self.rounds);
    }
    for (SixPrinter& printer : *run.six) printer.device->plugIn();
    return 0;
}

// ---------------------------------------------------------------------------
// The run
// ---------------------------------------------------------------------------

DWORD WINAPI startWorker(LPVOID parameter) {
    Worker& self = *(Worker*)parameter;
    DWORD start = GetTickCount();
    DWORD result = self.body(*self.run, self);
    self.milliseconds = GetTickCount() - start;
    self.doing = "finished";
    return result;
}

// No thread has moved for the watchdog's whole span: the run cannot end. What
// each was doing is printed, and the process ends here, as a thread stuck in
// the DLL cannot be stopped.
void giveUp(std::vector<Worker>& workers, DWORD seconds) {
    std::string text = "no thread made progress for " + std::to_string(WatchdogMilliseconds / 1000) + " s, " +
                       std::to_string(seconds) + " s into the run:";
    for (const Worker& worker : workers)
        text += std::string("\n    ") + worker.name + ": " + std::to_string(worker.rounds) + " rounds, " + worker.doing;
    winetest::fail(__FILE__, __LINE__, text);
    std::printf("0 passed, 1 failed\n");
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
}

// Starts every worker, ends the run after its seconds, and waits for the
// threads while any of them still moves.
void runWorkers(Run& run, std::vector<Worker>& workers, DWORD seconds) {
    for (Worker& worker : workers) {
        worker.run = &run;
        worker.rounds = 0;
        worker.doing = "starting";
        worker.thread = CreateThread(NULL, 0, startWorker, &worker, 0, NULL);
        CHECK(worker.thread != NULL);
    }
    std::vector<HANDLE> threads;
    for (Worker& worker : workers) threads.push_back(worker.thread);
    DWORD start = GetTickCount(), lastMove = start;
    LONG lastTotal = -1;
    for (;;) {
        DWORD waited = WaitForMultipleObjects((DWORD)threads.size(), threads.data(), TRUE, 100);
        if (waited != WAIT_TIMEOUT) break;
        DWORD now = GetTickCount();
        LONG total = 0, workersLeft = 0;
        for (Worker& worker : workers) {
            total += worker.rounds;
            bool finished = WaitForSingleObject(worker.thread, 0) == WAIT_OBJECT_0;
            total += finished;
            if (!finished && !worker.background) workersLeft++;
        }
        if (now - start >= seconds * 1000 || workersLeft == 0) InterlockedExchange(&run.stop, 1);
        if (total != lastTotal) {
            lastTotal = total;
            lastMove = now;
        } else if (now - lastMove >= WatchdogMilliseconds) {
            giveUp(workers, (now - start) / 1000);
        }
    }
}

// The present interfaces of the class as SetupAPI lists them, by instance id.
std::vector<std::string> presentPrinters() {
    std::vector<std::string> ids;
    HDEVINFO set = SetupDiGetClassDevsA(&PrinterClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return ids;
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, NULL, &PrinterClass, index, &interfaceData); index++) {
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        CHAR buffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + UsbPathMax] = {};
        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A*)buffer;
        detail->cbSize = sizeof *detail;
        CHAR id[UsbPathMax] = "";
        if (SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, sizeof buffer, NULL, &device))
            SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, NULL);
        ids.push_back(id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ids;
}

std::string configBytes(const PortConfig& config) { return std::string((const char*)&config, sizeof config); }

void checkProperty(const char* name, const std::string& expected) {
    std::string stored = readPortProperty(name);
    if (stored != expected)
        winetest::fail(__FILE__, __LINE__,
                       std::string("the \"Property\" of ") + name + ": " +
                           (stored[0] == '(' ? stored : firstDifference(stored, expected)));
}

void checkAllClosed(const VirtualPrinter& device) {
    for (const VirtualHandle& handle : device.handles())
        if (handle.open) winetest::fail(__FILE__, __LINE__, "still open on the virtual printer: " + handle.name);
}

void runStress() {
    const DWORD rounds = winetest::setting("ZEV_STRESS_ROUNDS", DefaultRounds);
    const DWORD seconds = winetest::setting("ZEV_STRESS_SECONDS", DefaultSeconds);

    // The machine: the monitor's key with a null and a file port and the
    // steady printer's USB port; the coming and going printer's port is the
    // scan's to make, from its device's "PortName".
    createMonitorKey();
    PortConfig nullConfig, fileConfig;
    ZeroMemory(&nullConfig, sizeof nullConfig);
    ZeroMemory(&fileConfig, sizeof fileConfig);
    fileConfig.kind = PortKindFile;
    lstrcpynA(fileConfig.fileName, JobFile, sizeof fileConfig.fileName);
    writePortConfig("NUL:", nullConfig);
    writePortConfig("FILE:", fileConfig);
    CreateDirectoryA(JobFolder, NULL);
    Printer comingAndGoing(ComingAndGoingId);
    comingAndGoing.plugIn();
    Printer steady(SteadyId);
    steady.plugIn();
    writeUsbPort(SteadyPort, steady.instanceId());
    const std::string steadyProperty = readPortProperty(SteadyPort);
    UsbInstanceKey instance(ComingAndGoingInstance, AutomaticPort, ComingAndGoingDevice);
    VirtualPrinter device(steady.devicePath());
    SpoolerPrinter steadyPrinter(SteadyPrinterName, SteadyPort);
    steadyPrinter.setAttributes(Offline);  // the window's first refresh sets it online

    // The premise: SetupAPI lists the printer that comes and goes first, and
    // the switch takes it out of the present set and back.
    std::vector<std::string> both = {comingAndGoing.instanceId(), steady.instanceId()};
    CHECK_STR(joined(presentPrinters()), joined(both));
    comingAndGoing.setPresent(false);
    CHECK_STR(joined(presentPrinters()), joined({steady.instanceId()}));
    comingAndGoing.setPresent(true);
    CHECK_STR(joined(presentPrinters()), joined(both));

    MessageBoxWatcher boxes;
    CHECK_EQ(interposeFileCalls(LoadLibraryA("ZEVURUZI.DLL")), 7);
    Run run;
    run.monitor = startMonitor();
    run.statusWindow = waitForStatusWindow();
    if (winetest::failures != 0 || run.statusWindow == NULL) return;
    CHECK_EQ(steadyPrinter.attributes() & Offline, (DWORD)0);
    run.comingAndGoing = &comingAndGoing;
    run.alwaysOnline = {&steadyPrinter};
    run.rounds = rounds;
    run.backgroundRounds = rounds > MAXDWORD / BackgroundRoundsPerRound ? MAXDWORD : rounds * BackgroundRoundsPerRound;
    run.stop = 0;
    run.deletions = run.busyDeletions = run.usbStarts = run.refreshes = 0;
    for (CRITICAL_SECTION& lock : run.portLocks) InitializeCriticalSection(&lock);

    // Alone, an enumeration makes the automatic port once.
    const char* volatile doing = "";
    std::vector<std::string> names = listPorts(run, 2, 0, &doing);
    std::sort(names.begin(), names.end());
    CHECK_STR(joined(names), joined({"FILE:", "NUL:", AutomaticPort, SteadyPort}));
    const std::string automaticProperty = configBytes(usbPortConfig(comingAndGoing.instanceId()));
    checkProperty(AutomaticPort, automaticProperty);

    std::vector<Worker> workers = {
        {"enumeration at level 1", enumerationThread, NULL, 0, true, 0, "", NULL, 0},
        {"enumeration at level 2", enumerationThread, NULL, 1, true, 0, "", NULL, 0},
        {"job thread 1", jobThread, NULL, 0, false, 0, "", NULL, 0},
        {"job thread 2", jobThread, NULL, 1, false, 0, "", NULL, 0},
        {"printer coming and going", comingAndGoingThread, NULL, 0, true, 0, "", NULL, 0},
        {"broadcasts", broadcastThread, NULL, 0, false, 0, "", NULL, 0},
    };
    DWORD started = GetTickCount();
    run.findings.restartClock();
    runWorkers(run, workers, seconds);
    DWORD elapsed = GetTickCount() - started;
    for (Worker& worker : workers) CHECK(CloseHandle(worker.thread));
    run.findings.summarise();

    // What the run did and found, for whoever reads the log.
    std::string summary = "stress: " + secondsText(elapsed) + " (at most " + std::to_string(rounds) + " rounds in " +
                          std::to_string(seconds) + " s);";
    for (const Worker& worker : workers)
        summary += std::string(" ") + worker.name + " " + std::to_string(worker.rounds) + " rounds in " +
                   secondsText(worker.milliseconds) + ";";
    summary += " " + std::to_string(run.deletions) + " deletions of " + AutomaticPort + ", " +
               std::to_string(run.busyDeletions) + " of a busy port, " + std::to_string(run.usbStarts) +
               " USB job starts, " + std::to_string(run.refreshes) +
               " refreshes; found: " + run.findings.tally(ListedTwice) + "; " +
               run.findings.tally(PresentPrinterMissed) + "; " + run.findings.tally(PresentPrinterOffline);
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);

    // Afterwards, with both printers present: one port of each name, each with
    // the configuration it was made with, and every byte of the USB jobs at the printer.
    names = listPorts(run, 2, rounds, &doing);
    std::sort(names.begin(), names.end());
    CHECK_STR(joined(names), joined({"FILE:", "NUL:", AutomaticPort, SteadyPort}));
    checkProperty(AutomaticPort, automaticProperty);
    checkProperty(SteadyPort, steadyProperty);
    checkProperty("NUL:", configBytes(nullConfig));
    checkProperty("FILE:", configBytes(fileConfig));
    CHECK(!keyExists(MonitorKeyPath "\\" ProbeKeyName));
    std::string received = device.received();
    if (received != run.usbSent)
        winetest::fail(__FILE__, __LINE__,
                       "job data lost: the printer received " + firstDifference(received, run.usbSent));
    // Nothing the jobs opened is left open: the printer's device and pipes, the file.
    checkAllClosed(device);
    HANDLE file = CreateFileA(JobFile, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, 0, NULL);
    CHECK(file != INVALID_HANDLE_VALUE);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    DWORD_PTR result = 0;
    CHECK(SendMessageTimeoutA(run.statusWindow, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_NORMAL,
                              WatchdogMilliseconds, &result));
    CHECK_EQ(steadyPrinter.attributes() & Offline, (DWORD)0);

    // Only the busy port's message, once for each time it was asked to go.
    runPendingRebuild();
    const std::vector<ShownBox>& shown = boxes.finish();
    CHECK_EQ(shown.size(), (size_t)run.busyDeletions);
    for (const ShownBox& box : shown) {
        CHECK_STR(box.caption, "VO DUV Udadizo");
        CHECK_STR(box.text, "Now Printing!!");
    }
    for (CRITICAL_SECTION& lock : run.portLocks) DeleteCriticalSection(&lock);
}


// Each printer's jobs reach that printer and no other, while three others come
// and go and the status window refreshes.
void runSixPrinters() {
    createMonitorKey();
    std::vector<SixPrinter> six(6);
    for (int i = 0; i < 6; i++) {
        SixPrinter& printer = six[i];
        printer.id = "USB\\VID_1209&PID_000" + std::to_string(i + 1) + "\\ZEVSIX" + std::to_string(i + 1);
        printer.port = "USB-01" + std::to_string(i + 1);
        printer.name = "Zev Six " + std::to_string(i + 1);
        printer.printing = i % 2 == 1;
        printer.device.reset(new Printer(printer.id.c_str()));
        printer.device->plugIn();
        writeUsbPort(printer.port.c_str(), printer.device->instanceId());
        printer.served.reset(new VirtualPrinter(printer.device->devicePath()));
        printer.spooled.reset(new SpoolerPrinter(printer.name.c_str(), printer.port.c_str()));
        InitializeCriticalSection(&printer.lock);
    }
    CHECK_EQ(interposeFileCalls(LoadLibraryA("ZEVURUZI.DLL")), 7);
    Run run;
    run.monitor = startMonitor();
    run.statusWindow = waitForStatusWindow();
    if (winetest::failures != 0 || run.statusWindow == NULL) return;
    run.six = &six;
    for (SixPrinter& printer : six)
        if (printer.printing) run.alwaysOnline.push_back(printer.spooled.get());
    run.rounds = winetest::setting("ZEV_STRESS_ROUNDS", DefaultRounds);
    run.backgroundRounds = run.rounds * BackgroundRoundsPerRound;
    run.stop = 0;
    run.usbStarts = run.refreshes = 0;
    std::vector<Worker> workers = {
        {"job thread 1", sixJobThread, NULL, 0, false, 0, "", NULL, 0},
        {"job thread 2", sixJobThread, NULL, 1, false, 0, "", NULL, 0},
        {"three printers coming and going", sixComingAndGoingThread, NULL, 0, true, 0, "", NULL, 0},
        {"broadcasts", broadcastThread, NULL, 0, false, 0, "", NULL, 0},
    };
    run.findings.restartClock();
    runWorkers(run, workers, winetest::setting("ZEV_STRESS_SECONDS", DefaultSeconds));
    for (Worker& worker : workers) CHECK(CloseHandle(worker.thread));
    run.findings.summarise();
    std::printf("six printers: %ld jobs, %ld refreshes, %ld plug rounds; found: %s; %s; %s; %s\n", (long)run.usbStarts,
                (long)run.refreshes, (long)workers[2].rounds, run.findings.tally(ReachedAnother).c_str(),
                run.findings.tally(PresentPrinterMissed).c_str(), run.findings.tally(PresentPrinterOffline).c_str(),
                run.findings.tally(AbsentPrinterOnline).c_str());
    for (SixPrinter& printer : six) {
        if (!printer.printing) CHECK_STR(printer.served->received(), "");
        checkAllClosed(*printer.served);
        DeleteCriticalSection(&printer.lock);
    }
    runPendingRebuild();
}
}  // namespace

WINE_TEST(SpoolerThreadsPrinterChangesAndBroadcastsAtOnce) {
    clearMonitorKey();
    DeleteFileA(rundllRecordPath().c_str());
    runStress();
    DeleteFileA(JobFile);
    RemoveDirectoryA(JobFolder);
    DeleteFileA(rundllRecordPath().c_str());
    clearMonitorKey();
}

WINE_TEST(SixPrintersEachJobReachesItsOwnWhileOthersComeAndGo) {
    clearMonitorKey();
    runSixPrinters();
    clearMonitorKey();
}
