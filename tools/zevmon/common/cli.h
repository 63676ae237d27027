// The subcommands that both builds of zevmon offer, defined once: their names,
// their help and their options. Each main adds its own beside them and runs
// them its own way.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "commands.h"

namespace zevmon {

struct SharedCommands {
    CLI::App* ports = nullptr;
    CLI::App* print = nullptr;
    CLI::App* deletePort = nullptr;
    CLI::App* printers = nullptr;
    CLI::App* doctor = nullptr;
    CLI::App* prune = nullptr;

    unsigned level = 2;
    bool asJson = false;
    PrintOptions job;
    std::string portName;
    bool assumeYes = false;
};

// The largest --chunk: a job's read buffer is at least this big.
const unsigned MaxChunk = 64u << 20;

// Lets the global options follow a subcommand as well as precede it: call
// before the subcommands are added, which inherit it.
void acceptGlobalOptionsAnywhere(CLI::App& app);

// The options land in `commands`, which has to outlive the parse.
void addSharedCommands(CLI::App& app, SharedCommands& commands);

// Parses, once every subcommand is added, and gives the exit status when the
// run ends here: 0 for --help or --version, 2 for a usage error; -1 to go on.
// Every subcommand's help ends with globalOptions, which CLI11 lists only in
// the top-level help.
int parseCommandLine(CLI::App& app, int argc, char** argv, const std::string& globalOptions);

// `print FILE PORT`, the two the wrong way round: 2 (reported), or -1.
int checkPrintArguments(const PrintOptions& job);

// The name of the nearest of the candidates, or "" when none is near.
std::string nearestName(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace zevmon
