// The port keys below the monitor's registry key, one per port, each with its
// "Property" value. Every operation closes what it opened before returning; an
// error of the closing call counts only when all before it succeeded.
#include "monitor.h"

static const CHAR PropertyValueName[] = "Property";

// MonitorRoot + "\" + name in a PortKeyPathMax buffer.
static BOOL BuildPortKeyPath(LPSTR path, LPCSTR name) {
    if (MonitorRoot == NULL) {
        SetLastError(ERROR_DLL_INIT_FAILED);
        return FALSE;
    }
    if (name == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return JoinPath(path, PortKeyPathMax, MonitorRoot, name);
}

static BOOL Fail(LONG error) {
    SetLastError((DWORD)error);
    return FALSE;
}

// Closes key and reports result, or the close's error when result is success.
static BOOL CloseAndReport(HKEY key, LONG result) {
    LONG closed = RegCloseKey(key);
    if (result == ERROR_SUCCESS) result = closed;
    if (result != ERROR_SUCCESS) return Fail(result);
    return TRUE;
}

BOOL CreatePortKey(LPCSTR name) {
    CHAR path[PortKeyPathMax];
    if (!BuildPortKeyPath(path, name)) return FALSE;
    HKEY key;
    LONG result = RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key);
    if (result != ERROR_SUCCESS) return Fail(result);
    return CloseAndReport(key, ERROR_SUCCESS);
}

BOOL DeletePortKey(LPCSTR name) {
    if (MonitorRoot == NULL) return Fail(ERROR_DLL_INIT_FAILED);
    if (name == NULL) return Fail(ERROR_INVALID_PARAMETER);
    HKEY root;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, MonitorRoot, 0, KEY_ALL_ACCESS, &root);
    if (result != ERROR_SUCCESS) return Fail(result);
    return CloseAndReport(root, RegDeleteKeyA(root, name));
}

BOOL ReadPortConfig(LPCSTR name, PortConfig* config) {
    CHAR path[PortKeyPathMax];
    if (!BuildPortKeyPath(path, name)) return FALSE;
    if (config == NULL || name[0] == 0) return Fail(ERROR_INVALID_PARAMETER);
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS) return Fail(result);
    // A shorter value leaves the rest of the configuration zero.
    ZeroMemory(config, sizeof(PortConfig));
    DWORD size = sizeof(PortConfig);
    result = RegQueryValueExA(key, PropertyValueName, NULL, NULL, (LPBYTE)config, &size);
    return CloseAndReport(key, result);
}

BOOL WritePortConfig(LPCSTR name, const PortConfig* config) {
    CHAR path[PortKeyPathMax];
    if (!BuildPortKeyPath(path, name)) return FALSE;
    if (config == NULL || name[0] == 0) return Fail(ERROR_INVALID_PARAMETER);
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_WRITE, &key);
    if (result != ERROR_SUCCESS) return Fail(result);
    result = RegSetValueExA(key, PropertyValueName, 0, REG_BINARY, (const BYTE*)config, sizeof(PortConfig));
    return CloseAndReport(key, result);
}

// A monitor key that cannot be opened holds no ports: count 0, success.
BOOL CountPortKeys(LPDWORD count) {
    if (count == NULL) return Fail(ERROR_INVALID_PARAMETER);
    if (MonitorRoot == NULL) return Fail(ERROR_DLL_INIT_FAILED);
    *count = 0;
    HKEY root;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MonitorRoot, 0, KEY_READ, &root) != ERROR_SUCCESS) return TRUE;
    CHAR name[PortNameMax];
    DWORD index = 0;
    LONG result;
    while ((result = RegEnumKeyA(root, index, name, sizeof(name))) == ERROR_SUCCESS) index++;
    *count = index;
    return CloseAndReport(root, result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result);
}

BOOL GetPortKeyName(LPSTR buffer, DWORD size, DWORD index) {
    if (buffer == NULL || size == 0) return Fail(ERROR_INVALID_PARAMETER);
    if (MonitorRoot == NULL) return Fail(ERROR_DLL_INIT_FAILED);
    HKEY root;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, MonitorRoot, 0, KEY_READ, &root);
    if (result != ERROR_SUCCESS) return Fail(result);
    ZeroMemory(buffer, size);
    return CloseAndReport(root, RegEnumKeyA(root, index, buffer, size));
}

BOOL SavePort(const PortRecord* record) {
    if (record == NULL || record->name == NULL || record->name[0] == 0) return Fail(ERROR_INVALID_PARAMETER);
    if (!CreatePortKey(record->name)) return FALSE;
    return WritePortConfig(record->name, &record->config);
}

BOOL ForgetPort(const PortRecord* record) {
    if (record == NULL || record->name == NULL || record->name[0] == 0) return Fail(ERROR_INVALID_PARAMETER);
    return DeletePortKey(record->name);
}

// Builds PortList from the port keys, in the registry's enumeration order. One
// unreadable key fails the whole load and leaves the list empty.
BOOL LoadPortsFromRegistry(void) {
    PortList = NULL;
    DWORD count;
    if (CountPortKeys(&count)) {
        DWORD index;
        for (index = 0; index < count; index++) {
            CHAR name[PortNameMax];
            if (!GetPortKeyName(name, sizeof(name), index)) break;
            PortRecord* record = CreatePortFromRegistry(name);
            if (record == NULL) break;
            if (!LinkPortRecord(record)) {
                DWORD error = GetLastError();
                FreePortRecord(record);
                SetLastError(error);
                break;
            }
        }
        if (index == count) return TRUE;
    }
    DWORD error = GetLastError();
    FreeAllPortRecords();
    SetLastError(error);
    return FALSE;
}
