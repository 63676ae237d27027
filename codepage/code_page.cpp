// Windows-1252 and its letter case.
#include "code_page.h"

#include <algorithm>

namespace codepage {

namespace {

// 0x80-0x9F, where 1252 differs from Latin-1.
const char16_t High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                           0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

char32_t unicode(unsigned char byte) { return byte >= 0x80 && byte < 0xA0 ? High[byte - 0x80] : byte; }

int byteOf(char32_t code) {
    if (code < 0x80 || (code >= 0xA0 && code < 0x100)) return (int)code;
    const char16_t* found = std::find(High, High + 32, code);
    return found == High + 32 ? -1 : 0x80 + (int)(found - High);
}

unsigned char upper(unsigned char byte) {
    if ((byte >= 'a' && byte <= 'z') || (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7)) return byte - 0x20;
    switch (byte) {
    case 0x9A: return 0x8A;  // š
    case 0x9C: return 0x8C;  // œ
    case 0x9E: return 0x8E;  // ž
    case 0xFF: return 0x9F;  // ÿ
    default: return byte;
    }
}

int compareNoCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        unsigned char x = upper((unsigned char)a[i]), y = upper((unsigned char)b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool equalNoCase(const std::string& a, const std::string& b) { return a.size() == b.size() && compareNoCase(a, b) == 0; }

}  // namespace codepage
