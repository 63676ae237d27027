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

// Written beside the file and renamed over it once whole, so that a full disk
// or a cut-short run leaves the old file, or none, never a part.
void writeWhole(const std::string& file, const std::string& text) {
    std::filesystem::path target(file);
    std::string beside = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(beside.data());
    int error = fd < 0 ? errno : 0;
    if (!error) ::fchmod(fd, 0644);
    for (size_t at = 0; !error && at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = n < 0 ? errno : EIO;
        else at += (size_t)n;
    }
    if (!error && ::fsync(fd) != 0) error = errno;
    if (fd >= 0 && ::close(fd) != 0 && !error) error = errno;
    if (!error && ::rename(beside.c_str(), file.c_str()) != 0) error = errno;
    if (!error) return;
    if (fd >= 0) ::unlink(beside.c_str());
    throw Failure(fmt::format("The file {} could not be written ({}); a file of that name is as it was before.",
                              file, std::strerror(error)));
}

void declareRegistryExport(CLI::App& exportFile, HostRun& run) {
    exportFile.add_option("file", run.exportFile, "the file; - or nothing for standard output");
}

int cmdRegistryExport(HostRun& run) {
    const std::string& file = run.exportFile;
    std::string text = sim::machine().registry().exportText();
    if (file.empty() || file == "-") {
        writeOutput(text.data(), text.size());
        return 0;
    }
    writeWhole(file, text);
    std::printf("The registry was written to %s.\n", file.c_str());
    return 0;
}

}  // namespace

const Verb<HostRun> RegistryCommands("registry", "the machine's registry");
const Verb<HostRun> RegistryExportCommand("export", "write the registry as a REGEDIT4 file", declareRegistryExport,
                                          nullptr, cmdRegistryExport, &RegistryCommands);

}  // namespace zevmon
