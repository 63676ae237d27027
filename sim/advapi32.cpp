// advapi32 of the simulated machine: the registry functions, with the error codes
// and the access checks of Windows NT and Wine (a handle grants only the rights it
// was opened with; a key's security may refuse rights to every opener).
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "state.h"

using sim::machine;
using sim::OpenKey;
using sim::RegNode;
using sim::Registry;

namespace {

// The longest name of one key: Wine's server refuses a longer one with
// STATUS_INVALID_PARAMETER (MAX_NAME_LEN 256 in server/registry.c), and Windows
// NT accepts 256 characters and refuses 257 with ERROR_INVALID_PARAMETER (the
// documented limit, 255, is exceeded by one in practice).
const size_t MaxKeyNameLength = 256;

struct Resolved {
    std::shared_ptr<RegNode> node;
    REGSAM access = 0;
    LONG error = ERROR_SUCCESS;
};

// Generic and maximum rights as a key grants them.
REGSAM mapAccess(REGSAM access) {
    if (access & (GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_READ;
    if (access & (GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_WRITE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

Resolved resolve(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return {machine().registry().root(), KEY_ALL_ACCESS, ERROR_SUCCESS};
    auto& keys = machine().keys();
    std::lock_guard<std::mutex> lock(keys.mutex);
    auto it = keys.open.find((uintptr_t)key);
    if (it == keys.open.end()) return {nullptr, 0, ERROR_INVALID_HANDLE};
    if (it->second.node->deleted) return {nullptr, 0, ERROR_KEY_DELETED};
    return {it->second.node, it->second.access, ERROR_SUCCESS};
}

// A handle to an open key must carry the right the call needs.
Resolved resolveFor(HKEY key, REGSAM needed) {
    Resolved r = resolve(key);
    if (r.error == ERROR_SUCCESS && (r.access & needed) != needed) r.error = ERROR_ACCESS_DENIED;
    return r;
}

// Windows 98 has no registry security: every handle may do everything, and no
// key refuses an opener (Wine, as 9x: "Win95 ignores the access mask").
LONG openHandle(const std::shared_ptr<RegNode>& node, REGSAM requested, bool maximum, PHKEY result) {
    REGSAM granted = mapAccess(requested);
    if (!machine().traits().registrySecurity) {
        granted = KEY_ALL_ACCESS;
    } else if (maximum) {
        granted &= ~node->refusedAccess;
    } else if (granted & node->refusedAccess) {
        return ERROR_ACCESS_DENIED;
    }
    auto& keys = machine().keys();
    std::lock_guard<std::mutex> lock(keys.mutex);
    uintptr_t value = keys.next;
    keys.next += 4;
    keys.open[value] = OpenKey{node, granted};
    *result = (HKEY)value;
    return ERROR_SUCCESS;
}

// Windows 98 skips one leading backslash of a path (Wine's RegOpenKeyExA and
// RegCreateKeyExA do so when the program runs as 9x); NT refuses it.
LPCSTR skipRootSlash(LPCSTR subKey) {
    return subKey && subKey[0] == '\\' && machine().traits().skipsLeadingBackslash ? subKey + 1 : subKey;
}

// Walks a relative path; a leading backslash is a syntax error, as in Wine.
LONG walk(std::shared_ptr<RegNode> node, LPCSTR subKey, std::shared_ptr<RegNode>& found) {
    subKey = skipRootSlash(subKey);
    if (subKey && subKey[0] == '\\') return ERROR_BAD_PATHNAME;
    if (subKey)
        for (auto& part : sim::splitKeyPath(subKey)) {
            node = Registry::child(*node, part);
            if (!node) return ERROR_FILE_NOT_FOUND;
        }
    found = node;
    return ERROR_SUCCESS;
}

// The key a handle and a relative path name.
LONG findKey(HKEY key, LPCSTR subKey, std::shared_ptr<RegNode>& node) {
    Resolved parent = resolve(key);
    if (parent.error) return parent.error;
    return walk(parent.node, subKey, node);
}

}  // namespace

// On any failure the handle is set to NULL, as Windows and Wine do (Wine's
// open_key clears it before the look-up), an injected failure included.
LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    (void)options;
    auto injected = sim::fault("RegOpenKeyExA");
    if (result) *result = NULL;
    if (injected) return (LONG)*injected;
    if (!result) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(machine().registry().mutex());
    std::shared_ptr<RegNode> node;
    if (LONG error = findKey(key, subKey, node)) return error;
    return openHandle(node, access, (access & MAXIMUM_ALLOWED) != 0, result);
}

// Creates every missing key on the path, one after the other; creating below a
// key needs the right to create subkeys there. The key is opened with the most
// that it grants. A name of more than MaxKeyNameLength characters is refused
// with ERROR_INVALID_PARAMETER when it would be created (the keys before it on
// the path stay created). On any failure the handle is set to NULL, as Wine's
// create_key does. With FaultMode::FailAfterEffect the keys are created and the
// injected error returned without a handle.
LONG WINAPI RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    auto injected = sim::injectedFault("RegCreateKeyA");
    if (injected && injected->mode == sim::FaultMode::Fail) {
        if (result) *result = NULL;
        return (LONG)injected->error;
    }
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = NULL;
    std::lock_guard<std::recursive_mutex> lock(machine().registry().mutex());
    Resolved parent = resolve(key);
    if (parent.error) return parent.error;
    subKey = skipRootSlash(subKey);
    if (subKey && subKey[0] == '\\') return ERROR_BAD_PATHNAME;
    bool checksRights = machine().traits().registrySecurity;
    std::shared_ptr<RegNode> node = parent.node;
    if (subKey)
        for (auto& part : sim::splitKeyPath(subKey)) {
            auto next = Registry::child(*node, part);
            if (!next) {
                if (part.size() > MaxKeyNameLength) return ERROR_INVALID_PARAMETER;
                if (checksRights && (node->refusedAccess & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
                if (checksRights && node == parent.node && !(parent.access & KEY_CREATE_SUB_KEY))
                    return ERROR_ACCESS_DENIED;
                next = Registry::addChild(*node, part);
            }
            node = next;
        }
    if (injected) return (LONG)injected->error;  // FailAfterEffect: created, not opened
    return openHandle(node, MAXIMUM_ALLOWED, true, result);
}

LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
    if (auto e = sim::fault("RegEnumKeyA")) return (LONG)*e;
    std::lock_guard<std::recursive_mutex> lock(machine().registry().mutex());
    Resolved r = resolveFor(key, KEY_ENUMERATE_SUB_KEYS);
    if (r.error) return r.error;
    if (!name) return ERROR_INVALID_PARAMETER;
    if (index >= r.node->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string* subName = &r.node->subkeys[index]->name;
    if (machine().traits().subkeysInCreationOrder) {
        // Subkeys "are not ordered ... the function may return subkeys in any
        // order" (RegEnumKey's reference); 98 gives them in the order made.
        std::vector<const RegNode*> made;
        for (auto& sub : r.node->subkeys) made.push_back(sub.get());
        std::sort(made.begin(), made.end(), [](const RegNode* a, const RegNode* b) { return a->made < b->made; });
        subName = &made[index]->name;
    }
    if (subName->size() + 1 > nameSize) return ERROR_MORE_DATA;
    std::memcpy(name, subName->c_str(), subName->size() + 1);
    return ERROR_SUCCESS;
}

static bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// As Windows NT and Wine: the type is REG_NONE and, with no buffer, the size 0
// until the value is found; with no buffer the size is reported; a buffer too
// small gets ERROR_MORE_DATA, the needed size and no data; a value of length 0
// copies nothing. String data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) comes back
// as stored, and when it was stored without a terminator and the buffer has room
// for one more byte, a 0 is written after it; the size reported stays the stored
// size. Wine's RegQueryValueExA (dlls/kernelbase/registry.c) does so, with the
// comment "if the type is REG_SZ and data is not 0-terminated and there is
// enough space in the buffer NT appends a \0".
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
    auto injected = sim::fault("RegQueryValueExA");
    if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    DWORD capacity = dataSize ? *dataSize : 0;
    if (!data && dataSize) *dataSize = 0;
    if (type) *type = REG_NONE;
    if (injected) return (LONG)*injected;  // a failure of the look-up itself
    std::lock_guard<std::recursive_mutex> lock(machine().registry().mutex());
    Resolved r = resolveFor(key, KEY_QUERY_VALUE);
    if (r.error) return r.error;
    sim::RegValue* v = Registry::findValue(*r.node, valueName ? valueName : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    DWORD size = (DWORD)v->data.size();
    LONG result = ERROR_SUCCESS;
    if (data) {
        if (capacity < size) {
            result = ERROR_MORE_DATA;
        } else if (size > 0) {
            std::memcpy(data, v->data.data(), size);
            if (isStringType(v->type) && size < capacity && data[size - 1] != 0) data[size] = 0;
        }
    }
    if (dataSize) *dataSize = size;
    return result;
}

// Data NULL with a size is refused with ERROR_NOACCESS, as on Windows NT (Wine's
// registry tests: RegSetValueExW(key, NULL, 0, REG_SZ, NULL, 4)); data NULL with
// size 0 stores a value of length 0. Windows NT also counts one byte more for
// string types when the byte after the given data is 0 ("if user forgot to count
// terminating null, add it (yes NT does this)", Wine's RegSetValueExA); that
// means reading past the caller's count, which this machine does not do: it
// stores exactly the bytes given.
LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD dataSize) {
    (void)reserved;
    if (auto e = sim::fault("RegSetValueExA")) return (LONG)*e;
    if (!data && dataSize) return ERROR_NOACCESS;
    std::lock_guard<std::recursive_mutex> lock(machine().registry().mutex());
    Resolved r = resolveFor(key, KEY_SET_VALUE);
    if (r.error) return r.error;
    Registry::setValue(*r.node, valueName ? valueName : "", type, data, dataSize);
    return ERROR_SUCCESS;
}

// Deletes a key that has no subkeys, as Windows NT and Wine do; Windows 98
// deletes the whole tree ("Under Windows 95, DeleteSubKey deletes the key and
// all its subkeys"; Wine as 9x: "win95 does recursive key deletes").
LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (auto e = sim::fault("RegDeleteKeyA")) return (LONG)*e;
    if (!subKey) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(machine().registry().mutex());
    std::shared_ptr<RegNode> node;
    if (LONG error = findKey(key, subKey, node)) return error;
    if (node == machine().registry().root() || !node->parent) return ERROR_ACCESS_DENIED;
    sim::SystemTraits traits = machine().traits();
    if ((!traits.deletesKeyTrees && !node->subkeys.empty()) || (traits.registrySecurity && (node->refusedAccess & DELETE)))
        return ERROR_ACCESS_DENIED;
    Registry::removeChild(*node->parent, node->name);
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    if (auto e = sim::fault("RegDeleteValueA")) return (LONG)*e;
    std::lock_guard<std::recursive_mutex> lock(machine().registry().mutex());
    Resolved r = resolveFor(key, KEY_SET_VALUE);
    if (r.error) return r.error;
    if (!Registry::removeValue(*r.node, valueName ? valueName : "")) return ERROR_FILE_NOT_FOUND;
    return ERROR_SUCCESS;
}

// An injected failure (FaultMode::Fail) still closes the key, so that it stands
// for an error reported by the close itself; with FailKeepingObject the key
// stays open.
LONG WINAPI RegCloseKey(HKEY key) {
    auto injected = sim::injectedFault("RegCloseKey");
    LONG result = ERROR_SUCCESS;
    if (key != HKEY_LOCAL_MACHINE) {
        auto& keys = machine().keys();
        std::lock_guard<std::mutex> lock(keys.mutex);
        auto it = keys.open.find((uintptr_t)key);
        if (it == keys.open.end()) {
            result = ERROR_INVALID_HANDLE;
        } else if (injected && injected->mode == sim::FaultMode::FailKeepingObject) {
            machine().noteCloseRefused("RegCloseKey", (uintptr_t)key);
        } else {
            keys.open.erase(it);
            machine().noteClosed("RegCloseKey", (uintptr_t)key);
        }
    }
    return injected ? (LONG)injected->error : result;
}
