// zevmon as a person uses it: the commands, their output, their exit codes,
// and a machine folder that lives from one run to the next.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

const char PrinterId[] = "USB\\VID_1209&PID_0001\\5&1A2B3C4D&0&1";

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

class Zevmon : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zevmon-test-XXXXXX";
        dir = mkdtemp(pattern);
        machine = dir / "machine";
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs zevmon with the arguments (shell-quoted here) and the given standard input.
    Result run(const std::vector<std::string>& args, const std::string& input = "", bool withMachine = true) {
        std::string command = ZEVMON_PATH;
        if (withMachine) command += " --machine " + quote(machine.string());
        for (auto& a : args) command += " " + quote(a);
        fs::path in = dir / "stdin", out = dir / "stdout", err = dir / "stderr";
        std::ofstream(in, std::ios::binary) << input;
        int status = std::system((command + " <" + quote(in) + " >" + quote(out) + " 2>" + quote(err)).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readAll(out), readAll(err)};
    }

    fs::path dir, machine;
};

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
    EXPECT_NE(r.out.find("6 steps, 0 failed"), std::string::npos);
    EXPECT_EQ(r.out.find("[FAIL]"), std::string::npos);
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
    EXPECT_NE(r.err.find("trace: EnumPorts(NULL, 1, NULL, 0) = FALSE, needed"), std::string::npos);
    EXPECT_NE(r.err.find("last error ERROR_INSUFFICIENT_BUFFER (122)"), std::string::npos);
}

TEST_F(Zevmon, PrintedBytesArriveIntactAndTheMachineRemembersThem) {
    std::string file(100000, '\0');
    std::mt19937 random(7);
    for (char& c : file) c = (char)random();
    std::ofstream(dir / "job.bin", std::ios::binary) << file;
    Result r = run({"print", "USB-001", (dir / "job.bin").string(), "--chunk", "4096"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("100000 of 100000 bytes (100%)"), std::string::npos) << "plain progress lines";
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
    Result r = run({"print", "LPT9", "-"}, "x");
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
    r = run({"print", "USB-001", "-"}, "page");
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
    EXPECT_EQ(r.out.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_NE(r.out.find("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors\\VO DUV Udadizo\\USB-001]"),
              std::string::npos);
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

}  // namespace
