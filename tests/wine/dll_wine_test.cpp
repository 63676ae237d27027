// The real DLL under Wine: its exports and resources, and the port scenarios
// played on it, each a case, with Wine's registry, spooler and message boxes.
#include <list>
#include <string>
#include <vector>

#include "resources/string_table.h"
#include "tests/common/port_scenarios.h"
#include "wine_support.h"

// The scenarios find nothing written past the table: its 52 bytes.
static_assert(sizeof(MONITOR_TABLE) == 52, "the 95/98/Me table");
static_assert(sizeof(PORT_INFO_1A) == 4 && sizeof(PORT_INFO_2A) == 20, "32-bit layouts");

namespace {

HMODULE loadMonitor() {
    HMODULE module = LoadLibraryA("ZEVURUZI.DLL");
    CHECK(module != NULL);
    return module;
}

std::string versionString(const std::vector<BYTE>& info, const char* name) {
    std::string query = std::string("\\StringFileInfo\\000004B0\\") + name;
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), query.c_str(), (void**)&value, &length) || !value) return "(none)";
    return value;
}

// The keys in Wine's registry, each case's own, the printers in its spooler.
class WinePorts : public PortHarness {
public:
    WinePorts() { clearMonitorKey(); }
    ~WinePorts() override { clearMonitorKey(); }
    void addPrinter(const char* name, const char* port) override { printers_.emplace_back(name, port); }
    BOOL start(LPSTR root, MONITOR_TABLE* table) override { return initialize_(root, table); }
    std::vector<std::string> messagesShown() override {
        for (const ShownBox& box : watcher_->finish()) shown_.push_back(box.caption + ": " + box.text);
        watcher_.emplace();
        return shown_;
    }
    std::string machineFault(const std::vector<const PortRecord*>&, bool) override { return ""; }
    void fail(const std::string& what) override { winetest::fail(__FILE__, __LINE__, what); }

private:
    decltype(&InitializeMonitorEx) initialize_ =
        (decltype(initialize_))(void*)GetProcAddress(LoadLibraryA("ZEVURUZI.DLL"), "InitializeMonitorEx");
    std::optional<MessageBoxWatcher> watcher_{std::in_place};
    std::vector<std::string> shown_;
    std::list<SpoolerPrinter> printers_;
};

const bool registered = winetest::addScenarios<WinePorts>(PortScenarioNames(), PlayPortScenario);

}  // namespace

WINE_TEST(ExportsAreExactlyTheTwoEntryPoints) {
    HMODULE module = loadMonitor();
    CHECK(GetProcAddress(module, "DllEntryPoint") != NULL);
    CHECK(GetProcAddress(module, "InitializeMonitorEx") != NULL);
    CHECK(GetProcAddress(module, "_InitializeMonitorEx@8") == NULL);
    CHECK(GetProcAddress(module, "EnumPorts") == NULL);
}

WINE_TEST(StringTableAndVersionRecord) {
    HMODULE module = loadMonitor();
    struct {
        UINT id;
        const char* text;
    } strings[] = {{1, "NULL Port"}, {2, "FILE Port"}, {3, "USB Port"}, {5, "Now Printing!!"}};
    for (auto& s : strings) {
        char buffer[128] = "";
        CHECK_EQ(LoadStringA(module, s.id, buffer, sizeof buffer), lstrlenA(s.text));
        CHECK_STR(buffer, s.text);
    }
    char none[16] = "x";
    CHECK_EQ(LoadStringA(module, 4, none, sizeof none), 0);
    // Strings 1 to 15 share block 1; it is Japanese (1041) only.
    CHECK(FindResourceExA(module, (LPCSTR)RT_STRING, MAKEINTRESOURCEA(1), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)));
    CHECK(!FindResourceExA(module, (LPCSTR)RT_STRING, MAKEINTRESOURCEA(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));

    char path[MAX_PATH];
    CHECK(GetModuleFileNameA(module, path, sizeof path) > 0);
    DWORD ignored = 0, size = GetFileVersionInfoSizeA(path, &ignored);
    CHECK(size > 0);
    std::vector<BYTE> info(size);
    CHECK(GetFileVersionInfoA(path, 0, size, info.data()));
    CHECK_STR(versionString(info, "FileVersion"), "1,0,0,0");
    CHECK_STR(versionString(info, "ProductVersion"), "1,0,0,0");
    CHECK_STR(versionString(info, "OriginalFilename"), "ZEVURUZI.DLL");
    CHECK_STR(versionString(info, "FileDescription"), "QM USB Printing Port Monitor DLL");
}
