#include "fault_points.h"

#include <algorithm>
#include <map>
#include <set>

namespace faults {

namespace {

#define CODE(name) ErrorCode{(DWORD)(name), #name}
// Codes the simulated headers do not define.
constexpr ErrorCode ErrorMrMidNotFound{317, "ERROR_MR_MID_NOT_FOUND"};
constexpr ErrorCode ErrorResourceNameNotFound{1814, "ERROR_RESOURCE_NAME_NOT_FOUND"};
constexpr ErrorCode CommDlgMemAllocFailure{0x0009, "CDERR_MEMALLOCFAILURE"};

// Errors each function can return on a real system. ERROR_NO_MORE_ITEMS,
// ERROR_MORE_DATA and ERROR_INSUFFICIENT_BUFFER are left out: they are the
// normal ends of loops and size queries, not failures. A second error for a
// function goes into its row.
const std::map<std::string, std::vector<ErrorCode>>& errorTable() {
    static const std::map<std::string, std::vector<ErrorCode>> table = {
        // advapi32
        {"RegOpenKeyExA", {CODE(ERROR_ACCESS_DENIED), CODE(ERROR_FILE_NOT_FOUND)}},
        {"RegCreateKeyA", {CODE(ERROR_ACCESS_DENIED), CODE(ERROR_BADDB)}},
        {"RegEnumKeyA", {CODE(ERROR_BADDB), CODE(ERROR_ACCESS_DENIED)}},
        {"RegQueryValueExA", {CODE(ERROR_BADDB), CODE(ERROR_ACCESS_DENIED)}},
        {"RegSetValueExA", {CODE(ERROR_ACCESS_DENIED), CODE(ERROR_CANTWRITE)}},
        {"RegDeleteKeyA", {CODE(ERROR_ACCESS_DENIED), CODE(ERROR_CANTWRITE)}},
        {"RegDeleteValueA", {CODE(ERROR_ACCESS_DENIED)}},
        {"RegCloseKey", {CODE(ERROR_INVALID_HANDLE)}},
        // kernel32
        {"GlobalAlloc", {CODE(ERROR_NOT_ENOUGH_MEMORY)}},
        {"GlobalFree", {CODE(ERROR_INVALID_HANDLE)}},
        {"CreateFileA", {CODE(ERROR_ACCESS_DENIED), CODE(ERROR_SHARING_VIOLATION)}},
        {"WriteFile", {CODE(ERROR_DISK_FULL), CODE(ERROR_DEVICE_NOT_CONNECTED)}},
        {"ReadFile", {CODE(ERROR_DEVICE_NOT_CONNECTED), CODE(ERROR_SEM_TIMEOUT)}},
        {"CloseHandle", {CODE(ERROR_INVALID_HANDLE)}},
        {"SetEndOfFile", {CODE(ERROR_INVALID_FUNCTION)}},
        {"SetCommTimeouts", {CODE(ERROR_INVALID_FUNCTION)}},
        {"DeviceIoControl", {CODE(ERROR_DEVICE_NOT_CONNECTED), CODE(ERROR_INVALID_FUNCTION)}},
        {"CreateThread", {CODE(ERROR_NOT_ENOUGH_MEMORY)}},
        {"WaitForSingleObject", {CODE(ERROR_INVALID_HANDLE)}},
        {"GetModuleFileNameA", {CODE(ERROR_MOD_NOT_FOUND)}},
        {"LoadLibraryA", {CODE(ERROR_NOT_ENOUGH_MEMORY)}},
        {"FreeLibrary", {CODE(ERROR_INVALID_HANDLE)}},
        {"FormatMessageA", {ErrorMrMidNotFound}},
        {"WinExec", {CODE(ERROR_FILE_NOT_FOUND)}},
        // setupapi
        {"SetupDiGetClassDevsA", {CODE(ERROR_NOT_ENOUGH_MEMORY)}},
        {"SetupDiEnumDeviceInterfaces", {CODE(ERROR_INVALID_DATA)}},
        {"SetupDiGetDeviceInterfaceDetailA", {CODE(ERROR_NOT_ENOUGH_MEMORY)}},
        {"SetupDiEnumDeviceInfo", {CODE(ERROR_INVALID_DATA)}},
        {"SetupDiGetDeviceInstanceIdA", {CODE(ERROR_INVALID_DATA)}},
        {"SetupDiDestroyDeviceInfoList", {CODE(ERROR_INVALID_HANDLE)}},
        // winspool
        {"OpenPrinterA", {CODE(ERROR_INVALID_PRINTER_NAME), CODE(ERROR_ACCESS_DENIED)}},
        {"ClosePrinter", {CODE(ERROR_INVALID_HANDLE)}},
        {"GetPrinterA", {CODE(ERROR_NOT_ENOUGH_MEMORY)}},
        {"SetPrinterA", {CODE(ERROR_ACCESS_DENIED)}},
        {"SetJobA", {CODE(ERROR_INVALID_PARAMETER)}},
        // user32, comdlg32
        {"LoadStringA", {ErrorResourceNameNotFound}},
        {"MessageBoxA", {CODE(ERROR_NOT_ENOUGH_MEMORY)}},
        {"RegisterClassA", {CODE(ERROR_CLASS_ALREADY_EXISTS)}},
        {"CreateWindowExA", {CODE(ERROR_NOT_ENOUGH_MEMORY)}},
        {"GetMessageA", {CODE(ERROR_INVALID_WINDOW_HANDLE)}},
        {"GetOpenFileNameA", {CommDlgMemAllocFailure}},
        // EnterCriticalSection, InitCommonControls and FreeLibraryAndExitThread cannot fail.
    };
    return table;
}

#undef CODE

bool always(const std::string&) { return true; }

// Whether the machine can fail the function in this way besides failing it plainly.
std::function<bool(const std::string&)> supports(sim::FaultMode mode) {
    return [mode](const std::string& function) {
        auto modes = sim::Machine::faultModesFor(function);
        return std::find(modes.begin(), modes.end(), mode) != modes.end();
    };
}

}  // namespace

const std::vector<FaultMode>& faultModes() {
    static const std::vector<FaultMode> modes = {
        {"once", always, [](sim::Fault& f) { f.everyCallFromNth = false; }},
        {"from-then-on", always, [](sim::Fault& f) { f.everyCallFromNth = true; }},
        // A close that fails and keeps its object: what the platform kept is not
        // the monitor's leak, but the monitor must not use it again.
        {"keeps-object", supports(sim::FaultMode::FailKeepingObject),
         [](sim::Fault& f) { f.mode = sim::FaultMode::FailKeepingObject; }},
        // A write that takes fewer bytes than asked and says so.
        {"short-write", supports(sim::FaultMode::ShortWrite), [](sim::Fault& f) { f.mode = sim::FaultMode::ShortWrite; },
         false},
        // A key made, and then an error reported.
        {"after-effect", supports(sim::FaultMode::FailAfterEffect),
         [](sim::Fault& f) { f.mode = sim::FaultMode::FailAfterEffect; }},
    };
    return modes;
}

const std::vector<ErrorCode>& errorsFor(const std::string& function) {
    static const std::vector<ErrorCode> none;
    auto it = errorTable().find(function);
    return it == errorTable().end() ? none : it->second;
}

std::string FaultPoint::name() const {
    return function + " #" + std::to_string(occurrence) + " " + error.name + " " + (mode ? mode->name : "?");
}

void FaultPoint::inject() const {
    sim::Fault fault;
    fault.function = function;
    fault.nth = occurrence;
    fault.error = error.code;
    mode->shape(fault);
    sim::machine().inject(fault);
}

std::vector<FaultPoint> faultPoints(const std::vector<std::string>& recordedCalls) {
    std::vector<FaultPoint> points;
    std::map<std::string, unsigned> seen;
    for (const auto& function : recordedCalls) {
        unsigned occurrence = ++seen[function];
        for (const auto& mode : faultModes()) {
            if (!mode.appliesTo(function)) continue;
            if (!mode.takesError) {
                points.push_back({function, occurrence, NoError, &mode});
                continue;
            }
            for (const auto& error : errorsFor(function)) points.push_back({function, occurrence, error, &mode});
        }
    }
    return points;
}

std::vector<std::string> unsweptFunctions(const std::vector<std::string>& recordedCalls) {
    std::set<std::string> unswept(recordedCalls.begin(), recordedCalls.end());
    for (const auto& point : faultPoints(recordedCalls)) unswept.erase(point.function);
    return {unswept.begin(), unswept.end()};
}

}  // namespace faults
