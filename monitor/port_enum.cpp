// Port enumeration and deletion.
#include "monitor.h"

BOOL WINAPI EnumPorts(LPSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed,
                      LPDWORD returned) {
    (void)serverName;
    return EnumeratePorts(level, buffer, bufferSize, needed, returned);
}

BOOL EnumeratePorts(DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed, LPDWORD returned) {
    (void)level;
    (void)buffer;
    (void)bufferSize;
    (void)needed;
    (void)returned;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL WINAPI DeletePort(LPSTR serverName, HWND window, LPSTR portName) {
    (void)serverName;
    (void)window;
    (void)portName;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
