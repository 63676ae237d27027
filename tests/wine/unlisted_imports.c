/* Imports for the import check to judge; the program is never run. Two are on
 * the list (GetLastError, COMCTL32 ordinal 17); the others are not: a function
 * of Windows 2000, an ordinal the list does not name, a DLL the list does not
 * name, and a SetupAPI function, which Windows 95 does not have. */
#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>

void WINAPI ListedOrdinal(void);
void WINAPI UnlistedOrdinal(void);

void entry(void) {
    ListedOrdinal();
    UnlistedOrdinal();
    CreateHardLinkW(L"a", L"b", NULL);
    SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE);
    ShellExecuteA(NULL, NULL, "a", NULL, NULL, SW_SHOW);
    (void)GetLastError();
}
