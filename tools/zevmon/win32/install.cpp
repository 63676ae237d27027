// Installing, upgrading and removing the monitor on a running system.
//
// The spooler of 95/98/Me takes a monitor at once through AddMonitorA
// (level 2, environment "Windows 4.0", the DLL already in the system folder)
// and reads the monitor's key when it starts. Where AddMonitorA is refused
// (Windows 95/98 answer 87 for a DLL that is missing or is no monitor; Wine
// loads only monitors of the NT family and answers 126 or 127, and 3006 when
// the key names a "Driver" already), the key is written by hand and the next start
// loads the monitor. A DLL the spooler holds can be neither overwritten nor
// deleted until it restarts: the change is queued for the next start of Windows.
#include "install.h"

#include <fmt/format.h>
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "boot_queue.h"
#include "common/error_text.h"
#include "monitor/zevuruzi.h"
#include "resources/string_table.h"
#include "setupapi_on_demand.h"
#include "common/monitor_caller.h"
#include "windows_system.h"

namespace zevmon {

namespace {

const char Environment[] = "Windows 4.0";
const char DriverValue[] = "Driver";
const char PendingName[] = "ZEVURUZI.NEW";  // 8.3, as WININIT.INI needs
const char BackupName[] = "ZEVURUZI.OLD";

std::string keyForUser() { return std::string("HKEY_LOCAL_MACHINE\\") + MonitorKeyPath; }

std::string lastError() {
    DWORD error = GetLastError();
    return fmt::format("{} ({})", errorMeaning(error), errorText(error));
}

bool fileInUse(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

void say(const std::string& sentence) {
    std::printf("%s\n", sentence.c_str());
    std::fflush(stdout);
}

// The steps of one run, each with what undoes it.
class Steps {
public:
    void done(const std::string& sentence, std::function<bool()> undo = {}, std::string undone = "") {
        say(sentence);
        if (undo) undo_.push_back({std::move(undo), std::move(undone)});
    }

    [[noreturn]] void failed(const std::string& sentence) {
        say(sentence);
        std::vector<std::string> left;
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
            if (it->undo())
                say("Undone: " + it->undone);
            else
                left.push_back(it->undone + " (not done: " + lastError() + ")");
        }
        if (undo_.empty()) throw Failure("Nothing was changed.");
        if (left.empty()) throw Failure("Every step was undone: the system is as it was before.");
        std::string text = "These steps could not be undone, so the system is not as it was:";
        for (const std::string& l : left) text += "\n  - " + l;
        throw Failure(text);
    }

private:
    struct Undo {
        std::function<bool()> undo;
        std::string undone;
    };
    std::vector<Undo> undo_;
};

bool setDriverValue() {
    HKEY key;
    LONG result = RegCreateKeyA(HKEY_LOCAL_MACHINE, MonitorKeyPath, &key);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExA(key, DriverValue, 0, REG_SZ, (const BYTE*)MONITOR_FILE_NAME,
                                sizeof MONITOR_FILE_NAME);
        RegCloseKey(key);
    }
    SetLastError(result);
    return result == ERROR_SUCCESS;
}

bool deleteDriverValue() {
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, MonitorKeyPath, 0, KEY_SET_VALUE, &key);
    if (result == ERROR_SUCCESS) {
        result = RegDeleteValueA(key, DriverValue);
        RegCloseKey(key);
    }
    SetLastError(result);
    return result == ERROR_SUCCESS;
}

// The spooler refused to `action` the monitor, for the reason `refused`: the
// "Driver" value is changed by hand instead, or the run fails with both reasons.
void changeDriverValueInstead(Steps& steps, const char* action, const std::string& refused, bool (*change)(),
                              const char* changeFailed) {
    if (!change())
        steps.failed(fmt::format("The spooler refused to {} the monitor ({}), and {} either: {}.", action, refused,
                                 changeFailed, lastError()));
}

bool addMonitor() {
    MONITOR_INFO_2A info{};
    std::string name = monitorName();
    info.pName = const_cast<LPSTR>(name.c_str());
    info.pEnvironment = const_cast<LPSTR>(Environment);
    info.pDLLName = const_cast<LPSTR>(MONITOR_FILE_NAME);
    return AddMonitorA(NULL, 2, (LPBYTE)&info) != FALSE;
}

bool deleteMonitor() {
    std::string name = monitorName();
    return DeleteMonitorA(NULL, const_cast<LPSTR>(Environment), const_cast<LPSTR>(name.c_str())) != FALSE;
}

bool deleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != FALSE; }

bool copyFile(const std::string& from, const std::string& to, bool mayReplace) {
    return CopyFileA(from.c_str(), to.c_str(), mayReplace ? FALSE : TRUE) != FALSE;
}

// The port keys below the monitor's key, by name, for the report.
std::string portList(const RegistryTree& tree) {
    std::string names;
    for (const RegistryTree& sub : tree.subkeys) {
        if (IsProbeKeyName(sub.name.c_str())) continue;
        names += (names.empty() ? "" : ", ") + sub.name;
    }
    return names;
}

size_t portCount(const RegistryTree& tree) {
    size_t count = 0;
    for (const RegistryTree& sub : tree.subkeys) count += IsProbeKeyName(sub.name.c_str()) ? 0 : 1;
    return count;
}

std::string plural(size_t count, const char* one, const char* many) {
    return fmt::format("{} {}", count, count == 1 ? one : many);
}

}  // namespace

int installMonitor(const std::string& sourceOption) {
    std::string source = sourceOption.empty() ? joinPath(programFolder(), MONITOR_FILE_NAME) : sourceOption;
    if (!fileExists(source))
        throw Failure(fmt::format("There is no {} to install: put {} beside zevmon.exe, or name it with --dll PATH.",
                                  source, MONITOR_FILE_NAME));
    std::optional<FileVersion> version = fileVersion(source);
    if (!version || !sameName(versionString(source, "OriginalFilename"), MONITOR_FILE_NAME))
        throw Failure(fmt::format("{} is not the monitor: its version record does not name {}. Nothing was changed.",
                                  source, MONITOR_FILE_NAME));
    if (!systemHasSetupApi())
        throw Failure(fmt::format("The monitor needs Windows 98 or Me: {} has no SETUPAPI.DLL, which the monitor "
                                  "calls to find USB printers. Nothing was changed.",
                                  systemName()));

    std::string system = systemFolder();
    std::string target = joinPath(system, MONITOR_FILE_NAME), pending = joinPath(system, PendingName);
    std::optional<FileVersion> installed = fileExists(target) ? fileVersion(target) : std::nullopt;
    bool registered = monitorInstalled();
    bool current = installed && *installed == *version, tookBack = false;
    BootQueue queue;
    Steps steps;
    bool restart = false;
    say(fmt::format("Installing {} version {} from {} on {}.", MONITOR_FILE_NAME, version->text(), source,
                    systemName()));

    // The file in the system folder.
    if (samePath(source, target)) {
        say(fmt::format("{} is the file in the system folder already.", target));
    } else if (!fileExists(target)) {
        if (!copyFile(source, target, false))
            steps.failed(fmt::format("{} could not be copied to {}: {}.", source, target, lastError()));
        steps.done(fmt::format("Copied {} to {}.", source, target), [=] { return deleteFile(target); },
                   "deleted " + target + " again");
    } else if (current) {
        if (fileExists(pending)) {
            // An upgrade queued earlier would put another version in place at the next start.
            queue.cancelReplace(pending, target);
            deleteFile(pending);
            say(fmt::format("A replacement of {} queued for the next start of Windows was taken back.", target));
            tookBack = true;
        }
    } else if (fileExists(pending) && fileVersion(pending) == version && queue.replaceQueued(pending, target)) {
        say(fmt::format("{} is version {}; its replacement by version {} is queued already for the next start of "
                        "Windows, in {}.",
                        target, installed ? installed->text() : "unknown", version->text(), queue.where()));
        restart = true;
    } else {
        std::string before = installed ? "version " + installed->text() : "a file without a version record";
        std::string backup = joinPath(system, BackupName);
        bool saved = copyFile(target, backup, true);
        if (copyFile(source, target, true)) {
            steps.done(fmt::format("Replaced {} ({}) with version {}.", target, before, version->text()),
                       [=] { return saved && copyFile(backup, target, true); },
                       fmt::format("put {} back in {}", before, target));
        } else if (fileInUse(GetLastError())) {
            if (!copyFile(source, pending, true))
                steps.failed(fmt::format("{} could not be copied to {}: {}.", source, pending, lastError()));
            steps.done(fmt::format("{} ({}) is in use, loaded by the spooler or another program. Version {} was "
                                   "copied beside it as {}.",
                                   target, before, version->text(), pending),
                       [=] { return deleteFile(pending); }, "deleted " + pending);
            if (!queue.replace(pending, target))
                steps.failed(fmt::format("The replacement could not be queued for the next start of Windows in {}: "
                                         "{}.",
                                         queue.where(), lastError()));
            steps.done(fmt::format("At the next start of Windows, {} replaces {}: this is queued in {}.", pending,
                                   target, queue.where()),
                       [=, &queue] { return queue.cancelReplace(pending, target); },
                       "took the queued replacement back");
            restart = true;
        } else {
            if (saved) deleteFile(backup);
            steps.failed(fmt::format("{} could not be replaced: {}.", target, lastError()));
        }
        if (saved) deleteFile(backup);
    }

    // The spooler.
    if (registered) {
        if (current && !restart) {
            say(fmt::format("Version {} is installed already in {} and registered with the spooler{}.",
                            version->text(), target, tookBack ? "" : ": nothing to do"));
            return 0;
        }
        say(fmt::format("The monitor \"{}\" is registered with the spooler already.", monitorName()));
    } else if (addMonitor()) {
        steps.done(fmt::format("The spooler added the monitor \"{}\" ({}) and loaded it.", monitorName(),
                               MONITOR_FILE_NAME),
                   [] { return deleteMonitor(); }, "removed the monitor from the spooler");
    } else {
        std::string refused = lastError();
        bool keyExisted = keyExists(MonitorKeyPath);
        changeDriverValueInstead(steps, "add", refused, setDriverValue, "its registry entry could not be written");
        steps.done(fmt::format("The spooler did not add the monitor now: {}. Its entry was written to the registry "
                               "instead ({}, \"Driver\"=\"{}\"), which the spooler reads when Windows starts.",
                               refused, keyForUser(), MONITOR_FILE_NAME),
                   [=] { return keyExisted ? deleteDriverValue() : deleteTree(MonitorKeyPath) == ERROR_SUCCESS; },
                   "removed the registry entry");
        restart = true;
    }
    say(restart ? "Restart Windows to complete the installation; then check it with: zevmon doctor"
                : "Done: check it with zevmon doctor, or zevmon ports.");
    return 0;
}

int uninstallMonitor(bool purge) {
    std::string system = systemFolder();
    std::string target = joinPath(system, MONITOR_FILE_NAME), pending = joinPath(system, PendingName);
    bool keyPresent = keyExists(MonitorKeyPath);
    bool registered = monitorInstalled();
    std::optional<RegistryTree> saved = readTree(MonitorKeyPath);
    size_t ports = saved ? portCount(*saved) : 0;
    if (!registered && !fileExists(target) && !fileExists(pending)) {
        if (!keyPresent) {
            say("The monitor is not installed: nothing to do.");
            return 0;
        }
        if (!purge && ports > 0) {
            say(fmt::format("The monitor is not installed. The settings of its {} ({}) stay below {}; "
                            "uninstall --purge removes them.",
                            plural(ports, "port", "ports"), portList(*saved), keyForUser()));
            return 0;
        }
    }
    BootQueue queue;
    Steps steps;
    bool restart = false;
    say(fmt::format("Removing the monitor \"{}\" from {}.", monitorName(), systemName()));

    // The spooler. DeleteMonitorA may take the whole key, port keys included.
    if (registered) {
        if (deleteMonitor()) {
            steps.done(fmt::format("The spooler removed the monitor \"{}\".", monitorName()),
                       [=] { return addMonitor() || writeTree(MonitorKeyPath, *saved) == ERROR_SUCCESS; },
                       "registered the monitor again");
        } else {
            std::string refused = lastError();
            changeDriverValueInstead(steps, "remove", refused, deleteDriverValue,
                                     "its \"Driver\" value could not be deleted");
            steps.done(fmt::format("The spooler did not remove the monitor now: {}. Its \"Driver\" value was deleted "
                                   "instead, so the spooler no longer loads it from the next start of Windows.",
                                   refused),
                       [] { return setDriverValue(); }, "wrote the \"Driver\" value back");
            restart = true;
        }
    }

    // The settings of the ports belong to the user's printers: they stay unless purged.
    if (saved) {
        RegistryTree keep = *saved;
        keep.values.clear();  // without "Driver": the spooler passes the key over
        if (purge || ports == 0) {
            bool present = keyExists(MonitorKeyPath);
            if (present && deleteTree(MonitorKeyPath) != ERROR_SUCCESS)
                steps.failed(fmt::format("The key {} could not be deleted: {}.", keyForUser(), lastError()));
            if (ports > 0)
                steps.done(fmt::format("Deleted the key {} with the settings of its {} ({}).", keyForUser(),
                                       plural(ports, "port", "ports"), portList(*saved)),
                           [=] { return writeTree(MonitorKeyPath, keep) == ERROR_SUCCESS; },
                           "wrote the settings of the ports back");
            else if (present)
                say(fmt::format("Deleted the key {}.", keyForUser()));
        } else {
            bool gone = false;
            for (const RegistryTree& sub : keep.subkeys) gone |= !keyExists(std::string(MonitorKeyPath) + "\\" + sub.name);
            if (gone) {
                if (writeTree(MonitorKeyPath, keep) != ERROR_SUCCESS)
                    steps.failed(fmt::format("The spooler took the settings of the monitor's ports with its key, and "
                                             "they could not be written back: {}.",
                                             lastError()));
                say(fmt::format("The spooler took the monitor's key with it; the settings of its {} ({}) were "
                                "written back below {}, without \"Driver\", for a later install. uninstall --purge "
                                "removes them.",
                                plural(ports, "port", "ports"), portList(keep), keyForUser()));
            } else {
                say(fmt::format("The settings of its {} ({}) stay below {} for a later install; uninstall --purge "
                                "removes them.",
                                plural(ports, "port", "ports"), portList(keep), keyForUser()));
            }
        }
    }

    // The files. An upgrade still queued would bring the DLL back at the next start.
    if (fileExists(pending)) {
        if (!queue.cancelReplace(pending, target))
            steps.failed(fmt::format("The replacement of {} queued for the next start could not be taken back: {}.",
                                     target, lastError()));
        deleteFile(pending);
        say(fmt::format("The upgrade queued for the next start of Windows was taken back ({} deleted).", pending));
    }
    if (fileExists(target)) {
        if (deleteFile(target)) {
            say(fmt::format("Deleted {}.", target));
        } else if (fileInUse(GetLastError())) {
            if (!queue.remove(target))
                steps.failed(fmt::format("{} is in use and could not be queued for deletion at the next start of "
                                         "Windows in {}: {}.",
                                         target, queue.where(), lastError()));
            say(fmt::format("{} is in use, loaded by the spooler or another program. It is deleted at the next "
                            "start of Windows: this is queued in {}.",
                            target, queue.where()));
            restart = true;
        } else {
            steps.failed(fmt::format("{} could not be deleted: {}.", target, lastError()));
        }
    }
    say(restart ? "Restart Windows to finish removing the monitor." : "The monitor is removed.");
    return 0;
}

namespace {

struct InstallWords {
    std::string source;  // "" for ZEVURUZI.DLL beside zevmon.exe
};

struct UninstallWords {
    bool purge = false;
};

void declareInstall(CLI::App& install, WinRun& run) {
    install.add_option("--dll", run.words<InstallWords>().source, "the DLL to install (default: ZEVURUZI.DLL beside zevmon.exe)");
}

int cmdInstall(WinRun& run) { return installMonitor(run.words<InstallWords>().source); }

void declareUninstall(CLI::App& uninstall, WinRun& run) {
    uninstall.add_flag("--purge", run.words<UninstallWords>().purge, "delete the settings of the monitor's ports too");
}

int cmdUninstall(WinRun& run) { return uninstallMonitor(run.words<UninstallWords>().purge); }

}  // namespace

const Verb<WinRun> InstallCommand("install",
                                  "copy ZEVURUZI.DLL into the system folder and register the monitor with the spooler; "
                                  "upgrades another version",
                                  declareInstall, nullptr, cmdInstall);
const Verb<WinRun> UninstallCommand("uninstall",
                                    "remove the monitor from the spooler and its DLL from the system folder; the "
                                    "settings of its ports stay",
                                    declareUninstall, nullptr, cmdUninstall);

}  // namespace zevmon
