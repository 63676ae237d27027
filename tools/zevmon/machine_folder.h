// A simulated machine kept in a folder, so that it lives from one zevmon run
// to the next:
//   registry.reg   the registry, as a REGEDIT4 file a person can read and edit
//   devices.json   the USB printers plugged into the machine (or not)
//   received/      what each USB printer received, one file per printer
//   drives/        the machine's disks: C:\jobs\out.prn is drives/c/jobs/out.prn
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace zevmon {

// A machine file that cannot be read: the message names the file and the line.
struct MachineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct UsbPrinterEntry {
    std::string instanceId;
    bool present = true;
    std::vector<unsigned char> descriptors;  // empty: the default printer descriptors
};

class MachineFolder {
public:
    explicit MachineFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // The per-user machine: $ZEVMON_MACHINE, else $XDG_STATE_HOME/zevmon/machine,
    // else ~/.local/state/zevmon/machine.
    static std::filesystem::path defaultFolder();

    const std::filesystem::path& folder() const { return folder_; }
    bool exists() const;
    // Writes the built-in default machine into an empty or missing folder.
    void createDefault();
    // Puts the folder's machine into the simulated machine (which must be reset).
    // Throws MachineError, and changes no file, when a file cannot be read.
    void load();
    // Writes the simulated machine back: registry, devices, and what the USB
    // printers received since load().
    void save();
    std::filesystem::path receivedFile(const std::string& instanceId) const;

private:
    std::filesystem::path folder_;
};

// The default machine's USB printer.
extern const char DefaultPrinterId[];

}  // namespace zevmon
