// zevmon.exe install, upgrade and uninstall on the Wine machine. Wine's
// spooler starts only monitors of the NT family, so AddMonitorA refuses this
// one (127; 3006 when the key names a "Driver" already) and every install
// here takes the registry route; Windows 95/98/Me would take the monitor at once.
#include <string>
#include <vector>

#include "field_support.h"
#include "monitor/monitor.h"
#include "wine_support.h"

namespace {

std::string driverValue() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MonitorKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return "(no key)";
    char value[64] = "";
    DWORD type = 0, size = sizeof value - 1;
    LONG result = RegQueryValueExA(key, "Driver", NULL, &type, (LPBYTE)value, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::string(value) : "(no value)";
}

bool fileThere(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string propertyOf(const char* port) {
    HKEY key;
    std::string path = std::string(MonitorKeyPath "\\") + port;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "(no key)";
    char value[64] = "";
    DWORD type = 0, size = sizeof value;
    LONG result = RegQueryValueExA(key, "Property", NULL, &type, (LPBYTE)value, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::string(value, size) : "(no value)";
}

void writePortKey(const char* port, const std::string& property) {
    HKEY key;
    std::string path = std::string(MonitorKeyPath "\\") + port;
    CHECK_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key), (LONG)ERROR_SUCCESS);
    CHECK_EQ(RegSetValueExA(key, "Property", 0, REG_BINARY, (const BYTE*)property.data(), (DWORD)property.size()),
             (LONG)ERROR_SUCCESS);
    RegCloseKey(key);
}

const std::string BuiltVersion = "1.0.0.0";

}  // namespace

WINE_TEST(InstallCopiesTheDllAndWritesTheMonitorsEntryOnce) {
    removeInstallation();
    ZevmonRun first = RUN_ZEVMON("install", 0);
    CHECK_OUTPUT(first, "Copied ");
    CHECK_OUTPUT(first, "(ERROR_PROC_NOT_FOUND, 127)");  // Wine starts no monitor of this family
    CHECK_OUTPUT(first, "Restart Windows to complete the installation");
    CHECK_STR(versionOf(systemDll()), BuiltVersion);
    CHECK_STR(driverValue(), "ZEVURUZI.DLL");
    CHECK(!fileThere(pendingDll()));

    ZevmonRun second = RUN_ZEVMON("install", 0);
    CHECK_OUTPUT(second, "Version 1.0.0.0 is installed already");
    CHECK_OUTPUT(second, "nothing to do");
    CHECK(!contains(second.output, "Copied"));
    CHECK(!fileThere(pendingDll()));
    CHECK(pendingRenames().empty());
    removeInstallation();
}

WINE_TEST(InstallRefusesAFileThatIsNotTheMonitor) {
    removeInstallation();
    // A program of the same build: it has no version record naming ZEVURUZI.DLL.
    ZevmonRun run = RUN_ZEVMON("install --dll \"" + thisFolder() + "\\wine_tests.exe\"", 1);
    CHECK_OUTPUT(run, "is not the monitor");
    CHECK_OUTPUT(run, "Nothing was changed");
    CHECK(!fileThere(systemDll()));
    CHECK_STR(driverValue(), "(no key)");
    removeInstallation();
}

WINE_TEST(UpgradeOfAHeldDllIsQueuedInTheRegistryAndDoneAtTheNextStart) {
    removeInstallation();
    RUN_ZEVMON("install --dll \"" + olderDll() + "\"", 0);
    CHECK_STR(versionOf(systemDll()), "0.9.0.0");
    {
        DllHolder spooler(systemDll());
        ZevmonRun upgrade = RUN_ZEVMON("install", 0);
        CHECK_OUTPUT(upgrade, "(version 0.9.0.0) is in use");
        CHECK_OUTPUT(upgrade, "PendingFileRenameOperations");
        CHECK_OUTPUT(upgrade, "Restart Windows");
        CHECK_STR(versionOf(systemDll()), "0.9.0.0");
        CHECK_STR(versionOf(pendingDll()), BuiltVersion);
        std::vector<std::string> queued = pendingRenames();
        CHECK_EQ(queued.size(), (size_t)2);
        if (queued.size() == 2) {
            CHECK_STR(queued[0], "\\??\\" + pendingDll());
            CHECK_STR(queued[1], "!\\??\\" + systemDll());
        }
        CHECK(!fileThere(wininitPath()));

        // Asked again before the restart: nothing is queued twice.
        ZevmonRun again = RUN_ZEVMON("install", 0);
        CHECK_OUTPUT(again, "queued already");
        CHECK_EQ(pendingRenames().size(), (size_t)2);
    }
    restartWindows();
    CHECK_STR(versionOf(systemDll()), BuiltVersion);
    CHECK(!fileThere(pendingDll()));
    CHECK(pendingRenames().empty());
    RUN_ZEVMON("install", 0);
    removeInstallation();
}

WINE_TEST(UpgradeOnWindows98GoesToWininitBesideAnotherInstallersLines) {
    removeInstallation();
    PretendWindows98 windows98;
    // Another installer's deletions: two NUL= lines, which a profile write would merge.
    std::string other = "C:\\windows\\temp\\zevother.1";
    std::string other2 = "C:\\windows\\temp\\zevother.2";
    writeTextFile(other, "x");
    writeTextFile(other2, "y");
    writeTextFile(wininitPath(), "[rename]\r\nNUL=" + other + "\r\nNUL=" + other2 + "\r\n");
    RUN_ZEVMON("install --dll \"" + olderDll() + "\"", 0);
    {
        DllHolder spooler(systemDll());
        ZevmonRun upgrade = RUN_ZEVMON("install", 0);
        CHECK_OUTPUT(upgrade, "on Windows 98");
        CHECK_OUTPUT(upgrade, "[rename] section of");
        CHECK_STR(readWholeFile(wininitPath()), "[rename]\r\nNUL=" + other + "\r\nNUL=" + other2 + "\r\n" +
                                                   systemDll() + "=" + pendingDll() + "\r\n");
        CHECK(pendingRenames().empty());
    }
    restartWindows();
    CHECK_STR(versionOf(systemDll()), BuiltVersion);
    CHECK(!fileThere(pendingDll()));
    CHECK(!fileThere(other));  // the other installer's lines were carried out too
    CHECK(!fileThere(other2));
    removeInstallation();
}

WINE_TEST(UninstallKeepsThePortSettingsAndPurgeRemovesThem) {
    removeInstallation();
    RUN_ZEVMON("install", 0);
    writePortKey("USB-001", "usb settings");
    writePortKey("FILE:", "file settings");

    ZevmonRun removed = RUN_ZEVMON("uninstall", 0);
    CHECK_OUTPUT(removed, "The spooler removed the monitor");  // Wine's DeleteMonitorA takes the whole key
    CHECK_OUTPUT(removed, "FILE:, USB-001");
    CHECK_OUTPUT(removed, "uninstall --purge removes them");
    CHECK_OUTPUT(removed, "The monitor is removed.");
    CHECK(!fileThere(systemDll()));
    CHECK_STR(driverValue(), "(no value)");
    CHECK_STR(propertyOf("USB-001"), "usb settings");
    CHECK_STR(propertyOf("FILE:"), "file settings");

    // Installed again, the monitor finds its ports. Wine's AddMonitorA refuses with 127
    // here too (3006 only with "Driver" there), and leaves the key it did not write.
    ZevmonRun again = RUN_ZEVMON("install", 0);
    CHECK_OUTPUT(again, "(ERROR_PROC_NOT_FOUND, 127)");
    CHECK_STR(driverValue(), "ZEVURUZI.DLL");
    CHECK_STR(propertyOf("USB-001"), "usb settings");

    ZevmonRun purged = RUN_ZEVMON("uninstall --purge", 0);
    CHECK_STR(driverValue(), "(no key)");
    CHECK(!fileThere(systemDll()));
    RUN_ZEVMON("uninstall", 0);
    CHECK_OUTPUT(runZevmon("uninstall"), "not installed: nothing to do");
    removeInstallation();
}

WINE_TEST(UninstallOfAHeldDllDeletesItAtTheNextStart) {
    removeInstallation();
    RUN_ZEVMON("install", 0);
    {
        DllHolder spooler(systemDll());
        ZevmonRun removed = RUN_ZEVMON("uninstall --purge", 0);
        CHECK_OUTPUT(removed, "is in use");
        CHECK_OUTPUT(removed, "Restart Windows to finish removing the monitor");
        CHECK(fileThere(systemDll()));
        std::vector<std::string> queued = pendingRenames();
        CHECK_EQ(queued.size(), (size_t)2);
        if (queued.size() == 2) {
            CHECK_STR(queued[0], "\\??\\" + systemDll());
            CHECK_STR(queued[1], "");
        }
    }
    restartWindows();
    CHECK(!fileThere(systemDll()));
    removeInstallation();
}

WINE_TEST(UninstallTakesBackAnUpgradeStillQueued) {
    removeInstallation();
    PretendWindows98 windows98;
    RUN_ZEVMON("install --dll \"" + olderDll() + "\"", 0);
    DllHolder spooler(systemDll());
    RUN_ZEVMON("install", 0);
    CHECK(fileThere(pendingDll()));
    ZevmonRun removed = RUN_ZEVMON("uninstall", 0);
    CHECK_OUTPUT(removed, "taken back");
    CHECK(!fileThere(pendingDll()));
    // Only the deletion of the held DLL is left for the next start.
    CHECK_STR(readWholeFile(wininitPath()), "[rename]\r\nNUL=" + systemDll() + "\r\n");
    spooler.release();
    restartWindows();
    CHECK(!fileThere(systemDll()));
    removeInstallation();
}

namespace {

// Another program with WININIT.INI open and shared with no one: the line that
// would queue an exchange cannot be written.
class WininitInUse {
public:
    WininitInUse() : file_(CreateFileA(wininitPath().c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL)) {
        CHECK(file_ != INVALID_HANDLE_VALUE);
    }
    ~WininitInUse() { CloseHandle(file_); }

private:
    HANDLE file_;
};

}  // namespace

WINE_TEST(AnUpgradeThatCannotBeQueuedIsUndone) {
    removeInstallation();
    PretendWindows98 windows98;
    RUN_ZEVMON("install --dll \"" + olderDll() + "\"", 0);
    std::string before = "[rename]\r\nNUL=C:\\windows\\temp\\zevother.3\r\n";
    writeTextFile(wininitPath(), before);
    {
        WininitInUse otherProgram;
        DllHolder spooler(systemDll());
        ZevmonRun upgrade = RUN_ZEVMON("install", 1);
        CHECK_OUTPUT(upgrade, "could not be queued");
        CHECK_OUTPUT(upgrade, "Undone: deleted " + pendingDll());
        CHECK_OUTPUT(upgrade, "Every step was undone: the system is as it was before.");
    }
    CHECK(!fileThere(pendingDll()));
    CHECK_STR(versionOf(systemDll()), "0.9.0.0");
    CHECK_STR(driverValue(), "ZEVURUZI.DLL");
    CHECK_STR(readWholeFile(wininitPath()), before);
    removeInstallation();
}

WINE_TEST(AnUninstallThatCannotQueueTheDeletionIsUndone) {
    removeInstallation();
    PretendWindows98 windows98;
    RUN_ZEVMON("install", 0);
    writePortKey("USB-001", "usb settings");
    writeTextFile(wininitPath(), "[rename]\r\n");
    {
        WininitInUse otherProgram;
        DllHolder spooler(systemDll());
        ZevmonRun removed = RUN_ZEVMON("uninstall", 1);
        CHECK_OUTPUT(removed, "could not be queued for deletion");
        CHECK_OUTPUT(removed, "Undone: registered the monitor again");
        CHECK_OUTPUT(removed, "Every step was undone");
    }
    CHECK_STR(driverValue(), "ZEVURUZI.DLL");
    CHECK_STR(propertyOf("USB-001"), "usb settings");
    CHECK(fileThere(systemDll()));
    removeInstallation();
}
