// Terminal output of zevmon.
#include "terminal.h"

#include "text.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace zevmon {

namespace {

Console* (*consoleLookup)() = nullptr;

// A file of the process's own, read with the descriptor's own read.
class ProcessFile : public InputFile {
public:
    explicit ProcessFile(std::FILE* file) : file_(file) {}
    ~ProcessFile() override { std::fclose(file_); }
    long read(char* buffer, size_t size) override {
        return (long)::read(fileno(file_), buffer, (unsigned)std::min<size_t>(size, 1u << 30));
    }

private:
    std::FILE* file_;
};

// Lines of at most `width` characters, broken at spaces; a word longer than
// that is cut.
std::vector<std::string> wrap(const std::string& text, size_t width) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string paragraph; std::getline(in, paragraph);) {
        while (!paragraph.empty() && paragraph.back() == '\r') paragraph.pop_back();
        std::string line;
        size_t at = 0;
        if (paragraph.empty()) lines.push_back("");
        while (at < paragraph.size()) {
            size_t end = paragraph.find(' ', at);
            std::string word = paragraph.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? paragraph.size() : end + 1;
            while (word.size() > width) {
                if (!line.empty()) lines.push_back(line), line.clear();
                lines.push_back(word.substr(0, width));
                word.erase(0, width);
            }
            if (!line.empty() && line.size() + 1 + word.size() > width) lines.push_back(line), line.clear();
            line += (line.empty() ? "" : " ") + word;
        }
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

}  // namespace

volatile std::sig_atomic_t jobCancelRequested = 0;

Console::Console() = default;
Console::~Console() = default;
bool Console::outputIsTerminal() { return isatty(fileno(stdout)) != 0; }
bool Console::inputIsTerminal() {
#ifdef _WIN32
    // NUL is a character device, which isatty takes for a terminal: only a console is typed at.
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
#else
    return isatty(fileno(stdin)) != 0;
#endif
}
bool Console::messagesGoToTerminal() { return isatty(fileno(stderr)) != 0; }
const char* Console::columnsVariable() { return std::getenv("COLUMNS"); }
int Console::cancelSignal() { return jobCancelRequested; }

long Console::readInput(char* buffer, size_t size) {
    return (long)::read(fileno(stdin), buffer, (unsigned)std::min<size_t>(size, 1u << 30));
}

bool Console::inputReady(int milliseconds) {
#ifdef _WIN32
    (void)milliseconds;
    return true;
#else
    pollfd input{fileno(stdin), POLLIN, 0};
    return ::poll(&input, 1, milliseconds) > 0;
#endif
}

// Read a byte at a time between looks at a cancel: the signal may reach
// another thread and leave a blocking read waiting.
std::optional<std::string> readLine() {
    std::string line;
    for (;;) {
        if (cancelRequested()) return std::nullopt;
        if (!console().inputReady(100)) continue;
        char c;
        long n = console().readInput(&c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1) return line.empty() ? std::nullopt : std::optional<std::string>(line);
        if (c == '\n') return line;
        if (c != '\r') line += c;
    }
}

PathInfo Console::lookUp(const std::string& path) {
    PathInfo info;
    struct stat s;
    if (stat(path.c_str(), &s) != 0) {
        info.error = errno;
        return info;
    }
    info.regular = (s.st_mode & S_IFMT) == S_IFREG;
    info.folder = (s.st_mode & S_IFMT) == S_IFDIR;
    info.size = (std::uint64_t)s.st_size;
    return info;
}

// C streams, not iostream file streams: on Windows the C++ file streams open
// their files through wide-character calls that Windows 95, 98 and Me lack.
std::unique_ptr<InputFile> Console::openInput(const std::string& path, int& error) {
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    error = file ? 0 : errno;
    return file ? std::make_unique<ProcessFile>(file) : nullptr;
}

// Written beside the file and renamed over it once whole, so that a full disk
// or a cut-short run leaves the old file, or none, never a part. A link is
// written through: the file it names is replaced, and the link stays.
int Console::writeWholeFile(const std::string& named, const std::string& text) {
#ifdef _WIN32
    (void)named;
    (void)text;
    return ENOSYS;
#else
    std::string path = named;
    struct stat link;
    if (::lstat(named.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        // A link to a file not yet made names where it is made.
        char target[4096];
        ssize_t n = ::readlink(named.c_str(), target, sizeof target - 1);
        if (n < 0) return errno;
        path.assign(target, (size_t)n);
        if (path[0] != '/' && named.find('/') != std::string::npos) path = named.substr(0, named.rfind('/') + 1) + path;
    }
    std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string beside = (folder == "." ? "" : folder) + "." + name + ".XXXXXX";
    int fd = ::mkstemp(&beside[0]);
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
    if (!error && ::rename(beside.c_str(), path.c_str()) != 0) error = errno;
    if (error && fd >= 0) ::unlink(beside.c_str());
    return error;
#endif
}

Console& processConsole() {
    static Console own;
    return own;
}

Console& console() {
    Console* served = consoleLookup ? consoleLookup() : nullptr;
    return served ? *served : processConsole();
}

void setConsoleLookup(Console* (*lookup)()) { consoleLookup = lookup; }

bool outputIsTerminal() { return console().outputIsTerminal(); }
bool inputIsTerminal() { return console().inputIsTerminal(); }
bool messagesGoToTerminal() { return console().messagesGoToTerminal(); }

void setQuiet(bool on) { console().quiet = on; }
bool isQuiet() { return console().quiet; }

namespace {

// A lock of a few instructions, held for a push or a print: the runtime
// zevmon.exe is built with for Windows 95 has no std::mutex.
struct Held {
    explicit Held(Console& c) : c_(c) {
        while (c_.deferredLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~Held() { c_.deferredLock.clear(std::memory_order_release); }
    Console& c_;
};

}  // namespace

void notice(const std::string& line) {
    Console& c = console();
    if (c.quiet) return;
    {
        Held held(c);
        if (c.prompting) return c.deferred.push_back(line);
        if (c.holding && !c.held.empty()) return (void)c.held.emplace_back(true, line);
    }
    // The results said before it go first, so that both streams into one place read in order.
    std::fflush(c.out());
    std::fprintf(c.err(), "%s\n", line.c_str());
    std::fflush(c.err());
}

void result(const std::string& line) {
    Console& c = console();
    {
        Held held(c);
        if (c.holding) return (void)c.held.emplace_back(false, line);
    }
    std::fprintf(c.out(), "%s\n", fitted(line).c_str());
}

void holdResults() { console().holding = true; }

void releaseResults() {
    Console& c = console();
    std::vector<std::pair<bool, std::string>> lines;
    {
        Held held(c);
        c.holding = false;
        lines.swap(c.held);
    }
    for (const auto& [isNotice, line] : lines) {
        if (isNotice) {
            notice(line);
        } else {
            std::fprintf(c.out(), "%s\n", fitted(line).c_str());
        }
    }
}

bool writeOutput(const void* data, size_t size) {
    Console& c = console();
    errno = 0;
    if (std::fwrite(data, 1, size, c.out()) == size) return true;
    if (!c.outputError) c.outputError = errno;
    return false;
}

int checkedOutput(int status) {
    Console& c = console();
    errno = 0;
    bool flushed = std::fflush(c.out()) == 0;
    int error = c.outputError ? c.outputError : errno;
    if (flushed && !std::ferror(c.out())) return status;
    std::fprintf(c.err(), "zevmon: write error: %s\n", error ? std::strerror(error) : "the output could not be written");
    return 1;
}

void setTerminalColumns(int columns) { console().columns = columns; }

int terminalColumns() {
    if (const char* columns = console().columnsVariable()) {
        int n = std::atoi(columns);
        if (n > 0) return n;
    }
    return console().columns > 0 ? console().columns : 80;
}

int outputColumns() {
    if (const char* columns = console().columnsVariable(); columns && std::atoi(columns) > 0) return std::atoi(columns);
    return outputIsTerminal() ? terminalColumns() : 0;
}

std::string fitted(const std::string& text) {
    size_t width = (size_t)outputColumns();
    if (width == 0) return text;
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        size_t indent = line.find_first_not_of(' ');
        if (shownWidth(line) <= width || indent == std::string::npos) {
            out += line + (end == std::string::npos ? "" : "\n");
            continue;
        }
        size_t hanging = indent + (line.compare(indent, 2, "- ") == 0 ? 2 : 0);
        // Under a label's value or a column's text, where it starts on the first
        // line with a word that fits there.
        for (size_t gap = line.find("  ", indent); gap != std::string::npos; gap = line.find("  ", gap + 1)) {
            size_t text = line.find_first_not_of(' ', gap);
            if (text == std::string::npos || shownWidth(line.substr(0, text)) > width / 2 ||
                shownWidth(line.substr(0, line.find(' ', text))) > width)
                break;
            hanging = text;
        }
        std::string current = line.substr(0, indent);
        bool empty = true;  // nothing past the indent yet
        for (size_t from = indent; from <= line.size();) {
            size_t space = std::min(line.find(' ', from), line.size());
            std::string word = line.substr(from, space - from);
            from = space + 1;
            if (!empty && shownWidth(current) + 1 + shownWidth(word) > width) {
                while (!current.empty() && current.back() == ' ') current.pop_back();
                out += current + "\n";
                current = std::string(hanging, ' ');
                empty = true;
                if (word.empty()) continue;
            }
            current += (empty ? "" : " ") + word;
            empty = false;
        }
        out += current + (end == std::string::npos ? "" : "\n");
    }
    return out;
}

void printFitted(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int size = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text((size_t)std::max(size, 0) + 1, '\0');
    va_start(arguments, format);
    std::vsnprintf(&text[0], text.size(), format, arguments);
    va_end(arguments);
    text.pop_back();
    std::string out = fitted(text);
    writeOutput(out.data(), out.size());
}

namespace {

// The words of a text in lines of at most `width` columns; a word wider than
// that stands alone on its line.
std::vector<std::string> wordLines(const std::string& text, size_t width) {
    std::vector<std::string> lines(1);
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (!lines.back().empty() && shownWidth(lines.back()) + 1 + shownWidth(word) > width) lines.emplace_back();
        lines.back() += (lines.back().empty() ? "" : " ") + word;
    }
    return lines;
}

}  // namespace

void printTable(const std::vector<Column>& columns, const std::vector<std::vector<std::string>>& rows) {
    size_t count = columns.size(), last = count - 1;
    std::vector<size_t> widest(count), widths(count);
    for (size_t i = 0; i < count; i++) {
        widest[i] = shownWidth(columns[i].heading);
        for (const auto& row : rows) widest[i] = std::max(widest[i], shownWidth(row[i]));
        widths[i] = i == last ? widest[i] : std::max(widest[i], columns[i].width);
    }
    // A last column of words wraps, though not narrower than its longest word.
    size_t words = std::min<size_t>(widest[last], 16);
    for (const auto& row : rows)
        for (const std::string& word : wordLines(row[last], 0))  // its words, one a line
            words = std::max(words, shownWidth(word));
    // What each pass takes off, losing as little as it can: the padding; the
    // names down to their usual width, and the wrapping of the last column;
    // the names down to their headings.
    std::vector<size_t> padding = widest, usual = widest, headings = widest;
    for (size_t i = 0; i < count; i++)
        if (columns[i].name) {
            usual[i] = std::min(widest[i], std::max(columns[i].width, shownWidth(columns[i].heading)));
            headings[i] = shownWidth(columns[i].heading);
        } else if (i == last) {
            usual[i] = headings[i] = words;
        }
    size_t limit = (size_t)outputColumns();
    auto total = [&] {
        size_t sum = last;  // the spaces between
        for (size_t w : widths) sum += w;
        return sum;
    };
    for (const std::vector<size_t>* floor : {&padding, &usual, &headings})
        while (limit && total() > limit) {
            size_t pick = count;
            for (size_t i = 0; i < count; i++)
                if (widths[i] > (*floor)[i] && (pick == count || widths[i] > widths[pick])) pick = i;
            if (pick == count) break;
            widths[pick]--;
        }
    std::string out;
    auto addRow = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (size_t i = 0; i < count; i++) {
            std::string cell = columns[i].name ? shortened(cells[i], widths[i]) : cells[i];
            if (i == last && !columns[i].name && limit && shownWidth(cell) > widths[i]) {
                std::vector<std::string> parts = wordLines(cell, widths[i]);
                std::string under(shownWidth(line), ' ');
                for (size_t k = 1; k < parts.size(); k++) parts[0] += "\n" + under + parts[k];
                cell = parts[0];
            } else if (i < last || columns[i].right) {
                std::string pad(widths[i] - std::min(widths[i], shownWidth(cell)), ' ');
                cell = columns[i].right ? pad + cell : cell + pad;
            }
            line += cell + (i < last ? " " : "");
        }
        out += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    };
    std::vector<std::string> headingRow;
    for (const Column& column : columns) headingRow.push_back(column.heading);
    addRow(headingRow);
    for (const auto& row : rows) addRow(row);
    writeOutput(out.data(), out.size());
}

std::string framedMessage(const std::string& caption, const std::string& text, int columns, const std::string& buttons) {
    // "| " and " |" around the text; never narrower than a short caption or the buttons need.
    size_t limit = (size_t)std::max(columns - 4, 16);
    std::vector<std::string> lines = wrap(text, limit);
    std::string title = caption.size() + 4 > limit ? caption.substr(0, limit - 4) : caption;
    size_t width = std::max(title.size() + 4, buttons.size());
    for (auto& l : lines) width = std::max(width, l.size());
    std::string out = "+- " + title + " " + std::string(width - title.size() - 1, '-') + "+\n";
    for (auto& l : lines) out += "| " + l + std::string(width - l.size(), ' ') + " |\n";
    out += "+" + std::string(width + 2 - buttons.size(), '-') + buttons + "+\n";
    return out;
}

void beginPrompt() {
    Console& c = console();
    c.prompting = true;
    if (c.barOnLine.exchange(false)) std::fprintf(c.err(), "\n");
}

void endPrompt() {
    Console& c = console();
    Held held(c);
    c.prompting = false;
    for (const std::string& line : c.deferred) std::fprintf(c.err(), "%s\n", line.c_str());
    c.deferred.clear();
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

std::string progressLine(std::uint64_t done, std::optional<std::uint64_t> total, double rate, int columns,
                         const std::string& doneWord) {
    size_t room = (size_t)std::max(columns - 1, 1);
    std::string speed = humanBytes(rate) + "/s";
    // From the fullest line to the barest, the first that fits.
    std::vector<std::string> texts;
    int percent = 100;
    if (total) {
        percent = *total ? (int)(100.0 * (double)done / (double)*total) : 100;
        texts = {fmt::format("{:3d}%  {} of {}  {}", percent, humanBytes((double)done), humanBytes((double)*total), speed),
                 fmt::format("{:3d}%  {} of {}", percent, humanBytes((double)done), humanBytes((double)*total)),
                 fmt::format("{:3d}%", percent)};
    } else {
        texts = {fmt::format("{} {}  {}", humanBytes((double)done), doneWord, speed), humanBytes((double)done)};
    }
    if (total)
        for (const std::string& text : texts)
            if (text.size() + 13 <= room) {
                size_t bar = std::min<size_t>(30, room - text.size() - 3);
                size_t filled = (size_t)std::min(percent, 100) * bar / 100;
                return "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " + text;
            }
    for (const std::string& text : texts)
        if (text.size() <= room) return text;
    return texts.back().substr(0, room);
}

Progress::Progress(std::optional<std::uint64_t> total, std::string label, std::string doneWord)
    : total_(total),
      label_(label.empty() ? "" : label + ": "),
      doneWord_(std::move(doneWord)),
      terminal_(messagesGoToTerminal()),
      shown_(!isQuiet()),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {}

void Progress::draw(std::uint64_t done) {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    double rate = seconds > 0 ? (double)done / seconds : 0;
    Console& c = console();
    if (c.prompting) return;
    if (terminal_) {
        // The line is redrawn in place; spaces wipe what a longer one left.
        c.barOnLine = true;
        std::string line = label_ + progressLine(done, total_, rate, terminalColumns() - (int)label_.size(), doneWord_);
        size_t room = (size_t)std::max(terminalColumns() - 1, 1);
        std::fprintf(c.err(), "\r%s%s", line.c_str(), std::string(room - std::min(room, line.size()), ' ').c_str());
        std::fflush(c.err());
        drawn_ = true;
    } else if (total_) {
        int percent = *total_ ? (int)(100.0 * (double)done / (double)*total_) : 100;
        std::fprintf(c.err(), "%s%llu of %llu bytes (%d%%), %s/s\n", label_.c_str(), (unsigned long long)done,
                     (unsigned long long)*total_, percent, humanBytes(rate).c_str());
    } else {
        std::fprintf(c.err(), "%s%llu bytes %s, %s/s\n", label_.c_str(), (unsigned long long)done, doneWord_.c_str(),
                     humanBytes(rate).c_str());
    }
}

void Progress::update(std::uint64_t done) {
    lastDone_ = done;
    if (!shown_) return;
    if (terminal_) {
        auto now = std::chrono::steady_clock::now();
        if (done != total_.value_or(~0ull) && now - lastDraw_ < std::chrono::milliseconds(50)) return;
        lastDraw_ = now;
        draw(done);
        return;
    }
    // Without a terminal, a log that someone reads later: a line every few
    // seconds at most, and none before the first byte has gone.
    auto now = std::chrono::steady_clock::now();
    if (done == 0 || now - lastDraw_ < std::chrono::seconds(5)) return;
    lastDraw_ = now;
    lastDrawn_ = (long long)done;
    draw(done);
}

// The last count once, unless it is already on the last line, or the job never
// sent a byte.
void Progress::finish() {
    if (!shown_ || (lastDone_ == 0 && !drawn_)) return;
    if (terminal_) {
        draw(lastDone_);
        if (console().barOnLine.exchange(false)) std::fprintf(console().err(), "\n");
    } else if ((long long)lastDone_ != lastDrawn_) {
        draw(lastDone_);
    }
}

}  // namespace zevmon
