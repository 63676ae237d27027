// Registry reads of both builds.
#include "registry.h"

#include "monitor/zevuruzi.h"

namespace zevmon {

namespace {

// The value as stored, and its type; false when the key or the value cannot be read.
bool readValue(const std::string& path, const char* name, DWORD& type, std::vector<BYTE>& bytes) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    bool read = rawValue(key, name, type, bytes);
    RegCloseKey(key);
    return read;
}

std::string untilTerminator(const std::vector<BYTE>& bytes) {
    std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\0'));
}

}  // namespace

// The system's own comparison: the simulated machine's is its code page's
// letter case (codepage/code_page.h), Windows' that of its locale.
bool sameName(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

std::string joinKey(const std::string& a, const std::string& b) { return a + "\\" + b; }

std::string deviceKey(const std::string& instanceId) { return joinKey("Enum", instanceId); }

bool keyExists(const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::vector<std::string> subkeyNames(const std::string& path) {
    std::vector<std::string> names;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    for (DWORD index = 0;; index++) {
        CHAR name[RegistryNameMax] = {};
        LONG result = RegEnumKeyA(key, index, name, sizeof name);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

bool rawValue(HKEY key, const char* name, DWORD& type, std::vector<BYTE>& bytes) {
    DWORD size = 0;
    if (RegQueryValueExA(key, name, NULL, &type, NULL, &size) != ERROR_SUCCESS) return false;
    bytes.assign(size, 0);
    if (size == 0) return true;
    return RegQueryValueExA(key, name, NULL, &type, bytes.data(), &size) == ERROR_SUCCESS;
}

std::optional<std::string> valueText(const std::string& path, const char* name) {
    DWORD type = 0;
    std::vector<BYTE> bytes;
    if (!readValue(path, name, type, bytes)) return std::nullopt;
    return untilTerminator(bytes);
}

std::optional<std::string> readString(const std::string& path, const char* name) {
    DWORD type = 0;
    std::vector<BYTE> bytes;
    if (!readValue(path, name, type, bytes) || type != REG_SZ) return std::nullopt;
    return untilTerminator(bytes);
}

std::string monitorName() {
    std::string key = MonitorKeyPath;
    return key.substr(key.find_last_of('\\') + 1);
}

bool monitorInstalled() { return !readString(MonitorKeyPath, "Driver").value_or("").empty(); }

}  // namespace zevmon
