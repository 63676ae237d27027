// What zevmon shows a person. Standard output carries only a command's result
// (a table, JSON, bytes, the sentence that says what was done), so that it can
// be piped; everything said beside it (notices, the monitor's message boxes,
// the open-file prompt, progress) goes to standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace zevmon {

bool outputIsTerminal();
bool inputIsTerminal();
bool messagesGoToTerminal();

// --quiet: notices and progress are left out; errors, message boxes and
// prompts never are.
void setQuiet(bool quiet);
bool isQuiet();
// One notice, a line on standard error.
void notice(const std::string& line);

// The sentence that says what a command did, on standard output. While results
// are held (a run whose change is still to be saved), it waits until
// releaseResults(), so that nothing is said done before it is.
void result(const std::string& line);
void holdResults();
void releaseResults();

// The run's exit status once standard output is flushed: 1, said as
// "write error: <reason>" as GNU tools say it, when it could not all be written.
int checkedOutput(int status);
// Bytes of a result to standard output; false when they could not all be
// written, whose reason checkedOutput() then gives.
bool writeOutput(const void* data, size_t size);

// The terminal's width: $COLUMNS when set, else what the host said through
// setTerminalColumns(), else 80.
void setTerminalColumns(int columns);
int terminalColumns();
// The width results are wrapped to: $COLUMNS when set, else the terminal's
// when standard output is one; 0 (no wrapping) for a pipe or a file, so that
// a line stays one line for the programs that read it.
int outputColumns();
// The text with each line too wide for outputColumns() broken at spaces, its
// continuations indented as the line (and past a leading "- "); a word wider
// than the width is left whole. Widths count the characters shown.
std::string fitted(const std::string& text);
// printf to standard output, fitted.
void printFitted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A message box as a frame no wider than the columns, its text wrapped at
// spaces, its buttons in its bottom edge.
std::string framedMessage(const std::string& caption, const std::string& text, int columns,
                          const std::string& buttons = "[OK]");
// A box or a question shown while a progress bar may be on the terminal, from
// any thread: the bar's line is ended first, and the bar is not drawn again
// until endPrompt(), so that it never overwrites the question.
void beginPrompt();
void endPrompt();
std::string humanBytes(double bytes);
// One line of the progress bar, shorter than the columns so that a carriage
// return always goes back to its start. An unknown total (a pipe) shows the
// bytes sent so far.
std::string progressLine(std::uint64_t done, std::optional<std::uint64_t> total, double bytesPerSecond, int columns);

class Progress {
public:
    explicit Progress(std::optional<std::uint64_t> total);
    void update(std::uint64_t done);
    void finish();

private:
    void draw(std::uint64_t done);
    std::optional<std::uint64_t> total_;
    std::uint64_t lastDone_ = 0;
    long long lastDrawn_ = -1;  // off a terminal: the count on the last line
    bool terminal_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace zevmon
