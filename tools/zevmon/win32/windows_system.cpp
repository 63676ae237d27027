// zevmon.exe's view of the system it runs on.
#include "windows_system.h"

#include <fmt/format.h>

namespace zevmon {

namespace {

std::string folderOf(UINT(WINAPI* get)(LPSTR, UINT)) {
    CHAR path[MAX_PATH] = "";
    UINT length = get(path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

}  // namespace

std::string systemFolder() { return folderOf(GetSystemDirectoryA); }
std::string windowsFolder() { return folderOf(GetWindowsDirectoryA); }

std::string programFolder() {
    CHAR path[MAX_PATH] = "";
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    std::string file(path, length < sizeof path ? length : 0);
    size_t slash = file.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash);
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    char last = folder.back();
    return last == '\\' || last == '/' ? folder + name : folder + "\\" + name;
}

bool fileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool samePath(const std::string& a, const std::string& b) { return sameName(shortPath(a), shortPath(b)); }

std::string shortPath(const std::string& path) {
    CHAR buffer[MAX_PATH] = "";
    DWORD length = GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
    return length > 0 && length < sizeof buffer ? std::string(buffer, length) : path;
}

bool isNtFamily() { return (GetVersion() & 0x80000000) == 0; }

std::string systemName() {
    DWORD version = GetVersion();
    unsigned major = version & 0xff, minor = (version >> 8) & 0xff;
    if (!isNtFamily()) {
        if (major == 4 && minor == 0) return "Windows 95";
        if (major == 4 && minor == 10) return "Windows 98";
        if (major == 4 && minor == 90) return "Windows Me";
        return fmt::format("Windows {}.{} (95/98/Me family)", major, minor);
    }
    return fmt::format("Windows {}.{} (NT family)", major, minor);
}

std::string FileVersion::text() const {
    return fmt::format("{}.{}.{}.{}", HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
}

namespace {

std::vector<BYTE> versionRecord(const std::string& path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    std::vector<BYTE> record(size);
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, record.data())) record.clear();
    return record;
}

}  // namespace

std::optional<FileVersion> fileVersion(const std::string& path) {
    std::vector<BYTE> record = versionRecord(path);
    if (record.empty()) return std::nullopt;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(record.data(), "\\", (LPVOID*)&fixed, &length) || length < sizeof *fixed ||
        fixed->dwSignature != 0xFEEF04BD)
        return std::nullopt;
    return FileVersion{fixed->dwFileVersionMS, fixed->dwFileVersionLS};
}

std::string versionString(const std::string& path, const char* name) {
    std::vector<BYTE> record = versionRecord(path);
    if (record.empty()) return "";
    WORD* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(record.data(), "\\VarFileInfo\\Translation", (LPVOID*)&translation, &length) ||
        length < 2 * sizeof(WORD))
        return "";
    std::string query = fmt::format("\\StringFileInfo\\{:04X}{:04X}\\{}", translation[0], translation[1], name);
    char* text = nullptr;
    if (!VerQueryValueA(record.data(), query.c_str(), (LPVOID*)&text, &length) || !text) return "";
    return std::string(text, strnlen(text, length));
}

std::optional<RegistryTree> readTree(const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    RegistryTree tree;
    size_t slash = path.find_last_of('\\');
    tree.name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (DWORD index = 0;; index++) {
        CHAR name[16384] = "";
        DWORD nameSize = sizeof name, type = 0, size = 0;
        if (RegEnumValueA(key, index, name, &nameSize, NULL, &type, NULL, &size) != ERROR_SUCCESS) break;
        RegistryValue value{name, type, std::vector<BYTE>(size)};
        nameSize = sizeof name;
        if (RegEnumValueA(key, index, name, &nameSize, NULL, &type, value.data.data(), &size) != ERROR_SUCCESS)
            break;
        value.data.resize(size);
        tree.values.push_back(std::move(value));
    }
    RegCloseKey(key);
    for (const std::string& name : subkeyNames(path))
        if (auto sub = readTree(path + "\\" + name)) tree.subkeys.push_back(std::move(*sub));
    return tree;
}

LONG writeTree(const std::string& path, const RegistryTree& tree) {
    HKEY key;
    LONG result = RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key);
    if (result != ERROR_SUCCESS) return result;
    for (const RegistryValue& v : tree.values) {
        result = RegSetValueExA(key, v.name.c_str(), 0, v.type, v.data.data(), (DWORD)v.data.size());
        if (result != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    for (const RegistryTree& sub : tree.subkeys) {
        if (result != ERROR_SUCCESS) break;
        result = writeTree(path + "\\" + sub.name, sub);
    }
    return result;
}

LONG deleteTree(const std::string& path) {
    for (const std::string& name : subkeyNames(path)) {
        LONG result = deleteTree(path + "\\" + name);
        if (result != ERROR_SUCCESS) return result;
    }
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

}  // namespace zevmon
