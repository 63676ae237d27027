// One zevmon run on a machine.
#include "session.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "host/zevuruzi_module.h"
#include "sim/machine.h"
#include "terminal.h"

namespace zevmon {

Session::Session(const Options& options) : options_(options), folder_(options.machine), spooler_(options.trace) {}

Session::~Session() { sim::machine().reset(); }

void Session::load() {
    if (loaded_) return;
    if (!folder_.exists()) {
        folder_.createDefault();
        std::printf("A new machine was made in %s.\n", folder_.folder().string().c_str());
    }
    host::loadZevuruzi();
    folder_.load();
    loaded_ = true;
}

void Session::start() {
    load();
    sim::machine().setMessageBoxHandler([](const sim::Machine::MessageBoxCall& box) {
        std::printf("%s", framedMessage(box.caption, box.text).c_str());
        std::fflush(stdout);
        return IDOK;
    });
    auto answer = options_.fileAnswer;
    sim::machine().setOpenFilePrompt([answer](const sim::Machine::OpenFileCall&) -> std::optional<std::string> {
        if (answer) {
            if (answer->empty()) return std::nullopt;
            std::printf("The monitor asks for a file to print to; answered %s.\n", answer->c_str());
            return answer;
        }
        if (!isatty(STDIN_FILENO)) {
            std::printf("The monitor asks for a file to print to; with no terminal to ask, the dialog is cancelled.\n");
            return std::nullopt;
        }
        std::printf("The monitor asks for a file to print to (All Files, *.*).\nPath, such as C:\\jobs\\out.prn (empty to cancel): ");
        std::fflush(stdout);
        std::string path;
        if (!std::getline(std::cin, path) || path.empty()) return std::nullopt;
        return path;
    });
    if (!spooler_.initialize(InitializeMonitorEx))
        throw MachineError(fmt::format("The monitor did not start on this machine: {} ({}).",
                                       errorMeaning(GetLastError()), errorText(GetLastError())));
    if (options_.enumerateAtStart) {
        std::vector<PortEntry> ports;
        spooler_.enumPorts(1, ports);
    }
    sim::machine().waitIdle();
    started_ = true;
}

void Session::deviceChanged() {
    sim::machine().broadcast(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    sim::machine().waitIdle();
}

void Session::finish() {
    if (!started_) return;
    sim::machine().waitIdle();
    folder_.save();
}

}  // namespace zevmon
