// zevmon registry import: a REGEDIT4 file, as registry export or a 98 regedit
// writes it, into the running machine's registry as one change.
#include <fmt/format.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include "common/cli.h"
#include "common/error_text.h"
#include "common/terminal.h"
#include "machine_commands.h"
#include "monitor/zevuruzi.h"
#include "sim/machine.h"

namespace zevmon {

namespace {

struct ImportWords {
    std::string file;  // "-" for standard input
};

void declareRegistryImport(CLI::App& importFile, HostRun& run) {
    importFile.add_option("file", run.words<ImportWords>().file, "the REGEDIT4 file; - for standard input")
        ->type_name(FileWord)
        ->required();
}

// The file whole, read where the user is, before anything is changed.
std::string readWhole(const std::string& file, const std::string& named) {
    std::unique_ptr<InputFile> in;
    if (file != "-") {
        int error = console().lookUp(file).folder ? EISDIR : 0;
        if (!error) in = console().openInput(file, error);
        if (!in)
            throw Failure(fmt::format("The file {} could not be read: {}. Nothing was imported.", file,
                                      fileErrorText(error)));
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        errno = 0;
        long got = in ? in->read(buffer, sizeof buffer) : console().readInput(buffer, sizeof buffer);
        if (got == 0) return text;
        if (got > 0) {
            text.append(buffer, (size_t)got);
        } else if (errno != EINTR || cancelRequested()) {
            int error = errno;
            throw Failure(fmt::format("{} could not be read to the end: {}. Nothing was imported.", named,
                                      error ? fileErrorText(error) : "a read error"));
        }
    }
}

std::string counted(size_t count, const char* what) {
    return fmt::format("{} {}{}", count, what, count == 1 ? "" : "s");
}

// "3 keys and 7 values set, 1 key deleted": what changed, of each kind.
std::string changes(const sim::ImportCounts& counts) {
    auto both = [](size_t keys, size_t values, const char* done) {
        if (!keys && !values) return std::string();
        std::string said = keys ? counted(keys, "key") : "";
        if (values) said += (keys ? " and " : "") + counted(values, "value");
        return said + " " + done;
    };
    std::string set = both(counts.keysSet, counts.valuesSet, "set");
    std::string deleted = both(counts.keysDeleted, counts.valuesDeleted, "deleted");
    return set + (set.empty() || deleted.empty() ? "" : ", ") + deleted;
}

int cmdRegistryImport(HostRun& run) {
    const std::string& file = run.words<ImportWords>().file;
    std::string source = file == "-" ? "standard input" : file;
    std::string text = readWhole(file, file == "-" ? "Standard input" : "The file " + file);
    sim::Registry& registry = sim::machine().registry();
    sim::ImportCounts counts;
    bool monitorKeysChanged;
    {
        // The monitor's keys before and after, with no other change between.
        std::lock_guard<std::recursive_mutex> lock(registry.mutex());
        std::string monitorKeys = registry.exportText(MonitorKeyPath);
        try {
            counts = registry.importText(text, source);
        } catch (const sim::RegistryFormatError& e) {
            throw Failure(fmt::format("{}. Nothing was imported: the registry is as it was.", e.what()));
        }
        monitorKeysChanged = registry.exportText(MonitorKeyPath) != monitorKeys;
    }
    std::string said = changes(counts);
    if (said.empty()) {
        result(fmt::format("Nothing was changed: the registry was already as {} makes it.", source));
        return 0;
    }
    result(fmt::format("{} from {}.", said, source));
    // As after regedit on 98: the monitor reads its port keys as it starts.
    if (monitorKeysChanged)
        result("The import changed the monitor's port keys: the running monitor lists them so from its next start "
               "(" + zevmonCommand("machine restart") + ").");
    return 0;
}

}  // namespace

const Verb<HostRun> RegistryImportCommand("import", "read a REGEDIT4 file into the registry, as one change",
                                          declareRegistryImport, nullptr, cmdRegistryImport, &RegistryCommands);

}  // namespace zevmon
