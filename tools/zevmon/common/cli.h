// The command line of both zevmon builds: the shared subcommands defined once
// (their names, help and options), the parse, and the row of a build's table
// that the parsed line names. Each main adds its own commands beside them.
#pragma once

#include <CLI/CLI.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands.h"

namespace zevmon {

// The largest --chunk: a job's read buffer is at least this big.
const unsigned MaxChunk = 64u << 20;

// The version zevmon and the monitor it drives are built with: 1.0.0.0.
std::string versionText();

// One command to a line, --version, and global options that may follow a
// command as well as precede it: call before the commands are added, which
// inherit it.
void setUpCommandLine(CLI::App& app);

// The options land in `options`, which has to outlive the parse.
void addSharedCommands(CLI::App& app, SharedOptions& options);

// Parses, once every subcommand is added, and gives the exit status when the
// run ends here: 0 for --help or --version, 2 for a usage error; -1 to go on.
// Every subcommand's help ends with globalOptions, which CLI11 lists only in
// the top-level help.
int parseCommandLine(CLI::App& app, int argc, char** argv, const std::string& globalOptions);

// The shared commands' own checks of their words, after the parse and the
// build's own checks: `print FILE PORT`, the two the wrong way round. 2
// (reported), or -1. A print of a file without --document is named after
// the file, as lp names it.
int checkSharedArguments(const CLI::App& app, SharedOptions& options);

// The name of the nearest of the candidates, or "" when none is near.
std::string nearestName(const std::string& word, const std::vector<std::string>& candidates);

// The words of the command on the parsed line: "print", "usb add".
std::string parsedCommand(const CLI::App& app);

// The row of the command on the parsed line; every command has one.
template <class BuildRun>
const Command<BuildRun>& commandFor(const std::vector<Command<BuildRun>>& table, const CLI::App& app) {
    std::string name = parsedCommand(app);
    for (const Command<BuildRun>& command : table)
        if (name == command.name) return command;
    throw std::logic_error("zevmon has no row for the command '" + name + "'");
}

}  // namespace zevmon
