// zevmon registry export: the simulated machine's registry as a REGEDIT4 file.
#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "machine_commands.h"
#include "sim/machine.h"

namespace zevmon {

void addRegistryCommands(CLI::App& app, HostRun& run) {
    auto* registry = app.add_subcommand("registry", "the machine's registry");
    registry->require_subcommand(1);
    auto* exportFile = registry->add_subcommand("export", "write the registry as a REGEDIT4 file");
    exportFile->add_option("file", run.exportFile, "the file; - or nothing for standard output");
}

int cmdRegistryExport(HostRun& run) {
    const std::string& file = run.exportFile;
    std::string text = sim::machine().registry().exportText();
    if (file.empty() || file == "-") {
        std::printf("%s", text.c_str());
        return 0;
    }
    errno = 0;
    std::ofstream out(file, std::ios::binary);
    out << text;
    out.close();
    if (!out) throw Failure(fmt::format("The file {} could not be written: {}.", file, std::strerror(errno ? errno : EIO)));
    std::printf("The registry was written to %s.\n", file.c_str());
    return 0;
}

}  // namespace zevmon
