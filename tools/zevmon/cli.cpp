// The shared subcommands of both zevmon builds.
#include "cli.h"

#include <cstdio>

namespace zevmon {

void addSharedCommands(CLI::App& app, SharedCommands& c) {
    c.ports = app.add_subcommand("ports", "list the ports, as the spooler's EnumPorts sees them");
    c.ports->add_option("--level", c.level, "information level, 1 or 2")->check(CLI::Range(1, 2));
    c.ports->add_flag("--json", c.asJson, "JSON instead of a table");

    c.print = app.add_subcommand("print", "print a file, or standard input, to a port");
    c.print->add_option("port", c.job.port, "the port, such as USB-001")->required();
    c.print->add_option("file", c.job.input, "the file to print; - or nothing for standard input");
    c.print->add_option("--chunk", c.job.chunk, "bytes per write (default 4096)")->check(CLI::PositiveNumber);
    c.print->add_option("--document", c.job.document, "the document's name");
    c.print->add_option("--printer", c.job.printer, "the printer the job belongs to (default: the port's printer)");

    c.deletePort = app.add_subcommand("delete-port", "delete a port");
    c.deletePort->add_option("port", c.portName, "the port")->required();

    c.printers = app.add_subcommand("printers", "list the printers, their ports and whether they are online");
    c.printers->add_flag("--json", c.asJson, "JSON instead of a table");

    c.doctor = app.add_subcommand("doctor",
                                  "why a printer has no port, why it stays offline, what would stop the monitor");
    c.doctor->add_flag("--json", c.asJson, "one JSON object instead of the report");

    c.prune = app.add_subcommand("prune", "delete the USB ports whose printers are no longer installed");
    c.prune->add_flag("--yes", c.assumeYes, "do not ask");
}

bool checkCommandName(CLI::App& app, int argc, char** argv, const std::vector<std::string>& optionsWithValue) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool takesValue = false;
        for (auto& option : optionsWithValue) takesValue |= arg == option;
        if (takesValue) {
            i++;
            continue;
        }
        if (arg.empty() || arg[0] == '-') continue;
        for (auto* sub : app.get_subcommands({}))
            if (sub->get_name() == arg) return true;
        std::fprintf(stderr, "zevmon: unknown command '%s' (see: zevmon --help)\n", arg.c_str());
        return false;
    }
    return true;
}

int parseCommandLine(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    return -1;
}

}  // namespace zevmon
