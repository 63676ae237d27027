// Conversions between the machine's code page and what zevmon writes.
#include "text.h"

#include <algorithm>
#include <fmt/format.h>

#include "codepage/code_page.h"
#include "error_text.h"
#include "terminal.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace zevmon {

namespace {

void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += (char)code;
    } else if (code < 0x800) {
        out += (char)(0xC0 | code >> 6);
        out += (char)(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += (char)(0xE0 | code >> 12);
        out += (char)(0x80 | (code >> 6 & 0x3F));
        out += (char)(0x80 | (code & 0x3F));
    } else {
        out += (char)(0xF0 | code >> 18);
        out += (char)(0x80 | (code >> 12 & 0x3F));
        out += (char)(0x80 | (code >> 6 & 0x3F));
        out += (char)(0x80 | (code & 0x3F));
    }
}

// The code points of UTF-8 text; false when it is not UTF-8.
bool decodeUtf8(const std::string& text, std::u32string& codes) {
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        unsigned code = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; k++) {
            unsigned char next = (unsigned char)text[i + k];
            if ((next >> 6) != 2) return false;
            code = code << 6 | (next & 0x3F);
        }
        codes += (char32_t)code;
        i += length;
    }
    return true;
}

void convertTexts(nlohmann::json& value) {
    if (value.is_string()) {
        value = ansiToUtf8(value.get<std::string>());
    } else if (value.is_object()) {
        nlohmann::json converted = nlohmann::json::object();
        for (auto& [key, item] : value.items()) {
            convertTexts(item);
            converted[ansiToUtf8(key)] = item;
        }
        value = converted;
    } else if (value.is_array()) {
        for (auto& item : value) convertTexts(item);
    }
}

}  // namespace

std::string ansiToUtf8(const std::string& text) {
    std::string out;
#ifdef _WIN32
    int length = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring wide(length > 0 ? (size_t)length : 0, L'\0');
    if (length > 0 && MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), &wide[0], length) == length) {
        for (size_t i = 0; i < wide.size(); i++) {
            unsigned code = (unsigned)wide[i];
            if (code >= 0xD800 && code < 0xDC00 && i + 1 < wide.size())
                code = 0x10000 + ((code - 0xD800) << 10) + ((unsigned)wide[++i] - 0xDC00);
            appendUtf8(out, code);
        }
        return out;
    }
#endif
    for (char c : text) appendUtf8(out, codepage::unicode((unsigned char)c));
    return out;
}

std::string utf8ToAnsi(const std::string& text, std::string* lacking) {
    std::u32string codes;
    if (!decodeUtf8(text, codes)) return text;
    std::string out;
    for (char32_t code : codes) {
        int byte = codepage::byteOf(code);
        out += byte < 0 ? '?' : (char)byte;
        std::string typed;
        appendUtf8(typed, code);
        if (byte < 0 && lacking && (" " + *lacking + " ").find(" " + typed + " ") == std::string::npos)
            *lacking += (lacking->empty() ? "" : " ") + typed;
    }
    return out;
}

namespace {

// The characters a typed word has that the code page lacks, and the word as
// the machine keeps it; the Windows build takes its words as they are.
std::string inCodePage(const std::string& word, std::string& lacking) {
#ifdef _WIN32
    (void)lacking;
    return word;
#else
    return utf8ToAnsi(word, &lacking);
#endif
}

std::string lacks(const std::string& lacking) {
    return lacking.find(' ') == std::string::npos ? "has no " + lacking : "has none of " + lacking;
}

}  // namespace

std::string nameToFind(const std::string& word, const std::string& what) {
    std::string lacking, name = inCodePage(word, lacking);
    if (!lacking.empty())
        throw Failure(fmt::format("There is no {} \"{}\": the machine's names are in Windows-1252, which {}.", what,
                                  word, lacks(lacking)));
    return name;
}

std::string nameToMake(const std::string& word, const std::string& what) {
    std::string lacking, name = inCodePage(word, lacking);
    if (!lacking.empty())
        throw Failure(fmt::format("\"{}\" cannot be {}: the machine keeps its names in Windows-1252, which {}, so it "
                                  "would be kept as \"{}\". Nothing was changed.",
                                  word, what, lacks(lacking), shown(name)));
    return name;
}

std::string nameToKeep(const std::string& word, const std::string& what) {
    std::string lacking, name = inCodePage(word, lacking);
    if (!lacking.empty())
        notice(fmt::format("{} \"{}\" has characters Windows-1252 cannot hold ({}); it is stored as \"{}\".", what,
                           word, lacking, shown(name)));
    return name;
}

std::string shown(const std::string& text) {
    // A control character, such as a line break in a document's name, would
    // break a table's row or a sentence in two: it is shown as its C escape.
    std::string plain;
    for (char c : text) {
        unsigned char code = (unsigned char)c;
        if (code >= 0x20 && code != 0x7F) plain += c;
        else if (c == '\n') plain += "\\n";
        else if (c == '\t') plain += "\\t";
        else if (c == '\r') plain += "\\r";
        else plain += fmt::format("\\x{:02x}", code);
    }
#ifdef _WIN32
    return plain;
#else
    return ansiToUtf8(plain);
#endif
}

std::string shownLines(const std::string& text) {
    std::string out;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        out += shown(text.substr(start, end - start));
        if (end < text.size()) out += '\n';
        start = end + 1;
    }
    return out;
}

std::string jsonOutput(const nlohmann::json& value) {
    nlohmann::json converted = value;
    convertTexts(converted);
    return converted.dump(2);
}

size_t shownWidth(const std::string& text) {
#ifdef _WIN32
    return text.size();
#else
    size_t width = 0;
    for (char c : text) width += ((unsigned char)c >> 6) != 2;  // every byte but a continuation
    return width;
#endif
}

std::string padded(const std::string& text, size_t width) {
    size_t taken = shownWidth(text);
    return taken >= width ? text : text + std::string(width - taken, ' ');
}

std::string shortened(const std::string& text, size_t width) {
    if (shownWidth(text) <= width) return text;
#ifdef _WIN32
    // The console's code page may lack an ellipsis.
    return width <= 3 ? text.substr(0, width) : text.substr(0, width - 3) + "...";
#else
    if (width == 0) return "";
    std::string out;
    size_t characters = 0;
    for (char c : text) {
        if (((unsigned char)c >> 6) != 2 && ++characters == width) break;  // the ellipsis takes the last column
        out += c;
    }
    return out + "\u2026";
#endif
}

std::string sentence(const std::string& text) { return text.empty() || text.back() == '.' ? text : text + "."; }

std::string shellWord(const std::string& word) {
    if (word.find_first_of(" &\\;|<>()$'\"*?") == std::string::npos) return word;
#ifdef _WIN32
    return "\"" + word + "\"";
#else
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
#endif
}

}  // namespace zevmon
