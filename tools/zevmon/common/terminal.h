// What zevmon shows a person. Standard output carries only a command's result
// (a table, JSON, bytes, the sentence that says what was done), so that it can
// be piped; everything said beside it (notices, the monitor's message boxes,
// the open-file prompt, progress) goes to standard error.
#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zevmon {

// What a path names, as a command asks of its user's files.
struct PathInfo {
    int error = 0;  // 0, or the errno of the look-up
    bool regular = false, folder = false;
    std::uint64_t size = 0;
};

// A file of the user's, opened for reading.
class InputFile {
public:
    virtual ~InputFile() = default;
    // Bytes read, 0 at the end, -1 with errno (EINTR when a cancel broke off the wait).
    virtual long read(char* buffer, size_t size) = 0;
};

// One command's console: where its words go, where its input comes from, and
// the user's files it names. zevmon.exe, and a command run in the user's own
// process, have the process's standard streams and files; a command that the
// running machine serves has those of its client (host/machine_server.cpp),
// each command its own, so that commands served at once never mix.
class Console {
public:
    Console();
    virtual ~Console();
    virtual std::FILE* out() { return stdout; }
    virtual std::FILE* err() { return stderr; }
    virtual bool outputIsTerminal();
    virtual bool inputIsTerminal();
    virtual bool messagesGoToTerminal();
    // $COLUMNS as the user's shell has it, or null.
    virtual const char* columnsVariable();
    // Standard input: bytes read, 0 at its end, -1 with errno (EINTR when a
    // cancel broke off the wait).
    virtual long readInput(char* buffer, size_t size);
    // Whether standard input has something to read (or its end) within the
    // time given.
    virtual bool inputReady(int milliseconds);
    virtual PathInfo lookUp(const std::string& path);
    // Opens a file for reading; null with `error` set.
    virtual std::unique_ptr<InputFile> openInput(const std::string& path, int& error);
    // Writes the text as the file, whole or not at all (beside, then renamed
    // over it); 0 or the errno.
    virtual int writeWholeFile(const std::string& path, const std::string& text);
    // The signal that asked the command's job to end (Ctrl-C, SIGTERM,
    // SIGHUP), or 0.
    virtual int cancelSignal();
    // Whether the command takes the signals itself, to end its job (print);
    // one that does not ends at the first.
    virtual void takeSignals(bool on) { (void)on; }
    // Whether the person it served has gone (a client killed or closed):
    // what is said then reaches no one.
    virtual bool gone() { return false; }

    // What zevmon says through it, kept per command.
    bool quiet = false;
    int columns = 0;      // the terminal's width as its host said it; 0 unknown
    int outputError = 0;  // the first failed write of a result's errno
    bool holding = false;
    std::vector<std::pair<bool, std::string>> held;  // results, and notices said after them (true)
    std::atomic<bool> prompting{false};
    std::atomic<bool> barOnLine{false};  // a progress line is drawn, not yet ended
    std::vector<std::string> deferred;   // notices said while a question was up, under deferredLock
    std::atomic_flag deferredLock = ATOMIC_FLAG_INIT;
};

// The console of the command the calling thread serves, and the process's own.
Console& console();
Console& processConsole();
// The host build's way to the console of a served command: null for the
// process's own.
void setConsoleLookup(Console* (*lookup)());

// Ctrl-C, SIGTERM or SIGHUP during a job of the process's own console: the
// signal's number, set by the print command's handler; a job ends at its
// next write.
extern volatile std::sig_atomic_t jobCancelRequested;
// The signal that asked the current command's job to end, or 0.
inline int cancelRequested() { return console().cancelSignal(); }
// One line typed at the console, without its line break; none at the end of
// the input or once a cancel has broken it off.
std::optional<std::string> readLine();

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
// releaseResults(), so that nothing is said done before it is; a notice said
// after a held result waits with it, as it explains it.
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
// continuations indented under the text after the line's last gap of two
// spaces or more (a label's, a column's), else as the line (and past a
// leading "- "); a word wider than the width is left whole. Widths count the
// characters shown.
std::string fitted(const std::string& text);
// printf to standard output, fitted.
void printFitted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A column of a table: its heading, the width it keeps at least, so that
// short cells line up as they always have, and what its cells are.
struct Column {
    std::string heading;
    size_t width = 0;
    bool name = false;   // cut with an ellipsis where a row is too wide, rather than the row broken
    bool right = false;  // a number, aligned right
};
// A table on standard output, its cells as shown() gives them: each column as
// wide as its widest cell. Where outputColumns() is narrower, the padding goes
// first, then the widest names are cut, down to their headings' width (the
// JSON of each table keeps them whole); a last column of words is wrapped
// under itself. In a pipe each row is one line, its names whole.
void printTable(const std::vector<Column>& columns, const std::vector<std::vector<std::string>>& rows);

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
std::string progressLine(std::uint64_t done, std::optional<std::uint64_t> total, double bytesPerSecond, int columns,
                         const std::string& doneWord = "sent");

class Progress {
public:
    // `label` says what is counted ("Spooling"), before every line drawn;
    // `doneWord` what an unknown total's bytes are ("sent").
    explicit Progress(std::optional<std::uint64_t> total, std::string label = "", std::string doneWord = "sent");
    void update(std::uint64_t done);
    void finish();

private:
    void draw(std::uint64_t done);
    std::optional<std::uint64_t> total_;
    std::string label_, doneWord_;
    std::uint64_t lastDone_ = 0;
    long long lastDrawn_ = -1;  // off a terminal: the count on the last line
    bool terminal_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace zevmon
