// The system's error codes by name and by English text. Plain data: the
// zevmon tool uses it on Windows too.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace sim {

// Win32 error codes by name, for messages that people read: "ERROR_NOT_READY".
std::string errorName(DWORD code);
// The system's English text for an error code, as FormatMessage gives it.
std::optional<std::string> systemMessage(DWORD code);

}  // namespace sim
