// What a zevmon command and the running machine say to each other over the
// machine's socket: frames of a length, a kind and bytes. The client sends
// its command line, its signals and, when the machine asks, its standard
// input and the files the command names; the machine sends back what the
// command writes and, at the end, its exit status.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <sys/un.h>

namespace zevmon {

enum class Frame : std::uint8_t {
    Hello = 1,    // client: the request, JSON, then the command line's words, each ended by a zero byte
    Refused,      // machine: why it will not serve this client, a sentence; the connection ends
    Welcome,      // machine: it serves the request
    Out,          // machine: bytes for standard output
    Err,          // machine: bytes for standard error
    Exit,         // machine: the command's exit status, u32; the connection ends
    Signal,       // client: a signal it received, u32
    ReadInput,    // machine: handle u32 (0: standard input), at most u32 bytes
    Input,        // client: handle u32, errno i32, the bytes (none and no error: the end)
    LookUp,       // machine: a path, to be looked up
    Open,         // machine: handle u32, a path, to be opened for reading
    PathFound,    // client: errno i32, kind u8 (1 file, 2 folder, 3 other), size u64
    Close,        // machine: handle u32
    WriteWhole,   // machine: a path, a zero byte, the text: the file written whole
    Written,      // client: errno i32
};

// Frames are at most this long; longer output goes in several.
const std::size_t MaxFrame = 4u << 20;

// Whole or not at all; false when the other end is gone.
bool sendFrame(int fd, Frame kind, const std::string& payload = "");
// False at the end of the connection, or for a frame that is no frame.
bool readFrame(int fd, Frame& kind, std::string& payload);

std::string u32Bytes(std::uint32_t value);
std::uint32_t u32At(const std::string& bytes, std::size_t at);

// The machine's socket, lock and log in its folder.
std::filesystem::path socketPath(const std::filesystem::path& folder);
std::filesystem::path lockPath(const std::filesystem::path& folder);
std::filesystem::path logPath(const std::filesystem::path& folder);

// A Unix socket's address for the socket of a folder, also one whose path is
// longer than an address holds (108 bytes): the folder is then reached
// through a descriptor of it (/proc/self/fd/N/...), never through an address
// outside the file system that any user could reach. `folderFd` is kept open
// by the caller until the bind or connect is done. False with errno.
bool socketAddress(const std::filesystem::path& folder, int& folderFd, struct sockaddr_un& address);

// The build of this zevmon: its ELF build id, so that a client and a machine
// of different builds know it.
std::string buildIdentity();

}  // namespace zevmon
