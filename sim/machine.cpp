// The machine's control API: modules, failure injection, accounting and reset.
#include "machine.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "state.h"

namespace sim {

Machine& machine() {
    static Machine* instance = new Machine();  // lives until the process ends, like a real machine
    return *instance;
}

Machine::Machine()
    : heap_(new Heap),
      keys_(new Keys),
      handles_(new Handles),
      spooler_(new Spooler),
      ui_(new Ui),
      usb_(new Usb),
      windows_(new Windows) {}
Machine::~Machine() = default;

Personality Machine::defaultPersonality() {
    const char* chosen = std::getenv("ZEV_PERSONALITY");
    return chosen && std::string(chosen) == "98" ? Personality::Windows98 : Personality::NT;
}

void Machine::setPersonality(Personality personality) {
    personality_ = personality;
    setTraits(SystemTraits::of(personality));
}

Personality Machine::personality() const { return personality_; }

SystemTraits SystemTraits::of(Personality personality) {
    SystemTraits traits;
    if (personality != Personality::Windows98) return traits;
    traits.registrySecurity = false;
    traits.skipsLeadingBackslash = true;
    traits.subkeysInCreationOrder = true;
    traits.deletesKeyTrees = true;
    traits.deviceElementsReversed = true;
    traits.commTimeoutsOnlyOnCommPorts = true;
    traits.unpluggedDeviceError = ERROR_GEN_FAILURE;
    return traits;
}

SystemTraits Machine::traits() const {
    std::lock_guard<std::mutex> lock(traitsMutex_);
    return traits_;
}

void Machine::setTraits(const SystemTraits& traits) {
    std::lock_guard<std::mutex> lock(traitsMutex_);
    traits_ = traits;
}

void Machine::reset() {
    // Threads first: they run module code. Then the modules: their state may
    // refer to the heap and the handles below.
    stopSpooler();
    setSpoolFolder("");
    setSpoolerSettings({});
    setMonitorTrace(nullptr);
    // A read that waits for a printer that never answers ends as its printer goes.
    {
        std::lock_guard<std::mutex> lock(usb_->mutex);
        for (auto& printer : usb_->printers) {
            printer->present = false;
            printer->generation++;
        }
        usb_->changed.notify_all();
    }
    stopThreads();
    {
        std::lock_guard<std::mutex> lock(windows_->mutex);
        windows_->queues.clear();
        windows_->windows.clear();
        windows_->classes.clear();
        windows_->classNames.clear();
        windows_->commandLines.clear();
    }
    auto modules = std::move(modules_);
    modules_.clear();
    for (auto it = modules.rbegin(); it != modules.rend(); ++it)
        if (it->second.unload) it->second.unload();
    {
        std::lock_guard<std::mutex> lock(moduleMutex_);
        moduleReferences_.clear();
        crashes_.clear();
    }
    clearFaults();
    {
        std::lock_guard<std::mutex> lock(faultMutex_);
        callCounts_.clear();
        recording_ = false;
        recorded_.clear();
        refusedCloses_.clear();  // their objects are released below with all the others
    }
    {
        std::lock_guard<std::mutex> lock(heap_->mutex);
        for (auto& block : heap_->blocks) std::free(block.first);
        heap_->blocks.clear();
    }
    {
        std::lock_guard<std::mutex> lock(keys_->mutex);
        keys_->open.clear();
    }
    {
        std::lock_guard<std::mutex> lock(handles_->mutex);
        for (auto& entry : handles_->table)
            if (auto file = std::dynamic_pointer_cast<FileObject>(entry.second)) file->close();
        handles_->table.clear();
    }
    {
        std::lock_guard<std::mutex> lock(spooler_->mutex);
        spooler_->open.clear();
    }
    {
        std::lock_guard<std::mutex> lock(usb_->mutex);
        usb_->printers.clear();
        usb_->sets.clear();
    }
    {
        std::lock_guard<std::mutex> lock(ui_->mutex);
        ui_->openFileAnswers.clear();
        ui_->openFilePrompt = nullptr;
        ui_->openFileCalls.clear();
        ui_->messageBoxes.clear();
        ui_->messageBoxHandler = nullptr;
    }
    registry_.clear();
    setPersonality(defaultPersonality());
}

// ---- files ----

void Machine::setFileRoot(const std::string& hostDirectory) {
    std::lock_guard<std::mutex> lock(fileRootMutex_);
    fileRoot_ = hostDirectory;
}

std::string Machine::fileRoot() {
    std::lock_guard<std::mutex> lock(fileRootMutex_);
    if (fileRoot_.empty()) {
        auto dir = std::filesystem::temp_directory_path() / ("zevsim-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir / "c");
        fileRoot_ = dir.string();
    }
    return fileRoot_;
}

std::string Machine::hostPath(const std::string& windowsPath) {
    std::string path = windowsPath;
    if (path.rfind("\\\\", 0) == 0) return "";  // device namespace or a network path
    char drive = 'c';
    if (path.size() >= 2 && path[1] == ':') {
        if (!std::isalpha((unsigned char)path[0])) return "";
        drive = (char)std::tolower((unsigned char)path[0]);
        path = path.substr(2);
    }
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 0; i <= path.size(); i++) {
        char c = i < path.size() ? path[i] : '\\';
        if (c == '\\' || c == '/') {
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();  // never above the drive's root
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else if (std::string("<>:\"|?*").find(c) != std::string::npos || (unsigned char)c < 32) {
            return "";
        } else {
            part += c;
        }
    }
    std::string host = fileRoot() + "/" + drive;
    for (auto& p : parts) host += "/" + p;
    return host;
}

HINSTANCE Machine::loadModule(const Module& module) {
    // Module handles are image base addresses on Windows; any distinct value serves.
    HINSTANCE instance = (HINSTANCE)(uintptr_t)(0x10000000 + 0x100000 * (modules_.size() + 1));
    modules_.emplace_back(instance, module);
    {
        std::lock_guard<std::mutex> lock(moduleMutex_);
        moduleReferences_[instance] = 1;
    }
    if (module.entryPoint) module.entryPoint(instance, DLL_PROCESS_ATTACH, nullptr);
    return instance;
}

const Module* Machine::moduleFor(HINSTANCE instance) const {
    for (auto& m : modules_)
        if (m.first == instance) return &m.second;
    return nullptr;
}

HINSTANCE Machine::referenceModule(const std::string& fileName) {
    std::string name = fileName.substr(fileName.find_last_of("\\/:") + 1);
    std::lock_guard<std::mutex> lock(moduleMutex_);
    for (auto& [instance, module] : modules_)
        if (equalNoCase(module.fileName, name) && moduleReferences_[instance] > 0) {
            moduleReferences_[instance]++;
            return instance;
        }
    return nullptr;
}

bool Machine::releaseModule(HINSTANCE instance) {
    const Module* module = moduleFor(instance);
    {
        std::lock_guard<std::mutex> lock(moduleMutex_);
        auto it = moduleReferences_.find(instance);
        if (!module || it == moduleReferences_.end() || it->second == 0) return false;
        if (--it->second > 0) return true;
    }
    if (module->entryPoint) module->entryPoint(instance, DLL_PROCESS_DETACH, nullptr);
    return true;
}

unsigned Machine::moduleReferences(HINSTANCE instance) const {
    std::lock_guard<std::mutex> lock(moduleMutex_);
    auto it = moduleReferences_.find(instance);
    return it == moduleReferences_.end() ? 0 : it->second;
}

bool Machine::isModuleUnloaded(HINSTANCE instance) const {
    return moduleFor(instance) != nullptr && moduleReferences(instance) == 0;
}

void Machine::noteCrash(const std::string& what) {
    std::lock_guard<std::mutex> lock(moduleMutex_);
    crashes_.push_back(what);
}

std::vector<std::string> Machine::crashes() const {
    std::lock_guard<std::mutex> lock(moduleMutex_);
    return crashes_;
}

// The modes beyond Fail, by function.
static const std::map<std::string, std::vector<FaultMode>>& extraFaultModes() {
    static const auto* modes = new std::map<std::string, std::vector<FaultMode>>{
        {"CloseHandle", {FaultMode::FailKeepingObject}},
        {"RegCloseKey", {FaultMode::FailKeepingObject}},
        {"SetupDiDestroyDeviceInfoList", {FaultMode::FailKeepingObject}},
        {"ClosePrinter", {FaultMode::FailKeepingObject}},
        {"GlobalFree", {FaultMode::FailKeepingObject}},
        {"WriteFile", {FaultMode::ShortWrite}},
        {"RegCreateKeyA", {FaultMode::FailAfterEffect}},
    };
    return *modes;
}

static const char* modeName(FaultMode mode) {
    switch (mode) {
    case FaultMode::Fail: return "Fail";
    case FaultMode::FailKeepingObject: return "FailKeepingObject";
    case FaultMode::ShortWrite: return "ShortWrite";
    case FaultMode::FailAfterEffect: return "FailAfterEffect";
    }
    return "?";
}

std::vector<FaultMode> Machine::faultModesFor(const std::string& function) {
    std::vector<FaultMode> modes{FaultMode::Fail};
    auto it = extraFaultModes().find(function);
    if (it != extraFaultModes().end()) modes.insert(modes.end(), it->second.begin(), it->second.end());
    return modes;
}

void Machine::inject(const Fault& fault) {
    auto modes = faultModesFor(fault.function);
    if (std::find(modes.begin(), modes.end(), fault.mode) == modes.end())
        throw std::invalid_argument(std::string("fault mode ") + modeName(fault.mode) + " is not supported by " +
                                    fault.function);
    std::lock_guard<std::mutex> lock(faultMutex_);
    faults_.push_back(fault);
    faultCalls_.push_back(0);
}

void Machine::clearFaults() {
    std::lock_guard<std::mutex> lock(faultMutex_);
    faults_.clear();
    faultCalls_.clear();
    hooks_.clear();
}

void Machine::onCall(const std::string& function, unsigned nth, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(faultMutex_);
    hooks_.push_back({function, nth, 0, std::move(action)});
}

unsigned Machine::callCount(const std::string& function) const {
    std::lock_guard<std::mutex> lock(faultMutex_);
    auto it = callCounts_.find(function);
    return it == callCounts_.end() ? 0 : it->second;
}

void Machine::recordCalls(bool on) {
    std::lock_guard<std::mutex> lock(faultMutex_);
    recording_ = on;
    if (on) recorded_.clear();
}

std::vector<std::string> Machine::recordedCalls() const {
    std::lock_guard<std::mutex> lock(faultMutex_);
    return recorded_;
}

std::optional<DWORD> Machine::enter(const char* function) {
    auto injected = enterFault(function);
    if (!injected) return std::nullopt;
    return injected->error;
}

std::optional<InjectedFault> Machine::enterFault(const char* function) {
    std::vector<std::function<void()>> due;
    std::optional<InjectedFault> error;
    {
        std::lock_guard<std::mutex> lock(faultMutex_);
        callCounts_[function]++;
        if (recording_) recorded_.push_back(function);
        // Every hook of the function counts the call, whether or not another is due.
        for (auto it = hooks_.begin(); it != hooks_.end();) {
            if (it->function == function && ++it->seen == it->nth) {
                due.push_back(std::move(it->action));
                it = hooks_.erase(it);
            } else {
                ++it;
            }
        }
        for (size_t i = 0; i < faults_.size(); i++) {
            Fault& f = faults_[i];
            if (f.function != function) continue;
            unsigned seen = ++faultCalls_[i];
            if (!error && (seen == f.nth || (f.everyCallFromNth && seen > f.nth)))
                error = InjectedFault{f.error, f.mode, f.shortWriteBytes};
        }
    }
    for (auto& action : due) action();  // outside the lock: the action may call simulated functions
    return error;
}

void Machine::noteCloseRefused(const char* function, uintptr_t object) {
    std::lock_guard<std::mutex> lock(faultMutex_);
    for (auto& r : refusedCloses_)
        if (r.function == function && r.object == object) return;
    refusedCloses_.push_back({function, object});
}

void Machine::noteClosed(const char* function, uintptr_t object) {
    std::lock_guard<std::mutex> lock(faultMutex_);
    for (auto it = refusedCloses_.begin(); it != refusedCloses_.end(); ++it)
        if (it->function == function && it->object == object) {
            refusedCloses_.erase(it);
            return;
        }
}

std::vector<RefusedClose> Machine::refusedCloses() const {
    std::lock_guard<std::mutex> lock(faultMutex_);
    return refusedCloses_;
}

std::size_t Machine::refusedCloseCount(const std::string& function) const {
    std::lock_guard<std::mutex> lock(faultMutex_);
    return (std::size_t)std::count_if(refusedCloses_.begin(), refusedCloses_.end(),
                                      [&](const RefusedClose& r) { return r.function == function; });
}

std::size_t Machine::liveAllocations() const {
    std::lock_guard<std::mutex> lock(heap_->mutex);
    return heap_->blocks.size();
}

std::size_t Machine::openKeys() const {
    std::lock_guard<std::mutex> lock(keys_->mutex);
    return keys_->open.size();
}

std::size_t Machine::openHandles() const {
    std::lock_guard<std::mutex> lock(handles_->mutex);
    return handles_->table.size();
}

}  // namespace sim
