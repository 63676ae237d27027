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
    EXPECT_EQ(r.out, "Printed 197842 bytes to USB-001 for printer Office Printer.\n");
    EXPECT_TRUE(run({"usb", "received", "USB-001"}).out == file);

    Result piped = run({"print", "USB-001", "-"}, file);
    ASSERT_EQ(piped.status, 0);
    EXPECT_NE(piped.err.find("197842 bytes sent"), std::string::npos) << "a pipe's size is what was sent: " << piped.err;
}

TEST_F(Jobs, ProgressInALogIsALineAtTheEndAndNoneForAJobThatSentNothing) {
    std::ofstream(dir / "page.prn") << "fourteen bytes";
    auto lines = [&](const std::vector<std::string>& args, const std::string& input, const std::string& said) {
        Result r = expectRun(args, args[1] == "FILE:", said, "", input);
        size_t count = 0;  // a progress line ends with the rate: "…, 1.2 MiB/s"
        for (size_t at = 0; (at = r.err.find("/s\n", at)) != std::string::npos; at++) count++;
        return count;
    };
    EXPECT_EQ(lines({"print", "NUL:", "-"}, "fourteen bytes", "14 bytes sent"), 1u);
    EXPECT_EQ(lines({"print", "NUL:", "-", "--chunk", "65536"}, std::string(34000000, 'x'), "34000000 bytes sent"), 1u);
    EXPECT_EQ(lines({"print", "NUL:", (dir / "page.prn").string()}, "", "14 of 14 bytes (100%)"), 1u);
    fs::create_symlink("/dev/full", machine / "drives/c/jobs/out.prn");  // its first write fails
    EXPECT_EQ(lines({"print", "FILE:", (dir / "page.prn").string()}, "", "stopped after 0 of 14 bytes"), 0u);
}

TEST_F(Jobs, ACaptureCutShortFailsTheJobAndItsRecordSaysWhatItHolds) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(dir / "job.bin", std::ios::binary) << std::string(100000, 'j');
    // Files of at most 32 KiB, as on a disk that fills up during the job.
    expectRun({"print", "USB-001", (dir / "job.bin").string()}, 1,
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
    std::ofstream(dir / "page.prn") << "page";
    const std::string page = (dir / "page.prn").string(), out = (machine / "drives/c/jobs/out.prn").string();
    Result unused = expectRun({"print", "FILE:", page, "--answer", "C:\\other.prn"}, 0,
                              "Printed 4 bytes to FILE:, into C:\\jobs\\out.prn (" + out + ").\n");
    EXPECT_NE(unused.err.find("--answer C:\\other.prn was not needed: FILE: prints to its own file."), std::string::npos);
    expectRun({"print", "ASK:", page, "--answer", "C:\\jobs\\out.prn"}, 0, "into C:\\jobs\\out.prn");  // consent

    const std::string path = "(empty to cancel): ", replace = "Do you want to replace it? [y/N] ";
    auto typed = [&](const std::vector<std::pair<std::string, std::string>>& keys, int status, const std::string& said) {
        Result r = onTerminal({"print", "ASK:", page}, keys);
        EXPECT_EQ(r.status, status) << r.out;
        EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
    };
    typed({{path, "C:\\jobs\\out.prn\r"}, {replace, "n\r"}, {path, "C:\\jobs\\new.prn\r"}}, 0, "into C:\\jobs\\new.prn");
    typed({{path, "C:\\jobs\\out.prn\r"}, {replace, "y\r"}}, 0, "into C:\\jobs\\out.prn");
    typed({{path, "\x03"}}, 130, "\r\nzevmon: The job on ASK: was cancelled at the open-file prompt; nothing was sent.");
    typed({{path, "C:\\jobs\\out.prn\r"}, {replace, "\x03"}}, 130, "\r\nzevmon: The job on ASK: was cancelled");
    typed({{path, "\x04"}}, 1, "\r\nzevmon: A job could not start on \"ASK:\": no file was chosen");
}

TEST_F(Jobs, APortKeyWithoutItsValueStopsOnlyTheCommandsThatNeedTheMonitor) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(machine / "registry.reg", std::ios::app)
        << "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors\\VO DUV Udadizo\\USB-002]\n";
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
    EXPECT_NE(ports.err.find("zevmon doctor"), std::string::npos);
    EXPECT_EQ(ports.err.find("cannot find the file"), std::string::npos) << "the raw system text";
}

}  // namespace
