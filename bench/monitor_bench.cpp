// How fast the monitor is next to the raw system calls it wraps, measured in
// the same run: WritePort on a null, a file and a USB port beside a raw
// WriteFile loop on the same sink, and EnumPorts as the registry grows.
// The figures that matter are the ratios printed at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/zevuruzi_module.h"
#include "monitor/monitor.h"
#include "sim/machine.h"

namespace {

namespace fs = std::filesystem;

const char PrinterId[] = "USB\\VID_1209&PID_0001\\BENCH";
const int FileRewind = 256;  // writes between truncations, so that files stay small

std::string fileRoot() {
    static std::string root = [] {
        char pattern[] = "/tmp/zevbench-XXXXXX";
        std::string dir = mkdtemp(pattern);
        fs::create_directories(dir + "/c");
        // The "null" sink of the raw loop: a disk file that is the host's /dev/null.
        fs::create_symlink("/dev/null", dir + "/c/null.prn");
        return dir;
    }();
    return root;
}

void addPort(const std::string& name, const PortConfig& config) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&config);
    sim::machine().registry().setValue(std::string(MonitorKeyPath) + "\\" + name, "Property", REG_BINARY,
                                       std::vector<BYTE>(p, p + sizeof config));
}

PortConfig portConfig(int kind) {
    PortConfig c;
    std::memset(&c, 0, sizeof c);
    c.kind = kind;
    if (kind == PortKindFile) std::strcpy(c.fileName, "C:\\bench.prn");
    if (kind == PortKindUsb) {
        c.usb.interfaceGuid = UsbPortInterfaceGuid;
        std::strcpy(c.usb.instanceId, PrinterId);
        c.usb.writePipe = 1;
    }
    return c;
}

// A fresh machine with the three ports, the printer of the USB one, what
// arrange adds, and the monitor started.
MONITOR_TABLE startMachine(const std::function<void()>& arrange = [] {}) {
    host::loadZevuruzi();
    sim::machine().setFileRoot(fileRoot());
    sim::machine().registry().setString(MonitorKeyPath, "Driver", "ZEVURUZI.DLL");
    sim::UsbPrinterSpec printer(PrinterId);
    sim::machine().addUsbPrinter(printer);
    sim::machine().withUsbPrinter(PrinterId, [](sim::UsbPrinter& p) { p.discardReceived = true; });
    addPort("NUL:", portConfig(PortKindNull));
    addPort("FILE:", portConfig(PortKindFile));
    addPort("USB-001", portConfig(PortKindUsb));
    arrange();
    MONITOR_TABLE table;
    InitializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &table);
    sim::machine().waitIdle();
    return table;
}

HANDLE startJob(const char* name) {
    HANDLE port = nullptr;
    OpenPort(const_cast<LPSTR>(name), &port);
    StartDocPort(port, nullptr, 0, 1, nullptr);
    return port;
}

void writePort(benchmark::State& state, const char* name) {
    startMachine();
    std::vector<BYTE> data(state.range(0), 'x');
    HANDLE port = startJob(name);
    int writes = 0;
    for (auto _ : state) {
        DWORD written;
        if (!WritePort(port, data.data(), (DWORD)data.size(), &written)) state.SkipWithError("WritePort failed");
        if (++writes % FileRewind == 0 && name[0] == 'F') {
            state.PauseTiming();
            EndDocPort(port);
            StartDocPort(port, nullptr, 0, 1, nullptr);  // empties the file again
            state.ResumeTiming();
        }
    }
    EndDocPort(port);
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
    sim::machine().reset();
}

// The raw loop: WriteFile on the same sink the port writes to.
void rawWriteFile(benchmark::State& state, const char* what) {
    startMachine();
    std::vector<BYTE> data(state.range(0), 'x');
    std::string sink = what[0] == 'n' ? "C:\\null.prn" : "C:\\bench.prn";
    auto open = [&] {
        return CreateFileA(sink.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    };
    HANDLE file;
    HANDLE port = nullptr;
    if (what[0] == 'u') {
        port = startJob("USB-001");
        file = static_cast<PortRecord*>(port)->usb.writeHandle;  // the port's own open OUT pipe
    } else {
        file = open();
    }
    int writes = 0;
    for (auto _ : state) {
        DWORD written;
        if (!WriteFile(file, data.data(), (DWORD)data.size(), &written, nullptr)) state.SkipWithError("WriteFile failed");
        if (++writes % FileRewind == 0 && what[0] == 'f') {
            state.PauseTiming();
            CloseHandle(file);
            file = open();
            state.ResumeTiming();
        }
    }
    if (port)
        EndDocPort(port);
    else
        CloseHandle(file);
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
    sim::machine().reset();
}

// EnumPorts at level 2 (size query and fill, as the spooler calls it) with a
// number of ports, a number of USB instances the scan passes over at once, and
// a number of instances whose "PortName" names a port that is not made because
// their printer is not plugged in: the scan asks for each of those whether the
// port exists.
void enumPorts(benchmark::State& state) {
    int ports = (int)state.range(0), instances = (int)state.range(1), unplugged = (int)state.range(2);
    auto product = [](int i) {  // product ids 0001 to 0010
        char key[64];
        std::snprintf(key, sizeof key, "Enum\\USB\\VID_1209&PID_%04X", 1 + i % 16);
        return std::string(key);
    };
    startMachine([&] {
        for (int i = 3; i < ports; i++) addPort("P" + std::to_string(i), portConfig(PortKindNull));
        for (int i = 0; i < instances; i++)  // walked at every enumeration, never ours
            sim::machine().registry().setString(product(i) + "\\I" + std::to_string(i), "PortName", "LPT1");
        for (int i = 0; i < unplugged; i++)
            sim::machine().registry().setString(product(i) + "\\U" + std::to_string(i), "PortName",
                                                "USB-" + std::to_string(100 + i));
    });
    std::vector<BYTE> buffer(1 << 20);
    // The registry calls of a size query and fill, which a busy machine does not disturb.
    auto registryCalls = [] {
        return sim::machine().callCount("RegOpenKeyExA") + sim::machine().callCount("RegEnumKeyA");
    };
    unsigned callsBefore = registryCalls();
    for (auto _ : state) {
        DWORD needed, returned;
        EnumPorts(nullptr, 2, nullptr, 0, &needed, &returned);
        EnumPorts(nullptr, 2, buffer.data(), (DWORD)buffer.size(), &needed, &returned);
        benchmark::DoNotOptimize(returned);
    }
    state.counters["registry_calls"] = (double)(registryCalls() - callsBefore) / (double)state.iterations();
    if (PortList == nullptr || FindPortRecord("USB-100") != nullptr) state.SkipWithError("a port was made");
    sim::machine().reset();
}

// Keeps every run's time per iteration, to print the ratios at the end. With
// --benchmark_repetitions the median stands for the benchmark: a busy machine
// disturbs single runs.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (auto& run : runs) {
            if (run.error_occurred) continue;
            std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name != "median") continue;
                medians_.insert(name);
            } else if (medians_.count(name)) {
                continue;
            }
            times_[name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nWritePort next to a raw WriteFile loop on the same sink (time per call, ratio):\n");
        for (const char* sink : {"null", "file", "usb"})
            for (const char* size : {"4096", "65536"}) {
                double port = find(std::string("WritePort/") + sink + "/" + size);
                double raw = find(std::string("WriteFile/") + sink + "/" + size);
                if (port > 0 && raw > 0)
                    std::printf("  %-5s %6s bytes: WritePort %9.0f ns, WriteFile %9.0f ns, ratio %.2f\n", sink, size,
                                port, raw, port / raw);
            }
        std::printf("\nEnumPorts (size query and fill) as ports and USB instances double"
                    " (ports/instances passed over/instances of printers not plugged in):\n");
        for (auto& [name, time] : times_) {
            if (name.rfind("EnumPorts/", 0) != 0) continue;
            std::printf("  %-28s %10.0f ns", name.c_str(), time);
            int ports = 0, instances = 0, unplugged = 0;
            std::sscanf(name.c_str(), "EnumPorts/%d/%d/%d", &ports, &instances, &unplugged);
            double half = find(fmt(ports / 2, instances, unplugged)),
                   halfInstances = find(fmt(ports, instances / 2, unplugged));
            if (half > 0) std::printf("  x%.2f from half the ports", time / half);
            if (halfInstances > 0) std::printf("  x%.2f from half the instances", time / halfInstances);
            std::printf("\n");
        }
    }

private:
    static std::string fmt(int ports, int instances, int unplugged) {
        return "EnumPorts/" + std::to_string(ports) + "/" + std::to_string(instances) + "/" + std::to_string(unplugged);
    }
    double find(const std::string& prefix) {
        for (auto& [name, time] : times_)
            if (name == prefix || name.rfind(prefix + "/", 0) == 0) return time;
        return 0;
    }
    std::map<std::string, double> times_;
    std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const char* sink : {"null", "file", "usb"}) {
        const char* port = sink[0] == 'n' ? "NUL:" : sink[0] == 'f' ? "FILE:" : "USB-001";
        benchmark::RegisterBenchmark((std::string("WritePort/") + sink).c_str(), writePort, port)
            ->Arg(4096)
            ->Arg(65536);
        benchmark::RegisterBenchmark((std::string("WriteFile/") + sink).c_str(), rawWriteFile, sink)
            ->Arg(4096)
            ->Arg(65536);
    }
    benchmark::RegisterBenchmark("EnumPorts", enumPorts)->ArgsProduct({{8, 16, 32, 64}, {16, 32, 64, 128}, {0, 128}});
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fs::remove_all(fileRoot());
    return 0;
}
