// The commands of both builds, each written once, and what a build's table of
// commands is made of: a row per command that names it, says what it needs
// and gives the function that runs it. A build's main finds the row of the
// command on the line, makes ready what the row needs, and runs it
// (host/main.cpp, win32/main.cpp).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "doctor.h"
#include "error_text.h"
#include "print.h"
#include "route.h"
#include "monitor_table.h"

namespace zevmon {

// What a command needs before it runs; a build's main applies the needs it knows.
enum Need : unsigned {
    ReadsMachine = 1u << 0,    // host: the machine loaded from its folder, for reading
    ChangesMachine = 1u << 1,  // host: the machine loaded under its folder's lock, saved at the end
    StartsMonitor = 1u << 2,   // the monitor started, or the command fails: on the host on the machine; on
                               // zevmon.exe the spooler's own copy, or with --dll one in zevmon's process
    TriesMonitor = 1u << 3,    // host: the monitor started if it can be; the command goes on without it
    UsesSystemSpooler = 1u << 4,  // zevmon.exe: the system's spooler, with --dll or without
    MakesChange = 1u << 5,     // host: a change is its purpose: refused before it runs when the folder cannot
                               // be written, and its result said once the change is saved
    PrintsQueue = 1u << 6,     // host: printing is its purpose: the jobs waiting in the machine's queue print
                               // in this run (with ChangesMachine)
    LooksAtQueue = 1u << 7,    // host: the machine's queue read, and a job cancelled, without the machine's
                               // lock, while another run prints; nothing of it prints
};

// The options of the shared commands.
struct SharedOptions {
    unsigned level = 2;
    bool asJson = false;
    PrintOptions job;
    std::string portName;
    bool assumeYes = false;
    bool evenIfUsed = false;            // prune: ports that printers still use too
    bool nullPort = false;              // add-port --null
    std::optional<std::string> toFile;  // add-port --file PATH
    std::string printerName;            // printers online NAME
};

// What a command runs with: its options, and what its row's needs made ready.
// Each build extends it with what its own commands take.
struct Run {
    SharedOptions options;
    PortRoute* route = nullptr;                           // StartsMonitor
    std::function<std::vector<PrinterState>()> printers;  // the spooler's printers
    std::function<Diagnosis()> diagnose;                  // doctor's findings on this machine
    std::string whenPortKeysLoad;                         // add-port: when the running monitor lists a new key
};

template <class BuildRun>
struct Command {
    const char* name;  // as typed: "print", "usb add"
    unsigned needs;
    std::function<int(BuildRun&)> run;
};

// The commands of both builds, by the file each is written in.

// ports.cpp
int cmdPorts(Run& run);
int cmdDeletePort(Run& run);
int cmdAddPort(Run& run);

// print.cpp
int cmdPrint(Run& run);

// printers.cpp
int cmdPrinters(Run& run);
int cmdPrintersOnline(Run& run);
// The first printer that prints to the port, or "".
std::string printerFor(const std::vector<PrinterState>& printers, const std::string& port);

// doctor.cpp
int cmdDoctor(Run& run);
int cmdPrune(Run& run);

}  // namespace zevmon
