// Windows-1252, the code page of the simulated machine, as Western European
// Windows has it: its characters in Unicode, and the letter case its names are
// compared in. The machine and zevmon both take it from here, so that the name
// zevmon finds is the one the machine's spooler finds.
#pragma once

#include <string>

namespace codepage {

// The Unicode character of a byte; the five bytes 1252 leaves undefined stand
// for the control characters of the same number, as Windows converts them.
char32_t unicode(unsigned char byte);
// The byte of a Unicode character, or -1 for one the code page lacks.
int byteOf(char32_t code);

// A letter in capitals: a-z, à-þ (but ÷), š, œ, ž and ÿ as their capitals;
// ß, µ and every other byte as they are.
unsigned char upper(unsigned char byte);
// Names compared letter case aside: below, at or above 0 as their bytes in
// capitals order them.
int compareNoCase(const std::string& a, const std::string& b);
bool equalNoCase(const std::string& a, const std::string& b);

}  // namespace codepage
