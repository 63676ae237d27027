// Print jobs on null and file ports, written once for both harnesses: the unit
// tests play these scenarios against the simulated machine, the Wine program
// against the real DLL. A harness arranges its machine and reports a failed
// check; the steps, and what each must change and leave untouched, are the
// table's. Built into both, so it needs nothing but the Windows headers, the
// monitor's records and the standard library.
#pragma once

#include <string>
#include <vector>

#include "monitor/monitor.h"

// The one port each scenario starts the monitor with, and the printer its jobs
// name, which the harness makes. The printer may hold no port of its own.
#define JobPortName "JOBS-1"
#define JobPrinterName "Office Printer"

class JobHarness {
public:
    virtual ~JobHarness() = default;
    // The monitor started with the one port, stored with this configuration.
    virtual MONITOR_TABLE startMonitor(const char* portName, const PortConfig& config) = 0;
    // The Windows path of a file in the job folder, which exists; the file does
    // not yet when the scenario begins.
    virtual std::string jobPath(const char* fileName) = 0;
    // The open-file dialog picks this path the next time it is shown; without
    // an answer it is cancelled.
    virtual void answerDialog(const char* path) = 0;
    virtual int dialogsShown() = 0;
    // The file type the dialog showed selected, the last time.
    virtual std::string dialogFileType() = 0;
    // What the harness alone sees after a step: "" when its machine holds just
    // the port's file and printer handles and heldElsewhere files of the scenario's.
    virtual std::string machineFault(const PortRecord* record, int heldElsewhere) = 0;
    virtual void fail(const std::string& what) = 0;
};

// The scenarios' names, in the order they are written.
const std::vector<std::string>& JobScenarioNames();
void PlayJobScenario(const std::string& name, JobHarness& harness);

// Every byte value, line ends and end-of-file marks included, so that nothing
// on the way may translate or stop at one.
std::string binaryData(size_t size, unsigned seed);
