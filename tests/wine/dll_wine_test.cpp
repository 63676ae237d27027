// The real DLL under Wine: its exports and resources, and its start from
// Wine's registry, with the table, OpenPort and ClosePort.
#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "resources/string_table.h"
#include "wine_test.h"

static_assert(sizeof(MONITOR_TABLE) == 52, "the 95/98/Me table");
static_assert(sizeof(PORT_INFO_1A) == 4 && sizeof(PORT_INFO_2A) == 20, "32-bit layouts");

namespace {

typedef BOOL(WINAPI* InitializeMonitorExFn)(LPSTR, MONITOR_TABLE*);

HMODULE loadMonitor() {
    HMODULE module = LoadLibraryA("ZEVURUZI.DLL");
    CHECK(module != NULL);
    return module;
}

InitializeMonitorExFn initializer(HMODULE module) {
    return (InitializeMonitorExFn)(void*)GetProcAddress(module, "InitializeMonitorEx");
}

// Each case starts from a monitor key of its own making.
void clearMonitorKey() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, MonitorKeyPath); }

void writePort(const char* name, const void* data, DWORD size) {
    std::string path = std::string(MonitorKeyPath) + "\\" + name;
    HKEY key;
    CHECK_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key), (LONG)ERROR_SUCCESS);
    CHECK_EQ(RegSetValueExA(key, "Property", 0, REG_BINARY, (const BYTE*)data, size), (LONG)ERROR_SUCCESS);
    RegCloseKey(key);
}

PortConfig usbPort(const char* instanceId) {
    PortConfig config;
    ZeroMemory(&config, sizeof config);
    config.kind = PortKindUsb;
    config.usb.interfaceGuid = {0x6A7AD4E2, 0xAE15, 0x11D7, {0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1}};
    lstrcpynA(config.usb.instanceId, instanceId, sizeof config.usb.instanceId);
    config.usb.writePipe = 1;
    return config;
}

std::string versionString(const std::vector<BYTE>& info, const char* name) {
    std::string query = std::string("\\StringFileInfo\\000004B0\\") + name;
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), query.c_str(), (void**)&value, &length) || !value) return "(none)";
    return value;
}

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

WINE_TEST(StartFromTheRegistryHandsOutThe52ByteTable) {
    clearMonitorKey();
    PortConfig first = usbPort("USB\\VID_1209&PID_0005\\1");
    PortConfig second = usbPort("USB\\VID_1209&PID_0005\\2");
    writePort("USB-002", &second, sizeof second);
    writePort("USB-001", &first, 100);  // a short value: the rest stays zero
    HMODULE module = loadMonitor();

    BYTE table[60];
    FillMemory(table, sizeof table, 0xCC);
    CHECK(initializer(module)((LPSTR)MonitorKeyPath, (MONITOR_TABLE*)table));
    for (int i = 52; i < 60; i++) CHECK_EQ(table[i], (BYTE)0xCC);
    const MONITOR_TABLE* monitor = (const MONITOR_TABLE*)table;
    CHECK(monitor->pfnOpenPortEx == NULL);
    void* const* slots = (void* const*)table;
    for (int i = 0; i < 13; i++)
        if (i != 2) CHECK(slots[i] != NULL);

    HANDLE port = NULL;
    CHECK(monitor->pfnOpenPort((LPSTR) "usb-001", &port));
    CHECK(port != NULL);
    const PortRecord* record = (const PortRecord*)port;
    CHECK_EQ(record->signature, (DWORD)PortSignature);
    CHECK_STR(record->name, "USB-001");
    CHECK_EQ(record->config.kind, PortKindUsb);
    CHECK_STR(record->config.usb.instanceId, "");  // beyond the 100 bytes stored
    CHECK(record->next != NULL);
    CHECK_STR(record->next->name, "USB-002");
    CHECK_STR(record->next->config.usb.instanceId, "USB\\VID_1209&PID_0005\\2");

    CHECK(monitor->pfnClosePort(port));
    HANDLE again = NULL;
    CHECK(monitor->pfnOpenPort((LPSTR) "USB-001", &again));
    CHECK(again == port);

    DWORD bogus[8] = {0x8941};
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, monitor->pfnClosePort(bogus));

    port = (HANDLE)1;
    CHECK(!monitor->pfnOpenPort((LPSTR) "USB-003", &port));
    CHECK_EQ(GetLastError(), (DWORD)ERROR_UNKNOWN_PORT);
    CHECK(port == NULL);

    SetLastError(0xdeadbeef);
    CHECK(!monitor->pfnAddPort(NULL, NULL, (LPSTR) "VO DUV Udadizo"));
    CHECK(!monitor->pfnConfigurePort(NULL, NULL, (LPSTR) "USB-001"));
    CHECK_EQ(GetLastError(), (DWORD)0xdeadbeef);
    clearMonitorKey();
}

WINE_TEST(StartFailsOnAPortKeyWithoutProperty) {
    clearMonitorKey();
    PortConfig config = usbPort("USB\\VID_1\\1");
    writePort("USB-001", &config, sizeof config);
    HKEY key;
    CHECK_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, MonitorKeyPath "\\USB-002", &key), (LONG)ERROR_SUCCESS);
    RegCloseKey(key);
    HMODULE module = loadMonitor();
    MONITOR_TABLE table;
    CHECK_REFUSED(ERROR_FILE_NOT_FOUND, initializer(module)((LPSTR)MonitorKeyPath, &table));
    CHECK_REFUSED(ERROR_INVALID_PARAMETER, initializer(module)((LPSTR)MonitorKeyPath, NULL));
    clearMonitorKey();
}

WINE_TEST(StartWithoutAMonitorKeyHasNoPorts) {
    clearMonitorKey();
    HMODULE module = loadMonitor();
    MONITOR_TABLE table;
    CHECK(initializer(module)((LPSTR)MonitorKeyPath, &table));
    HANDLE port = (HANDLE)1;
    CHECK(!table.pfnOpenPort((LPSTR) "USB-001", &port));
    CHECK_EQ(GetLastError(), (DWORD)ERROR_UNKNOWN_PORT);
}
