// zevmon as a person uses it: the commands, their output, their exit codes,
// and a machine folder that lives from one run to the next.
#include <nlohmann/json.hpp>
#include <algorithm>
#include <iterator>
#include <random>

#include "zevmon_run.h"

namespace {

using namespace zevmon_test;

const char PrinterId[] = "USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1";

TEST_F(Zevmon, TheDemoWalksThroughTheTypicalJob) {
    Result r = run({"demo"}, "", false);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const char* step : {"A USB printer is installed", "EnumPorts creates and lists the port",
                             "The driver index is rebuilt at the next window message", "A document is printed on USB-001",
                             "The printer is unplugged", "The printer is plugged in again"})
        EXPECT_NE(r.out.find(step), std::string::npos) << step;
    EXPECT_NE(r.out.find("USB-001    VO DUV Udadizo   USB Port     3"), std::string::npos);
    EXPECT_NE(r.out.find("WinExec(\"Rundll setupx.dll,DiBuildDriverIndex TRUE\", 1)"), std::string::npos);
    EXPECT_NE(r.out.find("the printer is not connected (ERROR_NOT_READY, 21)"), std::string::npos);
    EXPECT_NE(r.out.find("7 steps, 0 failed"), std::string::npos);
    EXPECT_EQ(r.out.find("[FAIL]"), std::string::npos);

    ASSERT_EQ(run({"demo"}).status, 0) << "kept in --machine";
    EXPECT_EQ(run({"ports", "--level", "1"}).out, "FILE:\nNUL:\nUSB-001\n");
    std::string jobs = run({"usb", "received", "USB-001", "--list"}).out;
    EXPECT_TRUE(jobs.find("1     22023") != std::string::npos && jobs.find("2     50 ") != std::string::npos) << jobs;
}

TEST_F(Zevmon, PortsAsJsonAreTheMonitorsAnswer) {
    Result r = run({"ports", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto ports = nlohmann::json::parse(r.out.substr(r.out.find('[')));
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[2]["name"], "USB-001") << "made by this very enumeration";
    EXPECT_EQ(ports[2]["monitor"], "VO DUV Udadizo");
    EXPECT_EQ(ports[2]["description"], "USB Port");
    EXPECT_EQ(ports[2]["type"], 3);
    EXPECT_EQ(ports[0]["description"], "FILE Port");

    r = run({"--trace", "ports", "--level", "1", "--json"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(nlohmann::json::parse(r.out).size(), 3u) << "the trace goes to standard error";
    EXPECT_NE(r.err.find("trace: EnumPortsA(NULL, 1, NULL, 0) = FALSE, needed"), std::string::npos);
    EXPECT_NE(r.err.find("last error ERROR_INSUFFICIENT_BUFFER (122)"), std::string::npos);
}

TEST_F(Zevmon, PrintedBytesArriveIntactAndTheMachineRemembersThem) {
    std::string file(100000, '\0');
    std::mt19937 random(7);
    for (char& c : file) c = (char)random();
    std::ofstream(dir / "job.bin", std::ios::binary) << file;
    Result r = run({"print", "USB-001", (dir / "job.bin").string(), "--chunk", "4096"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* line : {"Spooling: 100000 of 100000 bytes (100%)", "Printing: 100000 of 100000 bytes (100%)"})
        EXPECT_NE(r.err.find(line), std::string::npos) << "plain, labelled progress lines: " << r.err;
    r = run({"print", "USB-001"}, "and then standard input\n");
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"usb", "received", PrinterId, "--all"});
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == file + "and then standard input\n") << "received " << r.out.size() << " bytes";
    r = run({"usb", "received", PrinterId});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "and then standard input\n") << "the last job alone";
}

TEST_F(Zevmon, FailuresAreSentencesWithTheCodeByNameAndNumber) {
    Result r = run({"print", "LPT9", "-", "--direct"}, "x");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("There is no port LPT9 to print to: there is no port of that name (ERROR_UNKNOWN_PORT, 1796)."),
              std::string::npos)
        << r.err;
    r = run({"print", "USB-001", (dir / "missing.bin").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.bin could not be read"), std::string::npos) << r.err;
    r = run({"frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'frobnicate'"), std::string::npos);
    r = run({"ports", "--level", "3"});
    EXPECT_EQ(r.status, 2);
    r = run({"print", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--chunk"), std::string::npos);
    ASSERT_EQ(run({"usb", "unplug", PrinterId}).status, 0);
    r = run({"print", "USB-001", "-", "--direct"}, "page");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("A job could not start on USB-001: the printer is not connected (ERROR_NOT_READY, 21)."),
              std::string::npos)
        << r.err;
}

TEST_F(Zevmon, ABrokenMachineFileIsNamedAndLeftAsItWas) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::string registry = readAll(machine / "registry.reg");
    std::string broken = registry;
    size_t line3 = broken.find('\n', broken.find('\n') + 1);
    broken.insert(line3 + 1, "this line is not REGEDIT4\n");
    std::ofstream(machine / "registry.reg", std::ios::binary) << broken;
    Result r = run({"ports"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("registry.reg:3:"), std::string::npos) << r.err;
    EXPECT_EQ(readAll(machine / "registry.reg"), broken) << "never overwritten";

    // Notepad's byte-order mark is read through; another first line is named.
    std::ofstream(machine / "registry.reg", std::ios::binary) << "\xEF\xBB\xBF" + registry;
    EXPECT_EQ(run({"printers"}).status, 0);
    const std::pair<std::string, const char*> firstLines[] = {
        {"REGEDIT 4\n", "begin with the line REGEDIT4 but with \"REGEDIT 4\""},
        {"Windows Registry Editor Version 5.00\r\n", "Version 5.00\", the format of the Registry Editor of Windows 2000"}};
    for (auto& [first, said] : firstLines) {
        std::ofstream(machine / "registry.reg", std::ios::binary) << first + registry.substr(registry.find('\n') + 1);
        EXPECT_NE(run({"printers"}).err.find(said), std::string::npos) << said;
    }
    std::ofstream(machine / "registry.reg", std::ios::binary) << registry;
    std::ofstream(machine / "devices.json", std::ios::binary) << "[\n  {\"instanceId\": \n";
    r = run({"printers"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("devices.json:"), std::string::npos) << r.err;
}

TEST_F(Zevmon, TheMachineLivesFromOneRunToTheNext) {
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1234&PID_0001\\SERIAL9", "--port-name", "USB-002"}).status, 0);
    Result r = run({"ports", "--level", "1"});
    EXPECT_EQ(r.out, "FILE:\nNUL:\nUSB-001\nUSB-002\n");
    ASSERT_EQ(run({"usb", "unplug", "USB\\VID_1234&PID_0001\\SERIAL9"}).status, 0);
    ASSERT_EQ(run({"delete-port", "USB-002"}).status, 0);
    r = run({"ports", "--level", "1"});
    EXPECT_EQ(r.out, "FILE:\nNUL:\nUSB-001\n") << "deleted, and its printer is away";
    r = run({"usb", "list", "--json"});
    auto devices = nlohmann::json::parse(r.out);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1]["present"], false);
    EXPECT_EQ(devices[1]["portName"], "USB-002");
    r = run({"registry", "export"});
    EXPECT_EQ(r.out.rfind("REGEDIT4\r\n", 0), 0u);
    EXPECT_NE(r.out.find("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors\\VO DUV Udadizo\\USB-001]"),
              std::string::npos);
}

TEST_F(Zevmon, NamesInTheMachinesCodePageAreShownAsUtf8) {
    ASSERT_EQ(run({"ports"}).status, 0);
    // As a 98 regedit exports it: the name in Windows-1252.
    std::ofstream(machine / "registry.reg", std::ios::app | std::ios::binary)
        << "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Imprimante \xe9tage]\n"
           "\"Port\"=\"NUL:\"\n";
    for (const char* command : {"printers", "doctor"})
        EXPECT_TRUE(nlohmann::json::accept(expectRun({command, "--json"}, 0, "Imprimante \u00e9tage").out));
    expectRun({"printers"}, 0, "Imprimante \u00e9tage         NUL:       ");  // columns in characters
    for (const char* document : {"caf\xe9", "caf\u00e9"})
        expectRun({"print", "NUL:", "-", "--document", document, "--printer", "Imprimante \u00e9tage", "--direct"}, 0, "", "", "x");
    expectRun({"print", "USB-001", "-", "--document", "caf\xe9"}, 0, "", "", "x");
    expectRun({"usb", "received", "USB-001", "--list"}, 0, "caf\u00e9");
    // Found in either letter case and named as the machine names it; a character the code page lacks is said.
    const struct { std::vector<std::string> args; int status; const char* said; } cases[] = {
        {{"printers", "online", "IMPRIMANTE \u00c9TAGE"}, 0, "Printer Imprimante \u00e9tage is online already"},
        {{"print", "NUL:", "-", "--printer", "imprimante \u00e9tage", "--direct"}, 0, "for printer Imprimante \u00e9tage."},
        {{"print", "NUL:", "-"}, 0, "Printing on printer Imprimante \u00e9tage, the printer of port NUL:."},
        {{"print", "USB-001", "-", "--printer", "Imprimante \u00e9tage"}, 1, "Imprimante \u00e9tage prints to NUL:, not"},
        {{"print", "NUL:", "-", "--document", "\u00dcn \u2603"}, 0, "(\u2603); it is stored as \"\u00dcn ?\"."},
        {{"printers", "online", "Imprimante \u2603"}, 1, "names are in Windows-1252, which has no \u2603."},
        {{"add-port", "\u2603:", "--null"}, 1, "would be kept as \"?:\". Nothing was changed."},
    };
    for (auto& c : cases) expectRun(c.args, c.status, c.said, "", "x");
}

// Every word of `text`, in order.
std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

TEST_F(Zevmon, ResultsWrapAtWordsToTheWidthAndStayWholeInAPipe) {
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1209&PID_0002\\5&3C4D5E6F&0&3", "--port-name", "USB-002", "--unplugged"}).status, 0);
    // Names wider than their columns, and a held job of a long name: cut on a terminal, whole in a pipe.
    const std::string Printer = "Imprimante du deuxi\u00e8me \u00e9tage, c\u00f4t\u00e9 cour, pr\u00e8s de l'escalier",
                      Port = "PORT-OF-THE-GROUND-FLOOR:", Document = "Minutes of the second floor's printing committee";
    std::ofstream(machine / "registry.reg", std::ios::app | std::ios::binary)
        << "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Imprimante du deuxi\xe8me "
           "\xe9tage, c\xf4t\xe9 cour, pr\xe8s de l'escalier]\n\"Port\"=\"USB-001\"\n";
    ASSERT_EQ(run({"add-port", Port, "--null"}).status, 0);
    ASSERT_EQ(run({"machine", "restart"}).status, 0);  // which lists it
    ASSERT_EQ(run({"usb", "unplug", "USB-001"}).status, 0);
    ASSERT_EQ(run({"print", "USB-001", "-", "--document", Document}, "x").status, 0);
    for (std::vector<std::string> args : {std::vector<std::string>{"doctor"}, {"ports"}, {"usb", "list"}, {"demo"},
                                          {"printers"}, {"queue"}, {"usb", "unplug", "USB-002"}}) {
        bool own = args[0] != "demo";  // the demo makes a machine of its own
        Result wide = run(args, "", own), narrow = run(args, "", own, "COLUMNS=60");
        std::istringstream lines(narrow.out);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }) <= 60 ||
                        words(line).size() == 1) << args[0] << ": " << line;
        // No word broken, but the last of a name cut short with an ellipsis.
        std::vector<std::string> all = words(wide.out), kept = words(narrow.out);
        bool cutShort = narrow.out.find("\u2026") != std::string::npos;
        EXPECT_TRUE(cutShort || kept.size() == all.size()) << "no word broken: " << narrow.out;
        for (std::string word : cutShort ? kept : std::vector<std::string>()) {
            bool cut = word.size() > 3 && word.substr(word.size() - 3) == "\u2026";
            if (cut) word.resize(word.size() - 3);
            auto whole = [&](const std::string& w) { return cut ? w.rfind(word, 0) == 0 : w == word; };
            EXPECT_TRUE(std::any_of(all.begin(), all.end(), whole)) << args[0] << ": " << word << " in " << narrow.out;
        }
        EXPECT_EQ(wide.out.find("\\n"), std::string::npos) << "a line break is a line break: " << wide.out;
    }
    for (auto [args, name] : {std::pair{"printers", Printer}, {"ports", Port}, {"queue", Document}})
        EXPECT_NE(run({args}).out.find(name), std::string::npos) << "whole in a pipe: " << name;
    EXPECT_NE(run({"printers"}, "", true, "COLUMNS=60").out.find("c\u00f4t\u00e9 cour, pr\u2026 USB-001"),
              std::string::npos);
    EXPECT_NE(run({"doctor"}).out.find("instance id ending in 5&3C4D5E6F&0&3: the port is made at the first enumeration"),
              std::string::npos) << "one line in a pipe";
}

TEST_F(Zevmon, TheMonitorsMessagesAreFramedOnTheTerminal) {
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1234&PID_0001\\FULL", "--port-name", "USB-000"}).status, 0);
    Result r = run({"ports"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("+- Error Message -"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("| Because the USB Port Number has exceeded the upper limit"), std::string::npos);
    EXPECT_NE(r.err.find("| Please delete any unnecessary USB Ports."), std::string::npos);
    EXPECT_EQ(run({"ports"}).err.find("Error Message"), std::string::npos) << "once";
}

TEST_F(Zevmon, UsageErrorsNameTheWordAndTheWayRound) {
    struct Case {
        std::vector<std::string> args;
        const char* said;
    } cases[] = {
        {{"usb", "lst"}, "zevmon usb: unknown command 'lst'; did you mean 'list'?"},
        {{"prots"}, "zevmon: unknown command 'prots'; did you mean 'ports'?"},
        {{"registry", "imprt", "x"}, "zevmon registry: unknown command 'imprt'; did you mean 'import'?"},
        {{"usb", PrinterId, "remove"}, "the command comes before"},
        {{"usb"}, "zevmon usb needs a command: list, add"},
        {{"print", "USB-001", "-", "--chunk", "0"}, "the chunk size is a number of bytes from 1 to 67108864"},
        {{"ports", "--level", "x"}, "--level: the level is 1 or 2, not x"},
        {{"ports", "--machine"}, "zevmon: --machine needs a value: the machine's folder"},
        {{"print", "USB-001", "-", "--priority", "100"}, "--priority: the priority is a whole number from 1 to 99"},
        {{"print", "USB-001", "-", "--unplug-after", "-5"}, "--unplug-after: the count is a whole number of bytes"},
        {{"print", "USB-001", "-", "--unplug-after", "99999999999999999999999"}, "0 or more, not 99999999999999999999999"},
        {{"print", "USB-001", "-", "--unplug-after", "9", "--plug-after", "-1"}, "--plug-after: the wait is a number of"},
    };
    for (auto& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, 2) << c.args[0];
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("A subcommand is required"), std::string::npos) << r.err;
        EXPECT_LT(r.err.size(), 300u) << "no 309-digit range: " << r.err;
    }
    Result reversed = run({"usb", PrinterId, "remove"});
    EXPECT_NE(reversed.err.find("zevmon usb remove '" + std::string(PrinterId) + "'"), std::string::npos)
        << reversed.err;

    std::ofstream(dir / "page.prn") << "page";
    Result swapped = run({"print", (dir / "page.prn").string(), "USB-001"});
    EXPECT_EQ(swapped.status, 2);
    EXPECT_NE(swapped.err.find("page.prn is a file, not a port: the port comes first"), std::string::npos)
        << swapped.err;

    Result version = run({"--version"}, "", false);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("zevmon 1.", 0), 0u) << version.out;

    // Global options after the command, and in its help.
    Result after = run({"ports", "--level", "1", "--machine", (dir / "m1").string()}, "", false);
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_TRUE(fs::exists(dir / "m1" / "registry.reg"));
    Result help = run({"usb", "received", "--help"});
    EXPECT_NE(help.out.find("--machine DIR"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--quiet"), std::string::npos);
}

TEST_F(Zevmon, FailuresSayWhatWhereAndWhy) {
    ASSERT_EQ(run({"ports"}).status, 0);
    Result folder = run({"print", "USB-001", dir.string()});
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("cannot be printed: it is a folder, not a file."), std::string::npos) << folder.err;
    Result missing = run({"print", "USB-001", (dir / "missing.bin").string()});
    EXPECT_NE(missing.err.find("missing.bin could not be read: there is no such file."), std::string::npos)
        << missing.err;

    fs::remove_all(machine / "drives" / "c" / "jobs");
    Result filePort = run({"print", "FILE:", "-", "--direct"}, "page");
    EXPECT_EQ(filePort.status, 1);
    EXPECT_EQ(filePort.err.find("FILE::"), std::string::npos) << filePort.err;
    EXPECT_NE(filePort.err.find("A job could not start on \"FILE:\": the folder of its file does not exist"),
              std::string::npos)
        << filePort.err;

    // devices.json by hand: each mistake named with its file, line and printer.
    struct Case {
        std::string devices;
        std::string said;
    } cases[] = {
        {"[\n  {\"instanceId\": \"" + std::string("USB\\\\VID_1209&PID_0001\\\\5&1A2B3C4D&0&1") +
             "\"},\n  {\"instanceId\": \"USB\\\\VID_1209&PID_0002\\\\2\",\n   \"present\": \"yes\"}\n]\n",
         "devices.json:3: USB printer 2: \"present\" is the text \"yes\", not true or false"},
        {"[\n  {\"instanceId\": \"PRINTER-ONE\"}\n]\n",
         "devices.json:2: USB printer 1: \"PRINTER-ONE\" is not a USB instance id"},
        {"[\n  {\"instanceId\": 7}\n]\n", "devices.json:2: USB printer 1: \"instanceId\" is the number 7, not a text"},
    };
    std::string devices = readAll(machine / "devices.json");
    for (auto& c : cases) {
        std::ofstream(machine / "devices.json", std::ios::binary) << c.devices;
        Result r = run({"usb", "list"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("[json.exception"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("looks like"), std::string::npos) << "not as if the user typed it: " << r.err;
    }
    std::ofstream(machine / "devices.json", std::ios::binary) << devices;
}

TEST_F(Zevmon, WordsAUserMeetsSayWhatIsMeant) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(machine / "registry.reg", std::ios::app)
        << "\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1209&PID_0006\\E]\n\"PortName\"=\"\"\n"
           "\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1209&PID_0007\\D]\n\"PortName\"=dword:00000001\n";
    std::ofstream(dir / "page.prn") << "page";
    expectRun({"print", "NUL", (dir / "page.prn").string(), "--direct"}, 1, "(ERROR_UNKNOWN_PORT, 1796). Did you mean NUL:?");
    expectRun({"--wait", "-1", "ports"}, 2, "--wait: the wait is a whole number of seconds, 0 or more, not -1");
    expectRun({"doctor"}, 0, "\"PortName\" is empty (REG_SZ, 1 bytes: \"\"), so this monitor makes no port for it.");
    expectRun({"doctor"}, 0, "\"PortName\" is REG_DWORD, 4 bytes: bytes 01 00 00 00, not a text, so");
    EXPECT_EQ(run({"ports", "--help"}).out.find(ZEVMON_PATH), std::string::npos) << "the usage line names zevmon";
    auto ports = nlohmann::json::parse(run({"doctor", "--json"}).out)["ports"];
    EXPECT_TRUE(ports[0]["present"].is_null() && ports[1]["present"].is_null()) << ports;
    ASSERT_EQ(run({"print", "USB-001", (dir / "page.prn").string()}).status, 0);
    EXPECT_NE(run({"usb", "received", "USB-001", "--list"}).out.find(" page.prn "), std::string::npos);
    expectRun({"usb", "plug", "USB-001"}, 0, " was already plugged in; nothing changed.");
    expectRun({"print", "USB-001", "-", "--document", "two\nlines \x1b[2J"}, 0, "", "", "x");
    expectRun({"usb", "received", "USB-001", "--list"}, 0, " two\\nlines \\x1b[2J ");
    Result both = expectRun({"queue", "cancel", "98", "99"}, 1, "There is no job 98 in the queue");
    EXPECT_NE(both.err.find("There is no job 99 in the queue"), std::string::npos) << both.err;
    std::ofstream(machine / "registry.reg", std::ios::app)
        << "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Long Port]\n"
           "\"Port\"=\"USB-00011\"\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Twin]\n"
           "\"Port\"=\"USB-001\"\n";
    expectRun({"printers"}, 0, "USB-00011  never follows its device (" + advised("doctor") + ")");
    expectRun({"doctor"}, 1, "Printers Office Printer and Twin both print to USB-001: their jobs take turns at it");
    Result typed = onTerminal({"print", "NUL:", "--direct"}, {{"end it with Ctrl-D (Ctrl-C cancels).", "page\n\x04"}});
    EXPECT_NE(typed.out.find("Printed 5 bytes to NUL:."), std::string::npos) << typed.out;
    EXPECT_EQ(run({"print", "NUL:", "--direct"}, "x").err.find("Ctrl-D"), std::string::npos) << "no one types into a pipe";
}

// An export taken in again undoes what changed since; a file as a 98 regedit
// writes it is applied whole, and one with any fault not at all.
TEST_F(Zevmon, ARegistryImportIsCheckedWholeThenAppliedAndSaysWhatChanged) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::string exported = (dir / "machine.reg").string(), edited = (dir / "edited.reg").string();
    ASSERT_EQ(run({"registry", "export", exported}).status, 0);
    fs::create_symlink("kept.reg", dir / "link.reg");  // an export through a link keeps the link
    ASSERT_EQ(run({"registry", "export", (dir / "link.reg").string()}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.reg") && readAll(dir / "kept.reg") == readAll(exported));
    ASSERT_EQ(run({"delete-port", "NUL:"}).status, 0);
    Result back = expectRun({"registry", "import", exported}, 0, "1 key and 1 value set from " + exported + ".");
    EXPECT_NE(back.out.find("the running monitor lists them so from its next start"), std::string::npos) << back.out;
    EXPECT_EQ(run({"registry", "export"}).out, readAll(exported));
    expectRun({"registry", "import", exported}, 0, "Nothing was changed: the registry was already as");
    std::ofstream(edited, std::ios::binary) << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Mine]\r\n@=\"top\"\r\n"
                                               "\"Many\"=hex(7):61,00,\\\r\n  62,00,00\r\n\"None\"=-\r\n"
                                               "[-HKEY_LOCAL_MACHINE\\Enum]\r\n";
    expectRun({"registry", "import", edited}, 0, "1 key and 2 values set, 1 key deleted from " + edited + ".");
    std::string now = run({"registry", "export"}).out;
    EXPECT_NE(now.find("[HKEY_LOCAL_MACHINE\\Mine]\r\n@=\"top\"\r\n\"Many\"=hex(7):61,00,62,00,00\r\n"), std::string::npos)
        << now;
    EXPECT_EQ(now.find("\\Enum"), std::string::npos) << now;

    const std::pair<std::string, std::string> refused[] = {
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Mine]\n\"a\"=\"b\"\n\"c\"=hex:1g\n", "edited.reg:4: '1g' is not a byte"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n", "edited.reg:2: this machine's registry holds HKEY_LOCAL_MACHINE"},
        {"REGEDIT4\n[HKLM\\Software]\n", "edited.reg:2: \"HKLM\" is no root key of the registry"},
        {"REGEDIT4\n\"a\"=\"b\"\n", "edited.reg:2: a value must follow a key line"},
        {"Windows Registry Editor Version 5.00\n", "edited.reg:1: the file does not begin with the line REGEDIT4"},
    };
    for (auto& [text, said] : refused) {
        std::ofstream(edited, std::ios::binary) << text;
        Result r = expectRun({"registry", "import", edited}, 1, said);
        EXPECT_NE(r.err.find(". Nothing was imported: the registry is as it was."), std::string::npos) << r.err;
    }
    expectRun({"registry", "import", (dir / "no.reg").string()}, 1, "no.reg could not be read: there is no such file");
    EXPECT_EQ(run({"registry", "export"}).out, now);
}

TEST_F(Zevmon, TheMessageBoxFitsTheTerminal) {
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1209&PID_0004\\FULL", "--port-name", "USB-000"}).status, 0);
    Result r = run({"ports"}, "", true, "COLUMNS=40");
    ASSERT_NE(r.err.find("+- Error Message"), std::string::npos) << r.err;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && (line[0] == '|' || line[0] == '+')) {
            EXPECT_LE(line.size(), 40u) << line;
        }
    EXPECT_NE(r.err.find("| Please delete any unnecessary USB"), std::string::npos) << "wrapped, not cut";
}

}  // namespace

namespace zevmon_test {

// What the commands that change ports say, from doctor's model of the monitor.
TEST_F(Zevmon, PortCommandsSayWhatTheMonitorWillDoNext) {
    const std::string Id = "USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1", Other = "USB\\VID_1209&PID_0002\\2&0&2";
    auto says = [&](const std::vector<std::string>& args, const std::string& part) {
        Result r = run(args);
        return (r.out + r.err).find(part) != std::string::npos;
    };
    ASSERT_EQ(run({"ports"}).status, 0);
    EXPECT_TRUE(says({"delete-port", "USB-001"}, "comes back at the next enumeration"));
    ASSERT_EQ(run({"ports"}).status, 0);  // which brings it back
    EXPECT_TRUE(says({"usb", "add", Other, "--port-name", "USB-001"}, "PortName USB-001 is taken"));
    ASSERT_EQ(run({"usb", "remove", Other}).status, 0);
    EXPECT_TRUE(says({"usb", "add", Other, "--port-name", "usb-003"}, "usb-003 does not begin with \"USB-\" in capitals"));
    ASSERT_EQ(run({"usb", "remove", Other}).status, 0);
    ASSERT_EQ(run({"usb", "unplug", Id}).status, 0);
    EXPECT_EQ(run({"doctor"}).status, 0) << "a printer switched off is no fault";
    ASSERT_EQ(run({"usb", "remove", Id}).status, 0);  // USB-001 is stale, and Office Printer prints to it
    EXPECT_TRUE(says({"doctor"}, "printer Office Printer still prints to it, so " + advised("prune") + " keeps it"));
    EXPECT_TRUE(says({"prune", "--yes"}, "Port USB-001 is kept"));
    EXPECT_TRUE(says({"prune", "--yes", "--even-if-used"}, "Port USB-001 deleted."));
    EXPECT_TRUE(says({"printers"}, "no such port"));
    ASSERT_EQ(run({"delete-port", "FILE:"}).status, 0);
    EXPECT_TRUE(says({"add-port", "FILE:", "--file", "C:\\jobs\\out.prn"}, "from its next start (" + advised("machine restart") + ")"));
    ASSERT_EQ(run({"machine", "restart"}).status, 0);
    EXPECT_TRUE(says({"ports"}, "FILE:      VO DUV Udadizo   FILE Port"));
    EXPECT_EQ(run({"add-port", "file:", "--null"}).status, 1) << "it exists";
    EXPECT_EQ(run({"add-port", "NUL2:"}).status, 2) << "no kind";
    std::string registry = readAll(machine / "registry.reg");
    size_t driver = registry.find("\"Driver\"=");
    std::ofstream(machine / "registry.reg") << registry.erase(driver, registry.find('\n', driver) + 1 - driver);
    EXPECT_TRUE(says({"ports"}, "no \"Driver\" value"));
}

}  // namespace zevmon_test
