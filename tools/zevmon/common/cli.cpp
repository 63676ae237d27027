// The command line of both zevmon builds.
#include "cli.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "resources/string_table.h"
#include "text.h"

namespace zevmon {

namespace {

#ifdef _WIN32
const char PathSeparators[] = "\\/:";
#else
const char PathSeparators[] = "/";
#endif

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

bool isFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG;
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

void addSharedCommands(CLI::App& app, SharedOptions& o) {
    auto* ports = app.add_subcommand("ports", "list the ports, as the spooler's EnumPorts sees them");
    ports->add_option("--level", o.level, "information level, 1 or 2")->check(CLI::Range(1, 2));
    ports->add_flag("--json", o.asJson, "JSON instead of a table");

    auto* print = app.add_subcommand("print", "print a file, or standard input, to a port");
    print->add_option("port", o.job.port, "the port, such as USB-001")->required();
    print->add_option("file", o.job.input, "the file to print; - or nothing for standard input");
    CLI::Validator chunkSize(
        [](std::string& text) -> std::string {
            // By hand: the msvcrt.dll of Windows 95 has no strtoul.
            bool digits = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
            unsigned long value = 0;
            for (char c : digits ? text : std::string()) value = value * 10 + (unsigned long)(c - '0');
            if (digits && value >= 1 && value <= MaxChunk) return "";
            return fmt::format("the chunk size is a number of bytes from 1 to {} (64 MiB), not {}", MaxChunk, text);
        },
        "BYTES");
    print->add_option("--chunk", o.job.chunk, "bytes per write, 1 to 64 MiB (default 4096)")->check(chunkSize);
    print->add_option("--document", o.job.document, "the document's name");
    print->add_option("--printer", o.job.printer, "the printer the job belongs to (default: the port's printer)");

    auto* deletePort = app.add_subcommand("delete-port", "delete a port");
    deletePort->add_option("port", o.portName, "the port")->required();

    auto* addPort = app.add_subcommand("add-port", "add a null port or a file port, such as NUL: or FILE:");
    addPort->add_option("port", o.portName, "the port's name")->required();
    auto* nullPort = addPort->add_flag("--null", o.nullPort, "a null port: jobs go nowhere");
    auto* toFile = addPort->add_option("--file", o.toFile, "a file port writing to PATH (empty: ask at every job)");
    toFile->type_name("PATH");
    nullPort->excludes(toFile);

    auto* printers = app.add_subcommand("printers", "list the printers, their ports and whether they are online");
    printers->add_flag("--json", o.asJson, "JSON instead of a table");
    auto* online = printers->add_subcommand("online", "clear a printer's Work Offline mark, so that the spooler "
                                                      "prints the jobs it holds for it");
    online->add_option("printer", o.printerName, "the printer's name, quoted when it has spaces")->required();

    auto* doctor = app.add_subcommand("doctor",
                                      "why a printer has no port, why it stays offline, what would stop the monitor");
    doctor->add_flag("--json", o.asJson, "one JSON object instead of the report");

    auto* prune = app.add_subcommand("prune", "delete the USB ports whose devices are no longer installed");
    prune->add_flag("--yes", o.assumeYes, "do not ask");
    prune->add_flag("--even-if-used", o.evenIfUsed,
                    "delete a stale port that a printer still prints to as well, leaving that printer without a port");
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
            if (option && option->get_items_expected_max() > 0 && arg.find('=') == std::string::npos) i++;
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
                std::fprintf(stderr, "zevmon: the command comes before %s: %s %s %s\n", shellWord(arg).c_str(),
                             path.c_str(), argv[j], shellWord(arg).c_str());
                return 2;
            }
        std::string nearest = nearestName(arg, names);
        std::fprintf(stderr, "%s: unknown command '%s'%s (see: %s --help)\n", path.c_str(), arg.c_str(),
                     nearest.empty() ? ("; its commands are " + joined(names)).c_str()
                                  : ("; did you mean '" + nearest + "'?").c_str(),
                     path.c_str());
        return 2;
    }
    if (!help && current->get_require_subcommand_min() > 0) {
        std::fprintf(stderr, "zevmon: %s needs a command: %s (see: %s --help)\n", commandPath(current).c_str(),
                     joined(commandNames(current)).c_str(), commandPath(current).c_str());
        return 2;
    }
    return -1;
}

}  // namespace

int parseCommandLine(CLI::App& app, int argc, char** argv, const std::string& globalOptions) {
    listGlobalOptionsInHelp(app, globalOptions);
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
        std::fprintf(stderr, "zevmon: %s (see: %s --help)\n", e.what(), commandPath(deepest).c_str());
        return 2;
    }
    return -1;
}

int checkSharedArguments(const CLI::App& app, SharedOptions& options) {
    if (parsedCommand(app) == "add-port" && !options.nullPort && !options.toFile) {
        std::fprintf(stderr, "zevmon: add-port needs the kind of port: --null, or --file PATH (see: zevmon add-port "
                             "--help)\n");
        return 2;
    }
    if (parsedCommand(app) != "print") return -1;
    PrintOptions& job = options.job;
    if (job.input != "-" && app.get_subcommand("print")->get_option("--document")->count() == 0)
        job.document = job.input.substr(job.input.find_last_of(PathSeparators) + 1);
    if (job.input != "-" && isFile(job.input)) return -1;
    if (!isFile(job.port)) return -1;
    std::fprintf(stderr, "zevmon: %s is a file, not a port: the port comes first (zevmon print %s %s)\n",
                 job.port.c_str(), job.input == "-" ? "PORT" : shellWord(job.input).c_str(),
                 shellWord(job.port).c_str());
    return 2;
}

std::string parsedCommand(const CLI::App& app) {
    std::string words;
    for (std::vector<CLI::App*> parsed = app.get_subcommands(); !parsed.empty();
         parsed = parsed.front()->get_subcommands())
        words += (words.empty() ? "" : " ") + parsed.front()->get_name();
    return words;
}

}  // namespace zevmon
