// The few runtime routines that the compiler itself may call (structure copies
// and clears). The DLL links no C runtime, so it carries its own; this file is
// built only into the DLL, with loop-to-call rewriting turned off.
#include <stddef.h>

extern "C" {

void* memset(void* destination, int value, size_t length) {
    unsigned char* d = (unsigned char*)destination;
    while (length--) *d++ = (unsigned char)value;
    return destination;
}

void* memcpy(void* destination, const void* source, size_t length) {
    unsigned char* d = (unsigned char*)destination;
    const unsigned char* s = (const unsigned char*)source;
    while (length--) *d++ = *s++;
    return destination;
}

void* memmove(void* destination, const void* source, size_t length) {
    unsigned char* d = (unsigned char*)destination;
    const unsigned char* s = (const unsigned char*)source;
    if (d < s) {
        while (length--) *d++ = *s++;
    } else {
        d += length;
        s += length;
        while (length--) *--d = *--s;
    }
    return destination;
}

int memcmp(const void* a, const void* b, size_t length) {
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    for (; length--; x++, y++)
        if (*x != *y) return *x < *y ? -1 : 1;
    return 0;
}

}
