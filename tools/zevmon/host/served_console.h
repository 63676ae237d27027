// The console of a command that the running machine serves: its output and
// errors go back to its client as frames, and its input, the files it names
// and its signals come from the client (machine_client.cpp), so that each
// command has its own and the machine never opens a user's file itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "common/terminal.h"
#include "wire.h"

namespace zevmon {

class ServedConsole : public Console {
public:
    // `hello` is the client's request: its terminals and $COLUMNS.
    ServedConsole(int fd, const nlohmann::json& hello);
    ~ServedConsole() override;
    ServedConsole(const ServedConsole&) = delete;
    ServedConsole& operator=(const ServedConsole&) = delete;

    std::FILE* out() override { return out_; }
    std::FILE* err() override { return err_; }
    bool outputIsTerminal() override { return outTerminal_; }
    bool inputIsTerminal() override { return inTerminal_; }
    bool messagesGoToTerminal() override { return errTerminal_; }
    const char* columnsVariable() override { return columnsVariable_ ? columnsVariable_->c_str() : nullptr; }
    long readInput(char* buffer, size_t size) override;
    bool inputReady(int milliseconds) override;
    PathInfo lookUp(const std::string& path) override;
    std::unique_ptr<InputFile> openInput(const std::string& path, int& error) override;
    int writeWholeFile(const std::string& path, const std::string& text) override;
    int cancelSignal() override { return signal_; }
    void takeSignals(bool on) override { takesSignals_ = on; }
    bool gone() override { return gone_; }

    // Serves the client's frames until it goes; on a thread of its own.
    void readFrames();
    // The command's exit status, after what it wrote; nothing is sent after it.
    void exit(int status);
    // Bytes for the client, as a frame of that kind; false once it is gone.
    bool send(Frame kind, const std::string& payload);
    // A file's bytes, through the client: what InputFile::read says.
    long readFile(std::uint32_t handle, char* buffer, size_t size);
    void closeFile(std::uint32_t handle);

private:
    // Sends a request and waits for its reply of the kind; none once the
    // client is gone. One request at a time.
    std::optional<std::string> ask(Frame kind, const std::string& payload, Frame reply);

    int fd_;
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
    bool outTerminal_, inTerminal_, errTerminal_;
    std::optional<std::string> columnsVariable_;
    std::mutex sendMutex_;
    std::mutex askMutex_;  // one request at a time
    std::mutex mutex_;     // what follows
    std::condition_variable changed_;
    std::optional<Frame> awaited_;
    std::optional<std::string> reply_;
    // Standard input as the client sends it: a read asked, what came, its end or error.
    bool inputAsked_ = false;
    std::string input_;
    bool inputEnded_ = false;
    int inputError_ = 0;
    std::uint32_t nextHandle_ = 1;
    std::atomic<int> signal_{0};
    std::atomic<bool> takesSignals_{false};
    std::atomic<bool> gone_{false};
    std::atomic<bool> exited_{false};
};

}  // namespace zevmon
