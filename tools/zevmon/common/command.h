// What a command of zevmon is, on both builds: its definition (its word, its
// help, its options bound to a record of its own file, the checks of its
// words, what runs it), what it needs before it runs, and a row of a build's
// table of commands. A build's main adds its table's commands to the command
// line, finds the row of the command on the line, makes ready what the row
// needs, and runs it (host/main.cpp, win32/main.cpp); commands.h lists the
// commands both builds have.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <typeindex>
#include <utility>
#include <vector>

#include "doctor.h"
#include "route.h"

namespace zevmon {

// The type names of words that name something already there: the help shows
// them, and the shell's completion offers what each names (host/manual.cpp).
// A word whose check lists its values is offered those values.
constexpr char PortWord[] = "PORT";               // a port of the machine
constexpr char PrinterWord[] = "PRINTER";         // a printer of the spooler
constexpr char UsbPrinterWord[] = "USB-PRINTER";  // a USB printer, by its port name or instance id
constexpr char FileWord[] = "FILE";               // a file of the user's, where zevmon runs
constexpr char FolderWord[] = "DIR";              // a folder of the user's
constexpr char CommandWord[] = "COMMAND";         // a command of zevmon

// What a command needs before it runs; a build's main applies the needs it knows.
enum Need : unsigned {
    ReadsMachine = 1u << 0,       // host: it runs in the machine's process
    ChangesMachine = 1u << 1,     // host: the same, one such command at a time; the machine saved at its end
    StartsMonitor = 1u << 2,      // the monitor started, or the command fails: on the host on the machine; on
                                  // zevmon.exe the spooler's own copy, or with --dll one in zevmon's process
    TriesMonitor = 1u << 3,       // host: the monitor started if it can be; the command goes on without it
    UsesSystemSpooler = 1u << 4,  // zevmon.exe: the system's spooler, with --dll or without
    MakesChange = 1u << 5,        // host: a change is its purpose: refused before it runs when the folder cannot
                                  // be written, and its result said once the change is saved
    PrintsQueue = 1u << 6,        // host: it releases held jobs (a printer back): it says how each ends
};

// What a command runs with: its own option values, and what its row's needs
// made ready. Each build extends it with what its own commands need.
struct Run {
    // The record of option values of the command's own file, which its
    // declaration binds and its run reads; made at its first use. Each
    // command's file has a record type of its own.
    template <class Words>
    Words& words() {
        // Found by equality alone: mingw orders type_info by name for some
        // types and by address for others, which no map can sort by.
        std::type_index type(typeid(Words));
        for (auto& [held, record] : words_)
            if (held == type) return *static_cast<Words*>(record.get());
        words_.emplace_back(type, std::make_shared<Words>());
        return *static_cast<Words*>(words_.back().second.get());
    }

    PortRoute* route = nullptr;                           // StartsMonitor
    std::function<std::vector<PrinterState>()> printers;  // the spooler's printers
    std::function<Diagnosis()> diagnose;                  // doctor's findings on this machine
    std::string whenPortKeysLoad;                         // add-port: when the running monitor lists a new key

private:
    std::vector<std::pair<std::type_index, std::shared_ptr<void>>> words_;
};

// A command as it is typed, defined in the command's own file: its word, its
// help, its options bound to the run, the checks of its words once they are
// parsed, and what runs it. One under another command names that one as its
// parent ("usb" of "usb add"); one that only groups others runs nothing.
template <class R>
struct Verb {
    using Declare = void (*)(CLI::App& command, R& run);
    // 2 (reported) for words that cannot go together, else -1.
    using Check = int (*)(const CLI::App& command, R& run);
    using Runs = int (*)(R& run);

    constexpr Verb(const char* word, const char* help, Declare declare, Check check, Runs run,
                   const Verb* parent = nullptr)
        : word(word), help(help), declare(declare), check(check), run(run), parent(parent) {}
    // A group of commands, such as "usb".
    constexpr Verb(const char* word, const char* help)
        : word(word), help(help), declare(nullptr), check(nullptr), run(nullptr), parent(nullptr) {}

    const char* word;    // "print"; "add" of "usb add"
    const char* help;
    Declare declare;     // or null
    Check check;         // or null
    Runs run;            // null for a group
    const Verb* parent;  // null at the top
};

// What a build adds to a shared command: its own options and their checks,
// which come after the command's own.
template <class R>
struct MoreWords {
    void (*declare)(CLI::App& command, R& run);
    int (*check)(const CLI::App& command, R& run);
};

// A row of a build's table: the command, what it needs, and what the build
// adds to its words.
template <class BuildRun>
struct Command {
    template <class R>
    Command(const Verb<R>& verb, unsigned needs, const MoreWords<BuildRun>* more = nullptr)
        : word(verb.word), help(verb.help), needs(needs) {
        static_assert(std::is_base_of<R, BuildRun>::value, "a command runs with what its build runs with");
        for (const Verb<R>* above = verb.parent; above; above = above->parent)
            parent = above->word + (parent.empty() ? "" : " " + parent);
        name = parent.empty() ? word : parent + " " + word;
        declare = [&verb, more](CLI::App& command, BuildRun& run) {
            if (verb.declare) verb.declare(command, run);
            if (more) more->declare(command, run);
        };
        check = [&verb, more](const CLI::App& command, BuildRun& run) {
            int status = verb.check ? verb.check(command, run) : -1;
            return status < 0 && more ? more->check(command, run) : status;
        };
        if (verb.run) run = [&verb](BuildRun& on) { return verb.run(on); };
    }

    std::string name;    // as typed: "print", "usb add"
    std::string parent;  // "usb" of "usb add"; "" at the top
    const char* word;
    const char* help;
    unsigned needs;
    std::function<void(CLI::App&, BuildRun&)> declare;
    std::function<int(const CLI::App&, BuildRun&)> check;
    std::function<int(BuildRun&)> run;  // empty for a group
};

}  // namespace zevmon
