// zevmon's manual page and its bash completion, both written from the command
// line that the build's table of commands made: every command a person can
// type, its help, its options and theirs, the very words --help shows. The
// build writes them with the zevmon it documents (`zevmon --generate man
// FILE`, `zevmon --generate bash-completion FILE`), so that neither can fall
// behind a command.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace zevmon {

// zevmon(1): one page, with a section per command. The commands are many but
// small, a handful of options each, and share their global options; a page
// per command would scatter two dozen short pages, each repeating those.
std::string manualPage(const CLI::App& app);

// A script that bash-completion loads for zevmon: the commands, the options,
// the values a check lists, and the ports, printers and USB printers of the
// machine named on the line, which it asks zevmon for as JSON.
std::string bashCompletion(const CLI::App& app);

}  // namespace zevmon
