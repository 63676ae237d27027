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

// Ends every subcommand's help with the global options, which CLI11 lists only
// in the top-level help. Call once every subcommand is added.
void listGlobalOptionsInHelp(CLI::App& app, const std::string& globalOptions);

// Checks the command words before CLI11 parses them, so that a word that names
// no command is reported as unknown, with the nearest command, rather than as
// a missing command; a printer id or port name put before the usb command is
// shown the right way round. 2 when the line was refused (and reported), -1 to
// go on.
int checkCommandWords(CLI::App& app, int argc, char** argv);

// Parses, and gives the exit status when the run ends here: 0 for --help or
// --version, 2 for a usage error; -1 to go on.
int parseCommandLine(CLI::App& app, int argc, char** argv);

// `print FILE PORT`, the two the wrong way round: 2 (reported), or -1.
int checkPrintArguments(const PrintOptions& job);

// The name of the nearest of the candidates, or "" when none is near.
std::string nearestName(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace zevmon
