// WININIT.INI and PendingFileRenameOperations as text.
#include "boot_rename_text.h"

#include <algorithm>
#include <cctype>

namespace zevmon {

namespace {

std::string trimmed(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    size_t end = s.find_last_not_of(" \t");
    return s.substr(begin, end - begin + 1);
}

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
           });
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// "[name]" gives name; anything else, "".
std::string sectionName(const std::string& line) {
    std::string t = trimmed(line);
    if (t.size() < 2 || t.front() != '[') return "";
    size_t close = t.find(']');
    return close == std::string::npos ? "" : trimmed(t.substr(1, close - 1));
}

bool isSection(const std::string& line) { return !sectionName(line).empty(); }
bool isRenameSection(const std::string& line) { return sameText(sectionName(line), "rename"); }
bool isEntry(const std::string& line) {
    std::string t = trimmed(line);
    return !t.empty() && t[0] != ';';
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return sameText(trimmed(l), trimmed(line)); });
}

}  // namespace

std::vector<std::string> renameLines(const std::string& ini) {
    std::vector<std::string> found;
    bool inRename = false;
    for (const std::string& line : splitLines(ini)) {
        if (isSection(line))
            inRename = isRenameSection(line);
        else if (inRename && isEntry(line))
            found.push_back(trimmed(line));
    }
    return found;
}

std::string addRenameLines(const std::string& ini, const std::vector<std::string>& lines) {
    std::vector<std::string> existing = renameLines(ini);
    std::vector<std::string> added;
    for (const std::string& line : lines)
        if (!contains(existing, line) && !contains(added, line)) added.push_back(line);
    std::vector<std::string> out = splitLines(ini);
    if (added.empty()) return ini;
    auto header = std::find_if(out.begin(), out.end(), isRenameSection);
    if (header == out.end()) {
        out.push_back("[rename]");
        out.insert(out.end(), added.begin(), added.end());
        return joinLines(out);
    }
    // After the section's last entry, so that blank lines before the next section stay there.
    auto end = std::find_if(header + 1, out.end(), isSection);
    auto last = header;
    for (auto it = header + 1; it != end; ++it)
        if (isEntry(*it)) last = it;
    out.insert(last + 1, added.begin(), added.end());
    return joinLines(out);
}

std::string removeRenameLines(const std::string& ini, const std::vector<std::string>& lines) {
    std::vector<std::string> in = splitLines(ini), out;
    bool inRename = false, removedAny = false;
    for (const std::string& line : in) {
        if (isSection(line)) {
            inRename = isRenameSection(line);
        } else if (inRename && isEntry(line) && contains(lines, line)) {
            removedAny = true;
            continue;
        }
        out.push_back(line);
    }
    if (!removedAny) return ini;
    // Drop [rename] sections with no entry left, with their blank lines.
    std::vector<std::string> kept;
    for (size_t i = 0; i < out.size();) {
        if (!isRenameSection(out[i])) {
            kept.push_back(out[i++]);
            continue;
        }
        size_t end = i + 1;
        while (end < out.size() && !isSection(out[end])) end++;
        bool empty = std::none_of(out.begin() + i + 1, out.begin() + end, isEntry);
        if (!empty) kept.insert(kept.end(), out.begin() + i, out.begin() + end);
        i = end;
    }
    bool blank = std::none_of(kept.begin(), kept.end(), [](const std::string& l) { return !trimmed(l).empty(); });
    return blank ? std::string() : joinLines(kept);
}

std::vector<std::string> withoutPendingSource(const std::vector<std::string>& entries, const std::string& source) {
    auto plain = [](std::string path) {
        if (!path.empty() && path[0] == '!') path.erase(0, 1);
        if (path.compare(0, 4, "\\??\\") == 0) path.erase(0, 4);
        return path;
    };
    std::vector<std::string> kept;
    for (size_t i = 0; i + 1 < entries.size(); i += 2) {
        if (sameText(plain(entries[i]), plain(source))) continue;
        kept.push_back(entries[i]);
        kept.push_back(entries[i + 1]);
    }
    return kept;
}

std::vector<std::string> pendingEntries(const char* data, size_t size) {
    std::vector<std::string> entries;
    for (size_t at = 0; at < size;) {
        std::string entry(data + at, std::find(data + at, data + size, '\0'));
        at += entry.size() + 1;
        if (entry.empty() && entries.size() % 2 == 0) break;
        entries.push_back(entry);
    }
    if (entries.size() % 2) entries.push_back("");
    return entries;
}

}  // namespace zevmon
