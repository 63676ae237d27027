// The simulated registry tree and its REGEDIT4 form.
#include "registry.h"

#include "codepage/code_page.h"

#include <atomic>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <sstream>

namespace sim {

static const char RootName[] = "HKEY_LOCAL_MACHINE";

bool equalNoCase(const std::string& a, const std::string& b) { return codepage::equalNoCase(a, b); }

RegistryFormatError::RegistryFormatError(const std::string& source_, int line_, const std::string& what)
    : std::runtime_error(source_ + ":" + std::to_string(line_) + ": " + what), source(source_), line(line_) {}

std::vector<std::string> splitKeyPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

Registry::Registry() { clear(); }

void Registry::clear() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (root_) root_->deleted = true;
    root_ = std::make_shared<RegNode>();
    root_->name = RootName;
}

std::shared_ptr<RegNode> Registry::child(const RegNode& node, const std::string& name) {
    for (auto& sub : node.subkeys)
        if (equalNoCase(sub->name, name)) return sub;
    return nullptr;
}

std::shared_ptr<RegNode> Registry::addChild(RegNode& node, const std::string& name) {
    if (auto existing = child(node, name)) return existing;
    static std::atomic<unsigned long long> keysMade{0};
    auto sub = std::make_shared<RegNode>();
    sub->name = name;
    sub->parent = &node;
    sub->made = ++keysMade;
    auto at = std::lower_bound(node.subkeys.begin(), node.subkeys.end(), name,
                               [](const std::shared_ptr<RegNode>& n, const std::string& k) {
                                   return codepage::compareNoCase(n->name, k) < 0;
                               });
    node.subkeys.insert(at, sub);
    return sub;
}

static void markDeleted(RegNode& node) {
    node.deleted = true;
    for (auto& sub : node.subkeys) markDeleted(*sub);
}

bool Registry::removeChild(RegNode& node, const std::string& name) {
    for (auto it = node.subkeys.begin(); it != node.subkeys.end(); ++it) {
        if (equalNoCase((*it)->name, name)) {
            markDeleted(**it);
            (*it)->parent = nullptr;
            node.subkeys.erase(it);
            return true;
        }
    }
    return false;
}

RegValue* Registry::findValue(RegNode& node, const std::string& name) {
    for (auto& v : node.values)
        if (equalNoCase(v.name, name)) return &v;
    return nullptr;
}

void Registry::setValue(RegNode& node, const std::string& name, DWORD type, const BYTE* data, size_t size) {
    RegValue* v = findValue(node, name);
    if (!v) {
        node.values.push_back({name, type, {}});
        v = &node.values.back();
    }
    v->type = type;
    if (size > 0)
        v->data.assign(data, data + size);
    else
        v->data.clear();  // a value of length 0; data may be NULL
}

bool Registry::removeValue(RegNode& node, const std::string& name) {
    for (auto it = node.values.begin(); it != node.values.end(); ++it) {
        if (equalNoCase(it->name, name)) {
            node.values.erase(it);
            return true;
        }
    }
    return false;
}

std::shared_ptr<RegNode> Registry::find(const std::string& path) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::shared_ptr<RegNode> node = root_;
    for (auto& part : splitKeyPath(path)) {
        node = child(*node, part);
        if (!node) return nullptr;
    }
    return node;
}

std::shared_ptr<RegNode> Registry::create(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::shared_ptr<RegNode> node = root_;
    for (auto& part : splitKeyPath(path)) node = addChild(*node, part);
    return node;
}

namespace {

void syncNode(RegNode& into, const RegNode& from) {
    into.values = from.values;
    for (std::size_t i = into.subkeys.size(); i-- > 0;) {
        const std::string name = into.subkeys[i]->name;
        if (!Registry::child(from, name)) Registry::removeChild(into, name);
    }
    for (const auto& theirs : from.subkeys) {
        std::shared_ptr<RegNode> ours = Registry::child(into, theirs->name);
        if (!ours) ours = Registry::addChild(into, theirs->name);
        syncNode(*ours, *theirs);
    }
}

}  // namespace

void Registry::replaceWith(const Registry& other) {
    std::scoped_lock lock(mutex_, other.mutex_);
    syncNode(*root_, *other.root_);
}

bool Registry::remove(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto parts = splitKeyPath(path);
    if (parts.empty()) return false;
    std::string last = parts.back();
    parts.pop_back();
    std::shared_ptr<RegNode> node = root_;
    for (auto& part : parts) {
        node = child(*node, part);
        if (!node) return false;
    }
    return removeChild(*node, last);
}

void Registry::setValue(const std::string& path, const std::string& name, DWORD type, const std::vector<BYTE>& data) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    setValue(*create(path), name, type, data.data(), data.size());
}

void Registry::setString(const std::string& path, const std::string& name, const std::string& text) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    setValue(path, name, REG_SZ, data);
}

void Registry::setDword(const std::string& path, const std::string& name, DWORD value) {
    std::vector<BYTE> data(4);
    for (int i = 0; i < 4; i++) data[i] = (BYTE)(value >> (8 * i));
    setValue(path, name, REG_DWORD, data);
}

bool Registry::removeValue(const std::string& path, const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto node = find(path);
    return node && removeValue(*node, name);
}

std::optional<RegValue> Registry::value(const std::string& path, const std::string& name) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto node = find(path);
    if (!node) return std::nullopt;
    if (RegValue* v = findValue(*node, name)) return *v;
    return std::nullopt;
}

std::optional<std::string> Registry::stringValue(const std::string& path, const std::string& name) const {
    auto v = value(path, name);
    if (!v) return std::nullopt;
    std::string text(v->data.begin(), v->data.end());
    auto end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    return text;
}

std::vector<std::string> Registry::subkeys(const std::string& path) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::string> names;
    if (auto node = find(path))
        for (auto& sub : node->subkeys) names.push_back(sub->name);
    return names;
}

std::vector<RegValue> Registry::values(const std::string& path) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto node = find(path);
    return node ? node->values : std::vector<RegValue>{};
}

void Registry::refuseAccess(const std::string& path, DWORD rights) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    create(path)->refusedAccess = rights;
}

std::size_t Registry::keyCount() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::function<std::size_t(const RegNode&)> count = [&](const RegNode& n) {
        std::size_t c = 1;
        for (auto& s : n.subkeys) c += count(*s);
        return c;
    };
    return count(*root_);
}

// ---------------------------------------------------------------------------
// REGEDIT4
// ---------------------------------------------------------------------------

static std::string quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ that is plain text with one terminator is written as a string;
// anything else keeps its exact bytes as hex.
static bool isPlainString(const RegValue& v) {
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < v.data.size(); i++)
        if (v.data[i] == 0 || v.data[i] == '\n' || v.data[i] == '\r') return false;
    return true;
}

static void writeValue(std::ostringstream& out, const RegValue& v) {
    std::string head = v.name.empty() ? "@=" : quote(v.name) + "=";
    if (isPlainString(v)) {
        out << head << quote(std::string(v.data.begin(), v.data.end() - 1)) << "\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char text[16];
        DWORD d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | ((DWORD)v.data[3] << 24);
        std::snprintf(text, sizeof text, "%08x", (unsigned)d);
        out << head << "dword:" << text << "\n";
        return;
    }
    char type[16];
    std::snprintf(type, sizeof type, "hex(%x):", (unsigned)v.type);
    std::string line = head + (v.type == REG_BINARY ? std::string("hex:") : std::string(type));
    for (size_t i = 0; i < v.data.size(); i++) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", v.data[i]);
        line += byte;
        if (i + 1 < v.data.size()) {
            line += ",";
            if (line.size() > 74) {
                out << line << "\\\n";
                line = "  ";
            }
        }
    }
    out << line << "\n";
}

std::string Registry::exportText(const std::string& path) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::ostringstream out;
    out << "REGEDIT4\n";
    std::function<void(const RegNode&, const std::string&)> walk = [&](const RegNode& node, const std::string& path) {
        if (&node != root_.get()) {
            out << "\n[" << path << "]\n";
            for (auto& v : node.values) writeValue(out, v);
        }
        for (auto& sub : node.subkeys) walk(*sub, path + "\\" + sub->name);
    };
    if (std::shared_ptr<RegNode> top = find(path))
        walk(*top, top == root_ ? std::string(RootName) : std::string(RootName) + "\\" + path);
    return out.str();
}

namespace {

struct ImportStep {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::string path;
    RegValue value;
};

class Regedit4Reader {
public:
    Regedit4Reader(const std::string& text, const std::string& source) : source_(source) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines_.push_back(line);
        }
    }

    std::vector<ImportStep> read() {
        // Notepad begins a file it saves as UTF-8 with a byte-order mark.
        if (!lines_.empty() && lines_[0].rfind("\xEF\xBB\xBF", 0) == 0) lines_[0].erase(0, 3);
        size_t i = 0;
        while (i < lines_.size() && trim(lines_[i]).empty()) i++;
        if (i == lines_.size()) fail(1, "the file is empty: it does not begin with the line REGEDIT4");
        if (trim(lines_[i]) != "REGEDIT4") fail((int)i + 1, firstLineProblem(lines_[i]));
        std::vector<ImportStep> steps;
        std::string currentKey;
        bool haveKey = false;
        for (i++; i < lines_.size(); i++) {
            int lineNumber = (int)i + 1;
            std::string line = trim(lines_[i]);
            if (line.empty() || line[0] == ';') continue;
            // A value's hex data may run on over lines that end with a backslash.
            while (!line.empty() && line.back() == '\\' && i + 1 < lines_.size()) {
                line.pop_back();
                line += trim(lines_[++i]);
            }
            if (line[0] == '[') {
                if (line.back() != ']') fail(lineNumber, "a key line must end with ']'");
                std::string name = line.substr(1, line.size() - 2);
                bool remove = !name.empty() && name[0] == '-';
                if (remove) name = name.substr(1);
                std::string path = keyPath(name, lineNumber);
                if (remove) {
                    steps.push_back({ImportStep::DeleteKey, path, {}});
                    haveKey = false;
                } else {
                    steps.push_back({ImportStep::CreateKey, path, {}});
                    currentKey = path;
                    haveKey = true;
                }
                continue;
            }
            if (!haveKey) fail(lineNumber, "a value must follow a key line such as [HKEY_LOCAL_MACHINE\\...]");
            steps.push_back(valueLine(line, currentKey, lineNumber));
        }
        return steps;
    }

private:
    // What the first line is instead of REGEDIT4, in words.
    static std::string firstLineProblem(const std::string& line) {
        // A UTF-16 file's first line, read byte by byte, still shows its letters.
        std::string found;
        for (char c : line.rfind("\xFF\xFE", 0) == 0 ? line.substr(2) : line)
            if (c != 0 && c != '\r') found += (c >= 0x20 && c < 0x7F) ? c : '?';
        found = trim(found);
        if (found.size() > 60) found = found.substr(0, 57) + "...";
        std::string said = "the file does not begin with the line REGEDIT4 but with \"" + found + "\"";
        if (found == "Windows Registry Editor Version 5.00")
            said += ", the format of the Registry Editor of Windows 2000 and later; export the keys again as "
                    "\"Win9x/NT4 Registration Files\", or make the file REGEDIT4 text";
        return said;
    }

    [[noreturn]] void fail(int line, const std::string& what) { throw RegistryFormatError(source_, line, what); }

    static std::string trim(const std::string& s) {
        size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    }

    std::string keyPath(const std::string& name, int line) {
        std::string root = RootName;
        if (!(name.size() >= root.size() && equalNoCase(name.substr(0, root.size()), root) &&
              (name.size() == root.size() || name[root.size()] == '\\'))) {
            std::string top = name.substr(0, name.find('\\'));
            for (const char* other : {"HKEY_CURRENT_USER", "HKEY_USERS", "HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG",
                                      "HKEY_DYN_DATA"})
                if (equalNoCase(top, other))
                    fail(line, "this machine's registry holds HKEY_LOCAL_MACHINE alone, so it has no " +
                                   std::string(other) + " to keep [" + name + "] in");
            fail(line, "\"" + top + "\" is no root key of the registry: a key's path begins with HKEY_LOCAL_MACHINE");
        }
        std::string rest = name.substr(root.size());
        if (splitKeyPath(rest).empty()) fail(line, "the root key itself cannot be named here");
        return rest.empty() ? rest : rest.substr(1);
    }

    // Reads a quoted string starting at pos (on the opening quote); leaves pos after the closing quote.
    std::string quoted(const std::string& line, size_t& pos, int lineNumber) {
        std::string out;
        for (pos++; pos < line.size(); pos++) {
            char c = line[pos];
            if (c == '\\') {
                if (++pos >= line.size()) break;
                out += line[pos];
            } else if (c == '"') {
                pos++;
                return out;
            } else {
                out += c;
            }
        }
        fail(lineNumber, "a quoted name or string has no closing quote");
    }

    std::vector<BYTE> hexBytes(const std::string& text, int lineNumber) {
        std::vector<BYTE> bytes;
        std::string item;
        std::istringstream in(text);
        while (std::getline(in, item, ',')) {
            item = trim(item);
            if (item.empty() && in.eof()) break;
            if (item.size() != 2 || !std::isxdigit((unsigned char)item[0]) || !std::isxdigit((unsigned char)item[1]))
                fail(lineNumber, "'" + item + "' is not a byte in hex (two digits, such as 0a)");
            bytes.push_back((BYTE)std::stoi(item, nullptr, 16));
        }
        return bytes;
    }

    ImportStep valueLine(const std::string& line, const std::string& key, int lineNumber) {
        ImportStep step{ImportStep::SetValue, key, {}};
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            step.value.name = quoted(line, pos, lineNumber);
        } else {
            fail(lineNumber, "a value line must begin with a quoted name or @");
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) pos++;
        if (pos >= line.size() || line[pos] != '=') fail(lineNumber, "'=' expected after the value name");
        std::string data = trim(line.substr(pos + 1));
        if (data == "-") {
            step.kind = ImportStep::DeleteValue;
            return step;
        }
        if (!data.empty() && data[0] == '"') {
            size_t p = 0;
            std::string text = quoted(data, p, lineNumber);
            if (!trim(data.substr(p)).empty()) fail(lineNumber, "unexpected text after the closing quote");
            step.value.type = REG_SZ;
            step.value.data.assign(text.begin(), text.end());
            step.value.data.push_back(0);
        } else if (data.compare(0, 6, "dword:") == 0) {
            std::string digits = data.substr(6);
            if (digits.empty() || digits.size() > 8 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                fail(lineNumber, "a dword needs one to eight hex digits, such as dword:00000001");
            DWORD d = (DWORD)std::stoul(digits, nullptr, 16);
            step.value.type = REG_DWORD;
            for (int i = 0; i < 4; i++) step.value.data.push_back((BYTE)(d >> (8 * i)));
        } else if (data.compare(0, 4, "hex:") == 0) {
            step.value.type = REG_BINARY;
            step.value.data = hexBytes(data.substr(4), lineNumber);
        } else if (data.compare(0, 4, "hex(") == 0) {
            size_t close = data.find("):");
            if (close == std::string::npos) fail(lineNumber, "hex(type): expected");
            std::string type = data.substr(4, close - 4);
            if (type.empty() || type.size() > 8 || type.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                fail(lineNumber, "the type in hex(type) must be one to eight hex digits, such as hex(7)");
            step.value.type = (DWORD)std::stoul(type, nullptr, 16);
            step.value.data = hexBytes(data.substr(close + 2), lineNumber);
        } else {
            fail(lineNumber, "a value must be a quoted string, dword:, hex: or hex(type):");
        }
        return step;
    }

    std::string source_;
    std::vector<std::string> lines_;
};

}  // namespace

ImportCounts Registry::importText(const std::string& text, const std::string& sourceName) {
    auto steps = Regedit4Reader(text, sourceName).read();
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ImportCounts counts;
    // A key is counted once however many of its values the file sets.
    std::vector<std::shared_ptr<RegNode>> keysSet;
    auto keySet = [&](const std::shared_ptr<RegNode>& key) {
        if (std::find(keysSet.begin(), keysSet.end(), key) == keysSet.end()) keysSet.push_back(key);
    };
    for (auto& step : steps) {
        switch (step.kind) {
        case ImportStep::CreateKey:
            if (!exists(step.path)) keySet(create(step.path));
            break;
        case ImportStep::DeleteKey: counts.keysDeleted += remove(step.path); break;
        case ImportStep::SetValue: {
            std::shared_ptr<RegNode> key = create(step.path);
            RegValue* now = findValue(*key, step.value.name);
            if (now && now->type == step.value.type && now->data == step.value.data) break;
            setValue(*key, step.value.name, step.value.type, step.value.data.data(), step.value.data.size());
            counts.valuesSet++;
            keySet(key);
            break;
        }
        case ImportStep::DeleteValue: counts.valuesDeleted += removeValue(step.path, step.value.name); break;
        }
    }
    // One deleted after it was set is no longer there to count.
    counts.keysSet = (std::size_t)std::count_if(keysSet.begin(), keysSet.end(),
                                                [](const std::shared_ptr<RegNode>& key) { return !key->deleted; });
    return counts;
}

}  // namespace sim
