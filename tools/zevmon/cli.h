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

// The options land in `commands`, which has to outlive the parse.
void addSharedCommands(CLI::App& app, SharedCommands& commands);

// A first word that names no command is reported as unknown, rather than as a
// missing command; options that take a value are skipped with it. False when
// the word was unknown (and reported).
bool checkCommandName(CLI::App& app, int argc, char** argv, const std::vector<std::string>& optionsWithValue);

// Parses, and gives the exit status when the run ends here: 0 for --help or
// --version, 2 for a usage error; -1 to go on.
int parseCommandLine(CLI::App& app, int argc, char** argv);

}  // namespace zevmon
