// zevmon registry export: the simulated machine's registry as a REGEDIT4 file.
#include <fcntl.h>
#include <sys/stat.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "machine_commands.h"
#include "common/terminal.h"
#include "sim/machine.h"

namespace zevmon {

namespace {

struct ExportWords {
    std::string file;  // "" or "-" for standard output
};

void declareRegistryExport(CLI::App& exportFile, HostRun& run) {
    exportFile.add_option("file", run.words<ExportWords>().file, "the file; - or nothing for standard output")
        ->type_name(FileWord);
}

int cmdRegistryExport(HostRun& run) {
    const std::string& file = run.words<ExportWords>().file;
    // Line ends as REGEDIT writes them, so that a 98 machine's regedit reads the file.
    std::string text;
    for (char c : sim::machine().registry().exportText()) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    if (file.empty() || file == "-") {
        writeOutput(text.data(), text.size());
        return 0;
    }
    // Written where the user is, beside the file and renamed over it once
    // whole, so that a full disk leaves the old file, or none, never a part.
    if (int error = console().writeWholeFile(file, text))
        throw Failure(fmt::format("The file {} could not be written ({}); a file of that name is as it was before.",
                                  file, std::strerror(error)));
    std::fprintf(console().out(), "The registry was written to %s.\n", file.c_str());
    return 0;
}

}  // namespace

const Verb<HostRun> RegistryCommands("registry", "the machine's registry");
const Verb<HostRun> RegistryExportCommand("export", "write the registry as a REGEDIT4 file", declareRegistryExport,
                                          nullptr, cmdRegistryExport, &RegistryCommands);

}  // namespace zevmon
