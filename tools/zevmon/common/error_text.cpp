// The error texts of both builds.
#include "error_text.h"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

#include "errors/error_names.h"

// Loader errors that the simulated machine's headers leave out.
#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126L
#endif
#ifndef ERROR_BAD_EXE_FORMAT
#define ERROR_BAD_EXE_FORMAT 193L
#endif

namespace zevmon {

void fail(const std::string& what) { throw failure(what); }

Failure failure(const std::string& what) {
    DWORD error = GetLastError();
    // A port name such as FILE: at the end of the sentence is quoted, so that
    // its own colon does not run into the one before the reason.
    std::string said = what;
    size_t last = said.find_last_of(' ');
    if (!said.empty() && said.back() == ':' && last != std::string::npos)
        said = said.substr(0, last + 1) + "\"" + said.substr(last + 1) + "\"";
    return Failure(fmt::format("{}: {} ({}).", said, errorMeaning(error), errorText(error)));
}

std::string errorText(DWORD code) {
    std::string name = errors::errorName(code);
    // A code the table does not know is named by its number alone.
    return name == fmt::format("error {}", code) ? name : fmt::format("{}, {}", name, code);
}

std::string errorMeaning(DWORD code) {
    static const std::map<DWORD, const char*> meanings = {
        {ERROR_NOT_READY, "the printer is not connected"},
        {ERROR_UNKNOWN_PORT, "there is no port of that name"},
        {ERROR_BUSY, "a job is printing on it"},
        {ERROR_CANCELLED, "no file was chosen"},
        {ERROR_SHARING_VIOLATION, "its file is in use by another program"},
        {ERROR_INVALID_PARAMETER, "the port is not in a state to do that"},
        {ERROR_OPEN_FAILED, "the port names no USB device it can look for"},
        {ERROR_DEVICE_NOT_CONNECTED, "the printer was disconnected"},
        {ERROR_PATH_NOT_FOUND, "the folder of its file does not exist"},
        {ERROR_INSUFFICIENT_BUFFER, "the buffer was too small"},
        {ERROR_CANTREAD, "the port cannot be read from"},
        {ERROR_SEM_TIMEOUT, "the printer took no more bytes in time"},
        {ERROR_MOD_NOT_FOUND, "the system found no such DLL, or one of the DLLs it needs is missing"},
        {ERROR_BAD_EXE_FORMAT, "it is not a 32-bit Windows DLL"},
        {ERROR_BAD_FORMAT, "it is not a 32-bit Windows DLL"},
        {ERROR_DLL_INIT_FAILED, "its start-up code refused to load"},
    };
    auto it = meanings.find(code);
    if (it != meanings.end()) return it->second;
    std::string text = errors::systemMessage(code).value_or("an error for which the system has no text");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
    if (!text.empty()) text[0] = (char)std::tolower((unsigned char)text[0]);
    return text;
}

std::string dllLoadFailure(const std::string& dll, DWORD error, bool fileExists) {
    // Windows says 126 for a name it found nowhere; Wine says 2.
    const DWORD moduleNotFound = 126;
    if ((error == moduleNotFound || error == ERROR_FILE_NOT_FOUND) && !fileExists)
        return fmt::format("{} could not be loaded: there is no file of that name where the system looks for DLLs "
                           "({}). Give the DLL's path, such as --dll C:\\ZEVURUZI\\ZEVURUZI.DLL.",
                           dll, errorText(error));
    if (error == moduleNotFound)
        return fmt::format("{} could not be loaded: a DLL that it needs is missing ({}).", dll, errorText(error));
    return fmt::format("{} could not be loaded: {} ({}).", dll, errorMeaning(error), errorText(error));
}

std::string fileErrorText(int error) {
    switch (error) {
    case ENOENT: return "there is no such file";
    case EACCES: return "permission to read it is denied";
    case EISDIR: return "it is a folder, not a file";
    case EMFILE:
    case ENFILE: return "too many files are open";
    default: return std::strerror(error);
    }
}

}  // namespace zevmon
