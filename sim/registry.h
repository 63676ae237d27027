// The simulated registry: one HKEY_LOCAL_MACHINE tree, names case-insensitive and
// case-preserving, subkeys enumerated in the order Windows and Wine use (sorted,
// ignoring case), values in the order they were first set. It can be written down
// and read back as a REGEDIT4 file.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

struct RegValue {
    std::string name;  // "" is the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegNode {
    std::string name;
    RegNode* parent = nullptr;
    std::vector<std::shared_ptr<RegNode>> subkeys;  // sorted, ignoring case
    std::vector<RegValue> values;
    unsigned long long made = 0;  // when it was made, in the order keys are made
    bool deleted = false;       // open handles to a deleted key fail with ERROR_KEY_DELETED
    DWORD refusedAccess = 0;    // rights this key's security refuses to grant
};

// What an import changed: keys made or given a value that differs, the
// values that differ, and what was deleted of what was there.
struct ImportCounts {
    std::size_t keysSet = 0, valuesSet = 0, keysDeleted = 0, valuesDeleted = 0;
};

// A REGEDIT4 text that cannot be read: which source, which line, what is wrong.
struct RegistryFormatError : std::runtime_error {
    RegistryFormatError(const std::string& source, int line, const std::string& what);
    std::string source;
    int line;
};

// Names of keys, values, printers and ports, compared as the system compares
// them: letter case aside, in the machine's code page (Windows-1252).
bool equalNoCase(const std::string& a, const std::string& b);

class Registry {
public:
    Registry();

    // Every access from any thread goes through this lock.
    std::recursive_mutex& mutex() const { return mutex_; }

    void clear();
    std::shared_ptr<RegNode> root() const { return root_; }

    // ---- node level, for the advapi32 functions (caller holds the lock) ----
    static std::shared_ptr<RegNode> child(const RegNode& node, const std::string& name);
    static std::shared_ptr<RegNode> addChild(RegNode& node, const std::string& name);
    static bool removeChild(RegNode& node, const std::string& name);
    static RegValue* findValue(RegNode& node, const std::string& name);
    static void setValue(RegNode& node, const std::string& name, DWORD type, const BYTE* data, size_t size);
    static bool removeValue(RegNode& node, const std::string& name);

    // ---- path level, for tests and tools; paths are below HKEY_LOCAL_MACHINE ----
    std::shared_ptr<RegNode> find(const std::string& path) const;
    std::shared_ptr<RegNode> create(const std::string& path);
    bool remove(const std::string& path);  // the key and everything below it
    bool exists(const std::string& path) const { return find(path) != nullptr; }
    void setValue(const std::string& path, const std::string& name, DWORD type, const std::vector<BYTE>& data);
    void setString(const std::string& path, const std::string& name, const std::string& text);
    void setDword(const std::string& path, const std::string& name, DWORD value);
    bool removeValue(const std::string& path, const std::string& name);
    std::optional<RegValue> value(const std::string& path, const std::string& name) const;
    std::optional<std::string> stringValue(const std::string& path, const std::string& name) const;
    std::vector<std::string> subkeys(const std::string& path) const;
    std::vector<RegValue> values(const std::string& path) const;
    // Makes the key refuse to grant these rights to any opener (its ACL, in effect).
    void refuseAccess(const std::string& path, DWORD rights);
    // Number of keys in the tree, the root included.
    std::size_t keyCount() const;

    // ---- REGEDIT4 ----
    // The whole tree, or the key of that path and what is below it.
    std::string exportText(const std::string& path = "") const;
    // Adds the file's keys and values to the tree, and deletes those it
    // deletes, all under the lock. On a format error nothing is changed.
    ImportCounts importText(const std::string& text, const std::string& sourceName);
    // Makes the tree hold what the other holds, key by key: a key the other
    // lacks is deleted (its open handles then fail as for any deleted key),
    // one it has is made, and the values become the other's.
    void replaceWith(const Registry& other);

private:
    mutable std::recursive_mutex mutex_;
    std::shared_ptr<RegNode> root_;
};

std::vector<std::string> splitKeyPath(const std::string& path);

}  // namespace sim
