// The typical job, end to end: a USB printer is installed; the spooler's port
// enumeration creates its port; the driver index is rebuilt at the next window
// message; a document reaches the printer's OUT pipe; the printer is unplugged
// and its spooler printer goes offline; a job given meanwhile waits in the
// print queue; plugged in again, the printer comes back online and the job prints.
#include "demo.h"

#include <fmt/format.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <winspool.h>

#include <chrono>
#include <thread>

#include "common/registry.h"
#include "common/terminal.h"
#include "machine_commands.h"
#include "live_machine.h"
#include "sim/machine.h"

namespace zevmon {

namespace {

const char* const PrinterName = DefaultPrinterName;

struct Outcome {
    std::string step;
    bool ok;
};

class Demo {
public:
    Demo(LiveMachine& live, MonitorCaller& table) : live_(live), table_(table) {}

    void heading(const std::string& title) { printFitted("\n== %d. %s\n", ++step_, title.c_str()); }
    void say(const std::string& line) { printFitted("   %s\n", line.c_str()); }
    bool outcome(const std::string& what, bool ok) {
        printFitted("   %s %s\n", ok ? "[ok]  " : "[FAIL]", what.c_str());
        outcomes_.push_back({what, ok});
        return ok;
    }
    bool offline() { return sim::machine().printerAttributes(PrinterName) & PRINTER_ATTRIBUTE_WORK_OFFLINE; }

    int run();

private:
    LiveMachine& live_;
    MonitorCaller& table_;
    int step_ = 0;
    std::vector<Outcome> outcomes_;
};

std::uint64_t receivedBytes() {
    std::uint64_t bytes = 0;
    sim::machine().withUsbPrinter(DefaultPrinterId, [&](sim::UsbPrinter& p) { bytes = p.receivedBytes; });
    return bytes;
}

// A document given to the printer's queue as an application gives it; the job's id, or 0.
DWORD queueDocument(const std::string& document, const std::string& name) {
    HANDLE printer = nullptr;
    if (!OpenPrinterA(const_cast<LPSTR>(PrinterName), &printer, nullptr)) return 0;
    DOC_INFO_1A info{const_cast<LPSTR>(name.c_str()), nullptr, const_cast<LPSTR>("RAW")};
    DWORD job = StartDocPrinterA(printer, 1, (LPBYTE)&info), written = 0;
    bool given = job && WritePrinter(printer, (LPVOID)document.data(), (DWORD)document.size(), &written) &&
                 EndDocPrinter(printer);
    ClosePrinter(printer);
    return given ? job : 0;
}

// The job's status in the queue, once its playback has looked at its printer.
std::optional<sim::JobReport> queuedJob(DWORD id) {
    for (int tries = 0; tries < 100; tries++) {
        if (auto job = sim::machine().spooledJob(id); job && job->status != 0) return job;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

std::string sampleDocument() {
    std::string page = "\x1b@ZEVURUZI demo page\r\n";
    for (int line = 1; line <= 400; line++)
        page += fmt::format("line {:03}: the quick brown fox jumps over the lazy dog\r\n", line);
    return page + "\x0c";
}

int Demo::run() {
    MonitorCaller& table = table_;
    auto& registry = sim::machine().registry();
    std::string instanceKey = deviceKey(DefaultPrinterId);

    say(fmt::format("The machine behaves as {}.",
                    sim::machine().isWindows98() ? "Windows 98, as our users' machines do" : "an NT-family system"));
    heading("A USB printer is installed");
    say(fmt::format("Device {} is plugged in; its installation wrote", DefaultPrinterId));
    say(fmt::format("[HKEY_LOCAL_MACHINE\\{}] \"PortName\"=\"{}\"", instanceKey,
                    registry.stringValue(instanceKey, "PortName").value_or("?")));
    say(fmt::format("The spooler's printer \"{}\" prints to port {}.", PrinterName,
                    registry.stringValue(sim::printerKey(PrinterName), "Port").value_or("?")));
    say("The spooler started the monitor: InitializeMonitorEx loaded the ports FILE: and NUL: from the registry,");
    say("and the hidden status window \"SetQMUsbPortStatus\" runs on a thread of its own.");
    outcome("no port USB-001 exists yet", !registry.exists(std::string(MonitorKeyPath) + "\\USB-001"));

    heading("EnumPorts creates and lists the port");
    std::vector<PortEntry> ports;
    if (!table.enumPorts(2, ports)) say(fmt::format("EnumPorts failed: {}", errorText(GetLastError())));
    say(fmt::format("{:<10} {:<16} {:<12} {}", "PORT", "MONITOR", "DESCRIPTION", "TYPE"));
    bool listed = false;
    for (auto& p : ports) {
        say(fmt::format("{:<10} {:<16} {:<12} {}", p.name, p.monitor, p.description, p.type));
        listed |= p.name == "USB-001" && p.monitor == "VO DUV Udadizo" && p.description == "USB Port" && p.type == 3;
    }
    // Read as the monitor's next start reads it; the monitor writes the whole record.
    if (PortConfig config = storedConfig("USB-001"); config.kind != -1)
        say(fmt::format("Stored as \"Property\" ({} bytes): kind {}, instance id {}, write pipe {}, read pipe {}.",
                        sizeof config, config.kind, config.usb.instanceId, config.usb.writePipe, config.usb.readPipe));
    outcome("USB-001 is listed at level 2 in the same call that created it: \"VO DUV Udadizo\", \"USB Port\", type 3",
            listed);

    heading("The driver index is rebuilt at the next window message");
    say("No message is posted for it; the system's next broadcast (a settings change) reaches the window.");
    sim::machine().broadcast(WM_WININICHANGE, 0, 0);
    sim::machine().waitIdle();
    sim::machine().broadcast(WM_WININICHANGE, 0, 0);
    sim::machine().waitIdle();
    auto commands = sim::machine().commandLines();
    for (auto& c : commands) say(fmt::format("WinExec(\"{}\", {})", c.first, c.second));
    outcome("the rebuild ran once over two messages",
            commands.size() == 1 && commands[0].first == "Rundll setupx.dll,DiBuildDriverIndex TRUE");

    heading("A document is printed on USB-001");
    std::string document = sampleDocument();
    // Recorded as a job of its own, as a direct print is, apart from the queued one below.
    JobRecorder recorder(live_.folder(), "Demo page", "USB-001");
    recorder.begin(DefaultPrinterId);
    HANDLE port = nullptr;
    bool printed = table.openPort("USB-001", port) && table.startDocPort(port, PrinterName, 1, "Demo page");
    size_t sent = 0;
    unsigned writes = 0;
    while (printed && sent < document.size()) {
        DWORD written = 0, size = (DWORD)std::min<size_t>(4096, document.size() - sent);
        printed = table.writePort(port, document.data() + sent, size, written);
        sent += written;
        writes++;
    }
    if (port) {
        printed = table.endDocPort(port) && printed;
        table.closePort(port);
    }
    std::vector<BYTE> received = sim::machine().usbReceived(DefaultPrinterId);
    recorder.finish(printed ? "complete" : fmt::format("stopped after {} bytes", sent));
    say(fmt::format("OpenPort, StartDocPort, {} WritePort calls of up to 4096 bytes, EndDocPort: {} bytes sent.", writes,
                    sent));
    say(fmt::format("The printer's OUT pipe received {} bytes.", received.size()));
    outcome("the bytes that reached the printer match the document",
            printed && std::string(received.begin(), received.end()) == document);

    heading("The printer is unplugged");
    sim::machine().unplugUsbPrinter(DefaultPrinterId);
    live_.deviceChanged();
    say("The system broadcasts WM_DEVICECHANGE; the status window refreshes the printers.");
    say(fmt::format("\"{}\" is {}.", PrinterName, offline() ? "offline (PRINTER_ATTRIBUTE_WORK_OFFLINE)" : "online"));
    bool refused = table.openPort("USB-001", port) && !table.startDocPort(port, PrinterName, 2, "Second page");
    DWORD error = GetLastError();
    if (refused) say(fmt::format("A new job cannot start: {} ({}).", errorMeaning(error), errorText(error)));
    outcome("the printer went offline and a job start fails with ERROR_NOT_READY",
            offline() && refused && error == ERROR_NOT_READY);
    if (port) table.endDocPort(port);

    heading("A job given while the printer is unplugged waits in the queue");
    std::string why;
    if (!live_.startSpooler(why)) say(why);
    for (const std::string& line : sim::machine().spoolerNotices()) say(line);
    say("An application prints through the spooler: OpenPrinterA, StartDocPrinterA, WritePrinter, EndDocPrinter.");
    std::string waiting = "page two, given while the printer was unplugged\r\n\x0c";
    std::uint64_t before = receivedBytes();
    DWORD job = queueDocument(waiting, "Second page");
    std::optional<sim::JobReport> queued = job ? queuedJob(job) : std::nullopt;
    if (queued) say(fmt::format("Job {} \"{}\": {}.", queued->id, queued->document, jobStatusText(*queued)));
    outcome("the spooler holds the job while its printer works offline, and nothing is sent",
            queued && (queued->status & JOB_STATUS_OFFLINE) && receivedBytes() == before);

    heading("The printer is plugged in again");
    sim::machine().plugUsbPrinter(DefaultPrinterId);
    live_.deviceChanged();
    say(fmt::format("\"{}\" is {}; the spooler releases the held job.", PrinterName, offline() ? "offline" : "online"));
    std::optional<sim::JobReport> ended;
    for (int waited = 0; job && !(ended = sim::machine().endedJob(job)) && waited < 1000; waited++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ended) say(fmt::format("Job {}: {}; the printer received {} more bytes.", job, jobStatusText(*ended),
                               receivedBytes() - before));
    outcome("the printer is online again and the held job printed, once, with no change to the port",
            !offline() && ended && ended->status == JOB_STATUS_PRINTED && receivedBytes() - before == waiting.size());

    printFitted("\n== Summary\n");
    int failed = 0;
    for (auto& o : outcomes_) {
        printFitted("   %s %s\n", o.ok ? "[ok]  " : "[FAIL]", o.step.c_str());
        failed += !o.ok;
    }
    printFitted("   %zu steps, %d failed. The monitor made port USB-001, printed %zu bytes to it,\n", outcomes_.size(),
                failed, received.size());
    printFitted("   followed the printer offline and online, held a job while it was away and printed it on its\n");
    printFitted("   return, and ran the driver-index rebuild once.\n");
    return failed ? 1 : 0;
}

}  // namespace

int runDemo(bool trace, const std::optional<std::filesystem::path>& keepIn) {
    char pattern[] = "/tmp/zevmon-demo-XXXXXX";
    if (keepIn && !MachineFolder(*keepIn).isNew()) {
        std::fprintf(console().err(), "zevmon: The demo makes a new machine, and %s is not empty: name an empty or new folder "
                             "with --machine.\n", keepIn->string().c_str());
        return 1;
    }
    if (keepIn) std::filesystem::create_directories(*keepIn);
    if (!keepIn && !mkdtemp(pattern)) {
        std::fprintf(console().err(), "zevmon: no temporary folder for the demo machine could be made.\n");
        return 1;
    }
    std::filesystem::path folder = keepIn ? *keepIn : std::filesystem::path(pattern);
    int status;
    {
        printFitted("The typical job of ZEVURUZI.DLL, on a new machine in %s\n", folder.string().c_str());
        // The monitor starts alone first: the enumeration is a step of its
        // own, and so is the print queue.
        LiveMachine live(folder, true);
        live.folder().createDefault();
        Boot how;
        how.spooler = false;
        std::vector<std::string> said;
        live.boot(how, said);
        for (const std::string& line : said) notice(line);
        MonitorCaller table(trace);
        std::string why;
        if (!live.startMonitorAlone(table, why)) throw MachineError(why);
        status = Demo(live, table).run();
        if (keepIn) live.shutdown();
    }
    if (!keepIn) {
        std::filesystem::remove_all(folder);
        return status;
    }
    printFitted("\nThe demo's machine stays in %s: zevmon --machine %s ports, usb list, doctor, ... show it.\n",
                folder.string().c_str(), folder.string().c_str());
    return status;
}

namespace {

int cmdDemo(HostRun& run) { return runDemo(run.global.trace, run.global.named); }

}  // namespace

const Verb<HostRun> DemoCommand("demo", "walk through a typical job on a new, temporary machine", nullptr, nullptr,
                                cmdDemo);

}  // namespace zevmon
