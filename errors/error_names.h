// The system's error codes by name and by English text, for messages that
// people read. Used by the simulated machine (FormatMessageA) and by zevmon on
// both of its systems.
#pragma once

#include <optional>
#include <string>

namespace errors {

// "ERROR_NOT_READY" for 21; "error N" for a code the table does not know.
std::string errorName(unsigned long code);
// The system's English text for an error code, as FormatMessage gives it.
std::optional<std::string> systemMessage(unsigned long code);

}  // namespace errors
