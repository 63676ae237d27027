#include "tests/common/port_scenarios.h"
#include "tests/common/scenario_names.h"

#include <cctype>
#include <map>
#include <optional>

namespace {

// Set into the last error before a call, so that what must stay untouched is checked.
const DWORD Untouched = 0xdeadbeef;
// A port's job: its flags, and Printer while the job holds its printer's handle.
const DWORD Idle = 0, Open = JobBackEndOpen, Deferred = JobDeferred, Printer = 0x100, Same = 0xFFFF;
#define NoSuchPort "LPT9:"

enum Action { Key, AddPrinter, Start, StartDoc, Write, EndDoc, Delete };

struct Step {
    Action action;
    const char* name = NULL;                          // the port's
    std::optional<std::string> bytes = std::nullopt;  // a key's "Property" value, none without one; a write's data
    // A job's printer: its job 3, of a document without a name; with none, a
    // job of no printer and no document info at all. A printer's own name.
    const char* printer = NULL;
    bool table = true, root = true;  // what InitializeMonitorEx is given
    DWORD error = ERROR_SUCCESS, state = Same;
    size_t boxes = 0;  // "Now Printing!!" shown

    template <typename T, typename V> Step set(T Step::*field, V value) const {
        Step s = *this;
        s.*field = value;
        return s;
    }
    Step refused(DWORD code) const { return set(&Step::error, code); }
    Step leaves(DWORD after) const { return set(&Step::state, after); }
    Step on(const char* name) const { return set(&Step::printer, name); }
    Step telling() const { return set(&Step::boxes, 1); }
    Step of(const std::string& data) const { return set(&Step::bytes, data); }
};

Step Port(const char* name, const PortConfig& config, size_t size = sizeof(PortConfig)) {
    return Step{Key, name}.of(std::string((const char*)&config, size));
}
PortConfig Usb(const char* instanceId) { return PortConfigOf(PortKindUsb, instanceId); }
PortConfig File(const char* path) { return PortConfigOf(PortKindFile, path); }

struct Scenario {
    std::string name;
    std::vector<Step> steps;
};

const std::vector<Scenario>& Scenarios() {
    static const PortConfig one = Usb("USB\\VID_1209&PID_0005\\1"), two = Usb("USB\\VID_1209&PID_0005\\2");
    static const Step noTable = Step{Start}.set(&Step::table, false).refused(ERROR_INVALID_PARAMETER);
    // Each row opens with the scenario's name, which names its Wine case.
    static const std::vector<Scenario> all = {
        {"AStartWithoutAMonitorKeyHasNoPortsAndHandsOutTheTable", {{Start}}},
        // Made out of order, one name in small letters; a short value leaves the rest zero.
        {"PortsLoadInRegistryOrderWithTheirConfigurations", {
            Port("USB-002", two), Port("FILE1", File("C:\\jobs\\out.prn")), Port("usb-001", one, 100), {Start},
        }},
        // Without a table or a root nothing is copied or read. A key that cannot
        // be read fails the whole start, which keeps no port; a retry reads every
        // key again and frees the first copy of the root. Once started, a start
        // reloads nothing: the handles the spooler holds stay valid.
        {"AStartFailsUntilEveryPortKeyReadsAndALaterOneReloadsNothing", {
            Port("USB-001", one), {Key, "USB-002"}, Port("USB-003", Usb("USB\\VID_1209&PID_0006\\3")),
            noTable, Step{Start}.set(&Step::root, false).refused(ERROR_INVALID_PARAMETER),
            Step{Start}.refused(ERROR_FILE_NOT_FOUND), noTable,
            Step{Key, "USB-002"}.of(std::string(sizeof(PortConfig) + 1, '\1')), Step{Start}.refused(ERROR_MORE_DATA),
            Port("USB-002", two), {Start}, Port("USB-004", one), {Start},
        }},
        // A port with an open job stays and the user is told; an unknown name
        // is refused without a word. Once the job has ended the port goes.
        {"APortGoesFromRegistryListAndMemoryOnceItsJobHasEnded", {
            Port("NUL:", PortConfigOf(PortKindNull, "")), Port("FILE:", File("C:\\out.prn")), {Start},
            Step{StartDoc, "NUL:"}.leaves(Open),
            Step{Delete, "NUL:"}.refused(ERROR_BUSY).telling(), Step{Delete, "NUL2:"}.refused(ERROR_UNKNOWN_PORT),
            Step{Write, "NUL:"}.of("go on"), Step{EndDoc, "NUL:"}.leaves(Idle), {Delete, "nul:"},
            Step{Delete, "NUL:"}.refused(ERROR_UNKNOWN_PORT), Step{Delete}.refused(ERROR_UNKNOWN_PORT),
        }},
        // A deferred job is a job: the spooler will end it through the port's
        // handle, and it holds its printer. Deleting the port would free both under it.
        {"APortWithADeferredJobStaysToo", {
            Step{AddPrinter, "FILE:"}.on("Office"), Port("FILE:", File("")), {Start},
            Step{StartDoc, "FILE:"}.on("Office").leaves(Deferred | Printer),
            Step{Delete, "FILE:"}.refused(ERROR_BUSY).telling(), Step{EndDoc, "FILE:"}.leaves(Idle), {Delete, "FILE:"},
        }},
    };
    return all;
}

// Letter case aside, as the registry and the monitor compare names.
std::string Upper(std::string name) {
    for (char& c : name) c = (char)std::toupper((unsigned char)c);
    return name;
}

struct Stored {
    std::string name;
    std::optional<std::string> property;
    bool gone = false;  // deleted
};

std::vector<Stored>::iterator Named(std::vector<Stored>& keys, const std::string& name) {
    return std::find_if(keys.begin(), keys.end(), [&](const Stored& k) { return Upper(k.name) == Upper(name); });
}

// Plays one scenario's steps. After each, every key made is looked for and each
// port loaded opened, its name in the other letter case, and checked against its key.
class Player {
public:
    Player(const Scenario& scenario, PortHarness& harness) : scenario_(scenario), harness_(harness) {}

    void play() {
        for (step_ = 0; step_ < scenario_.steps.size(); step_++) {
            const Step& step = scenario_.steps[step_];
            run(step, step.name ? step.name : "");
            std::vector<std::string> shown = harness_.messagesShown();
            check(shown.size() == shown_ + step.boxes, std::to_string(shown.size() - shown_) + " boxes shown");
            for (; shown_ < shown.size(); shown_++)
                check(shown[shown_] == "VO DUV Udadizo: Now Printing!!", "shows " + shown[shown_]);
            survey();
        }
    }

private:
    void check(bool ok, const std::string& what) {
        if (!ok) harness_.fail(scenario_.name + ", step " + std::to_string(step_ + 1) + ": " + what);
    }
    // TRUE for ERROR_SUCCESS, else FALSE with that code.
    template <typename Call> void expect(DWORD code, const std::string& what, Call call) {
        SetLastError(Untouched);
        BOOL ok = call();
        DWORD error = GetLastError();
        check(code == ERROR_SUCCESS ? ok : !ok && error == code,
              what + " ends " + std::to_string(ok) + " with " + std::to_string(error));
    }

    void run(const Step& step, const std::string& name) {
        HANDLE port = handles_[Upper(name)];
        DOC_INFO_1A unnamed = {NULL, NULL, NULL};
        if (step.error == ERROR_SUCCESS && step.state != Same) states_[Upper(name)] = step.state;
        switch (step.action) {
        case Key:
            check(SetKeyValue(MonitorKeyPath "\\" + name, step.bytes ? "Property" : NULL, REG_BINARY,
                              step.bytes.value_or("").data(), step.bytes.value_or("").size()), "key not written");
            if (Named(keys_, name) == keys_.end()) keys_.push_back({name, {}});
            Named(keys_, name)->property = step.bytes;
            return;
        case AddPrinter:
            return harness_.addPrinter(step.printer, step.name);
        case Start:
            return start(step);
        case StartDoc:
            return expect(step.error, "StartDocPort", [&] {
                LPBYTE info = step.printer ? (LPBYTE)&unnamed : NULL;
                return table_.pfnStartDocPort(port, (LPSTR)step.printer, step.printer ? 3 : 0, 1, info);
            });
        case Write:
            return expect(step.error, "WritePort", [&] {
                return table_.pfnWritePort(port, (LPBYTE)step.bytes->data(), (DWORD)step.bytes->size(), NULL);
            });
        case EndDoc:
            return expect(step.error, "EndDocPort", [&] { return table_.pfnEndDocPort(port); });
        case Delete:
            expect(step.error, "DeletePort",
                   [&] { return table_.pfnDeletePort(NULL, harness_.window(), (LPSTR)step.name); });
            if (step.error != ERROR_SUCCESS) return;
            Named(keys_, name)->gone = true;
            listed_.erase(Named(listed_, name));
        }
    }

    // The table is handed out only on success, and nothing past its end is written.
    void start(const Step& step) {
        void* slots[sizeof(MONITOR_TABLE) / sizeof(void*) + 2];
        const BYTE* bytes = (const BYTE*)slots;
        FillMemory(slots, sizeof slots, 0xCC);
        expect(step.error, "InitializeMonitorEx", [&] {
            return harness_.start(step.root ? (LPSTR)MonitorKeyPath : NULL, step.table ? (MONITOR_TABLE*)slots : NULL);
        });
        size_t handedOut = step.error == ERROR_SUCCESS ? sizeof(MONITOR_TABLE) : 0;
        for (size_t i = handedOut; i < sizeof slots; i++)
            check(bytes[i] == 0xCC, "writes byte " + std::to_string(i) + " of the table");
        if (!handedOut && step.table) rootKept_ = step.root, listed_.clear();
        if (!handedOut) return;
        for (size_t i = 0; i < sizeof(MONITOR_TABLE) / sizeof(void*); i++)  // OpenPortEx alone is not offered
            check((slots[i] == NULL) == (i == 2), "slot " + std::to_string(i) + " is not as it should be");
        std::memcpy(&table_, slots, sizeof table_);
        if (!started_) listed_ = keys_;
        if (!started_ && !harness_.subkeysInCreationOrder())
            std::stable_sort(listed_.begin(), listed_.end(),
                             [](const Stored& a, const Stored& b) { return Upper(a.name) < Upper(b.name); });
        started_ = rootKept_ = true;
        HANDLE port;
        LPSTR some = (LPSTR)(listed_.empty() ? NoSuchPort : listed_[0].name.c_str());
        static DWORD notAPort[8] = {0x8941};
        expect(ERROR_INVALID_PARAMETER, "OpenPort without a name", [&] { return table_.pfnOpenPort(NULL, &port); });
        expect(ERROR_INVALID_PARAMETER, "OpenPort without a handle", [&] { return table_.pfnOpenPort(some, NULL); });
        expect(ERROR_INVALID_PARAMETER, "ClosePort of no port", [&] { return table_.pfnClosePort(notAPort); });
        expect(ERROR_INVALID_PARAMETER, "ClosePort of NULL", [&] { return table_.pfnClosePort(NULL); });
        // Ports come only from the USB scan: nothing to add or configure, and no error said.
        expect(Untouched, "AddPort", [&] { return table_.pfnAddPort(NULL, NULL, (LPSTR) "VO DUV Udadizo"); });
        expect(Untouched, "AddPort without a name", [&] { return table_.pfnAddPort(NULL, NULL, NULL); });
        expect(Untouched, "ConfigurePort", [&] { return table_.pfnConfigurePort(NULL, NULL, some); });
    }

    void survey() {
        std::vector<Stored> unknown;
        for (const Stored& key : keys_) {
            check(RegistryKeyExists(MonitorKeyPath "\\" + key.name) != key.gone,
                  key.name + (key.gone ? "'s key stays" : "'s key is gone"));
            if (Named(listed_, key.name) == listed_.end()) unknown.push_back(key);
        }
        unknown.push_back({NoSuchPort, {}});
        std::vector<const PortRecord*> records;
        for (const Stored& key : started_ ? listed_ : std::vector<Stored>()) {
            std::string name = key.name, config = key.property.value_or("");
            for (char& c : name) c = (char)(std::isupper((unsigned char)c) ? std::tolower(c) : std::toupper(c));
            HANDLE port = NULL, &held = handles_[Upper(name)];
            expect(ERROR_SUCCESS, "OpenPort " + name, [&] { return table_.pfnOpenPort((LPSTR)name.c_str(), &port); });
            check(port != NULL && (held == NULL || held == port), key.name + " has another handle");
            const PortRecord* record = (const PortRecord*)(held = port);
            check(records.empty() || !records.back() || records.back()->next == record, name + " is out of order");
            records.push_back(record);
            if (record == NULL) continue;
            config.resize(sizeof(PortConfig), '\0');
            DWORD state = states_[Upper(name)];
            check(record->signature == PortSignature && key.name == record->name &&
                      record->recordSize == sizeof(PortRecord) + name.size() + 1 &&
                      std::memcmp(&record->config, config.data(), config.size()) == 0,
                  key.name + "'s record or configuration is not as stored");
            check(record->flags == (state & ~Printer) && (record->printer != NULL) == ((state & Printer) != 0),
                  key.name + "'s job is not as it should be");
            expect(ERROR_SUCCESS, "ClosePort " + name, [&] { return table_.pfnClosePort(port); });
        }
        if (!records.empty()) check(records.back() == NULL || records.back()->next == NULL, "the list runs on");
        for (const Stored& key : started_ ? unknown : std::vector<Stored>()) {
            HANDLE port = (HANDLE)1;
            expect(ERROR_UNKNOWN_PORT, "OpenPort " + key.name,
                   [&] { return table_.pfnOpenPort((LPSTR)key.name.c_str(), &port) || port != NULL; });
        }
        std::string fault = harness_.machineFault(records, rootKept_);
        check(fault.empty(), fault);
    }

    const Scenario& scenario_;
    PortHarness& harness_;
    std::vector<Stored> keys_, listed_;  // in the order made; as the monitor lists its ports
    std::map<std::string, HANDLE> handles_;
    std::map<std::string, DWORD> states_;
    MONITOR_TABLE table_ = {};
    bool started_ = false, rootKept_ = false;
    size_t step_ = 0, shown_ = 0;
};

}  // namespace

const std::vector<std::string>& PortScenarioNames() {
    static const std::vector<std::string> names = ScenarioNamesOf(Scenarios());
    return names;
}

void PlayPortScenario(const std::string& name, PortHarness& harness) {
    for (const Scenario& scenario : Scenarios())
        if (scenario.name == name) return Player(scenario, harness).play();
    harness.fail("no port scenario named " + name);
}
