// Stands in for the system's Rundll in the Wine tests. WinExec searches the
// calling program's folder first, so a "Rundll ..." command line that the DLL
// starts from the test program runs this instead; it appends its command line,
// one per line, to rundll-calls.txt beside itself for the test to read.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    char* folderEnd = path + length;
    while (folderEnd > path && folderEnd[-1] != '\\') folderEnd--;
    const char name[] = "rundll-calls.txt";
    if ((folderEnd - path) + sizeof name > MAX_PATH) return 1;
    CopyMemory(folderEnd, name, sizeof name);

    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    const char* commandLine = GetCommandLineA();
    DWORD written = 0;
    WriteFile(file, commandLine, lstrlenA(commandLine), &written, NULL);
    WriteFile(file, "\r\n", 2, &written, NULL);
    CloseHandle(file);
    return 0;
}
