// PortRecord and PortList: making records, the list operations, the look-up
// behind OpenPort and the texts that enumeration reports.
#include "monitor.h"

// One zero-filled allocation: the record, then the name and its terminator.
static PortRecord* AllocatePortRecord(LPCSTR name) {
    int length = lstrlenA(name);
    DWORD size = (DWORD)(sizeof(PortRecord) + length + 1);
    PortRecord* record = (PortRecord*)GlobalAlloc(GPTR, size);
    if (record == NULL) return NULL;
    record->signature = PortSignature;
    record->recordSize = size;
    record->next = NULL;
    record->flags = 0;
    record->name = (LPSTR)(record + 1);
    CopyMemory(record->name, name, length + 1);
    return record;
}

// A record named name with a copy of config.
PortRecord* CreatePortFromConfig(LPCSTR name, const PortConfig* config) {
    PortRecord* record = AllocatePortRecord(name);
    if (record == NULL) return NULL;
    record->config = *config;
    return record;
}

PortRecord* CreatePortFromRequest(const PortCreateRequest* request) {
    if (request == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    LPCSTR name = request->name != NULL ? request->name : request->nameBuffer;
    if (name[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return CreatePortFromConfig(name, &request->config);
}

// The fixed part, then copies of the name and the server name; a null argument
// leaves its pointer null.
PortCreateRequest* NewPortCreateRequest(LPCSTR name, LPCSTR serverName) {
    int nameSize = name != NULL ? lstrlenA(name) + 1 : 0;
    int serverSize = serverName != NULL ? lstrlenA(serverName) + 1 : 0;
    PortCreateRequest* request =
        (PortCreateRequest*)GlobalAlloc(GPTR, sizeof(PortCreateRequest) + nameSize + serverSize);
    if (request == NULL) return NULL;
    LPSTR strings = (LPSTR)(request + 1);
    if (name != NULL) {
        request->name = strings;
        CopyMemory(request->name, name, nameSize);
    }
    if (serverName != NULL) {
        request->serverName = strings + nameSize;
        CopyMemory(request->serverName, serverName, serverSize);
    }
    return request;
}

// Appends at the tail. Names are not checked for duplicates: the look-up finds
// the one nearer the head.
BOOL LinkPortRecord(PortRecord* record) {
    if (record == NULL || record->name == NULL || record->name[0] == 0) return Fail(ERROR_INVALID_PARAMETER);
    EnterCriticalSection(&MonitorLock);
    record->next = NULL;
    PortRecord** link = &PortList;
    while (*link != NULL) link = &(*link)->next;
    *link = record;
    LeaveCriticalSection(&MonitorLock);
    return TRUE;
}

BOOL UnlinkPortRecord(PortRecord* record) {
    BOOL found = FALSE;
    EnterCriticalSection(&MonitorLock);
    for (PortRecord** link = &PortList; *link != NULL; link = &(*link)->next) {
        if (*link == record) {
            *link = record->next;
            record->next = NULL;
            found = TRUE;
            break;
        }
    }
    LeaveCriticalSection(&MonitorLock);
    if (!found) SetLastError(ERROR_INVALID_PARAMETER);
    return found;
}

PortRecord* FindPortRecord(LPCSTR name) {
    PortRecord* found = NULL;
    if (name != NULL) {
        EnterCriticalSection(&MonitorLock);
        for (PortRecord* record = PortList; record != NULL; record = record->next) {
            if (CompareAsciiNoCase(record->name, name, 0x7fffffff) == 0) {
                found = record;
                break;
            }
        }
        LeaveCriticalSection(&MonitorLock);
    }
    if (found == NULL) SetLastError(ERROR_UNKNOWN_PORT);
    return found;
}

// Releases a PortRecord or a PortCreateRequest.
BOOL FreePortRecord(void* record) {
    return GlobalFree((HGLOBAL)record) == NULL;
}

BOOL FreeAllPortRecords(void) {
    EnterCriticalSection(&MonitorLock);
    PortRecord* record = PortList;
    while (record != NULL) {
        PortRecord* next = record->next;
        FreePortRecord(record);
        record = next;
    }
    PortList = NULL;
    LeaveCriticalSection(&MonitorLock);
    return TRUE;
}

// The monitor's name is the last component of its registry path.
LPCSTR GetMonitorName(void) {
    return MonitorRoot != NULL ? LastPathComponent(MonitorRoot) : "";
}

// The texts that enumeration reports. A kind without a description leaves it
// as the caller emptied it.
void FillPortInfo(PortRecord* record, LPSTR monitorName, LPSTR description, LPDWORD portType) {
    const PortKindTraits* traits = TraitsOfKind(record->config.kind);
    if (monitorName != NULL) lstrcpynA(monitorName, GetMonitorName(), PortTextMax);
    if (description != NULL && traits->descriptionId != NoDescription)
        LoadStringA(MonitorModule, traits->descriptionId, description, PortTextMax);
    if (portType != NULL) *portType = traits->portType;
}

// The OpenPort slot of MONITOR_TABLE: its block in zevuruzi.h.
BOOL WINAPI OpenPort(LPSTR name, PHANDLE handle) {
    if (name == NULL || handle == NULL) return Fail(ERROR_INVALID_PARAMETER);
    *handle = (HANDLE)FindPortRecord(name);
    return *handle != NULL;
}
