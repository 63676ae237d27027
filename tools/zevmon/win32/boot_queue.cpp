// WININIT.INI's [rename] section is read and written as a file: a line written
// with WritePrivateProfileStringA would replace another program's line of the
// same left side, and every deletion is a NUL= line. MoveFileExA exists on the
// NT family only: Windows 95 and 98 refuse to start a program that imports it,
// so it is looked up when it is used.
#include "boot_queue.h"

#include <windows.h>

#include <vector>

#include "boot_rename_text.h"
#include "windows_system.h"

namespace zevmon {

namespace {

const char SessionManagerKey[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char PendingValue[] = "PendingFileRenameOperations";

std::string wininitPath() { return joinPath(windowsFolder(), "WININIT.INI"); }

bool readFile(const std::string& path, std::string& text) {
    text.clear();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    char buffer[4096];
    DWORD got = 0;
    BOOL ok;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, NULL)) && got > 0) text.append(buffer, got);
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return ok != FALSE;
}

bool writeFile(const std::string& path, const std::string& text) {
    if (text.empty()) return DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL) && written == text.size();
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return ok != FALSE;
}

template <typename Edit>
bool editWininit(Edit edit) {
    std::string text;
    if (!readFile(wininitPath(), text)) return false;
    std::string edited = edit(text);
    return edited == text || writeFile(wininitPath(), edited);
}

std::string replaceLine(const std::string& replacement, const std::string& target) {
    return shortPath(target) + "=" + shortPath(replacement);
}

std::string removeLine(const std::string& path) { return "NUL=" + shortPath(path); }

std::vector<std::string> pendingOperations() {
    std::vector<std::string> entries;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return entries;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, PendingValue, NULL, &type, NULL, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
        std::vector<char> data(size + 2, 0);
        if (RegQueryValueExA(key, PendingValue, NULL, &type, (LPBYTE)data.data(), &size) == ERROR_SUCCESS)
            entries = pendingEntries(data.data(), size);
    }
    RegCloseKey(key);
    return entries;
}

bool writePendingOperations(const std::vector<std::string>& entries) {
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, KEY_SET_VALUE, &key);
    if (result == ERROR_SUCCESS) {
        if (entries.empty()) {
            result = RegDeleteValueA(key, PendingValue);
            if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
        } else {
            std::string data;
            for (const std::string& e : entries) data += e + '\0';
            data += '\0';
            result = RegSetValueExA(key, PendingValue, 0, REG_MULTI_SZ, (const BYTE*)data.data(), (DWORD)data.size());
        }
        RegCloseKey(key);
    }
    SetLastError(result);
    return result == ERROR_SUCCESS;
}

bool cancelPending(const std::string& source) {
    std::vector<std::string> entries = pendingOperations();
    std::vector<std::string> kept = withoutPendingSource(entries, source);
    return kept.size() == entries.size() || writePendingOperations(kept);
}

typedef BOOL(WINAPI* MoveFileExFn)(LPCSTR, LPCSTR, DWORD);

bool moveAtBoot(const std::string& source, const char* destination, DWORD flags) {
    auto moveFileEx = (MoveFileExFn)(void*)GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "MoveFileExA");
    if (!moveFileEx) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    return moveFileEx(source.c_str(), destination, flags | MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

}  // namespace

BootQueue::BootQueue() : nt_(isNtFamily()) {
    where_ = nt_ ? std::string("the registry's PendingFileRenameOperations (HKEY_LOCAL_MACHINE\\") + SessionManagerKey + ")"
                 : "the [rename] section of " + wininitPath();
}

bool BootQueue::replace(const std::string& replacement, const std::string& target) {
    if (nt_) return moveAtBoot(replacement, target.c_str(), MOVEFILE_REPLACE_EXISTING);
    std::string line = replaceLine(replacement, target);
    return editWininit([&](const std::string& ini) { return addRenameLines(ini, {line}); });
}

bool BootQueue::remove(const std::string& path) {
    if (nt_) return moveAtBoot(path, NULL, 0);
    std::string line = removeLine(path);
    return editWininit([&](const std::string& ini) { return addRenameLines(ini, {line}); });
}

bool BootQueue::cancelReplace(const std::string& replacement, const std::string& target) {
    if (nt_) return cancelPending(replacement);
    std::string line = replaceLine(replacement, target);
    return editWininit([&](const std::string& ini) { return removeRenameLines(ini, {line}); });
}

bool BootQueue::cancelRemove(const std::string& path) {
    if (nt_) return cancelPending(path);
    std::string line = removeLine(path);
    return editWininit([&](const std::string& ini) { return removeRenameLines(ini, {line}); });
}

bool BootQueue::replaceQueued(const std::string& replacement, const std::string& target) {
    if (nt_) {
        std::vector<std::string> entries = pendingOperations();
        return withoutPendingSource(entries, replacement).size() != entries.size();
    }
    std::string text;
    if (!readFile(wininitPath(), text)) return false;
    std::string line = replaceLine(replacement, target);
    return removeRenameLines(text, {line}) != text;
}

}  // namespace zevmon
