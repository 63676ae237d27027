// What zevmon shows a person: framed message boxes, the open-file prompt, and
// a progress bar (plain lines when the output is not a terminal).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace zevmon {

bool outputIsTerminal();
bool inputIsTerminal();
std::string framedMessage(const std::string& caption, const std::string& text);
std::string humanBytes(double bytes);

class Progress {
public:
    explicit Progress(std::uint64_t total);
    void update(std::uint64_t done);
    void finish();

private:
    std::uint64_t total_;
    std::uint64_t lastDone_ = 0;
    int lastStep_ = -1;
    bool terminal_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace zevmon
