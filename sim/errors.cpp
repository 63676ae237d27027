// The system's error codes: their names and their English message texts, as
// FORMAT_MESSAGE_FROM_SYSTEM gives them (each ends with CR LF).
#include "errors.h"

#include <setupapi.h>

#include <map>

namespace sim {

namespace {

struct ErrorText {
    const char* name;
    const char* text;
};

const std::map<DWORD, ErrorText>& errors() {
    static const std::map<DWORD, ErrorText> table = {
        {ERROR_SUCCESS, {"ERROR_SUCCESS", "The operation completed successfully."}},
        {ERROR_INVALID_FUNCTION, {"ERROR_INVALID_FUNCTION", "Incorrect function."}},
        {ERROR_FILE_NOT_FOUND, {"ERROR_FILE_NOT_FOUND", "The system cannot find the file specified."}},
        {ERROR_PATH_NOT_FOUND, {"ERROR_PATH_NOT_FOUND", "The system cannot find the path specified."}},
        {ERROR_TOO_MANY_OPEN_FILES, {"ERROR_TOO_MANY_OPEN_FILES", "The system cannot open the file."}},
        {ERROR_ACCESS_DENIED, {"ERROR_ACCESS_DENIED", "Access is denied."}},
        {ERROR_INVALID_HANDLE, {"ERROR_INVALID_HANDLE", "The handle is invalid."}},
        {ERROR_NOT_ENOUGH_MEMORY, {"ERROR_NOT_ENOUGH_MEMORY", "Not enough storage is available to process this command."}},
        {ERROR_BAD_FORMAT, {"ERROR_BAD_FORMAT", "An attempt was made to load a program with an incorrect format."}},
        {ERROR_OUTOFMEMORY, {"ERROR_OUTOFMEMORY", "Not enough storage is available to complete this operation."}},
        {ERROR_NOT_READY, {"ERROR_NOT_READY", "The device is not ready."}},
        {ERROR_WRITE_FAULT, {"ERROR_WRITE_FAULT", "The system cannot write to the specified device."}},
        {ERROR_READ_FAULT, {"ERROR_READ_FAULT", "The system cannot read from the specified device."}},
        {ERROR_GEN_FAILURE, {"ERROR_GEN_FAILURE", "A device attached to the system is not functioning."}},
        {ERROR_SHARING_VIOLATION, {"ERROR_SHARING_VIOLATION", "The process cannot access the file because it is being used by another process."}},
        {ERROR_NOT_SUPPORTED, {"ERROR_NOT_SUPPORTED", "The request is not supported."}},
        {ERROR_FILE_EXISTS, {"ERROR_FILE_EXISTS", "The file exists."}},
        {ERROR_INVALID_PARAMETER, {"ERROR_INVALID_PARAMETER", "The parameter is incorrect."}},
        {ERROR_OPEN_FAILED, {"ERROR_OPEN_FAILED", "The system cannot open the device or file specified."}},
        {ERROR_DISK_FULL, {"ERROR_DISK_FULL", "There is not enough space on the disk."}},
        {ERROR_CALL_NOT_IMPLEMENTED, {"ERROR_CALL_NOT_IMPLEMENTED", "This function is not supported on this system."}},
        {ERROR_SEM_TIMEOUT, {"ERROR_SEM_TIMEOUT", "The semaphore timeout period has expired."}},
        {ERROR_INSUFFICIENT_BUFFER, {"ERROR_INSUFFICIENT_BUFFER", "The data area passed to a system call is too small."}},
        {ERROR_INVALID_NAME, {"ERROR_INVALID_NAME", "The filename, directory name, or volume label syntax is incorrect."}},
        {ERROR_INVALID_LEVEL, {"ERROR_INVALID_LEVEL", "The system call level is not correct."}},
        {ERROR_BAD_PATHNAME, {"ERROR_BAD_PATHNAME", "The specified path is invalid."}},
        {ERROR_BUSY, {"ERROR_BUSY", "The requested resource is in use."}},
        {ERROR_ALREADY_EXISTS, {"ERROR_ALREADY_EXISTS", "Cannot create a file when that file already exists."}},
        {ERROR_FILENAME_EXCED_RANGE, {"ERROR_FILENAME_EXCED_RANGE", "The filename or extension is too long."}},
        {ERROR_MORE_DATA, {"ERROR_MORE_DATA", "More data is available."}},
        {ERROR_NO_MORE_ITEMS, {"ERROR_NO_MORE_ITEMS", "No more data is available."}},
        {ERROR_NOACCESS, {"ERROR_NOACCESS", "Invalid access to memory location."}},
        {ERROR_OPERATION_ABORTED, {"ERROR_OPERATION_ABORTED", "The I/O operation has been aborted because of either a thread exit or an application request."}},
        {ERROR_BADDB, {"ERROR_BADDB", "The configuration registry database is corrupt."}},
        {ERROR_BADKEY, {"ERROR_BADKEY", "The configuration registry key is invalid."}},
        {ERROR_CANTOPEN, {"ERROR_CANTOPEN", "The configuration registry key could not be opened."}},
        {ERROR_CANTREAD, {"ERROR_CANTREAD", "The configuration registry key could not be read."}},
        {ERROR_CANTWRITE, {"ERROR_CANTWRITE", "The configuration registry key could not be written."}},
        {ERROR_KEY_DELETED, {"ERROR_KEY_DELETED", "Illegal operation attempted on a registry key that has been marked for deletion."}},
        {ERROR_DLL_INIT_FAILED, {"ERROR_DLL_INIT_FAILED", "A dynamic link library (DLL) initialization routine failed."}},
        {ERROR_IO_DEVICE, {"ERROR_IO_DEVICE", "The request could not be performed because of an I/O device error."}},
        {ERROR_DEVICE_NOT_CONNECTED, {"ERROR_DEVICE_NOT_CONNECTED", "The device is not connected."}},
        {ERROR_NOT_FOUND, {"ERROR_NOT_FOUND", "Element not found."}},
        {ERROR_CANCELLED, {"ERROR_CANCELLED", "The operation was canceled by the user."}},
        {ERROR_INVALID_WINDOW_HANDLE, {"ERROR_INVALID_WINDOW_HANDLE", "Invalid window handle."}},
        {ERROR_CLASS_ALREADY_EXISTS, {"ERROR_CLASS_ALREADY_EXISTS", "Class already exists."}},
        {ERROR_CLASS_DOES_NOT_EXIST, {"ERROR_CLASS_DOES_NOT_EXIST", "Class does not exist."}},
        {ERROR_INVALID_FLAGS, {"ERROR_INVALID_FLAGS", "Invalid flags."}},
        {ERROR_TIMEOUT, {"ERROR_TIMEOUT", "This operation returned because the timeout period expired."}},
        {ERROR_INVALID_USER_BUFFER, {"ERROR_INVALID_USER_BUFFER", "The supplied user buffer is not valid for the requested operation."}},
        {ERROR_UNKNOWN_PORT, {"ERROR_UNKNOWN_PORT", "The specified port is unknown."}},
        {ERROR_INVALID_PRINTER_NAME, {"ERROR_INVALID_PRINTER_NAME", "The printer name is invalid."}},
        {ERROR_NO_SUCH_DEVINST, {"ERROR_NO_SUCH_DEVINST", nullptr}},
        {ERROR_INVALID_CLASS, {"ERROR_INVALID_CLASS", nullptr}},
    };
    return table;
}

}  // namespace

std::string errorName(DWORD code) {
    auto it = errors().find(code);
    return it != errors().end() ? it->second.name : "error " + std::to_string(code);
}

std::optional<std::string> systemMessage(DWORD code) {
    auto it = errors().find(code);
    if (it == errors().end() || !it->second.text) return std::nullopt;
    return std::string(it->second.text) + "\r\n";
}

}  // namespace sim
