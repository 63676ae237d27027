// The file back-end: a job goes into the port's configured file, created or
// truncated at every job start, or into a file the user picks in the open-file
// dialog when none is configured. The target is a write-only sink.
#include "../monitor/monitor.h"

// What the dialog is asked for: long names, no network button, an existing
// folder, and a prompt before an existing file is overwritten (0x220802).
#define FileTargetDialogFlags (OFN_LONGNAMES | OFN_NONETWORKBUTTON | OFN_PATHMUSTEXIST | OFN_OVERWRITEPROMPT)

static const CHAR AllFilesFilter[] = "All Files\0*.*\0";  // the literal's own terminator closes the list

// The user chooses the job's file; the choice serves this job only.
static BOOL AskForFile(LPSTR path) {
    OPENFILENAMEA request;
    ZeroMemory(&request, sizeof request);
    // The structure as the systems before Windows 2000 know it (76 bytes on the DLL).
    request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    request.hwndOwner = GetDesktopWindow();
    request.lpstrFilter = AllFilesFilter;
    request.nFilterIndex = 1;
    request.lpstrFile = path;
    request.nMaxFile = MAX_PATH;
    request.Flags = FileTargetDialogFlags;
    return GetOpenFileNameA(&request);
}

BOOL OpenFileTarget(FileTarget* target, LPCSTR fileName) {
    CHAR path[MAX_PATH];
    ZeroMemory(path, sizeof path);
    if (fileName[0] != 0) {
        // A stored name that fills all 260 bytes has no terminator: it loses its last character.
        lstrcpynA(path, fileName, MAX_PATH);
    } else if (!AskForFile(path)) {
        return Fail(ERROR_CANCELLED);  // cancelled or failed alike
    }
    // No sharing while the job runs; every job starts with an empty file.
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    target->handle = file;
    target->writeOnly = 1;
    return TRUE;
}

// The handle is forgotten even when CloseHandle fails.
BOOL CloseFileTarget(FileTarget* target) {
    if (target->handle == NULL) return Fail(ERROR_INVALID_HANDLE);
    BOOL result = CloseHandle(target->handle);
    target->handle = NULL;
    return result;
}

// One synchronous write, no retry: the count WriteFile stores is what the spooler sees.
BOOL WriteFileTarget(FileTarget* target, LPBYTE buffer, DWORD size, LPDWORD written) {
    if (target->handle == NULL) return Fail(ERROR_INVALID_HANDLE);
    return WriteFile(target->handle, buffer, size, written, NULL);
}

BOOL ReadFileTarget(FileTarget* target, LPBYTE buffer, DWORD size, LPDWORD read) {
    if (target->handle == NULL) return Fail(ERROR_INVALID_HANDLE);
    if (target->writeOnly) {
        if (read != NULL) *read = 0;
        return Fail(ERROR_CANTREAD);
    }
    return ReadFile(target->handle, buffer, size, read, NULL);
}

BOOL SetFileTargetTimeouts(FileTarget* target, LPCOMMTIMEOUTS timeouts) {
    if (target->handle == NULL) return Fail(ERROR_INVALID_HANDLE);
    if (target->writeOnly) return Fail(ERROR_INVALID_PARAMETER);
    return SetCommTimeouts(target->handle, timeouts);
}

BOOL ControlFileTarget(FileTarget* target, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                       DWORD outSize, LPDWORD returned) {
    if (target->handle == NULL) return Fail(ERROR_INVALID_HANDLE);
    if (target->writeOnly) return Fail(ERROR_INVALID_PARAMETER);
    return DeviceIoControl(target->handle, code, inBuffer, inSize, outBuffer, outSize, returned, NULL);
}

// ---- as a back-end of a port ----

static BOOL FileOpen(PortRecord* record) { return OpenFileTarget(&record->file, record->config.fileName); }
static BOOL FileClose(PortRecord* record) { return CloseFileTarget(&record->file); }
static BOOL FileWrite(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD written) {
    return WriteFileTarget(&record->file, buffer, size, written);
}
static BOOL FileRead(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD read) {
    return ReadFileTarget(&record->file, buffer, size, read);
}
static BOOL FileControl(PortRecord* record, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                        DWORD outSize, LPDWORD returned) {
    return ControlFileTarget(&record->file, code, inBuffer, inSize, outBuffer, outSize, returned);
}
static BOOL FileTimeouts(PortRecord* record, LPCOMMTIMEOUTS timeouts) {
    return SetFileTargetTimeouts(&record->file, timeouts);
}

const BackEnd FileBackEnd = {FileOpen, FileClose, FileWrite, FileRead, FileControl, FileTimeouts};
