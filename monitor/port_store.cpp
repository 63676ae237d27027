// The port keys below the monitor's registry key, one per port, each with its
// "Property" value. Every operation closes what it opened before returning; an
// error of the closing call counts only when all before it succeeded.
#include "monitor.h"

static const CHAR PropertyValueName[] = "Property";
static const CHAR ProbePortNameValue[] = "PortName";

// MonitorRoot + "\" + name in a PortKeyPathMax buffer.
static BOOL BuildPortKeyPath(LPSTR path, LPCSTR name) {
    if (MonitorRoot == NULL) return Fail(ERROR_DLL_INIT_FAILED);
    if (name == NULL) return Fail(ERROR_INVALID_PARAMETER);
    return JoinPath(path, PortKeyPathMax, MonitorRoot, name);
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

// The configuration of a port below any monitor key, for the start and for
// those who explain it.
BOOL ReadPortConfigAt(LPCSTR rootPath, LPCSTR name, PortConfig* config) {
    if (rootPath == NULL) return Fail(ERROR_DLL_INIT_FAILED);
    if (name == NULL || config == NULL || name[0] == 0) return Fail(ERROR_INVALID_PARAMETER);
    CHAR path[PortKeyPathMax];
    if (!JoinPath(path, sizeof path, rootPath, name)) return FALSE;
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
    CHAR name[RegistryNameMax];
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

// Removes a port key; a key that is not there counts as removed.
BOOL RemovePortKey(LPCSTR name) {
    if (DeletePortKey(name)) return TRUE;
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}

// While a port is being made, the probe key holds its name in "PortName": a
// making cut short (a failed write and a failed clean-up, or a power cut)
// leaves a port key without "Property", and the mark tells the next start and
// the next scan that the key is that unfinished port, not a broken one.
BOOL MarkPortCreation(LPCSTR name) {
    CHAR path[PortKeyPathMax];
    if (!BuildPortKeyPath(path, ProbeKeyName)) return FALSE;
    if (name == NULL) return Fail(ERROR_INVALID_PARAMETER);
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE, &key);
    if (result != ERROR_SUCCESS) return Fail(result);
    result = RegSetValueExA(key, ProbePortNameValue, 0, REG_SZ, (const BYTE*)name, lstrlenA(name) + 1);
    return CloseAndReport(key, result);
}

// The port name the probe key marks, or FALSE when there is none.
static BOOL ReadPortCreationMark(LPCSTR rootPath, LPSTR name, DWORD size) {
    CHAR path[PortKeyPathMax];
    if (!JoinPath(path, sizeof path, rootPath, ProbeKeyName)) return FALSE;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
    ZeroMemory(name, size);
    DWORD read = size - 1;  // always terminated, whatever the value holds
    LONG result = RegQueryValueExA(key, ProbePortNameValue, NULL, NULL, (LPBYTE)name, &read);
    RegCloseKey(key);
    // Only a name of one key marks a port: the mark is outside data too.
    return result == ERROR_SUCCESS && IsKeyName(name);
}

// TRUE for the port key the probe marks as being made, when it has no
// "Property" value. Any registry failure answers FALSE: the key is then taken
// for what it looks like.
BOOL IsUnfinishedPortKey(LPCSTR rootPath, LPCSTR name) {
    if (rootPath == NULL || name == NULL) return FALSE;
    CHAR mark[RegistryNameMax];
    if (!ReadPortCreationMark(rootPath, mark, sizeof mark) || CompareAsciiNoCase(mark, name, 0x7fffffff) != 0)
        return FALSE;
    CHAR path[PortKeyPathMax];
    if (!JoinPath(path, sizeof path, rootPath, name)) return FALSE;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
    LONG result = RegQueryValueExA(key, PropertyValueName, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    return result == ERROR_FILE_NOT_FOUND;
}

// The probe key is never a port, in any letter case.
BOOL IsProbeKeyName(LPCSTR name) {
    return CompareAsciiNoCase(name, ProbeKeyName, 0x7fffffff) == 0;
}

// What the next start makes of one key below the monitor's key: PortKeyLoads
// with its configuration, PortKeyPassedOver, or PortKeyFailsStart with the
// error the start would fail with in *error. The start and doctor both ask this.
PortKeyStartVerdict ClassifyPortKey(LPCSTR rootPath, LPCSTR name, PortConfig* config, LPDWORD error) {
    *error = ERROR_SUCCESS;
    // The probe key is never a port, whatever it holds.
    if (IsProbeKeyName(name)) return PortKeyPassedOver;
    if (ReadPortConfigAt(rootPath, name, config)) return PortKeyLoads;
    *error = GetLastError();
    // Nor is the port it marks as cut short, while that has no "Property": the
    // next scan makes it whole.
    if (*error == ERROR_FILE_NOT_FOUND && IsUnfinishedPortKey(rootPath, name)) return PortKeyPassedOver;
    return PortKeyFailsStart;
}

// A mark left by a making cut short names a key without "Property" that no
// start would load: it goes before the probe marks another port. FALSE when
// such a key is there and cannot be removed.
BOOL ClearUnfinishedPort(LPCSTR nextName) {
    if (MonitorRoot == NULL) return Fail(ERROR_DLL_INIT_FAILED);
    CHAR mark[RegistryNameMax];
    if (!ReadPortCreationMark(MonitorRoot, mark, sizeof mark)) return TRUE;
    if (nextName != NULL && CompareAsciiNoCase(mark, nextName, 0x7fffffff) == 0) return TRUE;  // finished now
    if (!IsUnfinishedPortKey(MonitorRoot, mark)) return TRUE;
    return RemovePortKey(mark);
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

// Builds PortList from the port keys, in the registry's enumeration order,
// making of each key what ClassifyPortKey says the start makes of it. One
// unreadable key fails the whole load and leaves the list empty.
BOOL LoadPortsFromRegistry(void) {
    PortList = NULL;
    DWORD count;
    if (CountPortKeys(&count)) {
        DWORD index;
        for (index = 0; index < count; index++) {
            CHAR name[RegistryNameMax];
            if (!GetPortKeyName(name, sizeof(name), index)) break;
            PortConfig config;
            DWORD readError;
            PortKeyStartVerdict verdict = ClassifyPortKey(MonitorRoot, name, &config, &readError);
            if (verdict == PortKeyPassedOver) continue;
            if (verdict == PortKeyFailsStart) {
                SetLastError(readError);
                break;
            }
            PortRecord* record = CreatePortFromConfig(name, &config);
            if (record == NULL) break;  // the allocator's error stays
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
    return Fail(error);
}
