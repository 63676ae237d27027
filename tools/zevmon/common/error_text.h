// What zevmon says when something fails: a plain sentence, then the last
// error by name and number. Both builds say it in the same words.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace zevmon {

// An operation that failed: a plain sentence for the user, exit status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A Failure that says what failed, why, and the last error by name and number;
// fail() throws it.
Failure failure(const std::string& what);
[[noreturn]] void fail(const std::string& what);

// "ERROR_NOT_READY, 21".
std::string errorText(DWORD code);
// A plain sentence for what the code means to a person: "the printer is not connected".
std::string errorMeaning(DWORD code);

// Why a file cannot be opened, from errno: "there is no such file".
std::string fileErrorText(int error);

// Why a monitor DLL could not be loaded, from LoadLibraryA's error and
// whether a file of that name exists.
std::string dllLoadFailure(const std::string& dll, DWORD error, bool fileExists);

}  // namespace zevmon
