// A machine's registry.reg is a file people edit by hand and other programs
// write. Whatever it holds, reading it must either refuse it with its file and
// line and change nothing, or take it whole; what was taken must be written out
// and read back to the same registry.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    sim::Registry registry;
    registry.setString("Software\\Kept", "Value", "before the import");
    const std::string before = registry.exportText();
    try {
        registry.importText(text, "fuzz.reg");
    } catch (const sim::RegistryFormatError& error) {
        if (error.source != "fuzz.reg" || error.line < 1) std::abort();  // a refusal says where
        if (registry.exportText() != before) std::abort();               // and changes nothing
        return 0;
    }
    const std::string written = registry.exportText();
    sim::Registry again;
    try {
        again.importText(written, "written.reg");
    } catch (const sim::RegistryFormatError&) {
        std::abort();  // what the machine writes it must read
    }
    if (again.exportText() != written) std::abort();
    return 0;
}
