// Fault points: one failure of one simulated function, named so that a report
// can be read and replayed. A point is (function, occurrence, error, mode); the
// sweep makes one for every call a scenario's step makes, every error the
// function's table row lists and every mode that applies to the function.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/machine.h"

namespace faults {

// An error code with the name a report shows for it.
struct ErrorCode {
    DWORD code;
    const char* name;
};

// How the function fails: which occurrences, and later whatever else the
// machine learns to do (a close that keeps its object, a short write, ...).
struct FaultMode {
    const char* name;
    // Whether the mode means anything for this function.
    std::function<bool(const std::string& function)> appliesTo;
    // Turns the point's failure into what the machine injects.
    std::function<void(sim::Fault&)> shape;
    // A mode without an error (a write that succeeds short) makes one point per
    // call instead of one per error of the function's row.
    bool takesError = true;
};

// The error of a point whose mode takes none.
constexpr ErrorCode NoError{0, "-"};

struct FaultPoint {
    std::string function;
    unsigned occurrence = 1;  // 1-based, among the calls of this function in the step
    ErrorCode error{};
    const FaultMode* mode = nullptr;

    // "RegOpenKeyExA #3 ERROR_ACCESS_DENIED once", "WriteFile #2 - short-write"
    std::string name() const;
    void inject() const;
};

const std::vector<FaultMode>& faultModes();

// The errors a function is failed with; empty for a function that is not swept
// (it cannot fail, or fails only in ways the machine cannot make yet).
const std::vector<ErrorCode>& errorsFor(const std::string& function);

// Every point for a recorded step, in the order of the calls.
std::vector<FaultPoint> faultPoints(const std::vector<std::string>& recordedCalls);

// The recorded functions for which no point is made.
std::vector<std::string> unsweptFunctions(const std::vector<std::string>& recordedCalls);

}  // namespace faults
