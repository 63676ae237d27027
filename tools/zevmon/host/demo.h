// The typical job, end to end, on a new temporary machine.
#pragma once

namespace zevmon {

// Walks through the typical job step by step; returns the exit status.
int runDemo(bool trace);

}  // namespace zevmon
