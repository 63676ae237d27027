// WritePort, ReadPort, GetPrinterDataFromPort and SetPortTimeOuts: each checks
// its arguments, needs an open back-end, and hands the call to the back-end of
// the kind latched at job start (activeKind). Also the null back-end, and the
// idle one of a kind the monitor does not know.
#include "../monitor/monitor.h"

// ---- the null back-end: swallows every write, answers nothing ----

static BOOL NullOpen(PortRecord* record) {
    (void)record;  // config.nullConfig is handed over and ignored
    return TRUE;
}

static BOOL NullClose(PortRecord* record) {
    (void)record;
    return TRUE;
}

static BOOL NullWrite(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD written) {
    (void)record;
    (void)buffer;
    if (written != NULL) *written = size;
    return TRUE;
}

static BOOL NullRead(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD read) {
    (void)record;
    (void)buffer;
    (void)size;
    if (read != NULL) *read = 0;
    return Fail(ERROR_CANTREAD);
}

static BOOL NullControl(PortRecord*, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD) {
    return Fail(ERROR_INVALID_PARAMETER);
}

static BOOL NullTimeouts(PortRecord*, LPCOMMTIMEOUTS) { return Fail(ERROR_INVALID_PARAMETER); }

const BackEnd NullBackEnd = {NullOpen, NullClose, NullWrite, NullRead, NullControl, NullTimeouts};

// ---- the idle back-end: a kind the monitor does not know ----

// Accepts every call and moves nothing, and its count says so: left as it
// was, the caller would read whatever its variable held as bytes moved.
static BOOL NothingDone(LPDWORD count) {
    if (count != NULL) *count = 0;
    return TRUE;
}

static BOOL IdleTransfer(PortRecord*, LPBYTE, DWORD, LPDWORD count) { return NothingDone(count); }

static BOOL IdleControl(PortRecord*, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD returned) {
    return NothingDone(returned);
}

static BOOL IdleTimeouts(PortRecord*, LPCOMMTIMEOUTS) { return TRUE; }

// Opening and closing hold nothing, as for the null back-end.
const BackEnd IdleBackEnd = {NullOpen, NullClose, IdleTransfer, IdleTransfer, IdleControl, IdleTimeouts};

// ---- the calls, handed to the back-end of the port's kind ----

// The port's record, checked once, when its job has an open back-end (a
// deferred job has none); otherwise NULL, with ERROR_INVALID_PARAMETER.
static PortRecord* OpenJobRecord(HANDLE port) {
    PortRecord* record = CheckPortHandle(port);
    if (record != NULL && !(record->flags & JobBackEndOpen)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return record;
}

// A write or a read needs a buffer and a size too; it goes to the back-end of
// the kind latched at the start.
static BOOL Transfer(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD count, BOOL writing) {
    PortRecord* record = OpenJobRecord(port);
    if (record == NULL) return FALSE;
    if (buffer == NULL || size == 0) return Fail(ERROR_INVALID_PARAMETER);
    const BackEnd* backEnd = BackEndForKind(record->activeKind);
    return writing ? backEnd->write(record, buffer, size, count) : backEnd->read(record, buffer, size, count);
}

// The WritePort slot of MONITOR_TABLE: its block in zevuruzi.h.
BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written) {
    return Transfer(port, buffer, size, written, TRUE);
}

// The ReadPort slot of MONITOR_TABLE: its block in zevuruzi.h.
BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read) {
    return Transfer(port, buffer, size, read, FALSE);
}

// The GetPrinterDataFromPort slot of MONITOR_TABLE: its block in zevuruzi.h.
// The control id is the device control code; the value name is not used.
BOOL WINAPI GetPrinterDataFromPort(HANDLE port, DWORD controlId, LPSTR valueName, LPSTR inBuffer, DWORD inSize,
                                   LPSTR outBuffer, DWORD outSize, LPDWORD returned) {
    (void)valueName;
    PortRecord* record = OpenJobRecord(port);
    if (record == NULL) return FALSE;
    return BackEndForKind(record->activeKind)->control(record, controlId, inBuffer, inSize, outBuffer, outSize,
                                                       returned);
}

// The SetPortTimeOuts slot of MONITOR_TABLE: its block in zevuruzi.h.
BOOL WINAPI SetPortTimeOuts(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved) {
    (void)reserved;
    PortRecord* record = OpenJobRecord(port);
    if (record == NULL) return FALSE;
    if (timeouts == NULL) return Fail(ERROR_INVALID_PARAMETER);
    return BackEndForKind(record->activeKind)->timeouts(record, timeouts);
}
