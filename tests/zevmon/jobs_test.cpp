// Jobs as people send them: large, from pipes, stopped with Ctrl-C, and read
// back from the printer one job at a time, by instance id or by port name.
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "zevmon_run.h"

namespace {

using namespace zevmon_test;
using nlohmann::json;

const char PrinterId[] = "USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1";

class Jobs : public Zevmon {
protected:
    std::vector<fs::path> jobFiles() {
        std::vector<fs::path> files;
        std::error_code error;
        for (auto& e : fs::recursive_directory_iterator(machine / "received", error))
            if (e.path().extension() == ".bin") files.push_back(e.path());
        return files;
    }
    // A print of a 9000-byte page that stalls for `seconds` after its first 4096 bytes.
    Background startStalled(const char* seconds, bool direct = false) {
        std::ofstream(dir / "page.txt") << std::string(9000, 'p');
        std::vector<std::string> args = {"print", "USB-001", (dir / "page.txt").string(), "--stall-after", "4096", seconds};
        if (direct) args.push_back("--direct");
        return start(args, "/dev/null");
    }
};

TEST_F(Jobs, EachJobIsKeptApartAndFoundByIdOrPortInAnyCase) {
    ASSERT_EQ(run({"print", "USB-001", "-", "--document", "first"}, "one").status, 0);
    ASSERT_EQ(run({"print", "USB-001", "-", "--document", "second"}, "two").status, 0);

    std::string lower = PrinterId;
    for (char& c : lower) c = (char)std::tolower((unsigned char)c);
    for (const std::string& printer : {std::string(PrinterId), lower, std::string("USB-001"), std::string("usb-001")}) {
        Result r = run({"usb", "received", printer});
        EXPECT_EQ(r.status, 0) << printer << ": " << r.err;
        EXPECT_EQ(r.out, "two") << printer;
    }
    EXPECT_EQ(run({"usb", "received", "USB-001", "--all"}).out, "onetwo");
    Result hex = run({"usb", "received", lower, "--hex"});
    EXPECT_NE(hex.out.find("received 3 bytes in job 2, \"second\" on USB-001"), std::string::npos) << hex.out;
    Result listed = run({"usb", "received", "USB-001", "--list"});
    EXPECT_NE(listed.out.find("complete"), std::string::npos);
    EXPECT_NE(listed.out.find("first"), std::string::npos);

    Result unknown = run({"usb", "received", "USB\\VID_1209&PID_0009\\NONE"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("There is no USB printer USB\\VID_1209&PID_0009\\NONE"), std::string::npos);
    EXPECT_EQ(run({"usb", "received", "USB-077"}).status, 1);

    Result cleared = run({"usb", "clear", "usb-001"});
    EXPECT_EQ(cleared.out, "Forgot 2 jobs that " + std::string(PrinterId) + " received.\n");
    EXPECT_EQ(run({"usb", "received", "USB-001", "--all"}).out, "");
    ASSERT_EQ(run({"print", "USB-001", "-", "--document", "empty"}, "").status, 0);
    EXPECT_NE(run({"usb", "received", "USB-001", "--list"}).out.find("1     0            "), std::string::npos)
        << "an empty job is a job too";

    // Every usb command takes the port name and the id in any case.
    EXPECT_EQ(run({"usb", "unplug", "usb-001"}).status, 0);
    EXPECT_FALSE(json::parse(run({"usb", "list", "--json"}).out)[0]["present"].get<bool>());
    EXPECT_EQ(run({"usb", "plug", lower}).status, 0);
    EXPECT_TRUE(json::parse(run({"usb", "list", "--json"}).out)[0]["present"].get<bool>());
}

TEST_F(Jobs, AddingAnInstalledPrinterAgainChangesNothing) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::string registry = readAll(machine / "registry.reg"), devices = readAll(machine / "devices.json");
    std::string lower = PrinterId;
    for (char& c : lower) c = (char)std::tolower((unsigned char)c);
    for (auto& id : {std::string(PrinterId), lower}) {
        Result again = run({"usb", "add", id, "--port-name", "USB-005"});
        EXPECT_EQ(again.status, 1);
        EXPECT_NE(again.err.find("is already installed with PortName USB-001; nothing was changed"), std::string::npos)
            << again.err;
    }
    EXPECT_EQ(readAll(machine / "registry.reg"), registry);
    EXPECT_EQ(readAll(machine / "devices.json"), devices);
}

TEST_F(Jobs, ALargeFileStreamsAndAPipeShowsWhatWasSent) {
    // Larger than the read buffer, in an odd size, so that the last read is short.
    std::string file(3 * 65536 + 1234, '\0');
    for (size_t i = 0; i < file.size(); i++) file[i] = (char)(i * 31 + i / 7);
    std::ofstream(dir / "big.bin", std::ios::binary) << file;
    Result r = run({"print", "USB-001", (dir / "big.bin").string(), "--chunk", "5000"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Printed job 1: 197842 bytes to USB-001 for printer Office Printer.\n");
    EXPECT_TRUE(run({"usb", "received", "USB-001"}).out == file);

    Result piped = run({"print", "USB-001", "-"}, file);
    ASSERT_EQ(piped.status, 0);
    EXPECT_NE(piped.err.find("Spooling: 197842 bytes given"), std::string::npos) << "a pipe's size is what was sent: " << piped.err;
}

TEST_F(Jobs, ProgressInALogIsALineAtTheEndAndNoneForAJobThatSentNothing) {
    std::ofstream(dir / "page.prn") << "fourteen bytes";
    auto lines = [&](const std::vector<std::string>& args, const std::string& input, const std::string& said) {
        Result r = expectRun(args, args[1] == "FILE:", said, "", input);
        size_t count = 0;  // a progress line ends with the rate: "…, 1.2 MiB/s"
        for (size_t at = 0; (at = r.err.find("/s\n", at)) != std::string::npos; at++) count++;
        return count;
    };
    EXPECT_EQ(lines({"print", "NUL:", "-", "--direct"}, "fourteen bytes", "14 bytes sent"), 1u);
    EXPECT_EQ(lines({"print", "NUL:", "-", "--chunk", "65536", "--direct"}, std::string(34000000, 'x'), "34000000 bytes sent"), 1u);
    EXPECT_EQ(lines({"print", "NUL:", (dir / "page.prn").string(), "--direct"}, "", "14 of 14 bytes (100%)"), 1u);
    fs::create_symlink("/dev/full", machine / "drives/c/jobs/out.prn");  // its first write fails
    EXPECT_EQ(lines({"print", "FILE:", (dir / "page.prn").string(), "--direct"}, "", "stopped after 0 of 14 bytes"), 0u);
}

TEST_F(Jobs, ACaptureCutShortFailsTheJobAndItsRecordSaysWhatItHolds) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(dir / "job.bin", std::ios::binary) << std::string(100000, 'j');
    // Files of at most 32 KiB, as on a disk that fills up during the job: the
    // machine that records it starts under the limit.
    stopMachine();
    expectRun({"print", "USB-001", (dir / "job.bin").string(), "--direct"}, 1,
              "(ERROR_SEM_TIMEOUT, 121). " + (machine / "received").string(), "trap '' XFSZ; ulimit -f 64;");
    auto files = jobFiles();
    ASSERT_EQ(files.size(), 1u);
    json record = json::parse(readAll(fs::path(files[0]).replace_extension(".json")));
    EXPECT_EQ(record["bytes"], fs::file_size(files[0]));
    EXPECT_NE(record["outcome"].get<std::string>().find("capture cut short"), std::string::npos) << record;
}

TEST_F(Jobs, TheOpenFileDialogAsksAsOn98AndSaysWhereTheBytesWent) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(machine / "registry.reg", std::ios::app)  // a file port that asks at every job
        << "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors\\VO DUV Udadizo\\ASK:]\n"
           "\"Property\"=hex:01,00,00,00\n";
    ASSERT_EQ(run({"machine", "restart"}).status, 0);  // the monitor reads its port keys when it starts
    std::ofstream(dir / "page.prn") << "page";
    const std::string page = (dir / "page.prn").string(), out = (machine / "drives/c/jobs/out.prn").string();
    Result unused = expectRun({"print", "FILE:", page, "--answer", "C:\\other.prn", "--direct"}, 0,
                              "Printed 4 bytes to FILE:, into C:\\jobs\\out.prn (" + out + ").\n");
    EXPECT_NE(unused.err.find("--answer C:\\other.prn was not needed: FILE: prints to its own file."), std::string::npos);
    expectRun({"print", "ASK:", page, "--answer", "C:\\jobs\\out.prn", "--direct"}, 0, "into C:\\jobs\\out.prn");  // consent

    const std::string path = "(empty to cancel): ", replace = "Do you want to replace it? [y/N] ";
    auto typed = [&](const std::vector<std::pair<std::string, std::string>>& keys, int status, const std::string& said) {
        Result r = onTerminal({"print", "ASK:", page, "--direct"}, keys);
        EXPECT_EQ(r.status, status) << r.out;
        EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
    };
    typed({{path, "C:\\jobs\\out.prn\r"}, {replace, "n\r"}, {path, "C:\\jobs\\new.prn\r"}}, 0, "into C:\\jobs\\new.prn");
    typed({{path, "C:\\jobs\\out.prn\r"}, {replace, "y\r"}}, 0, "into C:\\jobs\\out.prn");
    typed({{path, "\x03"}}, 130, "\r\nzevmon: The job on ASK: was cancelled at the open-file prompt; nothing was sent.");
    typed({{path, "C:\\jobs\\out.prn\r"}, {replace, "\x03"}}, 130, "\r\nzevmon: The job on ASK: was cancelled");
    typed({{path, "\x04"}}, 1, "\r\nzevmon: A job could not start on \"ASK:\": no file was chosen");
}

TEST_F(Jobs, APrinterNamedForAJobMustPrintToItsPortAsOnWindows) {
    const char* unknown = "Printer Nobody could not be opened: the printer name is invalid (ERROR_INVALID_PRINTER_NAME, 1801).";
    const struct {
        const char* port;
        const char* printer;
        const char* said;
    } refused[] = {{"NUL:", "Nobody", unknown},
                   {"USB-001", "Nobody", unknown},
                   {"NUL:", "office printer", "Printer Office Printer prints to USB-001, not to NUL:."}};
    for (const auto& c : refused) {
        Result r = run({"print", c.port, "-", "--printer", c.printer}, "x");
        EXPECT_EQ(r.status, 1) << c.port << " " << c.printer;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
    EXPECT_NE(run({"usb", "received", "USB-001", "--list"}).out.find("(no jobs)"), std::string::npos)
        << "refused before a byte was sent";
}

TEST_F(Jobs, CtrlCEndsTheJobAndKeepsWhatWasSent) {
    ASSERT_EQ(run({"ports"}).status, 0);
    fs::path fifo = dir / "job.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Background print = start({"--trace", "print", "USB-001", "-", "--document", "long", "--direct"}, fifo);
    std::FILE* feed = openFeed(fifo);
    ASSERT_NE(feed, nullptr);
    std::string sent(50000, 'p');
    std::fwrite(sent.data(), 1, sent.size(), feed);
    std::fflush(feed);
    ASSERT_TRUE(eventually([&] {
        auto files = jobFiles();
        std::error_code error;
        return files.size() == 1 && fs::file_size(files[0], error) == sent.size();
    })) << readAll(print.err);
    ::kill(print.pid, SIGINT);
    int status = finish(print);
    std::fclose(feed);
    std::string err = readAll(print.err);
    EXPECT_EQ(status, 130) << err;
    EXPECT_NE(err.find("The job on USB-001 was cancelled after 50000 bytes; EndDocPort ended it."), std::string::npos)
        << err;
    EXPECT_NE(err.find("trace: EndDocPort("), std::string::npos);
    EXPECT_NE(err.find("trace: ClosePort("), std::string::npos);
    EXPECT_TRUE(run({"usb", "received", "USB-001"}).out == sent);
    EXPECT_NE(run({"usb", "received", "USB-001", "--list"}).out.find("cancelled after 50000 bytes"), std::string::npos);
    // The port is free again: the next job prints.
    EXPECT_EQ(run({"print", "USB-001", "-"}, "after").status, 0);
}

TEST_F(Jobs, APortKeyWithoutItsValueStopsOnlyTheCommandsThatNeedTheMonitor) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(machine / "registry.reg", std::ios::app)
        << "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors\\VO DUV Udadizo\\USB-002]\n";
    expectRun({"machine", "restart"}, 0, "has no \"Property\" value");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"usb", "list"}, {"registry", "export"}, {"printers"}, {"usb", "received", "USB-001"}}) {
        Result r = run(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    }
    Result added = run({"usb", "add", "USB\\VID_1209&PID_0005\\X", "--port-name", "USB-003"});
    EXPECT_EQ(added.status, 0) << "the system installs devices whether or not the monitor runs";
    EXPECT_NE(added.err.find("It did not see this change."), std::string::npos) << added.err;
    Result ports = run({"ports"});
    EXPECT_EQ(ports.status, 1);
    EXPECT_NE(ports.err.find("Monitors\\VO DUV Udadizo\\USB-002 has no \"Property\" value"), std::string::npos)
        << ports.err;
    EXPECT_NE(ports.err.find(advised("doctor")), std::string::npos);
    EXPECT_EQ(ports.err.find("cannot find the file"), std::string::npos) << "the raw system text";
}

}  // namespace

namespace {

// Jobs through the machine's print queue, as the spooler of a 98 machine plays them.
TEST_F(Jobs, TheQueueHoldsAJobWhileThePrinterIsAwayAcrossRunsAndPrintsItOnItsReturn) {
    ASSERT_EQ(run({"usb", "unplug", PrinterId}).status, 0);
    Result held = run({"print", "USB-001", "-", "--document", "away"}, "held page");
    EXPECT_EQ(held.status, 0) << held.err;
    EXPECT_NE(held.out.find("is held: printer Office Printer is offline"), std::string::npos) << held.out;
    json queue = json::parse(run({"queue", "--json"}).out);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0]["status"], "held: the printer is offline");
    EXPECT_EQ(queue[0]["state"], "held");
    EXPECT_EQ(queue[0]["spooled"], 9);
    Result plug = run({"usb", "plug", PrinterId});
    EXPECT_NE(plug.out.find("Job 1 \"away\" on printer Office Printer: printed."), std::string::npos) << plug.out;
    EXPECT_EQ(run({"usb", "received", "USB-001"}).out, "held page");
    EXPECT_EQ(run({"queue"}).out, "The print queue is empty.\n");
}

// The staged unplug meets the spooler's error dialog: Retry, once the printer
// is back, sends the rest exactly once; Cancel ends the job with what was sent.
TEST_F(Jobs, AnUnplugDuringAJobIsRetriedOrCancelledAtTheErrorDialog) {
    std::string file(200000, '\0');
    for (size_t i = 0; i < file.size(); i++) file[i] = (char)(i * 13 + i / 251);
    std::ofstream(dir / "job.bin", std::ios::binary) << file;
    std::string path = (dir / "job.bin").string();
    Result retried =
        run({"--trace", "print", "USB-001", path, "--unplug-after", "60000", "--plug-after", "2", "--on-error", "retry"});
    EXPECT_EQ(retried.status, 0) << retried.err;
    EXPECT_TRUE(run({"usb", "received", "USB-001"}).out == file) << "the whole document, once";
    EXPECT_EQ(retried.err.find("+- Office Printer"), retried.err.rfind("+- Office Printer")) << "the box said once";
    EXPECT_NE(retried.err.find("[Retry] [Cancel]+"), std::string::npos) << retried.err;
    EXPECT_NE(retried.err.find("trace: playback: WritePort("), std::string::npos) << "the spooler's own calls";
    Result cancelled = run({"print", "USB-001", path, "--unplug-after", "60000", "--on-error", "cancel"});
    EXPECT_EQ(cancelled.status, 1);
    // Of what was spooled by then: the dialog may come while the document is still being given.
    EXPECT_NE(cancelled.err.find("cancelled at the spooler's error dialog after 60000 of "),
              std::string::npos) << cancelled.err;
    EXPECT_NE(run({"usb", "received", "USB-001", "--list"}).out.find("cancelled after 60000 bytes"), std::string::npos);
    EXPECT_EQ(run({"queue"}).out, "The print queue is empty.\n");
}

// A record edited into nonsense is named with its line and left as it is; the
// personality is chosen when a machine is made.
TEST_F(Jobs, ABrokenQueueRecordIsNamedAndLeftAndThePersonalityStays) {
    ASSERT_EQ(run({"usb", "unplug", PrinterId}).status, 0);
    ASSERT_EQ(run({"print", "USB-001", "-"}, "x").status, 0);
    fs::path record = machine / "spool" / "00001.job";
    stopMachine();  // the spooler reads its folder when it starts
    std::ofstream(record, std::ios::app) << "colour: blue\n";
    std::string edited = readAll(record);
    Result listed = run({"queue"});
    EXPECT_NE(listed.err.find("spool/00001.job: line 11 (\"colour: blue\") is not part of a job record"), std::string::npos)
        << listed.err;
    EXPECT_EQ(readAll(record), edited);
    EXPECT_NE(listed.out.find("\n1    "), std::string::npos) << "listed by its id: " << listed.out;
    expectRun({"queue", "cancel", "1"}, 0, "Job 1 was cancelled: its files, which could not be read, were removed.");
    EXPECT_EQ(readAll(machine / "personality"), "98\n");
    EXPECT_EQ(run({"--personality", "nt", "ports"}).status, 1);
    EXPECT_EQ(run({"--machine", (dir / "nt").string(), "--personality", "nt", "ports"}, "", false).status, 0);
    EXPECT_EQ(readAll(dir / "nt" / "personality"), "nt\n");
}

// One left to work offline, by its user or by an earlier monitor, waits for a person.
TEST_F(Jobs, APrinterOfAFilePortPrintsAndOneLeftOfflineWaitsForAPerson) {
    ASSERT_EQ(run({"ports"}).status, 0);
    const std::string Printers = "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\";
    std::ofstream(machine / "registry.reg", std::ios::app) << Printers << "File Printer]\n\"Port\"=\"FILE:\"\n" << Printers
                                                           << "Null Printer]\n\"Port\"=\"NUL:\"\n\"Attributes\"=dword:400\n";
    expectRun({"print", "FILE:", "-"}, 0, "Printed job 1: 5 bytes to FILE: for printer File Printer, into C:\\jobs\\out.prn (",
              "", "page\n");
    expectRun({"print", "NUL:", "-"}, 0, "NUL: is not a USB port, so only a person sets the printer online again");
    expectRun({"doctor"}, 1, "Printer Null Printer prints to NUL:, a null port, and is set to work offline");
    expectRun({"printers", "online", "Null Printer"}, 0, "on printer Null Printer: printed.");
    ASSERT_EQ(run({"usb", "unplug", "USB-001"}).status, 0);
    expectRun({"printers", "online", "Office Printer"}, 1, "whose USB printer is not plugged in");
}

}  // namespace

namespace {

// print says how its job ended, never how it stood when it was given: on a
// printer unplugged already, --unplug-after pulls nothing out, the job is
// held until --plug-after brings the printer back, and then prints; without
// it the job stays held, and the run ends at once.
TEST_F(Jobs, PrintSaysHowItsJobEndedAfterWhatItStaged) {
    std::ofstream(dir / "hello.txt") << "hello printer\n";
    const struct { std::vector<std::string> staging; const char* said; } cases[] = {{{"--unplug-after", "0", "--plug-after", "1"}, "Printed job 1: 14 bytes to USB-001"},
                 {{"--unplug-after", "5"}, "Job 2 \"hello.txt\" is held: printer Office Printer is offline."}};
    for (auto& c : cases) {
        ASSERT_EQ(run({"usb", "unplug", "USB-001"}).status, 0);
        std::vector<std::string> args = {"print", "USB-001", (dir / "hello.txt").string()};
        args.insert(args.end(), c.staging.begin(), c.staging.end());
        Result r = expectRun(args, 0, c.said);
        EXPECT_NE(r.err.find("is unplugged already, so --unplug-after has nothing to pull out"), std::string::npos);
        EXPECT_EQ(r.err.find("was pulled out"), std::string::npos) << r.err;
    }
    expectRun({"usb", "plug", "USB-001"}, 0, "Job 2 \"hello.txt\" on printer Office Printer: printed.");
    EXPECT_EQ(run({"usb", "received", "USB-001", "--all"}).out, "hello printer\nhello printer\n");
}

// Any name the spooler takes is kept whole in its record and shown on one line.
TEST_F(Jobs, ANameWithALineBreakIsKeptWholeAndShownOnOneLine) {
    ASSERT_EQ(run({"usb", "unplug", "USB-001"}).status, 0);
    for (const char* name : {"Report\nQ3", "Report\nspooled: 3"})
        expectRun({"print", "USB-001", "-", "--document", name}, 0, "\"Report\\n", "", "x");
    json queue = json::parse(run({"queue", "--json"}).out);
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue[1]["document"], "Report\nspooled: 3");
    EXPECT_NE(run({"queue"}).out.find("Report\\nQ3"), std::string::npos);
    expectRun({"queue", "cancel", "1"}, 0, "Job 1 \"Report\\nQ3\" on printer Office Printer was cancelled");
    expectRun({"usb", "plug", "USB-001"}, 0, "Job 2 \"Report\\nspooled: 3\" on printer Office Printer: printed.");
}

}  // namespace

namespace {

// A capture cut short on a full disk (a small file system over received/,
// where the system lets the test make one) has one account, the true one:
// the print's words and the capture's list say the same. The cancel may come
// while the document is still given, so what was spooled by then varies.
TEST_F(Jobs, ACaptureCutShortOnAFullDiskHasOneAccount) {
    ASSERT_EQ(run({"ports"}).status, 0);
    const std::string fullDisk = "unshare -m sh -c 'mount -t tmpfs -o size=32k tmpfs \"$2\"/received || exit 77; "
                                 "\"$0\" \"$@\"; \"$0\" --machine \"$2\" usb received USB-001 --list' ";
    const struct { std::size_t size; const char *said, *listed; } cases[] = {{30000, "Job 1 printed: ", "complete; capture cut short"},
                 {100000, "Job 1 cancelled after 61440 of ", "cancelled after 61440 bytes; capture cut short"}};
    for (auto& c : cases) {
        std::ofstream(dir / "job.bin", std::ios::binary) << std::string(c.size, 'f');
        stopMachine();  // the next one starts where the small disk is
        Result r = run({"--quiet", "print", "USB-001", (dir / "job.bin").string(), "--on-error", "cancel"}, "", true, fullDisk);
        if (r.status == 77) GTEST_SKIP() << "no file system can be mounted here";
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("could not be written whole (the disk of the machine's folder is full): it holds"), std::string::npos);
        EXPECT_NE(r.out.find(c.listed), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("without a word"), std::string::npos) << r.out;
    }
}

}  // namespace

namespace {

// At a terminal the error dialog's question stays readable under the
// progress bar, and the same error again is asked without the box again.
TEST_F(Jobs, TheErrorDialogAsksOnTheTerminalOnceWithItsButtons) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(dir / "job.bin", std::ios::binary) << std::string(200000, 'd');
    const std::string question = "Retry or Cancel? [r/c]: ";
    Result r = onTerminal({"print", "USB-001", (dir / "job.bin").string(), "--unplug-after", "60000"},
                          {{question, "r\r"}, {"(2 times in a row). " + question, "c\r"}});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("[Retry] [Cancel]+\r\n" + question + "r"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("+- Office Printer"), r.out.rfind("+- Office Printer")) << r.out;
}

}  // namespace

namespace {

const std::string PrintersKey = "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\";

// A job whose printer takes nothing: the command is answered at once, by a
// signal or by queue cancel, and the job ends at its next write; one that
// reached the printer whole before the cancel is printed, and said so.
TEST_F(Jobs, ACancelOfAStalledJobIsAnsweredAtOnce) {
    auto stalled = [&] {
        json queue = json::parse(run({"queue", "--json"}).out);
        return queue.size() == 1 && queue[0]["state"] == "stalled" &&
               queue[0]["status"].get<std::string>().find("taking nothing (stalled") != std::string::npos;
    };
    const struct { int signal, status; } cancels[] = {{SIGTERM, 143}, {SIGHUP, 129}, {0, 1}};
    for (auto& c : cancels) {
        Background print = startStalled("6");
        ASSERT_TRUE(eventually(stalled)) << readAll(print.err);
        if (c.signal) ::kill(print.pid, c.signal);
        else expectRun({"queue", "cancel", std::to_string(json::parse(run({"queue", "--json"}).out)[0]["id"].get<int>())},
                       0, "cancel asked; the printer is taking nothing (stalled ");
        EXPECT_EQ(finish(print), c.status) << readAll(print.err);
        EXPECT_NE(readAll(print.err).find(c.signal ? "cancel asked; the printer is taking nothing (stalled"
                                                   : "was cancelled by zevmon queue cancel after 8192 of 9000 bytes"),
                  std::string::npos) << readAll(print.err);
        EXPECT_TRUE(eventually([&] { return run({"queue"}).out == "The print queue is empty.\n"; }));
    }
    EXPECT_EQ(run({"usb", "received", "USB-001", "--all"}).out, std::string(3 * 8192, 'p'));
    ASSERT_EQ(run({"print", "USB-001", "-"}, "whole").status, 0);
    expectRun({"queue", "cancel", "4"}, 1, "Job 4 \"zevmon job\" is no longer in the queue: printed.");
}

// Once EndDocPrinter returned the job is the machine's: its client killed
// without a word leaves it printing, whole and once. A client killed while it
// still gives its document takes it back, as a program that dies does.
TEST_F(Jobs, AKilledClientsJobIsTheMachines) {
    Background print = startStalled("5");
    ASSERT_TRUE(eventually([&] {  // given whole, and stalled
        return readAll(print.err).find("in the queue") != std::string::npos &&
               json::parse(run({"queue", "--json"}).out)[0]["sent"] == 4096;
    }));
    ::kill(print.pid, SIGKILL);
    finish(print);
    EXPECT_TRUE(eventually([&] { return run({"queue"}).out == "The print queue is empty.\n"; }));
    EXPECT_EQ(run({"usb", "received", "USB-001"}).out, std::string(9000, 'p'));

    fs::path fifo = dir / "job.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Background giving = start({"print", "USB-001", "-"}, fifo);
    std::FILE* feed = openFeed(fifo);
    std::fputs("half a page", feed);
    std::fflush(feed);
    ASSERT_TRUE(eventually([&] { return json::parse(run({"queue", "--json"}).out).size() == 1; }));
    ::kill(giving.pid, SIGKILL);
    finish(giving);
    std::fclose(feed);
    EXPECT_TRUE(eventually([&] { return run({"queue"}).out == "The print queue is empty.\n"; }));
    std::string list = run({"usb", "received", "USB-001", "--list"}).out;
    EXPECT_EQ(list.find("complete"), list.rfind("complete")) << "taken back, never printed whole: " << list;
}

// The queue lists the jobs of every printer in the order the machine prints
// them, not printer by printer, each with the port the machine gave it.
TEST_F(Jobs, TheQueueListsEveryPrintersJobsInTheOrderTheyPrint) {
    const char Second[] = "USB\\VID_1209&PID_0002\\2";
    ASSERT_EQ(run({"usb", "add", Second, "--port-name", "USB-002"}).status, 0);
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(machine / "registry.reg", std::ios::app) << PrintersKey << "Second Printer]\n\"Port\"=\"USB-002\"\n";
    for (const char* id : {PrinterId, Second}) ASSERT_EQ(run({"usb", "unplug", id}).status, 0);
    for (const char* port : {"USB-001", "USB-002", "USB-001"}) ASSERT_EQ(run({"print", port, "-"}, "held").status, 0);
    std::vector<std::string> listed;
    for (auto& job : json::parse(run({"queue", "--json"}).out))
        listed.push_back(std::to_string(job["id"].get<int>()) + " " + job["port"].get<std::string>());
    EXPECT_EQ(listed, (std::vector<std::string>{"1 USB-001", "2 USB-002", "3 USB-001"}));
    // A higher priority goes first, and the table shows it.
    ASSERT_EQ(run({"print", "USB-002", "-", "--priority", "7"}, "urgent").status, 0);
    EXPECT_EQ(json::parse(run({"queue", "--json"}).out)[0]["priority"], 7);
    EXPECT_NE(run({"queue"}).out.find("\n4    7   Second Printer"), std::string::npos) << run({"queue"}).out;
    expectRun({"print", "USB-002", "-", "--priority", "7", "--direct"}, 2, "--priority orders the jobs of the queue");
}

// Jobs to two printers print at once: a printer that takes nothing holds
// its own job only, and the machine answers every command meanwhile.
TEST_F(Jobs, TwoPrintersPrintAtOnceAndAStallHoldsOnlyItsOwn) {
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1209&PID_0002\\2", "--port-name", "USB-002"}).status, 0);
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(machine / "registry.reg", std::ios::app) << PrintersKey << "Second Printer]\n\"Port\"=\"USB-002\"\n";
    Background stalled = startStalled("20");
    ASSERT_TRUE(eventually([&] { return json::parse(run({"queue", "--json"}).out)[0]["sent"] == 4096; }));
    expectRun({"print", "USB-002", "-"}, 0, "Printed job 2: 5 bytes to USB-002 for printer Second Printer.", "", "other");
    EXPECT_EQ(run({"usb", "received", "USB-002"}).out, "other");
    for (std::vector<std::string> args : {std::vector<std::string>{"usb", "unplug", "USB-002"}, {"usb", "plug", "USB-002"},
                                          {"printers", "online", "Second Printer"}, {"queue", "resume"}})
        EXPECT_EQ(run(args).status, 0) << args[0];
    EXPECT_EQ(::waitpid(stalled.pid, nullptr, WNOHANG), 0) << "the stalled job still prints";
    expectRun({"queue", "cancel", "1"}, 0, "cancel asked");
    EXPECT_EQ(finish(stalled), 1);
}

// The machine killed at each step of a job's life is a power cut: its next
// start drops a job still being given, prints again one whose EndDocPort had
// not returned, never one whose had, and leaves no part of a job behind. The
// job waits for its printer first, so that it is given whole before it plays.
TEST_F(Jobs, APowerCutAtAnyStepNeverPrintsAFinishedJobAgainNorLosesOne) {
    const struct { const char* step; bool again; } steps[] = {
        {"spooling", false}, {"queued", true}, {"printing", true}, {"writing", true}, {"written", true},
        {"printed", false},  {"ended", false}, {"removing", false}, {"removed-data", false}};
    std::ofstream(dir / "page.txt") << std::string(9000, 'p');
    for (auto& s : steps) {
        SCOPED_TRACE(s.step);
        stopMachine();
        fs::remove_all(machine);
        ASSERT_EQ(run({"machine", "start"}, "", true, std::string("ZEVMON_STOP_AT=") + s.step).status, 0);
        ASSERT_EQ(run({"usb", "unplug", "USB-001"}).status, 0);
        bool given = std::string(s.step) == "spooling" || std::string(s.step) == "queued";
        Result cut = run({"print", "USB-001", (dir / "page.txt").string(), "--chunk", "1000"});
        if (!given) cut = run({"usb", "plug", "USB-001"});
        EXPECT_EQ(cut.status, 1);
        EXPECT_NE(cut.err.find("The machine stopped while it ran the command"), std::string::npos) << cut.err;
        ASSERT_TRUE(eventually([&] { return run({"machine", "status"}).out.find("No machine runs") == 0; }));
        Result next = run({"usb", "plug", "USB-001"});
        EXPECT_EQ(next.status, 0) << next.err;
        if (std::string(s.step) == "spooling") {
            EXPECT_NE(next.err.find("it was dropped, not printed"), std::string::npos) << next.err;
        }
        EXPECT_TRUE(eventually([&] { return run({"queue"}).out == "The print queue is empty.\n"; }));
        EXPECT_TRUE(fs::is_empty(machine / "spool")) << "no part of a job is left";
        std::string list = run({"usb", "received", "USB-001", "--list"}).out;
        std::size_t captures = std::count(list.begin(), list.end(), '\n') - 1;
        if (s.again) {
            EXPECT_NE(list.find("complete"), std::string::npos) << list;
        } else {
            EXPECT_LE(captures, 1u) << "never printed again: " << list;
        }
    }
}

// A job the machine cannot start meets the spooler's error dialog and ends
// with its reason, never spinning: a file port whose folder does not exist,
// which doctor names too.
TEST_F(Jobs, AJobThatCannotStartEndsAtTheErrorDialog) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(machine / "registry.reg", std::ios::app) << PrintersKey << "File Printer]\n\"Port\"=\"FILE:\"\n";
    fs::remove_all(machine / "drives" / "c" / "jobs");
    expectRun({"print", "FILE:", "-"}, 1, "was cancelled at the spooler's error dialog after 0 of 4 bytes", "", "page");
    expectRun({"doctor"}, 1, "C:\\jobs");
    EXPECT_EQ(run({"queue"}).out, "The print queue is empty.\n");
}

// A record the machine cannot trust is listed so and never printed: one
// whose printer is gone, or that names another port than its printer's.
TEST_F(Jobs, AJobWhosePrinterIsGoneOrElsewhereIsListedAndNotPrinted) {
    const struct { const char* what; std::function<void()> edit; const char* said; } edits[] = {
        {"printer gone", [&] {
             std::string reg = readAll(machine / "registry.reg");
             std::size_t at = reg.find(PrintersKey.substr(1) + "Office Printer]");
             reg.erase(at, reg.find("\n\n", at) - at);
             // Another printer stays, whose handle reaches the job to cancel it.
             std::ofstream(machine / "registry.reg", std::ios::binary) << reg << PrintersKey << "Null Printer]\n\"Port\"=\"NUL:\"\n";
         }, "its printer Office Printer no longer exists"},
        {"another port", [&] {
             std::string job = readAll(machine / "spool" / "00001.job");
             job.replace(job.find("USB-001"), 7, "NUL:");
             std::ofstream(machine / "spool" / "00001.job", std::ios::binary) << job;
         }, "prints to USB-001, not to NUL:"},
    };
    for (auto& e : edits) {
        SCOPED_TRACE(e.what);
        stopMachine();
        fs::remove_all(machine);
        ASSERT_EQ(run({"usb", "unplug", "USB-001"}).status, 0);
        ASSERT_EQ(run({"print", "USB-001", "-"}, "held").status, 0);
        stopMachine();
        e.edit();
        ASSERT_EQ(run({"usb", "plug", "USB-001"}).status, 0);
        json queue = json::parse(run({"queue", "--json"}).out);
        ASSERT_EQ(queue.size(), 1u);
        EXPECT_NE(queue[0]["problem"].get<std::string>().find(e.said), std::string::npos) << queue;
        expectRun({"queue", "cancel", "1"}, 0, "was cancelled");
        EXPECT_EQ(run({"usb", "received", "USB-001"}).out, "") << "never printed";
    }
}

// queue resume says why each job it cannot print waits, with the commands
// that print it as they stand; a failed job prints again once mended; what
// --plug-after staged happens whatever the dialog's answer.
TEST_F(Jobs, QueueResumeSaysWhyAJobWaitsAndPrintsAFailedOneAgain) {
    ASSERT_EQ(run({"usb", "unplug", "USB-001"}).status, 0);
    ASSERT_EQ(run({"print", "USB-001", "-"}, "held").status, 0);
    expectRun({"queue", "resume"}, 0, "Job 1 \"zevmon job\" waits: printer Office Printer is offline. Its USB printer is "
              "unplugged: " + advised("usb plug USB-001") + " prints it, and " + advised("queue cancel 1") + " removes it.");
    ASSERT_EQ(run({"queue", "cancel", "1"}).status, 0);
    ASSERT_EQ(run({"usb", "plug", "USB-001"}).status, 0);
    expectRun({"print", "USB-001", "-", "--unplug-after", "2", "--plug-after", "1", "--on-error", "cancel"}, 1,
              "is plugged in again.", "", "page");
    EXPECT_NE(run({"usb", "list"}).out.find(" plugged "), std::string::npos);
    std::ofstream(machine / "registry.reg", std::ios::app) << PrintersKey << "Later]\n\"Port\"=\"USB-002\"\n";
    expectRun({"print", "USB-002", "-"}, 1, "Job 3 failed (there is no port of that name", "", "page");
    expectRun({"queue", "resume"}, 0, "Once that is mended, " + advised("queue resume 3") + " prints it again");
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1209&PID_0002\\2", "--port-name", "USB-002"}).status, 0);
    ASSERT_EQ(run({"machine", "restart"}).status, 0);
    expectRun({"queue", "resume", "3"}, 0, "Job 3 \"zevmon job\" on printer Later: printed.");
    EXPECT_EQ(run({"usb", "received", "USB-002"}).out, "page");
}

}  // namespace
