// The frames of the machine's socket.
#include "wire.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zevmon {

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= (std::size_t)n;
    }
    return true;
}

bool readAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= (std::size_t)n;
    }
    return true;
}

}  // namespace

std::string u32Bytes(std::uint32_t value) {
    char bytes[4] = {(char)(value & 0xFF), (char)(value >> 8 & 0xFF), (char)(value >> 16 & 0xFF),
                     (char)(value >> 24 & 0xFF)};
    return std::string(bytes, 4);
}

std::uint32_t u32At(const std::string& bytes, std::size_t at) {
    if (bytes.size() < at + 4) return 0;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return (std::uint32_t)b[0] | (std::uint32_t)b[1] << 8 | (std::uint32_t)b[2] << 16 | (std::uint32_t)b[3] << 24;
}

bool sendFrame(int fd, Frame kind, const std::string& payload) {
    std::string head = u32Bytes((std::uint32_t)payload.size() + 1) + std::string(1, (char)kind);
    // One write for a small frame, so that frames of two threads never interleave
    // byte by byte; the caller keeps them apart with its own lock.
    if (payload.size() < 65536) return writeAll(fd, (head + payload).data(), head.size() + payload.size());
    return writeAll(fd, head.data(), head.size()) && writeAll(fd, payload.data(), payload.size());
}

bool readFrame(int fd, Frame& kind, std::string& payload) {
    char head[5];
    if (!readAll(fd, head, sizeof head)) return false;
    std::uint32_t size = u32At(std::string(head, 4), 0);
    if (size == 0 || size > MaxFrame + 1) return false;
    kind = (Frame)head[4];
    payload.resize(size - 1);
    return size == 1 || readAll(fd, &payload[0], size - 1);
}

std::filesystem::path socketPath(const std::filesystem::path& folder) { return folder / "machine.sock"; }
std::filesystem::path lockPath(const std::filesystem::path& folder) { return folder / "machine.lock"; }
std::filesystem::path logPath(const std::filesystem::path& folder) { return folder / "machine.log"; }

bool socketAddress(const std::filesystem::path& folder, int& folderFd, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::string path = socketPath(folder).string();
    folderFd = -1;
    if (path.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        return true;
    }
    folderFd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return false;
    std::string through = "/proc/self/fd/" + std::to_string(folderFd) + "/" + socketPath(folder).filename().string();
    std::memcpy(address.sun_path, through.c_str(), through.size() + 1);
    return true;
}

namespace {

int findBuildId(dl_phdr_info* info, size_t, void* out) {
    if (info->dlpi_name && info->dlpi_name[0]) return 0;  // the program itself comes first, unnamed
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_NOTE) continue;
        const char* at = reinterpret_cast<const char*>(info->dlpi_addr + header.p_vaddr);
        const char* end = at + header.p_memsz;
        while (at + sizeof(ElfW(Nhdr)) <= end) {
            const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(at);
            const char* name = at + sizeof *note;
            const char* desc = name + ((note->n_namesz + 3) & ~3u);
            if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0) {
                static const char digits[] = "0123456789abcdef";
                std::string& id = *static_cast<std::string*>(out);
                for (unsigned j = 0; j < note->n_descsz; j++) {
                    unsigned char b = (unsigned char)desc[j];
                    id += digits[b >> 4];
                    id += digits[b & 15];
                }
                return 1;
            }
            at = desc + ((note->n_descsz + 3) & ~3u);
        }
    }
    return 1;
}

}  // namespace

std::string buildIdentity() {
    static const std::string id = [] {
        std::string found;
        dl_iterate_phdr(findBuildId, &found);
        if (found.empty()) found = "unknown";
        // A test stands for another build with a word of its own.
        if (const char* other = std::getenv("ZEVMON_BUILD_TAG"); other && *other) found += "+" + std::string(other);
        return found;
    }();
    return id;
}

}  // namespace zevmon
