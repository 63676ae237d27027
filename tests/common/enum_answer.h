// What every filled answer of EnumPorts must be, whatever the ports: the
// records at the front of the buffer, each string after them, inside the
// buffer and terminated there, no two strings sharing a byte, and the records
// and strings taking exactly the size the answer reported. Shared by the
// outside-data fuzzer (host build) and the Wine cases (mingw build), so it
// needs nothing but the Windows headers and the standard library.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

struct EnumAnswerPort {
    std::string name;
    std::string monitorName;  // level 2 only
    std::string description;  // level 2 only
    DWORD type = 0;           // level 2 only
    DWORD reserved = 0;       // level 2 only
};

struct EnumAnswer {
    std::vector<EnumAnswerPort> ports;  // in the order listed, up to the first record that is not whole
    std::string fault;                  // what is wrong with the answer; empty when nothing is
};

// Reads the answer of a successful EnumPorts at level 1 or 2 from the size
// bytes at buffer: returned records that, with their strings, take needed bytes.
EnumAnswer ReadEnumAnswer(DWORD level, const BYTE* buffer, size_t size, DWORD returned, DWORD needed);
