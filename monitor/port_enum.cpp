// Port enumeration and deletion: EnumPorts lists every port at level 0, 1 or 2
// into the spooler's buffer (records from the front, strings packed from the
// end) after letting the USB scan add new ports; DeletePort removes a port
// that has no open job.
#include "monitor.h"
#include "../resources/string_table.h"

// The bytes one port needs at a level: its record and its strings with terminators.
static DWORD PortInfoSize(const PortRecord* record, DWORD level) {
    if (level == 1) return sizeof(PORT_INFO_1A) + lstrlenA(record->name) + 1;
    if (level == 2)
        return sizeof(PORT_INFO_2A) + lstrlenA(record->name) + 1 + lstrlenA(record->monitorName) + 1 +
               lstrlenA(record->description) + 1;
    return 0;
}

// Places text just below the cursor and returns its address there.
static LPSTR PackString(LPBYTE* cursor, LPCSTR text) {
    int size = lstrlenA(text) + 1;
    *cursor -= size;
    CopyMemory(*cursor, text, size);
    return (LPSTR)*cursor;
}

// One walk of PortList under the lock: refreshes each port's texts and adds up
// the size they need; when a buffer is given and everything fits, also writes
// them. Measuring and filling go through this one walk, so that they cannot
// disagree, and a fill never writes past bufferSize even if ports came or went
// since the measure: it then writes nothing and reports the new size.
static BOOL WalkPorts(DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD total, LPDWORD count) {
    BOOL written = FALSE;
    *total = 0;
    *count = 0;
    EnterCriticalSection(&MonitorLock);
    for (PortRecord* record = PortList; record != NULL; record = record->next) {
        record->monitorName[0] = 0;
        record->description[0] = 0;
        record->portType = 0;
        FillPortInfo(record, record->monitorName, record->description, &record->portType);
        *total += PortInfoSize(record, level);
        (*count)++;
    }
    if (buffer != NULL && *total <= bufferSize) {
        LPBYTE cursor = buffer + bufferSize;
        DWORD index = 0;
        for (PortRecord* record = PortList; record != NULL; record = record->next, index++) {
            if (level == 1) {
                PORT_INFO_1A* info = (PORT_INFO_1A*)buffer + index;
                info->pName = PackString(&cursor, record->name);
            } else if (level == 2) {
                PORT_INFO_2A* info = (PORT_INFO_2A*)buffer + index;
                info->pPortName = PackString(&cursor, record->name);
                info->pMonitorName = PackString(&cursor, record->monitorName);
                info->pDescription = PackString(&cursor, record->description);
                info->fPortType = record->portType;
                info->Reserved = 0;
            }
        }
        written = TRUE;
    }
    LeaveCriticalSection(&MonitorLock);
    return written;
}

BOOL EnumeratePorts(DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed, LPDWORD returned) {
    if (level > 2) return Fail(ERROR_INVALID_LEVEL);
    DWORD total, count;
    WalkPorts(level, NULL, 0, &total, &count);
    if (needed != NULL) *needed = total;
    if (returned != NULL) *returned = count;
    // A missing buffer holds nothing, whatever size comes with it.
    if (bufferSize < total || (buffer == NULL && total > 0)) {
        if (returned != NULL) *returned = 0;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (buffer == NULL) return TRUE;
    if (!WalkPorts(level, buffer, bufferSize, &total, &count)) {
        // Ports were added since the measure: the spooler asks again with this size.
        if (needed != NULL) *needed = total;
        if (returned != NULL) *returned = 0;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (needed != NULL) *needed = total;
    if (returned != NULL) *returned = count;
    return TRUE;
}

// The EnumPorts slot of MONITOR_TABLE: its block in zevuruzi.h.
// Every enumeration first gives the USB scan its chance; new ports are in the
// answer to this very call. A scan that adds nothing leaves the first answer,
// its last error included (a too-small buffer must still say so).
BOOL WINAPI EnumPorts(LPSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed,
                      LPDWORD returned) {
    BOOL result = EnumeratePorts(level, buffer, bufferSize, needed, returned);
    DWORD error = GetLastError();
    if (ScanUsbPortNames(serverName)) {
        InterlockedExchange(&DriverIndexRebuildPending, 1);
        return EnumeratePorts(level, buffer, bufferSize, needed, returned);
    }
    SetLastError(error);
    return result;
}

// The DeletePort slot of MONITOR_TABLE: its block in zevuruzi.h.
// A port with an open job stays, and the user is told why. A deferred job is
// an open job too: the spooler still holds the port's handle and will end the
// job through it, and the job holds its printer handle. The look-up, the test
// of the job and the unlinking are one step under the lock, so that two
// deletions of one port cannot both release it.
BOOL WINAPI DeletePort(LPSTR serverName, HWND window, LPSTR portName) {
    (void)serverName;
    EnterCriticalSection(&MonitorLock);
    PortRecord* record = FindPortRecord(portName);
    BOOL busy = record != NULL && (record->flags & (JobBackEndOpen | JobDeferred));
    if (record != NULL && !busy) UnlinkPortRecord(record);
    LeaveCriticalSection(&MonitorLock);
    if (record == NULL) return Fail(ERROR_UNKNOWN_PORT);
    if (busy) {
        CHAR text[PortTextMax];
        text[0] = 0;
        LoadStringA(MonitorModule, IDS_NOW_PRINTING, text, sizeof text);
        MessageBoxA(window, text, GetMonitorName(), MB_OK);
        return Fail(ERROR_BUSY);
    }
    ForgetPort(record);  // a key that stays brings the port back at the next start
    FreePortRecord(record);
    return TRUE;
}
