// The console of a command the running machine serves.
#include "served_console.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace zevmon {

namespace {

ssize_t writeOut(void* cookie, const char* data, size_t size) {
    static_cast<ServedConsole*>(cookie)->send(Frame::Out, std::string(data, size));
    return (ssize_t)size;  // a client that went takes nothing, and misses nothing it could still see
}

ssize_t writeErr(void* cookie, const char* data, size_t size) {
    static_cast<ServedConsole*>(cookie)->send(Frame::Err, std::string(data, size));
    return (ssize_t)size;
}

std::FILE* stream(ServedConsole* console, cookie_write_function_t* write) {
    cookie_io_functions_t functions{};
    functions.write = write;
    return fopencookie(console, "w", functions);
}

std::int32_t i32At(const std::string& bytes, std::size_t at) { return (std::int32_t)u32At(bytes, at); }

class ClientFile : public InputFile {
public:
    ClientFile(ServedConsole& console, std::uint32_t handle) : console_(console), handle_(handle) {}
    ~ClientFile() override { console_.closeFile(handle_); }
    long read(char* buffer, size_t size) override { return console_.readFile(handle_, buffer, size); }

private:
    ServedConsole& console_;
    std::uint32_t handle_;
};

PathInfo pathInfo(const std::optional<std::string>& reply) {
    PathInfo info;
    if (!reply || reply->size() < 13) {
        info.error = EIO;
        return info;
    }
    info.error = i32At(*reply, 0);
    unsigned char kind = (unsigned char)(*reply)[4];
    info.regular = kind == 1;
    info.folder = kind == 2;
    info.size = (std::uint64_t)u32At(*reply, 5) | (std::uint64_t)u32At(*reply, 9) << 32;
    return info;
}

}  // namespace

ServedConsole::ServedConsole(int fd, const nlohmann::json& hello) : fd_(fd) {
    outTerminal_ = hello.value("outTerminal", false);
    inTerminal_ = hello.value("inTerminal", false);
    errTerminal_ = hello.value("errTerminal", false);
    if (hello.contains("COLUMNS") && hello["COLUMNS"].is_string()) columnsVariable_ = hello["COLUMNS"].get<std::string>();
    columns = hello.value("columns", 0);
    out_ = stream(this, writeOut);
    err_ = stream(this, writeErr);
    // As a terminal's streams are: output by the line on a terminal, else
    // whole; errors at once.
    std::setvbuf(out_, nullptr, outTerminal_ ? _IOLBF : _IOFBF, 65536);
    std::setvbuf(err_, nullptr, _IONBF, 0);
}

ServedConsole::~ServedConsole() {
    std::fclose(out_);
    std::fclose(err_);
    ::close(fd_);
}

bool ServedConsole::send(Frame kind, const std::string& payload) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (gone_ || exited_) return false;
    for (std::size_t at = 0; at < payload.size() || (at == 0 && payload.empty()); at += MaxFrame) {
        if (!sendFrame(fd_, kind, payload.substr(at, MaxFrame))) {
            gone_ = true;
            changed_.notify_all();
            return false;
        }
        if (payload.empty()) break;
    }
    return true;
}

void ServedConsole::exit(int status) {
    std::fflush(out_);
    std::fflush(err_);
    send(Frame::Exit, u32Bytes((std::uint32_t)status));
    exited_ = true;
}

void ServedConsole::readFrames() {
    Frame kind;
    std::string payload;
    while (readFrame(fd_, kind, payload)) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (kind == Frame::Signal) {
            signal_ = (int)u32At(payload, 0);
            changed_.notify_all();
            if (takesSignals_) continue;
            lock.unlock();
            // A command that does not end a job on a signal ends at once, as
            // the program would; what it still does in the machine is its own.
            exit(128 + signal_);
            continue;
        }
        if (kind == Frame::Input && u32At(payload, 0) == 0) {
            inputAsked_ = false;
            int error = i32At(payload, 4);
            if (error) inputError_ = error;
            else if (payload.size() == 8) inputEnded_ = true;
            else input_.append(payload, 8, std::string::npos);
            changed_.notify_all();
            continue;
        }
        if (awaited_ && *awaited_ == kind) {
            reply_ = payload;
            awaited_.reset();
            changed_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
    changed_.notify_all();
}

std::optional<std::string> ServedConsole::ask(Frame kind, const std::string& payload, Frame reply) {
    std::lock_guard<std::mutex> one(askMutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    awaited_ = reply;
    reply_.reset();
    lock.unlock();
    if (!send(kind, payload)) return std::nullopt;
    lock.lock();
    changed_.wait(lock, [&] { return reply_ || gone_ || exited_; });
    awaited_.reset();
    return reply_;
}

long ServedConsole::readInput(char* buffer, size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!input_.empty()) {
            size_t n = std::min(size, input_.size());
            std::memcpy(buffer, input_.data(), n);
            input_.erase(0, n);
            return (long)n;
        }
        if (inputError_) {
            errno = inputError_;
            return -1;
        }
        if (inputEnded_) return 0;
        if (gone_ || exited_) {
            errno = EIO;
            return -1;
        }
        if (signal_) {
            errno = EINTR;  // the read stays asked; what it brings is read next
            return -1;
        }
        if (!inputAsked_) {
            inputAsked_ = true;
            lock.unlock();
            send(Frame::ReadInput, u32Bytes(0) + u32Bytes((std::uint32_t)std::min<size_t>(size, MaxFrame - 16)));
            lock.lock();
            continue;
        }
        changed_.wait(lock);
    }
}

bool ServedConsole::inputReady(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [&] { return !input_.empty() || inputEnded_ || inputError_ || gone_ || exited_; };
    if (ready()) return true;
    if (!inputAsked_) {
        inputAsked_ = true;
        lock.unlock();
        send(Frame::ReadInput, u32Bytes(0) + u32Bytes(65536));
        lock.lock();
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

PathInfo ServedConsole::lookUp(const std::string& path) { return pathInfo(ask(Frame::LookUp, path, Frame::PathFound)); }

std::unique_ptr<InputFile> ServedConsole::openInput(const std::string& path, int& error) {
    std::uint32_t handle;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handle = nextHandle_++;
    }
    PathInfo info = pathInfo(ask(Frame::Open, u32Bytes(handle) + path, Frame::PathFound));
    if (info.error) {
        error = info.error;
        return nullptr;
    }
    return std::make_unique<ClientFile>(*this, handle);
}

long ServedConsole::readFile(std::uint32_t handle, char* buffer, size_t size) {
    size = std::min<size_t>(size, MaxFrame - 16);
    std::optional<std::string> reply = ask(Frame::ReadInput, u32Bytes(handle) + u32Bytes((std::uint32_t)size), Frame::Input);
    if (!reply || reply->size() < 8) {
        errno = EIO;
        return -1;
    }
    if (int error = i32At(*reply, 4)) {
        errno = error;
        return -1;
    }
    size_t n = std::min(size, reply->size() - 8);
    std::memcpy(buffer, reply->data() + 8, n);
    return (long)n;
}

void ServedConsole::closeFile(std::uint32_t handle) { send(Frame::Close, u32Bytes(handle)); }

int ServedConsole::writeWholeFile(const std::string& path, const std::string& text) {
    std::optional<std::string> reply = ask(Frame::WriteWhole, path + std::string(1, '\0') + text, Frame::Written);
    return reply && reply->size() >= 4 ? i32At(*reply, 0) : EIO;
}

}  // namespace zevmon
