#include "tests/common/enum_answer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

std::string number(size_t n) { return std::to_string(n); }

}  // namespace

EnumAnswer ReadEnumAnswer(DWORD level, const BYTE* buffer, size_t size, DWORD returned, DWORD needed) {
    EnumAnswer answer;
    if (level != 1 && level != 2) {
        answer.fault = "level " + number(level) + " has no records";
        return answer;
    }
    size_t recordSize = level == 1 ? sizeof(PORT_INFO_1A) : sizeof(PORT_INFO_2A);
    if (returned > size / recordSize) {
        answer.fault = number(returned) + " records do not fit " + number(size) + " bytes";
        return answer;
    }
    const BYTE* recordsEnd = buffer + returned * recordSize;
    const BYTE* end = buffer + size;
    size_t total = returned * recordSize;
    std::vector<std::pair<const BYTE*, const BYTE*>> strings;  // each with its terminator
    // The string at pointer, or a fault when it lies before the strings or does not end inside the buffer.
    auto read = [&](LPCSTR pointer, const char* field, DWORD index, std::string* text) {
        const BYTE* p = (const BYTE*)pointer;
        if (p < recordsEnd || p >= end) {
            answer.fault = std::string(field) + " of record " + number(index) + " points outside the strings of a " +
                           number(size) + "-byte buffer holding " + number(returned) + " records";
            return false;
        }
        const BYTE* terminator = (const BYTE*)std::memchr(p, 0, end - p);
        if (terminator == nullptr) {
            answer.fault = std::string(field) + " of record " + number(index) + " is not terminated inside the buffer";
            return false;
        }
        *text = std::string(pointer, (const char*)terminator);
        strings.emplace_back(p, terminator);
        total += text->size() + 1;
        return true;
    };
    for (DWORD i = 0; i < returned; i++) {
        EnumAnswerPort port;
        if (level == 1) {
            if (!read(((const PORT_INFO_1A*)buffer)[i].pName, "pName", i, &port.name)) return answer;
        } else {
            const PORT_INFO_2A& info = ((const PORT_INFO_2A*)buffer)[i];
            if (!read(info.pPortName, "pPortName", i, &port.name) ||
                !read(info.pMonitorName, "pMonitorName", i, &port.monitorName) ||
                !read(info.pDescription, "pDescription", i, &port.description))
                return answer;
            port.type = info.fPortType;
            port.reserved = info.Reserved;
        }
        answer.ports.push_back(port);
    }
    std::sort(strings.begin(), strings.end());
    for (size_t i = 1; i < strings.size() && answer.fault.empty(); i++)
        if (strings[i].first <= strings[i - 1].second) answer.fault = "two strings overlap";
    if (total != needed)
        answer.fault += (answer.fault.empty() ? "" : "; ") + std::string("the records and strings take ") +
                        number(total) + " bytes, the answer says " + number(needed);
    return answer;
}
