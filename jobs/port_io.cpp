// I/O dispatch by kind, and the null back-end.
#include "../monitor/monitor.h"

BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written) {
    (void)port;
    (void)buffer;
    (void)size;
    (void)written;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read) {
    (void)port;
    (void)buffer;
    (void)size;
    (void)read;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL WINAPI GetPrinterDataFromPort(HANDLE port, DWORD controlId, LPSTR valueName, LPSTR inBuffer, DWORD inSize,
                                   LPSTR outBuffer, DWORD outSize, LPDWORD returned) {
    (void)port;
    (void)controlId;
    (void)valueName;
    (void)inBuffer;
    (void)inSize;
    (void)outBuffer;
    (void)outSize;
    (void)returned;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL WINAPI SetPortTimeOuts(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved) {
    (void)port;
    (void)timeouts;
    (void)reserved;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
