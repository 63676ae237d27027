// The monitor's string table: the one list of its user-visible texts. The DLL's
// resource script and the host build's module both expand it, so they cannot drift.
// Language of the table: Japanese (0x411); the loader falls back to it on any system.
#pragma once

#define IDS_NULL_PORT 1
#define IDS_FILE_PORT 2
#define IDS_USB_PORT 3
#define IDS_NOW_PRINTING 5

// MONITOR_STRING(id, text), one line per string.
#define MONITOR_STRING_TABLE(MONITOR_STRING)       \
    MONITOR_STRING(IDS_NULL_PORT, "NULL Port")     \
    MONITOR_STRING(IDS_FILE_PORT, "FILE Port")     \
    MONITOR_STRING(IDS_USB_PORT, "USB Port")       \
    MONITOR_STRING(IDS_NOW_PRINTING, "Now Printing!!")

#define MONITOR_STRING_LANGUAGE 0x11    // LANG_JAPANESE
#define MONITOR_STRING_SUBLANGUAGE 0x01 // SUBLANG_DEFAULT: language id 1041

#define MONITOR_FILE_NAME "ZEVURUZI.DLL"
#define MONITOR_FILE_DESCRIPTION "QM USB Printing Port Monitor DLL"
// One version for the DLL and zevmon.exe, which are shipped together.
#define MONITOR_VERSION_TEXT "1,0,0,0"
#define MONITOR_VERSION_NUMBERS 1, 0, 0, 0

#define ZEVMON_FILE_NAME "ZEVMON.EXE"
#define ZEVMON_FILE_DESCRIPTION "Installs and checks the QM USB Printing Port Monitor"
