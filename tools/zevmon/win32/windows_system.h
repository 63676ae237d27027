// What zevmon.exe asks of the Windows it runs on: its folders, the family of
// the system, files and their version records, and registry keys taken whole;
// the registry's single keys and values are read as both builds read them.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "common/registry.h"

namespace zevmon {

std::string systemFolder();   // GetSystemDirectoryA: C:\WINDOWS\SYSTEM on 95/98/Me
std::string windowsFolder();  // GetWindowsDirectoryA
std::string programFolder();  // the folder zevmon.exe was started from
std::string joinPath(const std::string& folder, const std::string& name);
bool fileExists(const std::string& path);
bool samePath(const std::string& a, const std::string& b);
// The 8.3 form of an existing path, as WININIT.INI needs it; the path itself
// when the system has no other.
std::string shortPath(const std::string& path);

// GetVersion's high bit: set on Windows 95, 98 and Me, clear on the NT family
// (and on Wine unless it is told to be one of the former).
bool isNtFamily();
std::string systemName();

// The numbers of a file's version record (VS_FIXEDFILEINFO), as 1.0.0.0.
struct FileVersion {
    DWORD high = 0, low = 0;
    std::string text() const;
    bool operator==(const FileVersion& other) const { return high == other.high && low == other.low; }
    bool operator!=(const FileVersion& other) const { return !(*this == other); }
};
std::optional<FileVersion> fileVersion(const std::string& path);
// A string of the version record's first translation, such as "OriginalFilename".
std::string versionString(const std::string& path, const char* name);

// A registry key below HKEY_LOCAL_MACHINE with its values and subkeys, as read.
struct RegistryValue {
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};
struct RegistryTree {
    std::string name;
    std::vector<RegistryValue> values;
    std::vector<RegistryTree> subkeys;
};
std::optional<RegistryTree> readTree(const std::string& path);
// Writes the tree's values and subkeys below path, making what is missing.
LONG writeTree(const std::string& path, const RegistryTree& tree);
// RegDeleteKeyA removes a key's subkeys with it on 95/98/Me but not on the NT
// family, so the subkeys go first.
LONG deleteTree(const std::string& path);

}  // namespace zevmon
