// The command line of both zevmon builds: a build's table of commands added
// to it, the parse, and the row of the table that the parsed line names, with
// that command's checks of its words.
#pragma once

#include <CLI/CLI.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "command.h"

namespace zevmon {

// The version zevmon and the monitor it drives are built with: 1.0.0.0.
std::string versionText();

// A command as the person reading the sentence runs it as it stands:
// "zevmon WORDS", with the machine's folder before the words where zevmon
// runs on one that is not the default. Advice is always said through it.
std::string zevmonCommand(const std::string& words);
// The global words every such command carries (--machine FOLDER); set once,
// before any command runs.
void setCommandPrefix(const std::string& globalWords);

// One command to a line, --version, and global options that may follow a
// command as well as precede it: call before the commands are added, which
// inherit it.
void setUpCommandLine(CLI::App& app);

// The command of these words ("usb"), or the top of the line for "".
CLI::App* commandAt(CLI::App& app, const std::string& words);

// `help [COMMAND...]`, which every build has: the line is read as
// `COMMAND... --help` (parseCommandLine), so that both show the same help.
void addHelpCommand(CLI::App& app);

// Adds each command of the table under its parent, in the table's order, and
// then help; the options land in `run`, which has to outlive the parse.
template <class BuildRun>
void addCommands(CLI::App& app, const std::vector<Command<BuildRun>>& table, BuildRun& run) {
    for (const Command<BuildRun>& row : table) {
        CLI::App* command = commandAt(app, row.parent)->add_subcommand(row.word, row.help);
        if (!row.run) command->require_subcommand(1);
        row.declare(*command, run);
    }
    addHelpCommand(app);
}

// Parses, once every subcommand is added, and gives the exit status when the
// run ends here: 0 for --help or --version, 2 for a usage error; -1 to go on.
// Every subcommand's help ends with globalOptions, which CLI11 lists only in
// the top-level help.
int parseCommandLine(CLI::App& app, int argc, char** argv, const std::string& globalOptions);

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

// The checks of the parsed command's words, once the build's global ones
// passed: 2 (reported), or -1.
template <class BuildRun>
int checkWords(const Command<BuildRun>& row, CLI::App& app, BuildRun& run) {
    return row.check(*commandAt(app, row.name), run);
}

// The steps of a line on both builds, once the build's global options are on
// `app`: the table's commands added, the line parsed, the row of its command
// found and its words checked; then `runs` runs that row, and its status is
// the line's. A line that ends before (help, a usage error) gives its own.
template <class BuildRun, class Runs>
int runCommandLine(CLI::App& app, int argc, char** argv, const std::vector<Command<BuildRun>>& table, BuildRun& run,
                   const std::string& globalOptions, Runs&& runs) {
    addCommands(app, table, run);
    int parsed = parseCommandLine(app, argc, argv, globalOptions);
    if (parsed >= 0) return parsed;
    const Command<BuildRun>& command = commandFor(table, app);
    if ((parsed = checkWords(command, app, run)) >= 0) return parsed;
    return runs(command);
}

// Checks of a number typed for an option, which say what the number is when
// they refuse one: "--level: the level is 1 or 2, not x". A whole number
// from least to most, digits only (no sign, no wrap-around past the largest).
CLI::Validator wholeNumber(const std::string& what, unsigned long long least, unsigned long long most);
// A number of seconds, a fraction allowed, 0 or more.
CLI::Validator secondsNumber(const std::string& what);

}  // namespace zevmon
