// The registry as both builds read it, the simulated machine's or the real
// one's, through the same Win32 calls: keys below HKEY_LOCAL_MACHINE, their
// subkeys and their values.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace zevmon {

// Names of keys, printers and ports, compared as the system compares them:
// letter case aside, é as É.
bool sameName(const std::string& a, const std::string& b);

std::string joinKey(const std::string& a, const std::string& b);
// The key of a device below HKEY_LOCAL_MACHINE, where its installation wrote
// its "PortName": Enum\<instance id>.
std::string deviceKey(const std::string& instanceId);
bool keyExists(const std::string& path);

// The names of a key's subkeys, as RegEnumKeyA gives them. A name longer than
// the monitor reads is passed over, as the monitor passes it over.
std::vector<std::string> subkeyNames(const std::string& path);

// A value exactly as stored: its type and bytes.
bool rawValue(HKEY key, const char* name, DWORD& type, std::vector<BYTE>& bytes);
// A value's text up to its first terminator, whatever type it is stored as.
std::optional<std::string> valueText(const std::string& path, const char* name);
// A REG_SZ value's text; nothing for a value of another type.
std::optional<std::string> readString(const std::string& path, const char* name);

// The monitor's name, which the spooler lists its ports under: the last part
// of its key.
std::string monitorName();

// The monitor's key names a "Driver": the spooler loads the monitor, or will
// at its next start.
bool monitorInstalled();

}  // namespace zevmon
