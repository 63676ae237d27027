// The error-name table keeps plain numbers so that it needs no Windows header;
// these are the names that the monitor's and the machine's own constants must find.
#include <gtest/gtest.h>

#include "errors/error_names.h"
#include "sim/machine.h"

namespace {

#define NAMED(code) std::make_pair(static_cast<unsigned long>(code), std::string(#code))

TEST(ErrorNames, TheTableNumbersAreTheSystemsConstants) {
    const std::pair<unsigned long, std::string> codes[] = {
        NAMED(ERROR_SUCCESS),           NAMED(ERROR_FILE_NOT_FOUND),   NAMED(ERROR_PATH_NOT_FOUND),
        NAMED(ERROR_BAD_FORMAT),
        NAMED(ERROR_ACCESS_DENIED),     NAMED(ERROR_INVALID_HANDLE),   NAMED(ERROR_NOT_ENOUGH_MEMORY),
        NAMED(ERROR_OUTOFMEMORY),       NAMED(ERROR_NOT_READY),        NAMED(ERROR_WRITE_FAULT),
        NAMED(ERROR_READ_FAULT),        NAMED(ERROR_GEN_FAILURE),      NAMED(ERROR_SHARING_VIOLATION),
        NAMED(ERROR_NOT_SUPPORTED),     NAMED(ERROR_INVALID_PARAMETER), NAMED(ERROR_OPEN_FAILED),
        NAMED(ERROR_DISK_FULL),         NAMED(ERROR_SEM_TIMEOUT),      NAMED(ERROR_INSUFFICIENT_BUFFER),
        NAMED(ERROR_INVALID_NAME),      NAMED(ERROR_INVALID_LEVEL),    NAMED(ERROR_BUSY),
        NAMED(ERROR_ALREADY_EXISTS),    NAMED(ERROR_MORE_DATA),        NAMED(ERROR_NO_MORE_ITEMS),
        NAMED(ERROR_BADDB),             NAMED(ERROR_CANTOPEN),         NAMED(ERROR_CANTREAD),
        NAMED(ERROR_CANTWRITE),         NAMED(ERROR_KEY_DELETED),      NAMED(ERROR_DLL_INIT_FAILED),
        NAMED(ERROR_DEVICE_NOT_CONNECTED), NAMED(ERROR_CANCELLED),     NAMED(ERROR_TIMEOUT),
        NAMED(ERROR_UNKNOWN_PORT),      NAMED(ERROR_INVALID_PRINTER_NAME), NAMED(ERROR_NO_SUCH_DEVINST),
        NAMED(ERROR_INVALID_CLASS),
    };
    for (auto& [code, name] : codes) EXPECT_EQ(errors::errorName(code), name) << code;
    EXPECT_EQ(errors::errorName(3006), "ERROR_PRINT_MONITOR_ALREADY_INSTALLED");
    EXPECT_EQ(errors::errorName(424242), "error 424242");
}

TEST(ErrorNames, SystemTextsEndLikeFormatMessages) {
    EXPECT_EQ(errors::systemMessage(ERROR_NOT_READY), std::optional<std::string>("The device is not ready.\r\n"));
    EXPECT_FALSE(errors::systemMessage(424242).has_value());
}

}  // namespace
