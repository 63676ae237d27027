// The typical job, end to end, on a new temporary machine, or on a new one in
// a folder the user names, which is kept for them to explore.
#pragma once

#include <filesystem>
#include <optional>

namespace zevmon {

// Walks through the typical job step by step; returns the exit status.
int runDemo(bool trace, const std::optional<std::filesystem::path>& keepIn = std::nullopt);

}  // namespace zevmon
