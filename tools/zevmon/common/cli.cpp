// The command line of both zevmon builds.
#include "cli.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>

#include "resources/string_table.h"
#include "text.h"

namespace zevmon {

namespace {
std::string commandPrefix;
}

std::string zevmonCommand(const std::string& words) {
    return commandPrefix.empty() ? "zevmon " + words : "zevmon " + commandPrefix + " " + words;
}

void setCommandPrefix(const std::string& globalWords) { commandPrefix = globalWords; }

namespace {

std::string commandPath(const CLI::App* app) {
    std::string path;
    for (; app; app = app->get_parent()) path = (app->get_parent() ? app->get_name() : "zevmon") + (path.empty() ? "" : " " + path);
    return path;
}

std::vector<std::string> commandNames(CLI::App* app) {
    std::vector<std::string> names;
    for (auto* sub : app->get_subcommands({})) names.push_back(sub->get_name());
    return names;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (auto& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

// The option of this name in the command or the commands it belongs to.
const CLI::Option* findOption(CLI::App* app, const std::string& name) {
    for (; app; app = app->get_parent())
        for (const CLI::Option* option : app->get_options())
            if (option->check_name(name)) return option;
    return nullptr;
}

// Edits from one word to the other, a swap of two neighbours counting as one:
// "prots" is one edit from "ports".
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); j++) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); i++)
        for (size_t j = 1; j <= b.size(); j++) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

}  // namespace

std::string nearestName(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    size_t bestDistance = std::max<size_t>(1, word.size() / 4) + 1;
    for (const std::string& candidate : candidates) {
        size_t distance = editDistance(word, candidate);
        if (word.size() >= 2 && candidate.compare(0, word.size(), word) == 0) distance = 1;  // a prefix
        if (distance < bestDistance) bestDistance = distance, best = candidate;
    }
    return best;
}

std::string versionText() {
    const int numbers[] = {MONITOR_VERSION_NUMBERS};
    return fmt::format("{}.{}.{}.{}", numbers[0], numbers[1], numbers[2], numbers[3]);
}

void setUpCommandLine(CLI::App& app) {
    app.name("zevmon");  // not the path it was started by, in the usage line
    app.require_subcommand(1);
    app.set_version_flag("--version", "zevmon " + versionText());
    app.fallthrough();
}

CLI::App* commandAt(CLI::App& app, const std::string& words) {
    CLI::App* command = &app;
    for (size_t at = 0; at < words.size();) {
        size_t end = std::min(words.find(' ', at), words.size());
        command = command->get_subcommand(words.substr(at, end - at));
        at = end + 1;
    }
    return command;
}

namespace {

void listGlobalOptionsInHelp(CLI::App& app, const std::string& globalOptions) {
    for (auto* sub : app.get_subcommands({})) {
        sub->footer("Global options, before or after the command:\n" + globalOptions);
        listGlobalOptionsInHelp(*sub, globalOptions);
    }
}

// Checks the command words before CLI11 parses them, so that a word that names
// no command is reported as unknown, with the nearest command, rather than as
// a missing command; a printer id or port name put before the usb command is
// shown the right way round. 2 when the line was refused (and reported), -1 to
// go on.
int checkCommandWords(CLI::App& app, int argc, char** argv) {
    CLI::App* current = &app;
    bool help = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.size() > 1 && arg[0] == '-') {
            std::string name = arg.substr(0, arg.find('='));
            help |= name == "--help" || name == "-h" || name == "--help-all" || name == "--version";
            const CLI::Option* option = findOption(current, name);
            if (option && option->get_items_expected_max() > 0 && arg.find('=') == std::string::npos) {
                // Said here: at the end of the line, CLI11 would ask for a command instead.
                if (i + 1 == argc && !help) {
                    std::fprintf(console().err(), "zevmon: %s needs a value: %s (see: %s --help)\n", name.c_str(),
                                 option->get_description().c_str(), commandPath(current).c_str());
                    return 2;
                }
                i++;
            }
            continue;
        }
        std::vector<std::string> names = commandNames(current);
        if (names.empty()) continue;  // a word of a command that takes no further command
        if (std::find(names.begin(), names.end(), arg) != names.end()) {
            current = current->get_subcommand(arg);
            continue;
        }
        std::string path = commandPath(current);
        for (int j = i + 1; j < argc; j++)
            if (std::find(names.begin(), names.end(), argv[j]) != names.end()) {
                std::fprintf(console().err(), "zevmon: the command comes before %s: %s %s %s\n", shellWord(arg).c_str(),
                             path.c_str(), argv[j], shellWord(arg).c_str());
                return 2;
            }
        std::string nearest = nearestName(arg, names);
        std::fprintf(console().err(), "%s: unknown command '%s'%s (see: %s --help)\n", path.c_str(), arg.c_str(),
                     nearest.empty() ? ("; its commands are " + joined(names)).c_str()
                                  : ("; did you mean '" + nearest + "'?").c_str(),
                     path.c_str());
        return 2;
    }
    if (!help && current->get_require_subcommand_min() > 0) {
        std::fprintf(console().err(), "zevmon: %s needs a command: %s (see: %s --help)\n", commandPath(current).c_str(),
                     joined(commandNames(current)).c_str(), commandPath(current).c_str());
        return 2;
    }
    return -1;
}

// `help WORDS...` read as `WORDS... --help`, the global options kept where
// they stand; the line as it is when help is not its first command word, or
// when it asks for help already (`help --help` is help's own).
std::vector<char*> readingHelp(CLI::App& app, int argc, char** argv) {
    std::vector<char*> line(argv, argv + argc);
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "--help-all") return line;
    }
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.size() > 1 && arg[0] == '-') {
            const CLI::Option* option = findOption(&app, arg.substr(0, arg.find('=')));
            if (option && option->get_items_expected_max() > 0 && arg.find('=') == std::string::npos) i++;
            continue;
        }
        if (arg != "help") break;
        static char askHelp[] = "--help";
        line.erase(line.begin() + i);
        line.push_back(askHelp);
        break;
    }
    return line;
}

}  // namespace

void addHelpCommand(CLI::App& app) {
    CLI::App* help = app.add_subcommand("help", "what a command does and its options, as COMMAND --help shows them");
    // Its words are only shown: a line with help first is read as COMMAND --help.
    help->add_option_function<std::vector<std::string>>(
            "command", [](const std::vector<std::string>&) {},
            "the command, such as print or usb add; none for zevmon's own")
        ->type_name(CommandWord);
}

int parseCommandLine(CLI::App& app, int argc, char** argv, const std::string& globalOptions) {
    listGlobalOptionsInHelp(app, globalOptions);
    std::vector<char*> line = readingHelp(app, argc, argv);
    argc = (int)line.size();
    argv = line.data();
    int checked = checkCommandWords(app, argc, argv);
    if (checked >= 0) return checked;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        CLI::App* deepest = &app;
        for (bool deeper = true; deeper;) {
            deeper = false;
            for (auto* sub : deepest->get_subcommands({}))
                if (sub->parsed()) deepest = sub, deeper = true;
        }
        std::fprintf(console().err(), "zevmon: %s (see: %s --help)\n", e.what(), commandPath(deepest).c_str());
        return 2;
    }
    return -1;
}

std::string parsedCommand(const CLI::App& app) {
    std::string words;
    for (std::vector<CLI::App*> parsed = app.get_subcommands(); !parsed.empty();
         parsed = parsed.front()->get_subcommands())
        words += (words.empty() ? "" : " ") + parsed.front()->get_name();
    return words;
}

CLI::Validator wholeNumber(const std::string& what, unsigned long long least, unsigned long long most) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            errno = 0;
            char* end = nullptr;
            unsigned long long value = std::strtoull(text.c_str(), &end, 10);
            bool whole = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos && errno == 0;
            return whole && *end == 0 && value >= least && value <= most ? "" : what + ", not " + text;
        },
        // A short range is listed in the help, and offered by the completion.
        most - least <= 20 ? "[" + std::to_string(least) + " - " + std::to_string(most) + "]" : "");
}

CLI::Validator secondsNumber(const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            double value = std::strtod(text.c_str(), &end);
            bool number = !text.empty() && *end == 0 && std::isfinite(value) && value >= 0 &&
                          text.find_first_not_of("0123456789.") == std::string::npos;
            return number ? "" : what + ", not " + text;
        },
        "");
}

}  // namespace zevmon
