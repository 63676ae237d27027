// Job start and end.
#include "../monitor/monitor.h"

BOOL WINAPI StartDocPort(HANDLE port, LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo) {
    (void)port;
    (void)printerName;
    (void)jobId;
    (void)level;
    (void)docInfo;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL WINAPI EndDocPort(HANDLE port) {
    (void)port;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
