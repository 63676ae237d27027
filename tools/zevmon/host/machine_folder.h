// A simulated machine kept in a folder, so that it lives from one start of
// its process to the next:
//   registry.reg   the registry, as a REGEDIT4 file a person can read and edit
//   devices.json   the USB printers plugged into the machine (or not)
//   received/      what each USB printer received, a file per job
//   drives/        the machine's disks: C:\jobs\out.prn is drives/c/jobs/out.prn
//   spool/         the print queue: each job's data and a record of it
//   personality    "98" or "nt": which system the machine behaves as
// registry.reg and devices.json are one state: they are replaced together (see
// save()), and read together; a person's edit is taken in (takeInEdits()).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace zevmon {

// A machine folder that cannot be used as it is, or a machine file that cannot
// be read or written: the message names the file, and the line where it can.
struct MachineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One of the machine's two files was changed by another program while a run
// worked, so the run's changes were not saved; the run says what else stands.
struct ChangedElsewhere : MachineError {
    using MachineError::MachineError;
};

// A folder that holds no machine and is no place for a new one.
struct NotAMachine : MachineError {
    using MachineError::MachineError;
};

struct UsbPrinterEntry {
    std::string instanceId;
    bool present = true;
    std::vector<unsigned char> descriptors;  // empty: the default printer descriptors
    // The entry's fields this build does not know (a person's own note, or
    // a newer build's), written back as they were read.
    nlohmann::json otherFields = nlohmann::json::object();
};

// One job as a USB printer received it.
struct ReceivedJob {
    int number = 0;  // 0: what was received before jobs were kept apart
    std::string document;
    std::string port;
    std::string started;  // local time, 2024-05-01 14:03:07
    std::string outcome;  // complete, cancelled after N bytes, ...
    std::uint64_t bytes = 0;
    std::filesystem::path data;
};

class MachineFolder {
public:
    explicit MachineFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // The per-user machine: $ZEVMON_MACHINE, else $XDG_STATE_HOME/zevmon/machine,
    // else ~/.local/state/zevmon/machine.
    static std::filesystem::path defaultFolder();

    const std::filesystem::path& folder() const { return folder_; }
    // No folder, or one with nothing in it: a new machine may be made there.
    bool isNew() const;
    // Throws NotAMachine when the folder is no machine and no place for a new
    // one: a file, a folder of other files, or a machine with one of its two
    // files missing.
    void checkUsable() const;
    // Writes the built-in default machine into an empty or missing folder.
    void createDefault();
    // Finishes a replacement of the two machine files that an earlier run left
    // half done, or throws away one it had not committed. Only under the lock.
    void recover();
    // Puts the folder's machine into the simulated machine (which must be
    // reset), reading the two files as one state. Throws MachineError, and
    // changes no file, when a file cannot be read.
    void load();
    // True when the simulated machine differs from what load() read.
    bool changed() const;
    // Writes the simulated machine back: both files or neither. Throws
    // ChangedElsewhere, saving nothing, when either file is no longer what
    // load() read (the lock keeps zevmon runs apart, not a person with an
    // editor), and MachineError when the files cannot be written.
    void save();
    // Takes in an edit a person made to either file since it was loaded or
    // saved: the machine's registry becomes the file's, its USB printers the
    // file's. An edit that cannot be read is said and left, and nothing is
    // saved over it until it reads well. Sentences to say of what was done.
    std::vector<std::string> takeInEdits();
    // Why an edit taken in could not be read, while it cannot; "".
    const std::string& unreadableEdit() const { return unreadableEdit_; }
    // Throws MachineError when the folder cannot be written, saying what
    // follows for the command: by default, that it cannot record what a job sends.
    void checkWritable(const std::string& consequence =
                           "it cannot record what the printer receives: nothing was sent") const;
    // The same for the folders that the machine's files are saved in when
    // they are links to files kept elsewhere.
    void checkLinksWritable(const std::string& consequence) const;

    // Which system the machine behaves as: "98" or "nt". A machine made before
    // the choice existed is a 98, the system our users run.
    std::string personality() const;
    void setPersonality(const std::string& name);
    std::filesystem::path spoolFolder() const { return folder_ / "spool"; }

    // ---- what the USB printers received ----
    // `recording` says whether a capture is being written now: one that says
    // "printing" and is not was left by a machine that stopped.
    std::vector<ReceivedJob> receivedJobs(const std::string& instanceId,
                                          const std::function<bool(const std::filesystem::path&)>& recording = nullptr) const;
    // Forgets them; the number of jobs forgotten.
    size_t clearReceived(const std::string& instanceId);

private:
    friend class JobRecorder;
    std::filesystem::path jobFolder(const std::string& instanceId) const;
    std::filesystem::path folder_;
    std::string loadedRegistry_;
    std::string loadedDevices_;
    std::string registryFileText_;  // the two files as load() read them
    std::string devicesFileText_;
    std::string unreadableEdit_;    // the text of an edit that cannot be read, said once; "" for none
    std::vector<UsbPrinterEntry> entries_;  // devices.json's printers as read, for their other fields
};

// Collects what the USB printers receive during one job, as it arrives, into
// a file per printer, beside a record of the job's name, port, time and outcome.
class JobRecorder {
public:
    JobRecorder(MachineFolder& folder, std::string document, std::string port);
    ~JobRecorder();
    JobRecorder(const JobRecorder&) = delete;
    JobRecorder& operator=(const JobRecorder&) = delete;
    // The job of a printer that the port sends to, recorded even if it
    // receives nothing.
    void begin(const std::string& instanceId);
    // Moves what the printers received since the last call into their files.
    void collect();
    // Bytes the printer hands over as they arrive (its sink); false when they
    // cannot be written.
    bool take(const std::string& instanceId, const unsigned char* data, size_t size);
    void finish(const std::string& outcome);
    // A capture that could not be written whole, said in a sentence; "" when
    // every capture holds what its printer received.
    std::string captureProblem() const;
    // The files it writes, one a printer.
    std::vector<std::filesystem::path> captures() const;

private:
    struct Open {
        std::string instanceId;
        ReceivedJob job;
        int fd = -1;
        std::string writeError;   // the capture stopped here; the printer takes no more
        bool cutAtEnd = false;    // it stopped only at the end, once the printer had taken all
        bool recordWritten = true;
        std::string pending;      // taken bytes not yet written (take())
        std::uint64_t received = 0;  // by the printer, whether or not the capture holds it
    };
    bool writeRecord(const Open& open) const;
    // Writes it all to the capture, or records why it could not.
    void writeCapture(Open& open, const unsigned char* data, size_t size);
    Open& openFor(const std::string& instanceId);
    MachineFolder& folder_;
    std::string document_;
    std::string port_;
    std::string started_;
    std::vector<Open> open_;
    bool finishing_ = false;  // the job is over: what fails now, the printer had taken
};

// The default machine's USB printer, and the spooler's printer that prints to it.
extern const char DefaultPrinterId[];
extern const char DefaultPrinterName[];

}  // namespace zevmon
