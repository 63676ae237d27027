// The two calls every part of the monitor below the entry points may make:
// Fail, the one way a failure is reported, and the check of a port's handle.
#include "monitor.h"

// FALSE, with the reason in the thread's last-error value.
BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The handle the spooler holds is the PortRecord's address; anything else fails
// with ERROR_INVALID_PARAMETER.
PortRecord* CheckPortHandle(HANDLE port) {
    PortRecord* record = (PortRecord*)port;
    if (record == NULL || record->signature != PortSignature) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return record;
}
