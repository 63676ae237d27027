// The commands that work on any machine, simulated or real: they only call the
// monitor's table through the Spooler.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "spooler.h"

namespace zevmon {

// An operation that failed: a plain sentence for the user, exit status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws a Failure that says what failed, why, and the last error by name and number.
[[noreturn]] void fail(const std::string& what);

struct PrintOptions {
    std::string port;
    std::string input = "-";
    unsigned chunk = 4096;
    std::string document = "zevmon job";
    std::string printer;  // the printer the job belongs to; empty: the port's printer
};

struct PrinterState {
    std::string name;
    std::string port;
    bool online;
};

int listPorts(Spooler& spooler, unsigned level, bool asJson);
// The table (or JSON) of ports, however they were listed.
void showPorts(const std::vector<PortEntry>& ports, unsigned level, bool asJson);
// The bytes of a job: the file, or standard input for "-".
std::string readJobInput(const std::string& input);
int printJob(Spooler& spooler, const PrintOptions& options, const std::string& printer);
int deletePort(Spooler& spooler, const std::string& name);
int listPrinters(const std::vector<PrinterState>& printers, bool asJson);
// The first printer that prints to the port, or "".
std::string printerFor(const std::vector<PrinterState>& printers, const std::string& port);

}  // namespace zevmon
