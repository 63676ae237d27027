// SetupAPI, which Windows 95 does not have, reached only when it is used.
#pragma once

namespace zevmon {

// True when the system has SETUPAPI.DLL: Windows 98 and Me, and the NT family.
bool systemHasSetupApi();

}  // namespace zevmon
