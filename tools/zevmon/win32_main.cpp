// zevmon.exe: the same commands on a Windows machine, against the real
// ZEVURUZI.DLL, the machine's registry, devices and spooler. The DLL is loaded
// into zevmon's own process and started with InitializeMonitorEx, as the
// spooler starts it.
//
// Exit status: 0 success, 1 an operation failed, 2 a usage error.
#include <windows.h>
#include <winspool.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "spooler.h"

namespace {

using namespace zevmon;

// The machine's local printers, their ports, and whether they work offline.
std::vector<PrinterState> machinePrinters() {
    DWORD needed = 0, count = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    std::vector<PrinterState> printers;
    if (!EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, buffer.data(), needed, &needed, &count)) return printers;
    auto* info = reinterpret_cast<PRINTER_INFO_2A*>(buffer.data());
    for (DWORD i = 0; i < count; i++)
        printers.push_back({info[i].pPrinterName ? info[i].pPrinterName : "", info[i].pPortName ? info[i].pPortName : "",
                            !(info[i].Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE)});
    return printers;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zevmon: drives the ZEVURUZI.DLL port monitor as the print spooler would, on this machine."};
    app.require_subcommand(1);
    app.allow_windows_style_options(false);  // a path such as /jobs/page.prn is a file, not an option
    bool trace = false, asJson = false;
    std::string dll = "ZEVURUZI.DLL";
    app.add_flag("--trace", trace, "print every call of the monitor's table, its result and last error");
    app.add_option("--dll", dll, "the monitor DLL to load (default: ZEVURUZI.DLL, searched as Windows does)");

    unsigned level = 2;
    auto* ports = app.add_subcommand("ports", "list the ports, as the spooler's EnumPorts sees them");
    ports->add_option("--level", level, "information level, 1 or 2")->check(CLI::Range(1, 2));
    ports->add_flag("--json", asJson, "JSON instead of a table");

    PrintOptions print;
    auto* printCmd = app.add_subcommand("print", "print a file, or standard input, to a port");
    printCmd->add_option("port", print.port, "the port, such as USB-001")->required();
    printCmd->add_option("file", print.input, "the file to print; - or nothing for standard input");
    printCmd->add_option("--chunk", print.chunk, "bytes per WritePort call (default 4096)")->check(CLI::PositiveNumber);
    printCmd->add_option("--document", print.document, "the document's name");
    printCmd->add_option("--printer", print.printer, "the printer the job belongs to (default: the port's printer)");

    std::string portName;
    auto* deleteCmd = app.add_subcommand("delete-port", "delete a port");
    deleteCmd->add_option("port", portName, "the port")->required();

    auto* printers = app.add_subcommand("printers", "list the printers, their ports and whether they are online");
    printers->add_flag("--json", asJson, "JSON instead of a table");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    try {
        HMODULE module = LoadLibraryA(dll.c_str());
        if (!module) fail(dll + " could not be loaded");
        auto initialize = (Spooler::InitializeFn)(void*)GetProcAddress(module, "InitializeMonitorEx");
        if (!initialize) fail(dll + " has no InitializeMonitorEx");
        Spooler spooler(trace);
        if (!spooler.initialize(initialize)) fail("The monitor did not start");
        // Like the spooler, list the ports once at the start: new USB printers get their ports.
        std::vector<PortEntry> started;
        spooler.enumPorts(1, started);
        if (ports->parsed()) return listPorts(spooler, level, asJson);
        if (printCmd->parsed())
            return printJob(spooler, print,
                            print.printer.empty() ? printerFor(machinePrinters(), print.port) : print.printer);
        if (deleteCmd->parsed()) return deletePort(spooler, portName);
        if (printers->parsed()) return listPrinters(machinePrinters(), asJson);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zevmon: %s\n", e.what());
        return 1;
    }
}
