// The system's error codes by number: their names and their English texts,
// as FORMAT_MESSAGE_FROM_SYSTEM gives them (each ends with CR LF). Plain data
// with no Windows header, so that the simulated machine and zevmon.exe each
// take it without depending on the other.
#include "error_names.h"

#include <map>

namespace errors {

namespace {

struct ErrorText {
    const char* name;
    const char* text;
};

const std::map<unsigned long, ErrorText>& table() {
    static const std::map<unsigned long, ErrorText> entries = {
        {0, {"ERROR_SUCCESS", "The operation completed successfully."}},
        {1, {"ERROR_INVALID_FUNCTION", "Incorrect function."}},
        {2, {"ERROR_FILE_NOT_FOUND", "The system cannot find the file specified."}},
        {3, {"ERROR_PATH_NOT_FOUND", "The system cannot find the path specified."}},
        {4, {"ERROR_TOO_MANY_OPEN_FILES", "The system cannot open the file."}},
        {5, {"ERROR_ACCESS_DENIED", "Access is denied."}},
        {6, {"ERROR_INVALID_HANDLE", "The handle is invalid."}},
        {8, {"ERROR_NOT_ENOUGH_MEMORY", "Not enough storage is available to process this command."}},
        {11, {"ERROR_BAD_FORMAT", "An attempt was made to load a program with an incorrect format."}},
        {14, {"ERROR_OUTOFMEMORY", "Not enough storage is available to complete this operation."}},
        {19, {"ERROR_WRITE_PROTECT", "The media is write protected."}},
        {21, {"ERROR_NOT_READY", "The device is not ready."}},
        {29, {"ERROR_WRITE_FAULT", "The system cannot write to the specified device."}},
        {30, {"ERROR_READ_FAULT", "The system cannot read from the specified device."}},
        {31, {"ERROR_GEN_FAILURE", "A device attached to the system is not functioning."}},
        {32, {"ERROR_SHARING_VIOLATION", "The process cannot access the file because it is being used by another process."}},
        {33, {"ERROR_LOCK_VIOLATION", "The process cannot access the file because another process has locked a portion of the file."}},
        {50, {"ERROR_NOT_SUPPORTED", "The request is not supported."}},
        {80, {"ERROR_FILE_EXISTS", "The file exists."}},
        {87, {"ERROR_INVALID_PARAMETER", "The parameter is incorrect."}},
        {110, {"ERROR_OPEN_FAILED", "The system cannot open the device or file specified."}},
        {112, {"ERROR_DISK_FULL", "There is not enough space on the disk."}},
        {120, {"ERROR_CALL_NOT_IMPLEMENTED", "This function is not supported on this system."}},
        {121, {"ERROR_SEM_TIMEOUT", "The semaphore timeout period has expired."}},
        {122, {"ERROR_INSUFFICIENT_BUFFER", "The data area passed to a system call is too small."}},
        {123, {"ERROR_INVALID_NAME", "The filename, directory name, or volume label syntax is incorrect."}},
        {124, {"ERROR_INVALID_LEVEL", "The system call level is not correct."}},
        {126, {"ERROR_MOD_NOT_FOUND", "The specified module could not be found."}},
        {127, {"ERROR_PROC_NOT_FOUND", "The specified procedure could not be found."}},
        {145, {"ERROR_DIR_NOT_EMPTY", "The directory is not empty."}},
        {161, {"ERROR_BAD_PATHNAME", "The specified path is invalid."}},
        {170, {"ERROR_BUSY", "The requested resource is in use."}},
        {183, {"ERROR_ALREADY_EXISTS", "Cannot create a file when that file already exists."}},
        {206, {"ERROR_FILENAME_EXCED_RANGE", "The filename or extension is too long."}},
        {234, {"ERROR_MORE_DATA", "More data is available."}},
        {259, {"ERROR_NO_MORE_ITEMS", "No more data is available."}},
        {995, {"ERROR_OPERATION_ABORTED", "The I/O operation has been aborted because of either a thread exit or an application request."}},
        {998, {"ERROR_NOACCESS", "Invalid access to memory location."}},
        {1004, {"ERROR_INVALID_FLAGS", "Invalid flags."}},
        {1009, {"ERROR_BADDB", "The configuration registry database is corrupt."}},
        {1010, {"ERROR_BADKEY", "The configuration registry key is invalid."}},
        {1011, {"ERROR_CANTOPEN", "The configuration registry key could not be opened."}},
        {1012, {"ERROR_CANTREAD", "The configuration registry key could not be read."}},
        {1013, {"ERROR_CANTWRITE", "The configuration registry key could not be written."}},
        {1018, {"ERROR_KEY_DELETED", "Illegal operation attempted on a registry key that has been marked for deletion."}},
        {1114, {"ERROR_DLL_INIT_FAILED", "A dynamic link library (DLL) initialization routine failed."}},
        {1117, {"ERROR_IO_DEVICE", "The request could not be performed because of an I/O device error."}},
        {1167, {"ERROR_DEVICE_NOT_CONNECTED", "The device is not connected."}},
        {1168, {"ERROR_NOT_FOUND", "Element not found."}},
        {1223, {"ERROR_CANCELLED", "The operation was canceled by the user."}},
        {1400, {"ERROR_INVALID_WINDOW_HANDLE", "Invalid window handle."}},
        {1410, {"ERROR_CLASS_ALREADY_EXISTS", "Class already exists."}},
        {1411, {"ERROR_CLASS_DOES_NOT_EXIST", "Class does not exist."}},
        {1460, {"ERROR_TIMEOUT", "This operation returned because the timeout period expired."}},
        {1784, {"ERROR_INVALID_USER_BUFFER", "The supplied user buffer is not valid for the requested operation."}},
        {1796, {"ERROR_UNKNOWN_PORT", "The specified port is unknown."}},
        {1801, {"ERROR_INVALID_PRINTER_NAME", "The printer name is invalid."}},
        {1804, {"ERROR_INVALID_DATATYPE", "The specified datatype is invalid."}},
        {1805, {"ERROR_INVALID_ENVIRONMENT", "The environment specified is invalid."}},
        {3000, {"ERROR_UNKNOWN_PRINT_MONITOR", "The specified print monitor is unknown."}},
        {3006, {"ERROR_PRINT_MONITOR_ALREADY_INSTALLED", "The specified print monitor has already been installed."}},
        {3007, {"ERROR_INVALID_PRINT_MONITOR", "The specified print monitor does not have the required functions."}},
        {3008, {"ERROR_PRINT_MONITOR_IN_USE", "The specified print monitor is currently in use."}},
        {0xE0000206, {"ERROR_INVALID_CLASS", nullptr}},
        {0xE000020B, {"ERROR_NO_SUCH_DEVINST", nullptr}},
    };
    return entries;
}

}  // namespace

std::string errorName(unsigned long code) {
    auto it = table().find(code);
    return it != table().end() ? it->second.name : "error " + std::to_string(code);
}

std::optional<std::string> systemMessage(unsigned long code) {
    auto it = table().find(code);
    if (it == table().end() || !it->second.text) return std::nullopt;
    return std::string(it->second.text) + "\r\n";
}

}  // namespace errors
