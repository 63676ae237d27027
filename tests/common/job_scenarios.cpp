#include "tests/common/job_scenarios.h"
#include "tests/common/scenario_names.h"
#include "tests/common/port_scenarios.h"

#include <cstring>

namespace {

// Set into the last error and every count before a call, so that what must
// stay untouched is checked, not assumed.
const DWORD Untouched = 0xdeadbeef;

// The state a step leaves the port in: the job's flags, and Printer while the
// job holds its printer's handle. A refused step changes nothing.
const DWORD Idle = 0, Open = JobBackEndOpen, Deferred = JobDeferred, Printer = 0x100, Same = 0xFFFF;

enum Call { StartDoc, Write, Read, Control, TimeOuts, EndDoc, Close, Hold, Release, OpenElsewhere, Dialog, FileHolds };
const char* const CallNames[] = {"StartDocPort", "WritePort", "ReadPort", "GetPrinterDataFromPort",
                                 "SetPortTimeOuts", "EndDocPort", "ClosePort", "hold", "release", "open elsewhere",
                                 "dialog", "file holds"};

// What a call is given in place of what it should be: refused, or a document
// info without a name, or none at all.
enum Odd { Nothing, NoBytes, NoBuffer, NoCount, NullHandle, NotAPort, NoName, NoDocInfo };

struct Step {
    Step(Call what, const std::string& bytes = "", DWORD after = Same) : call(what), text(bytes), state(after) {}
    Call call;
    std::string text;            // the document's name, the bytes, the file's content
    DWORD state;
    const char* file = NULL;     // below the job folder
    std::vector<DWORD> chunks;   // a write's calls by size; one of every byte when empty
    DWORD level = 1, jobId = 0;
    const char* printer = JobPrinterName;
    Odd odd = Nothing;
    DWORD error = ERROR_SUCCESS;  // refused with this code
    DWORD count = Untouched;      // the count a call returns, when not all its bytes or a refusal's
    int dialogs = 0;              // shown by this step

    template <typename Change> Step with(Change change) const {
        Step s = *this;
        change(s);
        return s;
    }
    Step refused(DWORD code) const { return with([&](Step& s) { s.error = code; }); }
    Step counting(DWORD n) const { return with([&](Step& s) { s.count = n; }); }
    Step leaves(DWORD after) const { return with([&](Step& s) { s.state = after; }); }
    Step given(Odd argument, DWORD level = 1) const {
        return with([&](Step& s) { s.odd = argument, s.level = level; });
    }
    Step job(DWORD id, const char* name = JobPrinterName) const {
        return with([&](Step& s) { s.jobId = id, s.printer = name; });
    }
    Step asking() const { return with([](Step& s) { s.dialogs = 1; }); }
};

Step Start(const char* document = "Letter") { return Step(StartDoc, document, Open); }
Step WriteOf(const std::string& bytes, std::vector<DWORD> chunks = {}) {
    return Step(Write, bytes).with([&](Step& s) { s.chunks = chunks; });
}
Step End() { return Step(EndDoc, "", Idle); }
Step OnFile(Call call, const char* file, const std::string& text = "") {
    return Step(call, text).with([&](Step& s) { s.file = file; });
}

struct Scenario {
    std::string name;
    INT kind;
    const char* file;  // the file port's target in the job folder; NULL asks at every job
    std::vector<Step> steps;
};

std::vector<Scenario> WrittenScenarios() {
    const std::string letter = binaryData(4096, 1), large = binaryData(70000, 3), picked = binaryData(5000, 9);
    const std::string second = "\x1B@second job\r\n\x1A\x0C";
    std::vector<Step> noPort;  // every entry point that takes a port, given what is no port's handle
    for (Odd handle : {NullHandle, NotAPort})
        for (Call call : {StartDoc, Write, Read, Control, TimeOuts, EndDoc})
            noPort.push_back(Step(call, "x").given(handle).refused(ERROR_INVALID_PARAMETER));
    // Each row opens with the scenario's name, which names its Wine case.
    return {
        // A null port takes a whole job and refuses the rest: it has nothing to
        // read, no device to ask and no time-outs. Idle, it refuses all I/O;
        // open, it still refuses bad arguments before the back-end is asked.
        {"NullPortSwallowsAJobAndRefusesTheRest", PortKindNull, NULL, {
            Step(Write, "x").refused(ERROR_INVALID_PARAMETER),
            Step(Read).refused(ERROR_INVALID_PARAMETER),
            Step(Control).refused(ERROR_INVALID_PARAMETER),
            Step(TimeOuts).refused(ERROR_INVALID_PARAMETER),
            Start(),  // job id 0: no printer is opened
            WriteOf(letter),
            WriteOf(letter).given(NoBytes).refused(ERROR_INVALID_PARAMETER),
            WriteOf(letter).given(NoBuffer).refused(ERROR_INVALID_PARAMETER),
            Step(Read).refused(ERROR_CANTREAD).counting(0),
            Step(Read).given(NoBytes).refused(ERROR_INVALID_PARAMETER),
            Step(Read).given(NoBuffer).refused(ERROR_INVALID_PARAMETER),
            Step(Control).refused(ERROR_INVALID_PARAMETER),
            Step(TimeOuts).refused(ERROR_INVALID_PARAMETER),
            Step(TimeOuts).given(NoBuffer).refused(ERROR_INVALID_PARAMETER),
            // The spooler may close its handle while the job runs; the job goes on.
            Step(Close),
            WriteOf(letter, {100, 3996}),
            End(),
            WriteOf("late").refused(ERROR_INVALID_PARAMETER),
            End().refused(ERROR_INVALID_PARAMETER),
            // Without any document info the job is not deferred: the back-end opens.
            Start().given(NoDocInfo), WriteOf("x"), End(),
        }},
        {"EveryEntryPointRefusesAHandleThatIsNoPort", PortKindNull, NULL, noPort},
        // Every job starts with an empty file, which nobody else may open while
        // the job runs.
        {"FileJobLandsByteForByteAndTheNextJobEmptiesTheFile", PortKindFile, "out.prn", {
            OnFile(Hold, "out.prn", "an older, much longer job that must disappear"),
            OnFile(Release, "out.prn"),
            Start(),
            OnFile(OpenElsewhere, "out.prn").refused(ERROR_SHARING_VIOLATION),
            WriteOf(large, {1, 4095, 65536, 368}),
            End(),
            OnFile(FileHolds, "out.prn", large),
            Start(), WriteOf(second, {3, (DWORD)second.size() - 3}), End(),
            OnFile(FileHolds, "out.prn", second),
            // A job that writes nothing leaves an empty file.
            Start(), End(),
            OnFile(FileHolds, "out.prn", ""),
            WriteOf("late").refused(ERROR_INVALID_PARAMETER),
        }},
        {"OpenFilePortRefusesReadsTimeoutsAndControls", PortKindFile, "refusals.prn", {
            Start(),
            Step(Read).refused(ERROR_CANTREAD).counting(0),
            Step(Read).given(NoCount).refused(ERROR_CANTREAD),
            Step(TimeOuts).refused(ERROR_INVALID_PARAMETER),
            Step(Control).refused(ERROR_INVALID_PARAMETER),
            // The refusals neither end the job nor disturb its data.
            WriteOf("after the refusals"), End(),
            OnFile(FileHolds, "refusals.prn", "after the refusals"),
        }},
        // A failed start holds nothing, its printer included: the spooler makes
        // no EndDocPort after it. Nor does it truncate the file.
        {"FileHeldOpenElsewhereFailsTheStartAndLeavesThePortIdle", PortKindFile, "held.prn", {
            OnFile(Hold, "held.prn", "kept"),
            Start().job(7).refused(ERROR_SHARING_VIOLATION),
            WriteOf("x").refused(ERROR_INVALID_PARAMETER),
            End().refused(ERROR_INVALID_PARAMETER),
            OnFile(Release, "held.prn"),
            OnFile(FileHolds, "held.prn", "kept"),
            Start(), WriteOf("new job"), End(),
            OnFile(FileHolds, "held.prn", "new job"),
        }},
        // A document without a name, on a port that cannot be read from, is
        // deferred: no dialog, nothing opened, nothing written; its end succeeds.
        {"UnnamedDocumentOnAnAskingFilePortIsDeferredWithoutADialog", PortKindFile, NULL, {
            Start().given(NoName, 1).job(3).leaves(Deferred | Printer),
            WriteOf("data").refused(ERROR_INVALID_PARAMETER),
            End(),
            Start().given(NoName, 2).job(3).leaves(Deferred | Printer),
            WriteOf("data").refused(ERROR_INVALID_PARAMETER),
            End(),
            End().refused(ERROR_INVALID_PARAMETER),
            // At any other level the job is not deferred: the dialog asks, and is cancelled.
            Start().given(NoName, 3).asking().refused(ERROR_CANCELLED),
        }},
        // Each job asks anew; the choice serves that job only, and a cancelled
        // dialog fails the start.
        {"EmptyFileNameAsksInTheOpenDialogAtEveryJob", PortKindFile, NULL, {
            OnFile(Dialog, "picked.prn"),
            Start().asking(), WriteOf(picked, {2500, 2500}), End(),
            OnFile(Dialog, "second.prn"),
            Start().asking(), WriteOf("two"), End(),
            OnFile(FileHolds, "picked.prn", picked),
            OnFile(FileHolds, "second.prn", "two"),
            Start().asking().refused(ERROR_CANCELLED),
            WriteOf("x").refused(ERROR_INVALID_PARAMETER),
            OnFile(FileHolds, "picked.prn", picked),
        }},
        // A job with an id holds its printer until it ends, and a second start
        // while it runs is refused before anything changes, an unnamed document
        // included. A printer that cannot be opened does not stop a job.
        {"SecondStartWhileOpenIsRefusedAndTheJobGoesOn", PortKindNull, NULL, {
            Start("First").job(1).leaves(Open | Printer),
            Start("Second").job(2).refused(ERROR_INVALID_PARAMETER),
            Start().given(NoName).refused(ERROR_INVALID_PARAMETER),
            WriteOf(binaryData(512, 5)),
            End(),
            End().refused(ERROR_INVALID_PARAMETER),
            Start("Third").job(7, "No Such Printer"), WriteOf("x"), End(),
            Start().given(NoDocInfo).job(5, "No Such Printer"), End(),
        }},
        // A deferred job that is never ended lets go of its printer at the next start.
        {"AStartThatIsNeverEndedLeavesNoPrinterHandleBehind", PortKindFile, NULL, {
            Start().given(NoName).job(1).leaves(Deferred | Printer),
            Start().given(NoName).job(2).leaves(Deferred | Printer),
            End(),
        }},
        // A stored kind the monitor does not know (a newer configuration's) opens
        // nothing and moves nothing, and every count it returns says so.
        {"AnUnknownKindMovesNothingAndSaysSo", 7, NULL, {
            Start(), WriteOf("page").counting(0), Step(Read).counting(0), Step(Control).counting(0),
            Step(TimeOuts), End(),
        }},
    };
}

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> all = WrittenScenarios();
    return all;
}

std::string FileBytes(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return "(no file)";
    std::string bytes;
    char buffer[4096];
    DWORD read;
    while (ReadFile(file, buffer, sizeof buffer, &read, NULL) && read > 0) bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

// Plays one scenario's steps in turn and checks after each what it must have
// changed and what it must have left untouched.
class Player {
public:
    Player(const Scenario& scenario, JobHarness& harness) : scenario_(scenario), harness_(harness) {}

    void play() {
        config_ = PortConfigOf(scenario_.kind, scenario_.file != NULL ? path(scenario_.file) : "");
        monitor_ = harness_.startMonitor(JobPortName, config_);
        if (monitor_.pfnOpenPort == NULL || !monitor_.pfnOpenPort((LPSTR)JobPortName, &port_))
            return harness_.fail(scenario_.name + ": the port does not open");
        record_ = (const PortRecord*)port_;
        for (step_ = 0; step_ < scenario_.steps.size(); step_++) play(scenario_.steps[step_]);
        if (holder_ != INVALID_HANDLE_VALUE) CloseHandle(holder_);
    }

private:
    const char* path(const char* file) { return (path_ = harness_.jobPath(file)).c_str(); }

    void check(bool ok, const std::string& what) {
        if (!ok)
            harness_.fail(scenario_.name + ", step " + std::to_string(step_ + 1) + " (" +
                          CallNames[scenario_.steps[step_].call] + "): " + what);
    }

    // One call, made from the markers: its result, its code and its count as the step says.
    void result(const Step& step, BOOL ok, DWORD moved = Untouched) {
        DWORD error = GetLastError();
        if (step.error == ERROR_SUCCESS) check(ok, "fails with " + std::to_string(error));
        else check(!ok && error == step.error, "ends " + std::to_string(ok) + " with " + std::to_string(error));
        DWORD expected = step.count != Untouched || step.error != ERROR_SUCCESS ? step.count : moved;
        check(step.odd == NoCount || count_ == expected, "counts " + std::to_string(count_));
    }

    void call(const Step& step) {
        static DWORD notAPort[64] = {0x1234};
        HANDLE port = step.odd == NullHandle ? NULL : step.odd == NotAPort ? (HANDLE)notAPort : port_;
        BYTE buffer[64];
        DWORD size = step.odd == NoBytes ? 0 : sizeof buffer;
        LPBYTE bytes = step.odd == NoBuffer ? NULL : buffer;
        DOC_INFO_2A doc = {step.odd == NoName ? NULL : (LPSTR)step.text.c_str(), NULL, NULL, 0, 0};
        COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5000};
        count_ = Untouched;
        SetLastError(Untouched);
        switch (step.call) {
        case StartDoc:
            return result(step, monitor_.pfnStartDocPort(port, (LPSTR)step.printer, step.jobId, step.level,
                                                         step.odd == NoDocInfo ? NULL : (LPBYTE)&doc));
        case Write: {
            DWORD offset = 0;
            for (DWORD chunk : step.chunks.empty() ? std::vector<DWORD>{(DWORD)step.text.size()} : step.chunks) {
                LPBYTE data = step.odd == NoBuffer ? NULL : (LPBYTE)&step.text[offset];
                count_ = Untouched;
                SetLastError(Untouched);
                result(step, monitor_.pfnWritePort(port, data, step.odd == NoBytes ? 0 : chunk, &count_), chunk);
                offset += chunk;
            }
            return check(offset == step.text.size(), "the chunks do not add up to the bytes");
        }
        case Read:
            return result(step, monitor_.pfnReadPort(port, bytes, size, step.odd == NoCount ? NULL : &count_));
        case Control:
            return result(step, monitor_.pfnGetPrinterDataFromPort(port, 0x220010, (LPSTR) "Status", NULL, 0,
                                                                   (LPSTR)buffer, sizeof buffer, &count_));
        case TimeOuts:
            return result(step, monitor_.pfnSetPortTimeOuts(port, step.odd == NoBuffer ? NULL : &timeouts, 0));
        case EndDoc:
            return result(step, monitor_.pfnEndDocPort(port));
        case Close:
            return result(step, monitor_.pfnClosePort(port));
        case Hold: {
            DWORD written;
            holder_ = CreateFileA(path(step.file), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
            return result(step, holder_ != INVALID_HANDLE_VALUE &&
                                    WriteFile(holder_, step.text.data(), (DWORD)step.text.size(), &written, NULL));
        }
        case Release:
            result(step, CloseHandle(holder_));
            holder_ = INVALID_HANDLE_VALUE;
            return;
        case OpenElsewhere: {
            HANDLE reader = CreateFileA(path(step.file), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                        OPEN_EXISTING, 0, NULL);
            result(step, reader != INVALID_HANDLE_VALUE);
            if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
            return;
        }
        case Dialog:
            return harness_.answerDialog(path(step.file));
        case FileHolds:
            std::string held = FileBytes(path(step.file));
            return check(held == step.text, "the file holds " + std::to_string(held.size()) + " other bytes");
        }
    }

    void play(const Step& step) {
        DWORD flags = record_->flags;
        HANDLE printer = record_->printer, file = record_->file.handle;
        int dialogs = harness_.dialogsShown();
        call(step);
        if (step.error == ERROR_SUCCESS && step.state != Same) state_ = step.state;
        check(record_->flags == (state_ & ~Printer), "leaves flags " + std::to_string(record_->flags));
        check((record_->printer != NULL) == ((state_ & Printer) != 0), "the job's printer is not as it should be");
        bool fileOpen = scenario_.kind == PortKindFile && (record_->flags & Open);
        check((record_->file.handle != NULL) == fileOpen, "the file target is not as the job is");
        if (step.error != ERROR_SUCCESS || step.call >= Hold)  // a refusal, or a step outside the monitor
            check(record_->flags == flags && record_->printer == printer && record_->file.handle == file,
                  "changes the port");
        // Once opened, a file target stays write-only: nothing clears the mark.
        opened_ = opened_ || fileOpen;
        check(!opened_ || record_->file.writeOnly == 1, "the file target is no longer write-only");
        // No job changes the port's configuration: a file picked in the dialog is not stored.
        check(std::memcmp(&record_->config, &config_, sizeof config_) == 0, "changes the port's configuration");
        dialogs = harness_.dialogsShown() - dialogs;
        check(dialogs == step.dialogs, std::to_string(dialogs) + " dialogs shown");
        if (dialogs > 0)
            check(harness_.dialogFileType() == "All Files", "the dialog shows " + harness_.dialogFileType());
        std::string fault = harness_.machineFault(record_, holder_ != INVALID_HANDLE_VALUE ? 1 : 0);
        check(fault.empty(), fault);
    }

    const Scenario& scenario_;
    JobHarness& harness_;
    PortConfig config_;
    MONITOR_TABLE monitor_ = {};
    HANDLE port_ = NULL, holder_ = INVALID_HANDLE_VALUE;
    const PortRecord* record_ = NULL;
    DWORD state_ = Idle, count_ = Untouched;
    bool opened_ = false;
    size_t step_ = 0;
    std::string path_;
};

}  // namespace

std::string binaryData(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i++) data[i] = (char)((i * 7 + seed) ^ (i >> 8));
    return data;
}

const std::vector<std::string>& JobScenarioNames() {
    static const std::vector<std::string> names = ScenarioNamesOf(Scenarios());
    return names;
}

void PlayJobScenario(const std::string& name, JobHarness& harness) {
    for (const Scenario& scenario : Scenarios())
        if (scenario.name == name) return Player(scenario, harness).play();
    harness.fail("no job scenario named " + name);
}
