// The shared sweep: a scenario is arranged on a fresh machine, its step is run
// once with call recording, and then once per fault point, each run in a child
// process of its own so that a sanitizer report or a hang names its point.
// After every run the same invariants are checked; a scenario adds its own.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "monitor/monitor.h"

namespace faults {

// Marker for "the call set the last error".
constexpr DWORD Marker = 0xdeadbeef;

// One run of a scenario: what its step learnt, and what went wrong.
struct Run {
    std::string fileRoot;        // host folder of this run's disks
    MONITOR_TABLE table{};       // as handed out by the start
    bool jobStarted = false;     // StartDocPort returned TRUE
    std::string written;         // the bytes WritePort reported written, in order
    std::vector<std::string> violations;

    void violation(const std::string& text) { violations.push_back(text); }

    // Calls an entry point with the last error set to Marker; a FALSE result
    // must come with a last error of its own. Returns the result.
    BOOL call(const std::string& what, const std::function<BOOL()>& entry);
};

struct Scenario {
    const char* name;
    const char* summary;
    std::function<void(Run&)> arrange;  // registry, devices, printers; the start if the step needs it
    std::function<void(Run&)> act;      // the step whose calls are swept
    std::function<void(Run&)> check;    // what this scenario adds to the shared checks; may be empty
};

// How long the status thread may take to settle after a step, and how long a
// whole run may take before it counts as hung.
constexpr unsigned SettleMilliseconds = 3000;
constexpr unsigned RunSeconds = 20;

// The ports in PortList, head first. Walked without the monitor's lock, so
// that a check adds no call to the step: the status thread is idle then.
std::vector<PortRecord*> listedPorts();

// Runs the sweep of one scenario and prints its report; the exit status.
int sweep(const Scenario& scenario);
// Runs one named point (or the run without a fault, for "none") in this process.
int runOnePoint(const Scenario& scenario, const std::string& pointName);

}  // namespace faults
