// What the Wine tests of zevmon.exe in the field share: running zevmon.exe as
// a person runs it, the files and keys an installation leaves, an older
// version of the DLL to upgrade from, and a program that holds the DLL as the
// spooler holds its monitors. The Wine prefix is shared by every case of a
// run, so each case starts from removeInstallation() and ends with it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "wine_test.h"

struct ZevmonRun {
    DWORD status;
    std::string output;  // standard output and standard error, as a console shows them
};
// Runs zevmon.exe from this program's folder with the arguments as typed.
ZevmonRun runZevmon(const std::string& arguments);
// The same, and checks its exit status: a run that ends otherwise is reported
// with its output.
ZevmonRun runZevmonChecked(const char* file, int line, const std::string& arguments, DWORD status);
#define RUN_ZEVMON(arguments, status) runZevmonChecked(__FILE__, __LINE__, arguments, status)
bool contains(const std::string& text, const std::string& part);
#define CHECK_OUTPUT(run, part)                                                                              \
    do {                                                                                                     \
        if (!contains((run).output, part))                                                                   \
            winetest::fail(__FILE__, __LINE__, std::string("output lacks \"") + (part) + "\":\n" + (run).output); \
    } while (0)

std::string thisFolder();
std::string systemDll();      // where install puts the DLL
std::string pendingDll();     // where an upgrade waits for the next start
std::string wininitPath();

// No monitor key, no DLL in the system folder, nothing queued for the next start.
void removeInstallation();

// The version record's numbers of a file, as 1.0.0.0; "" without one.
std::string versionOf(const std::string& path);
// A copy of the DLL whose version record says 0.9.0.0.
std::string olderDll();

// The PendingFileRenameOperations value, entry by entry.
std::vector<std::string> pendingRenames();
void writeTextFile(const std::string& path, const std::string& text);
// Carries out what is queued for the next start of Windows, as Wine's boot does.
void restartWindows();

// While it lives, Wine tells zevmon.exe that the system is Windows 98.
class PretendWindows98 {
public:
    PretendWindows98();
    ~PretendWindows98();
};

// Holds a DLL mapped as an image, as a spooler holds the monitors it loaded:
// it can be neither overwritten nor deleted until release().
class DllHolder {
public:
    explicit DllHolder(const std::string& path);
    ~DllHolder() { release(); }
    void release();

private:
    HMODULE module_;
};
