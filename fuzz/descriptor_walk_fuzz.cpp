// The descriptor walk reads bytes that a USB device returned. Whatever they
// are, it must stay inside them, end, and choose only pipes it counted.
#include <cstdint>
#include <cstring>
#include <vector>

#include "monitor/monitor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UsbDescriptorBufferSize) return -1;  // the driver's answer never exceeds the buffer
    // An exact-size heap copy: one byte too far is a heap overflow that ASan reports.
    std::vector<BYTE> descriptors(data, data + size);
    UsbPortConfig config;
    std::memset(&config, 0, sizeof config);
    config.writePipe = 1;
    config.readPipe = 0;
    ChooseUsbPipes(descriptors.data(), (DWORD)descriptors.size(), &config);
    // No pipe index beyond the number of 7-byte-or-shorter descriptors that fit.
    if (config.writePipe < 0 || config.readPipe < 0 || config.writePipe > (INT)size / 2 + 1 ||
        config.readPipe > (INT)size / 2 + 1)
        __builtin_trap();
    return 0;
}
