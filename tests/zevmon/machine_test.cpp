// The machine folder in a person's hands: several zevmon runs on one folder at
// once, folders that are no machine, folders that cannot be written, and
// standard output that carries the result alone.
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
    // A print that holds the machine until the test closes its input.
    Background holdWithPrint() {
        fs::path fifo = dir / "job.fifo";
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        Background print = start({"print", "NUL:", "-", "--direct"}, fifo);
        feed_ = openFeed(fifo);  // opens once the print reads it, so it is running
        EXPECT_NE(feed_, nullptr);
        std::fputs("page", feed_);
        std::fflush(feed_);
        EXPECT_TRUE(eventually([&] { return fs::exists(machine / ".zevmon-lock"); }));
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
    // A folder its user cannot write; the prefix of a run as another user when
    // the tests run as root, whom no permission stops.
    std::string makeReadOnly() {
        std::string asOther;
        if (geteuid() == 0) {
            asOther = "setpriv --reuid=65534 --regid=65534 --clear-groups";
            fs::permissions(dir, fs::perms::all, fs::perm_options::add);
            for (auto& entry : fs::recursive_directory_iterator(machine))
                fs::permissions(entry.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        }
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

TEST_F(MachineFolder, AChangeDuringALongPrintWaitsAndBothAreKept) {
    ASSERT_EQ(run({"ports"}).status, 0);
    Background print = holdWithPrint();
    Background add = start({"usb", "add", "USB\\VID_1209&PID_0001\\9&1", "--port-name", "USB-002"}, "/dev/null");
    EXPECT_TRUE(eventually([&] { return readAll(add.err).find("waiting up to 60 s") != std::string::npos; }))
        << readAll(add.err);
    EXPECT_NE(readAll(add.err).find("print NUL: -"), std::string::npos) << "says which run it waits for";

    // Listings neither wait nor write.
    Result listed = run({"usb", "list", "--json"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(json::parse(listed.out).size(), 1u);
    EXPECT_EQ(listed.err, "");

    Result refused = run({"--wait", "0", "delete-port", "FILE:"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("is in use by another zevmon run (pid "), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("nothing was done"), std::string::npos);
    Result gaveUp = run({"--wait", "1", "usb", "unplug", "USB-001"});
    EXPECT_EQ(gaveUp.status, 1);
    EXPECT_NE(gaveUp.err.find("is still in use by another zevmon run"), std::string::npos) << gaveUp.err;
    EXPECT_NE(gaveUp.err.find("after 1 s; nothing was done"), std::string::npos);

    release();
    EXPECT_EQ(finish(print), 0) << readAll(print.err);
    EXPECT_EQ(finish(add), 0) << readAll(add.err);
    Result ports = run({"ports", "--level", "1"});
    EXPECT_EQ(ports.out, "FILE:\nNUL:\nUSB-001\nUSB-002\n") << "the print kept the new printer, the refused run changed nothing";
}

TEST_F(MachineFolder, AHandEditDuringARunIsNeverOverwritten) {
    for (const char* file : {"registry.reg", "devices.json"}) {
        fs::remove_all(machine);
        fs::path fifo = dir / (std::string(file) + ".fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // The first run on a new machine makes port USB-001, a change to save.
        Background print = start({"print", "USB-001", "-", "--direct"}, fifo);
        std::FILE* feed = openFeed(fifo);
        ASSERT_TRUE(eventually([&] { return fs::exists(machine / "received" / "USB_VID_1209_PID_0001_5_1A2B3C4D_0_1"); }));
        std::string edited = readAll(machine / file) + (file[0] == 'r' ? "\n[HKEY_LOCAL_MACHINE\\Mine]\n" : "\n");
        std::ofstream(machine / file, std::ios::binary) << edited;
        std::fclose(feed);
        EXPECT_EQ(finish(print), 1) << file;
        EXPECT_NE(readAll(print.err).find(std::string(file) + " was changed by another program while this run worked"),
                  std::string::npos) << readAll(print.err);
        EXPECT_NE(readAll(print.err).find("The rest of what the run did stands: the job on USB-001: complete"),
                  std::string::npos) << "not to be run again: " << readAll(print.err);
        EXPECT_EQ(readAll(machine / file), edited);
    }
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

TEST_F(MachineFolder, AReplacementCutShortIsFinishedByTheNextRun) {
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1209&PID_0003\\A", "--port-name", "USB-003"}).status, 0);
    std::string registry = readAll(machine / "registry.reg"), devices = readAll(machine / "devices.json");
    ASSERT_EQ(run({"usb", "remove", "USB\\VID_1209&PID_0003\\A"}).status, 0);
    // A run stopped after its first rename: registry.reg is new, devices.json is still to come.
    std::string newDevices = readAll(machine / "devices.json");
    std::ofstream(machine / "devices.json", std::ios::binary) << devices;
    std::ofstream(machine / "devices.json.new", std::ios::binary) << newDevices;
    std::ofstream(machine / "saving", std::ios::binary) << "";

    Result listed = run({"usb", "list", "--json"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(json::parse(listed.out).size(), 1u) << "a reader sees the committed state";
    EXPECT_TRUE(fs::exists(machine / "saving")) << "and changes nothing";

    ASSERT_EQ(run({"ports"}).status, 0);
    EXPECT_FALSE(fs::exists(machine / "saving"));
    EXPECT_FALSE(fs::exists(machine / "devices.json.new"));
    EXPECT_EQ(deviceInstances(machine / "devices.json"), registryInstances(machine / "registry.reg"));
    EXPECT_EQ(deviceInstances(machine / "devices.json").size(), 1u);

    // Without the marker, the new file was never committed: it is dropped.
    std::ofstream(machine / "registry.reg.new", std::ios::binary) << registry;
    ASSERT_EQ(run({"ports"}).status, 0);
    EXPECT_FALSE(fs::exists(machine / "registry.reg.new"));
    EXPECT_EQ(registryInstances(machine / "registry.reg").size(), 1u);
}

TEST_F(MachineFolder, OnlyAnEmptyOrNewFolderBecomesAMachine) {
    ASSERT_EQ(run({"usb", "add", "USB\\VID_1209&PID_0003\\B", "--port-name", "USB-003"}).status, 0);
    std::string devices = readAll(machine / "devices.json");
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
    EXPECT_EQ(exported.out.rfind("REGEDIT4\n", 0), 0u);
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

}  // namespace
