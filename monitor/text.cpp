// Strings without a C runtime: the monitor compares names by ASCII letter case
// only (the system's lstrcmpiA follows the locale and would match more).
#include "monitor.h"

static CHAR AsciiLower(CHAR c) { return (c >= 'A' && c <= 'Z') ? (CHAR)(c - 'A' + 'a') : c; }

// strncmp-like: compares at most maxChars characters, stopping after a common terminator.
int CompareAscii(LPCSTR a, LPCSTR b, int maxChars) {
    for (int i = 0; i < maxChars; i++) {
        BYTE ca = (BYTE)a[i], cb = (BYTE)b[i];
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
    return 0;
}

int CompareAsciiNoCase(LPCSTR a, LPCSTR b, int maxChars) {
    for (int i = 0; i < maxChars; i++) {
        BYTE ca = (BYTE)AsciiLower(a[i]), cb = (BYTE)AsciiLower(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
    return 0;
}

// TRUE when text ends with tail (ASCII letter case ignored, at most maxChars of
// the tail compared); a tail longer than the text never matches.
BOOL EndsWithAsciiNoCase(LPCSTR text, LPCSTR tail, int maxChars) {
    int textLength = lstrlenA(text), tailLength = lstrlenA(tail);
    if (tailLength > textLength) return FALSE;
    return CompareAsciiNoCase(text + textLength - tailLength, tail, maxChars) == 0;
}

// A registry key name: not empty, and no backslash, which would name a path.
BOOL IsKeyName(LPCSTR name) {
    if (name == NULL || name[0] == 0) return FALSE;
    for (LPCSTR p = name; *p; p++)
        if (*p == '\\') return FALSE;
    return TRUE;
}

LPCSTR LastPathComponent(LPCSTR path) {
    LPCSTR last = path;
    for (LPCSTR p = path; *p; p++)
        if (*p == '\\') last = p + 1;
    return last;
}

// head + "\" + tail into buffer. A result that would not fit is refused with
// ERROR_FILENAME_EXCED_RANGE and the buffer is left empty.
BOOL JoinPath(LPSTR buffer, int bufferSize, LPCSTR head, LPCSTR tail) {
    int headLength = lstrlenA(head), tailLength = lstrlenA(tail);
    if (bufferSize <= 0) return Fail(ERROR_FILENAME_EXCED_RANGE);
    buffer[0] = 0;
    if (headLength + 1 + tailLength + 1 > bufferSize) return Fail(ERROR_FILENAME_EXCED_RANGE);
    CopyMemory(buffer, head, headLength);
    buffer[headLength] = '\\';
    CopyMemory(buffer + headLength + 1, tail, tailLength + 1);
    return TRUE;
}
