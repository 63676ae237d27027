// zevmon.exe's everyday commands on the Wine machine: through the spooler by
// default, never through a second copy of the monitor beside it. Wine's
// spooler cannot load this kind of monitor, so the ports it lists are its own;
// what these cases prove is that the default commands leave the monitor's
// keys to the spooler's copy, and that jobs go through the spooler.
#include <string>

#include "field_support.h"
#include "wine_support.h"

namespace {

// A USB printer whose installation asked for port USB-009: the next scan of
// any copy of the monitor would make that port's key.
#define FieldPort "USB-009"

class NewUsbPrinter {
public:
    NewUsbPrinter()
        : printer_("USB\\VID_1209&PID_0001\\ZEVFIELD1"), instance_("ZEVFIELD1", FieldPort, "VID_1209&PID_0001") {
        printer_.plugIn();
    }

private:
    Printer printer_;
    UsbInstanceKey instance_;
};

std::string portKey(const char* port) { return std::string(MonitorKeyPath "\\") + port; }

// Wine's spooler sends a job on a port that its registry maps to a file.
class PortToFile {
public:
    PortToFile(const char* port, const std::string& windowsPath) : port_(port) {
        char prefix[MAX_PATH] = "";
        CHECK(GetEnvironmentVariableA("WINEPREFIX", prefix, MAX_PATH) > 0);
        std::string unixPath = std::string(prefix) + "/drive_c/" + windowsPath.substr(3);
        for (char& c : unixPath)
            if (c == '\\') c = '/';
        HKEY key;
        CHECK_EQ(RegCreateKeyA(HKEY_CURRENT_USER, SpoolerKey, &key), (LONG)ERROR_SUCCESS);
        CHECK_EQ(RegSetValueExA(key, port, 0, REG_SZ, (const BYTE*)unixPath.c_str(), (DWORD)unixPath.size() + 1),
                 (LONG)ERROR_SUCCESS);
        RegCloseKey(key);
    }
    ~PortToFile() {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, SpoolerKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
        RegDeleteValueA(key, port_.c_str());
        RegCloseKey(key);
    }

private:
    static constexpr const char* SpoolerKey = "Software\\Wine\\Printing\\Spooler";
    std::string port_;
};

}  // namespace

WINE_TEST(PortsListsTheSpoolersPortsAndMakesNoPortKey) {
    removeInstallation();
    ZevmonRun notInstalled = RUN_ZEVMON("ports", 0);
    CHECK_OUTPUT(notInstalled, "FILE:      Local Monitor    Local Port");
    CHECK_OUTPUT(notInstalled, "is not installed (see: zevmon install)");

    RUN_ZEVMON("install", 0);
    {
        NewUsbPrinter printer;
        ZevmonRun listed = RUN_ZEVMON("--trace ports", 0);
        CHECK_OUTPUT(listed, "trace: EnumPortsA(NULL, 2, buffer");
        CHECK_OUTPUT(listed, "LPT1:");
        CHECK_OUTPUT(listed, "The monitor has no port yet");
        CHECK(!contains(listed.output, "InitializeMonitorEx"));
        // Only the spooler's copy of the monitor makes the port, so that it lists it too.
        CHECK(!keyExists(portKey(FieldPort)));
        CHECK_OUTPUT(runZevmon("ports --level 1 --json"), "\"name\": \"COM1:\"");
    }
    // A port in the registry that the spooler does not list: its copy of the monitor is not running.
    writeUsbPort("USB-005", "USB\\VID_1209&PID_0002\\ZEVFIELD2");
    CHECK_OUTPUT(runZevmon("ports"), "None of these ports is the monitor's, though the registry has its port (USB-005)");
    removeInstallation();
}

WINE_TEST(DllModeIsRefusedWhileTheMonitorIsInstalled) {
    removeInstallation();
    NewUsbPrinter printer;
    RUN_ZEVMON("install", 0);
    ZevmonRun refused = RUN_ZEVMON("--dll ZEVURUZI.DLL ports", 1);
    CHECK_OUTPUT(refused, "The monitor is installed, so the spooler has its own copy");
    CHECK_OUTPUT(refused, "Leave out --dll to go through the spooler, or add --force.");
    CHECK(!keyExists(portKey(FieldPort)));

    // Forced, the second copy does what the refusal warns of: its scan makes the key.
    ZevmonRun forced = RUN_ZEVMON("--dll ZEVURUZI.DLL --force ports", 0);
    CHECK_OUTPUT(forced, FieldPort "    VO DUV Udadizo");
    CHECK(keyExists(portKey(FieldPort)));
    removeInstallation();
}

WINE_TEST(DeletePortGoesThroughTheSpooler) {
    removeInstallation();
    RUN_ZEVMON("install", 0);
    writeUsbPort(FieldPort, "USB\\VID_1209&PID_0001\\ZEVFIELD1");
    // Wine's spooler has not loaded the monitor, so it cannot delete the port; the
    // key is left to the spooler, not deleted behind its back.
    ZevmonRun run = RUN_ZEVMON("--trace delete-port " FieldPort, 1);
    CHECK_OUTPUT(run, "trace: DeletePortA(NULL, desktop, \"" FieldPort "\") = FALSE");
    CHECK_OUTPUT(run, "The spooler could not delete port " FieldPort);
    CHECK_OUTPUT(run, "(ERROR_NOT_SUPPORTED, 50)");
    CHECK(keyExists(portKey(FieldPort)));
    removeInstallation();
}

WINE_TEST(PrintSendsADocumentThroughThePortsPrinter) {
    removeInstallation();
    std::string job = "C:\\windows\\temp\\zevjob.bin", out = "C:\\windows\\temp\\zevjob.out";
    std::string bytes;
    for (int i = 0; i < 5000; i++) bytes += (char)(i * 7);
    writeTextFile(job, bytes);
    DeleteFileA(out.c_str());
    {
        SpoolerPrinter printer("Field Printer", FieldPort);
        PortToFile port(FieldPort, out);
        ZevmonRun printed =
            RUN_ZEVMON("--trace print " FieldPort " " + job + " --chunk 1000 --document \"field test\"", 0);
        CHECK_OUTPUT(printed, "Printing on printer Field Printer, the printer of port " FieldPort);
        CHECK_OUTPUT(printed, "StartDocPrinterA(handle, 1, {\"field test\", NULL, \"RAW\"}) = TRUE");
        CHECK_OUTPUT(printed, "trace: WritePrinter(handle, data, 1000) = TRUE");
        CHECK_OUTPUT(printed, "Sent 5000 bytes to the spooler");
        CHECK(!contains(printed.output, "OpenPort"));
        CHECK(readWholeFile(out) == bytes);

        ZevmonRun wrongPort = RUN_ZEVMON("print USB-008 " + job + " --printer \"Field Printer\"", 1);
        CHECK_OUTPUT(wrongPort, "Printer Field Printer prints to " FieldPort ", not to USB-008.");
    }
    ZevmonRun noPrinter = RUN_ZEVMON("print " FieldPort " " + job, 1);
    CHECK_OUTPUT(noPrinter, "No printer prints to " FieldPort);
    DeleteFileA(job.c_str());
    DeleteFileA(out.c_str());
    removeInstallation();
}

WINE_TEST(DoctorReadsTheInstalledMonitorAndChangesNothing) {
    removeInstallation();
    ZevmonRun missing = RUN_ZEVMON("doctor", 1);
    CHECK_OUTPUT(missing, "the monitor is not installed");

    RUN_ZEVMON("install", 0);
    NewUsbPrinter printer;
    HKEY broken;
    CHECK_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, portKey("USB-007").c_str(), &broken), (LONG)ERROR_SUCCESS);
    RegCloseKey(broken);
    ZevmonRun failing = RUN_ZEVMON("doctor --json", 1);
    CHECK_OUTPUT(failing, "\"dll\": \"C:\\\\windows\\\\system32\\\\ZEVURUZI.DLL\"");
    CHECK_OUTPUT(failing, "\"version\": \"1.0.0.0\"");
    CHECK_OUTPUT(failing, "\"startWouldFail\": true");
    CHECK_OUTPUT(failing, "\"verdict\": \"will-be-created\"");
    CHECK_OUTPUT(failing, "\"instanceId\": \"USB\\\\VID_1209&PID_0001\\\\ZEVFIELD1\"");
    CHECK(!keyExists(portKey(FieldPort)));

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, portKey("USB-007").c_str());
    ZevmonRun healthy = RUN_ZEVMON("doctor", 0);
    CHECK_OUTPUT(healthy, "Port USB-009 will be created at the next enumeration");
    CHECK_OUTPUT(healthy, "No problems found.");
    removeInstallation();
}

WINE_TEST(BothBinariesCarryTheOneVersion) {
    std::string dll = thisFolder() + "\\ZEVURUZI.DLL", exe = thisFolder() + "\\zevmon.exe";
    CHECK_STR(versionOf(exe), "1.0.0.0");
    CHECK_STR(versionOf(exe), versionOf(dll));
    CHECK_OUTPUT(runZevmon("--version"), "zevmon 1.0.0.0");
}
