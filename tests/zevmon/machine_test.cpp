// The machine folder in a person's hands: several zevmon commands on one
// running machine at once, its files edited by hand, folders that are no
// machine, folders that cannot be written, and standard output that carries
// the result alone.
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <set>

#include "zevmon_run.h"

namespace {

using namespace zevmon_test;
using nlohmann::json;

std::string printerId(int round, int n) { return "USB\\VID_1209&PID_0002\\R" + std::to_string(round) + "N" + std::to_string(n); }

// A file's identity: a rewrite or a rename over it changes it.
std::string identity(const fs::path& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return "missing";
    return std::to_string(info.st_ino) + "/" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec) + "/" + std::to_string(info.st_size);
}

// The instance ids below Enum\USB in the machine's registry.reg.
std::set<std::string> registryInstances(const fs::path& registry) {
    std::set<std::string> ids;
    std::istringstream in(readAll(registry));
    const std::string prefix = "[HKEY_LOCAL_MACHINE\\Enum\\USB\\";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::string path = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        if (path.find('\\') != std::string::npos) ids.insert("USB\\" + path);
    }
    return ids;
}

std::set<std::string> deviceInstances(const fs::path& devices) {
    std::set<std::string> ids;
    for (auto& d : json::parse(readAll(devices))) ids.insert(d["instanceId"].get<std::string>());
    return ids;
}

class MachineFolder : public Zevmon {
protected:
    // A print that runs until the test closes its input.
    Background holdWithPrint() {
        fs::path fifo = dir / "job.fifo";
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        Background print = start({"print", "NUL:", "-", "--direct"}, fifo);
        feed_ = openFeed(fifo);  // opens once the print reads it, so it is running
        EXPECT_NE(feed_, nullptr);
        std::fputs("page", feed_);
        std::fflush(feed_);
        return print;
    }
    void release() {
        if (feed_) std::fclose(feed_);
        feed_ = nullptr;
    }
    void TearDown() override {
        release();
        fs::permissions(machine, fs::perms::owner_write, fs::perm_options::add);
        Zevmon::TearDown();
    }
    // The prefix of a run as another user when the tests run as root, whom
    // no permission stops, with what the test's folder holds opened so to others.
    std::string asOtherUser(fs::perms open) {
        if (geteuid() != 0) return "";
        fs::permissions(dir, fs::perms::all, fs::perm_options::add);
        for (auto& entry : fs::recursive_directory_iterator(dir))
            fs::permissions(entry.path(), open, fs::perm_options::add);
        return "setpriv --reuid=65534 --regid=65534 --clear-groups";
    }
    // A folder its user cannot write; the prefix of the runs that meet it so.
    std::string makeReadOnly() {
        std::string asOther = asOtherUser(fs::perms::others_read | fs::perms::others_exec);
        for (const fs::path& place : {machine, machine / "received"})
            fs::permissions(place, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                            fs::perm_options::remove);
        return asOther;
    }
    std::FILE* feed_ = nullptr;
};

TEST_F(MachineFolder, ParallelRunsKeepEveryChangeAndTheTwoFilesAgree) {
    ASSERT_EQ(run({"ports"}).status, 0);
    const int rounds = 4, perRound = 4;
    std::vector<std::string> deleted;
    for (int round = 0; round < rounds; round++) {
        std::vector<Background> runs;
        for (int n = 0; n < perRound; n++)
            runs.push_back(start({"--quiet", "usb", "add", printerId(round, n), "--port-name",
                                  "USB-" + std::to_string(100 + round * perRound + n)},
                                 "/dev/null"));
        runs.push_back(start({"ports", "--level", "1"}, "/dev/null"));
        runs.push_back(start({"usb", "list", "--json"}, "/dev/null"));
        if (round > 0) {
            // A port the last round's enumeration made, deleted while others run.
            std::string port = "USB-" + std::to_string(100 + (round - 1) * perRound);
            ASSERT_EQ(run({"usb", "unplug", port}).status, 0);
            runs.push_back(start({"delete-port", port}, "/dev/null"));
            deleted.push_back(port);
        }
        for (auto& r : runs) {
            int status = finish(r);
            EXPECT_EQ(status, 0) << readAll(r.err);
            EXPECT_EQ(readAll(r.err).find("filesystem error"), std::string::npos) << readAll(r.err);
        }
        Result listed = run({"ports", "--level", "1"});  // makes this round's ports
        ASSERT_EQ(listed.status, 0) << listed.err;
    }
    std::set<std::string> devices = deviceInstances(machine / "devices.json");
    EXPECT_EQ(devices, registryInstances(machine / "registry.reg")) << "devices.json and registry.reg agree";
    for (int round = 0; round < rounds; round++)
        for (int n = 0; n < perRound; n++) EXPECT_EQ(devices.count(printerId(round, n)), 1u) << printerId(round, n);
    std::string ports = run({"ports", "--level", "1"}).out;
    for (int round = 0; round < rounds; round++)
        for (int n = 1; n < perRound; n++)
            EXPECT_NE(ports.find("USB-" + std::to_string(100 + round * perRound + n)), std::string::npos);
    for (auto& port : deleted) EXPECT_EQ(ports.find(port + "\n"), std::string::npos) << port << " stays deleted";
    EXPECT_FALSE(fs::exists(machine / "saving"));
    EXPECT_FALSE(fs::exists(machine / "registry.reg.new"));
}

// The machine serves every command at once: a change made while a print runs
// is neither kept waiting nor lost, and both files keep it.
TEST_F(MachineFolder, AChangeDuringALongPrintNeitherWaitsNorIsLost) {
    ASSERT_EQ(run({"ports"}).status, 0);
    Background print = holdWithPrint();
    expectRun({"usb", "add", "USB\\VID_1209&PID_0001\\9&1", "--port-name", "USB-002"}, 0, "installed");
    expectRun({"delete-port", "FILE:"}, 0, "Port FILE: deleted.");
    EXPECT_EQ(json::parse(run({"usb", "list", "--json"}).out).size(), 2u);
    release();
    EXPECT_EQ(finish(print), 0) << readAll(print.err);
    EXPECT_EQ(run({"ports", "--level", "1"}).out, "NUL:\nUSB-001\nUSB-002\n");
    stopMachine();
    EXPECT_EQ(deviceInstances(machine / "devices.json").size(), 2u);
    EXPECT_EQ(registryInstances(machine / "registry.reg").size(), 2u);
}

// registry.reg and devices.json stay a person's to edit while the machine
// runs: the next command takes the edit in, and what the machine saves after
// keeps it.
TEST_F(MachineFolder, AHandEditWhileTheMachineRunsIsTakenInAndKept) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::ofstream(machine / "registry.reg", std::ios::app) << "\n[HKEY_LOCAL_MACHINE\\Mine]\n\"Kept\"=\"yes\"\n";
    std::string devices = readAll(machine / "devices.json");
    std::ofstream(machine / "devices.json", std::ios::binary)
        << devices.substr(0, devices.rfind(']')) +
               ",\n  {\"instanceId\": \"USB\\\\VID_1209&PID_0006\\\\E\", \"note\": [\"desk\"]}\n]\n";
    EXPECT_EQ(json::parse(run({"usb", "list", "--json"}).out).size(), 2u) << "the printer added by hand";
    expectRun({"usb", "add", "USB\\VID_1209&PID_0007\\F"}, 0, "installed");
    EXPECT_NE(run({"registry", "export"}).out.find("[HKEY_LOCAL_MACHINE\\Mine]"), std::string::npos);
    stopMachine();
    EXPECT_NE(readAll(machine / "registry.reg").find("\"Kept\"=\"yes\""), std::string::npos) << "never saved over";
    EXPECT_EQ(deviceInstances(machine / "devices.json").size(), 3u);
    EXPECT_EQ(json::parse(readAll(machine / "devices.json"))[1]["note"], json::array({"desk"})) << "a field of one's own";
}

// A machine file kept elsewhere and linked into the folder is saved through
// its link; one whose folder cannot be written keeps the change from being made.
TEST_F(MachineFolder, ALinkedMachineFileStaysALink) {
    ASSERT_EQ(run({"ports"}).status, 0);
    stopMachine();
    fs::path kept = dir / "dotfiles" / "registry.reg";
    fs::create_directories(kept.parent_path());
    fs::rename(machine / "registry.reg", kept);
    fs::create_symlink("../dotfiles/registry.reg", machine / "registry.reg");
    expectRun({"delete-port", "NUL:"}, 0, "Port NUL: deleted.");
    EXPECT_TRUE(fs::is_symlink(machine / "registry.reg"));
    EXPECT_EQ(readAll(kept).find("\\NUL:]"), std::string::npos) << "saved into the linked file";
    EXPECT_FALSE(fs::exists(kept.string() + ".new"));

    stopMachine();  // the next machine runs as a user whom the linked file's folder refuses
    std::string registry = readAll(kept), asOther = asOtherUser(fs::perms::all);
    fs::permissions(kept.parent_path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    expectRun({"add-port", "NUL:", "--null"}, 1,
              kept.string() + ", whose folder " + kept.parent_path().string() + " cannot be written (Permission denied), "
                  "so it cannot keep the change: nothing was changed", asOther);
    EXPECT_EQ(readAll(kept), registry);
    run({"machine", "stop"}, "", true, asOther);
}

TEST_F(MachineFolder, CommandsThatOnlyReadNeverWrite) {
    ASSERT_EQ(run({"ports"}).status, 0);
    ASSERT_EQ(run({"print", "USB-001", "-"}, "page").status, 0);
    std::string registry = identity(machine / "registry.reg"), devices = identity(machine / "devices.json");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"ports"}, {"ports", "--json"}, {"usb", "list"}, {"printers"}, {"registry", "export"},
          {"usb", "received", "USB-001"}, {"doctor"}, {"print", "NUL:", "-", "--direct"}})
        EXPECT_EQ(run(args, "x").status, 0) << args[0];
    EXPECT_EQ(identity(machine / "registry.reg"), registry);
    EXPECT_EQ(identity(machine / "devices.json"), devices);
}

TEST_F(MachineFolder, AReplacementCutShortIsFinishedByTheNextStart) {
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1209&PID_0003\\A", "--port-name", "USB-003"}).status, 0);
    stopMachine();
    std::string registry = readAll(machine / "registry.reg"), devices = readAll(machine / "devices.json");
    ASSERT_EQ(run({"usb", "remove", "USB\\VID_1209&PID_0003\\A"}).status, 0);
    stopMachine();
    // A machine stopped after its first rename: registry.reg is new, devices.json is still to come.
    std::string newDevices = readAll(machine / "devices.json");
    std::ofstream(machine / "devices.json", std::ios::binary) << devices;
    std::ofstream(machine / "devices.json.new", std::ios::binary) << newDevices;
    std::ofstream(machine / "saving", std::ios::binary) << "";

    Result listed = run({"usb", "list", "--json"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(json::parse(listed.out).size(), 1u) << "the committed state";
    EXPECT_FALSE(fs::exists(machine / "saving"));
    EXPECT_FALSE(fs::exists(machine / "devices.json.new"));
    EXPECT_EQ(deviceInstances(machine / "devices.json"), registryInstances(machine / "registry.reg"));
    EXPECT_EQ(deviceInstances(machine / "devices.json").size(), 1u);

    // Without the marker, the new file was never committed: it is dropped.
    stopMachine();
    std::ofstream(machine / "registry.reg.new", std::ios::binary) << registry;
    ASSERT_EQ(run({"ports"}).status, 0);
    EXPECT_FALSE(fs::exists(machine / "registry.reg.new"));
    EXPECT_EQ(registryInstances(machine / "registry.reg").size(), 1u);
}

TEST_F(MachineFolder, OnlyAnEmptyOrNewFolderBecomesAMachine) {
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1209&PID_0003\\B", "--port-name", "USB-003"}).status, 0);
    std::string devices = readAll(machine / "devices.json");
    stopMachine();  // a folder left so is met at the machine's start
    fs::rename(machine / "registry.reg", dir / "registry.reg");
    Result r = run({"usb", "list"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("has devices.json but no registry.reg"), std::string::npos) << r.err;
    EXPECT_EQ(readAll(machine / "devices.json"), devices) << "the installed printers are not dropped";
    EXPECT_FALSE(fs::exists(machine / "registry.reg"));

    fs::rename(dir / "registry.reg", machine / "registry.reg");
    fs::rename(machine / "devices.json", dir / "devices.json");
    r = run({"ports"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("has registry.reg but no devices.json"), std::string::npos) << r.err;

    fs::create_directories(dir / "papers");
    std::ofstream(dir / "papers" / "letter.txt") << "mine";
    Result foreign = run({"--machine", (dir / "papers").string(), "ports"}, "", false);
    EXPECT_EQ(foreign.status, 1);
    EXPECT_NE(foreign.err.find("holds other files and no machine"), std::string::npos) << foreign.err;
    EXPECT_FALSE(fs::exists(dir / "papers" / "registry.reg"));

    Result file = run({"--machine", (dir / "papers" / "letter.txt").string(), "ports"}, "", false);
    EXPECT_EQ(file.status, 1);
    EXPECT_NE(file.err.find("letter.txt is a file, not a machine folder"), std::string::npos) << file.err;

    Result empty = run({"--machine", "", "ports"}, "", false);
    EXPECT_EQ(empty.status, 2);
    EXPECT_NE(empty.err.find("--machine needs a folder"), std::string::npos) << empty.err;

    fs::create_directories(dir / "empty");
    Result made = run({"--machine", (dir / "empty").string(), "usb", "list"}, "", false);
    EXPECT_EQ(made.status, 0);
    EXPECT_TRUE(fs::exists(dir / "empty" / "registry.reg"));
}

TEST_F(MachineFolder, StandardOutputCarriesOnlyTheResult) {
    Result first = run({"ports", "--json"});
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(json::parse(first.out).size(), 3u) << first.out;
    EXPECT_NE(first.err.find("A new machine was made"), std::string::npos);

    ASSERT_EQ(run({"usb", "add", "USB\\VID_1209&PID_0004\\FULL", "--port-name", "USB-000"}).status, 0);
    Result boxed = run({"ports", "--json"});
    ASSERT_EQ(boxed.status, 0);
    EXPECT_EQ(json::parse(boxed.out).size(), 3u) << boxed.out;
    EXPECT_NE(boxed.err.find("Error Message"), std::string::npos) << "the message box goes beside the result";

    Result quiet = run({"--machine", (dir / "other").string(), "--quiet", "print", "NUL:", "-", "--direct"}, "x", false);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "") << "no notice, no progress";
    EXPECT_EQ(quiet.out, "Printed 1 bytes to NUL:.\n");

    Result exported = run({"registry", "export", "-"});
    EXPECT_EQ(exported.out.rfind("REGEDIT4\r\n", 0), 0u) << "line ends as REGEDIT writes them";
    EXPECT_FALSE(fs::exists(dir / "-")) << "- is standard output, not a file";
}

TEST_F(MachineFolder, OutputThatCannotBeWrittenIsAnError) {
    ASSERT_EQ(run({"print", "USB-001", "-"}, std::string(200000, 'r')).status, 0);
    for (std::vector<std::string> args : {std::vector<std::string>{"usb", "received", "USB-001"}, {"registry", "export"},
                                          {"usb", "list", "--json"}, {"doctor"}, {"usb", "clear", "USB-001"}}) {
        int status = std::system((commandLine(args, true) + " >/dev/full 2>" + quote(dir / "err")).c_str());
        EXPECT_EQ(WEXITSTATUS(status), 1) << args.back();
        EXPECT_EQ(readAll(dir / "err"), "zevmon: write error: No space left on device\n") << args.back();
    }
    std::ofstream(dir / "old.reg") << "mine";
    expectRun({"registry", "export", (dir / "old.reg").string()}, 1, "old.reg could not be written (File too large)",
              "trap '' XFSZ; ulimit -f 1;");
    EXPECT_EQ(readAll(dir / "old.reg"), "mine");
    for (auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".old.reg"), std::string::npos) << "left beside it";
}

TEST_F(MachineFolder, AChangeIsSaidDoneOnlyOnceItIsSaved) {
    ASSERT_EQ(run({"ports"}).status, 0);
    std::string registry = readAll(machine / "registry.reg");
    for (bool readOnly : {false, true})
        for (std::vector<std::string> args : {std::vector<std::string>{"usb", "unplug", "USB-001"}, {"delete-port", "NUL:"}}) {
            stopMachine();  // the next one starts under the limit, or finds a folder it cannot keep
            Result r = expectRun(args, 1, readOnly ? "(Permission denied), so it cannot keep the change: nothing was changed"
                                                   : "the changes of this run were not saved",
                                 readOnly ? makeReadOnly() : "trap '' XFSZ; ulimit -f 1;");
            EXPECT_EQ(r.out, "") << "said done, yet not saved";
            EXPECT_EQ(readAll(machine / "registry.reg"), registry);
        }
}

TEST_F(MachineFolder, AReadOnlyFolderListsButDoesNotPrint) {
    ASSERT_EQ(run({"usb", "unplug", "USB-001"}).status, 0);
    ASSERT_EQ(run({"print", "USB-001", "-"}, "held").status, 0);
    std::string asOther = makeReadOnly();
    for (std::vector<std::string> args : {std::vector<std::string>{"usb", "list"}, {"printers"}, {"ports"}, {"queue"}}) {
        Result r = run(args, "", true, asOther);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.out.find("empty"), std::string::npos) << "the held job is listed";
    }
    expectRun({"queue", "cancel", "1"}, 1, "cannot be written (Permission denied)", asOther);
    Result print = run({"--trace", "print", "USB-001", "-"}, "page", true, asOther);
    EXPECT_EQ(print.status, 1);
    EXPECT_NE(print.err.find("cannot record what the printer receives: nothing was sent"), std::string::npos)
        << print.err;
    EXPECT_EQ(print.err.find("WritePort"), std::string::npos) << "said before sending";
}

// One machine per folder, found again by the next command, reached through an
// owner-only socket, replaced once it died, refused by a client of another
// build, ended when idle, and reached also in a folder whose path is longer
// than a socket address holds.
TEST_F(MachineFolder, TheMachinesProcessIsFoundOwnedAndReplacedSafely) {
    expectRun({"machine", "start"}, 0, "runs (process ");
    std::string pid = std::to_string(std::stol(readAll(machine / "machine.lock")));
    expectRun({"machine", "start"}, 0, "runs already (process " + pid + ")");
    EXPECT_EQ(fs::status(machine / "machine.sock").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    expectRun({"machine", "status"}, 0, "Process   " + pid);
    expectRun({"ports"}, 1, "of another build of zevmon than this one", "ZEVMON_BUILD_TAG=other");
    expectRun({"machine", "stop"}, 0, "stopped (process " + pid + ")", "ZEVMON_BUILD_TAG=other");
    ASSERT_EQ(run({"ports"}).status, 0);
    ::kill(std::stol(readAll(machine / "machine.lock")), SIGKILL);
    ASSERT_TRUE(eventually([&] { return run({"machine", "status"}).out.find("No machine runs") == 0; }));
    EXPECT_TRUE(fs::exists(machine / "machine.sock")) << "left by the machine that died";
    expectRun({"usb", "list"}, 0, "USB-001");
    expectRun({"machine", "restart"}, 0, "runs (process ");
    stopMachine();
    expectRun({"machine", "start"}, 0, "runs", "ZEVMON_IDLE_SECONDS=1");
    // Watched without asking it: a command every few milliseconds keeps it busy.
    EXPECT_TRUE(eventually([&] { return !fs::exists(machine / "machine.sock"); })) << "idle, it ends";
    expectRun({"machine", "status"}, 0, "No machine runs");

    fs::path deep = dir / std::string(70, 'd') / std::string(70, 'e');
    for (int i = 0; i < 2; i++) EXPECT_EQ(run({"--machine", deep.string(), "usb", "list"}, "", false).status, 0);
    EXPECT_NE(run({"--machine", deep.string(), "machine", "status"}, "", false).out.find("Process"), std::string::npos);
}

}  // namespace
