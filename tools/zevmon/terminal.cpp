// Terminal output of zevmon.
#include "terminal.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

namespace zevmon {

bool outputIsTerminal() { return isatty(fileno(stdout)) != 0; }
bool inputIsTerminal() { return isatty(fileno(stdin)) != 0; }

std::string framedMessage(const std::string& caption, const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    size_t width = caption.size() + 4;
    for (auto& l : lines) width = std::max(width, l.size());
    std::string out = "+- " + caption + " " + std::string(width + 1 - caption.size() - 3, '-') + "+\n";
    for (auto& l : lines) out += "| " + l + std::string(width - l.size(), ' ') + " |\n";
    out += "+" + std::string(width + 2, '-') + "+ [OK]\n";
    return out;
}

std::string humanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        unit++;
    }
    return unit == 0 ? fmt::format("{:.0f} {}", bytes, units[unit]) : fmt::format("{:.1f} {}", bytes, units[unit]);
}

Progress::Progress(std::uint64_t total)
    : total_(total), terminal_(outputIsTerminal()), start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

void Progress::update(std::uint64_t done) {
    lastDone_ = done;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    double rate = seconds > 0 ? done / seconds : 0;
    int percent = total_ ? (int)(100.0 * done / total_) : 100;
    if (terminal_) {
        auto now = std::chrono::steady_clock::now();
        if (done != total_ && now - lastDraw_ < std::chrono::milliseconds(50)) return;
        lastDraw_ = now;
        int filled = percent * 30 / 100;
        std::printf("\r[%s%s] %3d%%  %s of %s  %s/s   ", std::string(filled, '#').c_str(),
                    std::string(30 - filled, '.').c_str(), percent, humanBytes((double)done).c_str(),
                    humanBytes((double)total_).c_str(), humanBytes(rate).c_str());
        std::fflush(stdout);
    } else if (percent / 25 != lastStep_) {
        lastStep_ = percent / 25;
        std::printf("%llu of %llu bytes (%d%%), %s/s\n", (unsigned long long)done, (unsigned long long)total_, percent,
                    humanBytes(rate).c_str());
    }
}

void Progress::finish() {
    if (terminal_) std::printf("\n");
}

}  // namespace zevmon
