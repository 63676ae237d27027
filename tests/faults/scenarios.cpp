// The scenarios of the fault sweep, each a whole piece of the spooler's work on
// a fresh machine: a start, enumerations that create a port, jobs on every kind
// of port, deletions, and the status refresh. Usage:
//   fault_sweep SCENARIO                 sweep every fault point of the scenario
//   fault_sweep SCENARIO --point POINT   run one point in this process ("none": no fault)
//   fault_sweep --list
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sweep.h"
#include "tests/unit/test_support.h"

namespace faults {

namespace {

namespace fs = std::filesystem;

const char PrinterName[] = "Test Printer";
const char FirstPrinterId[] = "USB\\VID_1209&PID_0001\\7&1F2E3D4C&0&1";
const char SecondPrinterId[] = "USB\\VID_1209&PID_0002\\7&1F2E3D4C&0&2";
const char ExhaustedPrinterId[] = "USB\\VID_1209&PID_0003\\7&1F2E3D4C&0&3";
const char FourthPrinterId[] = "USB\\VID_1209&PID_0004\\7&1F2E3D4C&0&4";
const char OutputFile[] = "C:\\jobs\\out.prn";
const char PickedFile[] = "C:\\jobs\\picked.prn";
const DWORD JobId = 7;

sim::Machine& machine() { return sim::machine(); }
sim::Registry& registry() { return sim::machine().registry(); }

// ---- arranging a machine ----

void installMonitorKey() { registry().setString(MonitorKeyPath, "Driver", "ZEVURUZI.DLL"); }

void addPort(const std::string& name, const PortConfig& config) {
    registry().setValue(portKeyPath(name), "Property", REG_BINARY, configBytes(config));
}

// What a job's file held before the job: a started job must leave none of it.
const char StaleByte = '\x7f';
const std::string StaleContent(64, StaleByte);

void makeJobsFolder(const char* staleFile = nullptr) {
    fs::create_directories(machine().hostPath("C:\\jobs"));
    if (staleFile) std::ofstream(machine().hostPath(staleFile), std::ios::binary) << StaleContent;
}

std::string hostFile(const char* windowsPath) {
    std::ifstream in(machine().hostPath(windowsPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void start(Run& run) {
    if (!InitializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &run.table))
        run.violation("harness: the arranged start fails");
}

bool started(const Run& run) { return run.table.pfnEnumPorts != nullptr; }

PortRecord* listedPort(const std::string& name) {
    for (PortRecord* r : listedPorts())
        if (sim::equalNoCase(r->name, name)) return r;
    return nullptr;
}

// ---- the spooler's side ----

// The first two pages of a job, told apart by their bytes.
std::vector<std::string> jobPages() {
    std::string first = "%!PS-Adobe-3.0 fault sweep\n", second;
    for (int i = 0; i < 1000; i++) first += "0123456789abcdef"[i % 16];
    for (int i = 0; i < 300; i++) second += "ghijklmnopqrstuv"[i % 16];
    return {first, second};
}

HANDLE openPort(Run& run, const char* name) {
    HANDLE port = nullptr;
    auto open = [&] { return run.table.pfnOpenPort(const_cast<LPSTR>(name), &port); };
    if (!run.call(std::string("OpenPort ") + name, open)) return nullptr;
    return port;
}

bool startDoc(Run& run, HANDLE port, DWORD jobId) {
    static DOC_INFO_1A doc = {const_cast<LPSTR>("fault sweep"), nullptr, nullptr};
    run.jobStarted = run.call("StartDocPort", [&] {
        return run.table.pfnStartDocPort(port, const_cast<LPSTR>(PrinterName), jobId, 1, (LPBYTE)&doc);
    });
    return run.jobStarted;
}

// As the spooler sends a page: what the port did not take is sent again, until
// all is taken or the port fails (a few tries at most).
bool writePage(Run& run, HANDLE port, const std::string& page) {
    std::size_t sent = 0;
    for (int attempt = 0; attempt < 8 && sent < page.size(); attempt++) {
        DWORD written = Marker;
        DWORD size = (DWORD)(page.size() - sent);
        auto write = [&] { return run.table.pfnWritePort(port, (LPBYTE)page.data() + sent, size, &written); };
        if (!run.call("WritePort", write)) return false;
        if (written > size) {
            run.violation("WritePort returned TRUE reporting " + std::to_string(written) + " bytes written of " +
                          std::to_string(size));
            return false;
        }
        run.written.append(page, sent, written);
        sent += written;
    }
    return sent == page.size();
}

void endDoc(Run& run, HANDLE port) {
    run.call("EndDocPort", [&] { return run.table.pfnEndDocPort(port); });
}

void closePort(Run& run, HANDLE port) {
    run.call("ClosePort", [&] { return run.table.pfnClosePort(port); });
}

// A whole job as the spooler runs it: the job is ended whenever it started.
void printJob(Run& run, const char* portName) {
    if (!started(run)) return;
    HANDLE port = openPort(run, portName);
    if (!port) return;
    if (startDoc(run, port, JobId)) {
        for (const auto& page : jobPages())
            if (!writePage(run, port, page)) break;
        endDoc(run, port);
    }
    closePort(run, port);
}

// The job's file holds exactly what WritePort reported written, and nothing of
// what it held before the job.
void checkJobFile(Run& run, const char* windowsPath) {
    if (!run.jobStarted) return;
    std::string content = hostFile(windowsPath);
    if (content.compare(0, run.written.size(), run.written) != 0)
        run.violation(std::string("the file ") + windowsPath + " does not begin with the " +
                      std::to_string(run.written.size()) + " bytes WritePort reported written");
    if (content.find(StaleByte) != std::string::npos)
        run.violation(std::string("the file ") + windowsPath + " still holds what it held before the job");
}

// A string of an enumeration buffer: inside the buffer and terminated there.
bool inBuffer(const std::vector<BYTE>& buffer, LPCSTR text) {
    const char* begin = (const char*)buffer.data();
    const char* end = begin + buffer.size();
    if (text < begin || text >= end) return false;
    return std::memchr(text, 0, (std::size_t)(end - text)) != nullptr;
}

// A successful enumeration reports the ports listed at that moment, in order.
void checkListing(Run& run, DWORD level, const std::vector<BYTE>& buffer, DWORD returned) {
    std::string what = "EnumPorts level " + std::to_string(level);
    auto records = listedPorts();
    if (returned != records.size()) {
        run.violation(what + " returned TRUE with " + std::to_string(returned) + " ports, " +
                      std::to_string(records.size()) + " are listed");
        return;
    }
    std::string monitorName = std::string(MonitorKeyPath).substr(std::string(MonitorKeyPath).rfind('\\') + 1);
    for (std::size_t i = 0; i < records.size(); i++) {
        LPCSTR name;
        if (level == 1) {
            name = ((const PORT_INFO_1A*)buffer.data())[i].pName;
        } else {
            const PORT_INFO_2A& info = ((const PORT_INFO_2A*)buffer.data())[i];
            name = info.pPortName;
            if (!inBuffer(buffer, info.pMonitorName) || info.pMonitorName != monitorName)
                run.violation(what + " reports port " + std::to_string(i) + " without the monitor's name");
            DWORD type = records[i]->config.kind == PortKindUsb ? PORT_TYPE_WRITE | PORT_TYPE_READ : PORT_TYPE_WRITE;
            if (info.fPortType != type)
                run.violation(what + " reports port " + records[i]->name + " with type " +
                              std::to_string(info.fPortType));
        }
        if (!inBuffer(buffer, name) || std::string(name) != records[i]->name)
            run.violation(what + " reports port " + std::to_string(i) + " under another name than " + records[i]->name);
    }
}

// As the spooler enumerates: the size first, then a buffer of that size, asked
// again while ports keep coming (a few times at most).
void enumeratePorts(Run& run, DWORD level) {
    if (!started(run)) return;
    std::string what = "EnumPorts level " + std::to_string(level);
    DWORD needed = Marker, returned = Marker;
    BOOL ok = run.call(what + " size query", [&] {
        return run.table.pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &returned);
    });
    if (ok) {
        if (!listedPorts().empty()) run.violation(what + " returned TRUE to a size query while ports are listed");
        return;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;  // the spooler gives up
    for (int attempt = 0; attempt < 3; attempt++) {
        std::vector<BYTE> buffer(needed);
        DWORD size = needed;
        ok = run.call(what, [&] {
            return run.table.pfnEnumPorts(nullptr, level, buffer.data(), size, &needed, &returned);
        });
        if (ok) {
            checkListing(run, level, buffer, returned);
            return;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= size) return;
    }
}

// ---- the scenarios ----

// A: the spooler starts the monitor on a registry that holds one port of each kind.
Scenario startFromRegistry() {
    return {
        "start_from_registry",
        "InitializeMonitorEx on a null, a file and a USB port, and the status thread's first refresh",
        [](Run&) {
            installMonitorKey();
            addPort("NUL:", nullConfig());
            addPort("FILE:", fileConfig(OutputFile));
            addPort("USB-001", usbConfig(FirstPrinterId));
            machine().addUsbPrinter({FirstPrinterId, "USB-001"});
            machine().addPrinter(PrinterName, "USB-001", PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_WORK_OFFLINE);
        },
        [](Run& run) {
            MONITOR_TABLE table{};
            if (run.call("InitializeMonitorEx", [&] {
                    return InitializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &table);
                })) {
                if (std::memcmp(&table, &MonitorTable, sizeof table) != 0)
                    run.violation("InitializeMonitorEx returned TRUE without handing out its table");
                run.table = table;
            }
        },
        nullptr,
    };
}

// B: an enumeration whose scan creates USB-002, passes over USB-001 (a port
// already) and meets a printer whose port numbers ran out (USB-000).
void arrangeScan(Run& run) {
    installMonitorKey();
    addPort("USB-001", usbConfig(FirstPrinterId));
    machine().addUsbPrinter({FirstPrinterId, "USB-001"});
    machine().addUsbPrinter({SecondPrinterId, "USB-002"});
    machine().addUsbPrinter({ExhaustedPrinterId, "USB-000"});
    start(run);
}

Scenario enumLevel(DWORD level) {
    return {
        level == 1 ? "enum_level1" : "enum_level2",
        level == 1 ? "EnumPorts at level 1, size query then fill, with a scan that creates USB-002 and meets USB-000"
                   : "EnumPorts at level 2, size query then fill, with a scan that creates USB-002 and meets USB-000",
        arrangeScan,
        [level](Run& run) { enumeratePorts(run, level); },
        nullptr,
    };
}

// B': a port stored under a name in other letter case than the printer's
// "PortName" is the same port: the scan must not make a second one.
Scenario enumPortNameCase() {
    return {
        "enum_port_name_case",
        "EnumPorts at level 1 with port usb-001 stored and a printer whose PortName is USB-001",
        [](Run& run) {
            installMonitorKey();
            addPort("usb-001", usbConfig(FirstPrinterId));
            machine().addUsbPrinter({FirstPrinterId, "USB-001"});
            start(run);
        },
        [](Run& run) { enumeratePorts(run, 1); },
        nullptr,
    };
}

// B'': an installation that wrote an empty "PortName" (no bytes at all): the
// scan passes the printer over.
Scenario enumEmptyPortName() {
    return {
        "enum_empty_port_name",
        "EnumPorts at level 1 with a printer whose PortName value is empty",
        [](Run& run) {
            installMonitorKey();
            machine().addUsbPrinter({FourthPrinterId});
            registry().setValue("Enum\\USB\\VID_1209&PID_0004\\7&1F2E3D4C&0&4", "PortName", REG_SZ, {});
            start(run);
        },
        [](Run& run) { enumeratePorts(run, 1); },
        nullptr,
    };
}

// C: a job on the null port.
Scenario nullJob() {
    return {
        "null_job",
        "a whole job on a null port, with a printer handle",
        [](Run& run) {
            installMonitorKey();
            addPort("NUL:", nullConfig());
            machine().addPrinter(PrinterName, "NUL:");
            start(run);
        },
        [](Run& run) { printJob(run, "NUL:"); },
        nullptr,
    };
}

// D: a job into the configured file, which held an older job.
Scenario fileJob() {
    return {
        "file_job",
        "a whole job on a file port into its configured file",
        [](Run& run) {
            installMonitorKey();
            addPort("FILE:", fileConfig(OutputFile));
            machine().addPrinter(PrinterName, "FILE:");
            makeJobsFolder(OutputFile);
            start(run);
        },
        [](Run& run) { printJob(run, "FILE:"); },
        [](Run& run) { checkJobFile(run, OutputFile); },
    };
}

// E: a job into a file the user picks in the open-file dialog.
Scenario fileJobDialog() {
    return {
        "file_job_dialog",
        "a whole job on a file port without a file name, into the file picked in the open-file dialog",
        [](Run& run) {
            installMonitorKey();
            addPort("FILE:", fileConfig(""));
            machine().addPrinter(PrinterName, "FILE:");
            makeJobsFolder(PickedFile);
            machine().scriptOpenFile(std::string(PickedFile));
            start(run);
        },
        [](Run& run) { printJob(run, "FILE:"); },
        [](Run& run) { checkJobFile(run, PickedFile); },
    };
}

// F: a job on a USB port through all four I/O entry points.
const std::string StatusBytes = "\x10\x20\x30\x40";

void usbJobSteps(Run& run, HANDLE port) {
    auto pages = jobPages();
    if (!writePage(run, port, pages[0])) return;

    BYTE status[16];
    DWORD read = Marker;
    if (run.call("ReadPort", [&] { return run.table.pfnReadPort(port, status, sizeof status, &read); })) {
        if (read > StatusBytes.size() || std::string((const char*)status, read) != StatusBytes.substr(0, read))
            run.violation("ReadPort returned TRUE with " + std::to_string(read) +
                          " bytes that the printer did not send");
    }

    BYTE descriptors[UsbDescriptorBufferSize];
    DWORD returned = Marker;
    if (run.call("GetPrinterDataFromPort", [&] {
            return run.table.pfnGetPrinterDataFromPort(port, GetDescriptorsIoctl, nullptr, nullptr, 0,
                                                       (LPSTR)descriptors, sizeof descriptors, &returned);
        })) {
        auto expected = sim::defaultPrinterDescriptors();
        if (returned > expected.size() || std::memcmp(descriptors, expected.data(), returned) != 0 || returned == 0)
            run.violation("GetPrinterDataFromPort returned TRUE without the device's answer");
    }

    COMMTIMEOUTS timeouts = {5, 6, 7, 8, 9};
    if (run.call("SetPortTimeOuts", [&] { return run.table.pfnSetPortTimeOuts(port, &timeouts, 0); })) {
        machine().withUsbPrinter(FirstPrinterId, [&](sim::UsbPrinter& printer) {
            bool all = printer.timeouts.size() == 3;
            for (auto& [pipe, set] : printer.timeouts) all = all && std::memcmp(&set, &timeouts, sizeof set) == 0;
            if (!all)
                run.violation("SetPortTimeOuts returned TRUE without setting the device's and both pipes' time-outs");
        });
    }

    writePage(run, port, pages[1]);
}

Scenario usbJob() {
    return {
        "usb_job",
        "a whole job on a USB port: WritePort, ReadPort, GetPrinterDataFromPort, SetPortTimeOuts",
        [](Run& run) {
            installMonitorKey();
            addPort("USB-001", usbConfig(FirstPrinterId));
            machine().addUsbPrinter({FirstPrinterId, "USB-001"});
            machine().withUsbPrinter(FirstPrinterId, [](sim::UsbPrinter& p) {
                p.toRead.assign(StatusBytes.begin(), StatusBytes.end());
            });
            machine().addPrinter(PrinterName, "USB-001");
            start(run);
        },
        [](Run& run) {
            if (!started(run)) return;
            HANDLE port = openPort(run, "USB-001");
            if (!port) return;
            if (startDoc(run, port, JobId)) {
                usbJobSteps(run, port);
                endDoc(run, port);
            }
            closePort(run, port);
        },
        [](Run& run) {
            auto received = machine().usbReceived(FirstPrinterId);
            if (std::string(received.begin(), received.end()) != run.written)
                run.violation("the printer received " + std::to_string(received.size()) +
                              " bytes, WritePort reported " + std::to_string(run.written.size()) + " written");
        },
    };
}

// G: the user deletes an idle port, then the port a job is printing on.
Scenario deletePorts() {
    return {
        "delete_port",
        "DeletePort of an idle file port, then of a null port with an open job",
        [](Run& run) {
            installMonitorKey();
            addPort("FILE:", fileConfig(OutputFile));
            addPort("NUL:", nullConfig());
            machine().addPrinter(PrinterName, "NUL:");
            start(run);
            HANDLE busy = nullptr;
            if (!started(run) || !OpenPort(const_cast<LPSTR>("NUL:"), &busy) ||
                !StartDocPort(busy, const_cast<LPSTR>(PrinterName), JobId, 1, nullptr))
                run.violation("harness: the job on NUL: does not start");
        },
        [](Run& run) {
            if (!started(run)) return;
            for (const char* name : {"FILE:", "NUL:"}) {
                BOOL deleted = run.call(std::string("DeletePort ") + name, [&] {
                    return run.table.pfnDeletePort(nullptr, nullptr, const_cast<LPSTR>(name));
                });
                std::string what = std::string("DeletePort ") + name;
                if (deleted && listedPort(name)) run.violation(what + " returned TRUE and the port is still listed");
                if (!deleted && !listedPort(name)) run.violation(what + " returned FALSE and the port is gone");
            }
        },
        [](Run& run) {
            PortRecord* busy = listedPort("NUL:");
            if (!busy || !(busy->flags & JobBackEndOpen)) run.violation("the port with an open job was deleted");
        },
    };
}

// H: the status window hears of device changes: the printer's device present, then gone.
Scenario statusRefresh() {
    return {
        "status_refresh",
        "WM_DEVICECHANGE to the status window with a printer's device present, then absent",
        [](Run& run) {
            installMonitorKey();
            addPort("USB-001", usbConfig(FirstPrinterId));
            addPort("USB-002", usbConfig(SecondPrinterId));
            machine().addUsbPrinter({FirstPrinterId, "USB-001"});
            machine().addPrinter(PrinterName, "USB-001", PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_WORK_OFFLINE);
            machine().addPrinter("Second Printer", "USB-002", PRINTER_ATTRIBUTE_LOCAL);
            start(run);
        },
        [](Run&) {
            machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
            machine().unplugUsbPrinter(FirstPrinterId);
            machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        },
        [](Run& run) {
            for (const char* printer : {PrinterName, "Second Printer"})
                if ((machine().printerAttributes(printer) & ~(DWORD)PRINTER_ATTRIBUTE_WORK_OFFLINE) !=
                    PRINTER_ATTRIBUTE_LOCAL)
                    run.violation(std::string("the attributes of ") + printer + " changed beyond the work-offline bit");
        },
    };
}

std::vector<Scenario> scenarios() {
    return {startFromRegistry(), enumLevel(1),   enumLevel(2), enumPortNameCase(), enumEmptyPortName(),
            nullJob(),           fileJob(),      fileJobDialog(), usbJob(),        deletePorts(),
            statusRefresh()};
}

int usage() {
    std::fprintf(stderr, "usage: fault_sweep SCENARIO [--point POINT] | --list\n");
    return 2;
}

}  // namespace

}  // namespace faults

int main(int argc, char** argv) {
    using namespace faults;
    if (argc == 2 && std::string(argv[1]) == "--list") {
        for (const auto& s : scenarios()) std::printf("%-22s %s\n", s.name, s.summary);
        return 0;
    }
    if (argc != 2 && !(argc == 4 && std::string(argv[2]) == "--point")) return usage();
    for (const auto& s : scenarios()) {
        if (s.name != std::string(argv[1])) continue;
        return argc == 4 ? runOnePoint(s, argv[3]) : sweep(s);
    }
    return usage();
}
