#include "wine_support.h"
#include "tests/common/port_scenarios.h"

#include <vector>

#include <dbt.h>  // needs <windows.h> first

const GUID PrinterClass = {0x6A7AD4E2, 0xAE15, 0x11D7, {0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1}};

void clearMonitorKey() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, MonitorKeyPath); }

void createMonitorKey() {
    HKEY key;
    CHECK_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, MonitorKeyPath, &key), (LONG)ERROR_SUCCESS);
    CHECK_EQ(RegSetValueExA(key, "Driver", 0, REG_SZ, (const BYTE*)"ZEVURUZI.DLL", 13), (LONG)ERROR_SUCCESS);
    RegCloseKey(key);
}

bool keyExists(const std::string& pathBelowLocalMachine) { return RegistryKeyExists(pathBelowLocalMachine); }

PortConfig usbPortConfig(const std::string& instanceId) { return PortConfigOf(PortKindUsb, instanceId.c_str()); }

void writePortConfig(const char* name, const PortConfig& config) {
    CHECK(SetKeyValue(MonitorKeyPath "\\" + std::string(name), "Property", REG_BINARY, &config, sizeof config));
}

void writeUsbPort(const char* name, const std::string& instanceId) { writePortConfig(name, usbPortConfig(instanceId)); }

std::string readPortProperty(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(MonitorKeyPath "\\") + name).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return "(no key)";
    std::string value(1024, '\0');
    DWORD size = (DWORD)value.size(), type = 0;
    LONG result = RegQueryValueExA(key, "Property", NULL, &type, (LPBYTE)&value[0], &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_BINARY) return "(no value)";
    value.resize(size);
    return value;
}

typedef BOOL(WINAPI* InitializeMonitorExFn)(LPSTR, MONITOR_TABLE*);

MONITOR_TABLE startMonitor() {
    MONITOR_TABLE table = {};
    HMODULE module = LoadLibraryA("ZEVURUZI.DLL");
    CHECK(module != NULL);
    InitializeMonitorExFn initialize = (InitializeMonitorExFn)(void*)GetProcAddress(module, "InitializeMonitorEx");
    CHECK(initialize != NULL);
    bool started = initialize != NULL && initialize((LPSTR)MonitorKeyPath, &table);
    CHECK(started);
    // Wine kills a process that ends while a thread of it is still starting.
    if (started) waitForStatusWindow();
    return table;
}

HANDLE openPort(const MONITOR_TABLE& monitor, const char* name) {
    HANDLE port = NULL;
    CHECK(monitor.pfnOpenPort((LPSTR)name, &port));
    return port;
}

void writeChunks(const MONITOR_TABLE& monitor, HANDLE port, const std::string& data, std::vector<DWORD> sizes) {
    DWORD offset = 0;
    for (DWORD size : sizes) {
        DWORD written = Untouched;
        CHECK(monitor.pfnWritePort(port, (LPBYTE)&data[offset], size, &written));
        CHECK_EQ(written, size);
        offset += size;
    }
    CHECK_EQ(offset, (DWORD)data.size());
}

static BOOL CALLBACK findStatusWindow(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[64] = "";
    if (process != GetCurrentProcessId() || !GetClassNameA(window, className, sizeof className) ||
        lstrcmpA(className, StatusWindowClass) != 0)
        return TRUE;
    *(HWND*)found = window;
    return FALSE;
}

HWND waitForStatusWindow() {
    HWND window = NULL;
    for (DWORD until = GetTickCount() + winetest::patient(5000); window == NULL && GetTickCount() < until;) {
        EnumWindows(findStatusWindow, (LPARAM)&window);
        if (window == NULL) Sleep(25);
    }
    CHECK(window != NULL);
    if (window != NULL) {
        // Answered only from the message loop.
        DWORD_PTR result = 0;
        CHECK(SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, winetest::patient(10000), &result));
    }
    return window;
}

// WinExec, inside the window procedure, waits for the started program to
// settle, so the message comes back after it.
void runPendingRebuild() {
    HWND window = waitForStatusWindow();
    if (window != NULL) SendMessageA(window, WM_NULL, 0, 0);
}

void broadcastDeviceChange() {
    DWORD_PTR result = 0;
    CHECK(SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG,
                              winetest::patient(10000), &result));
}

std::string rundllRecordPath() {
    char path[MAX_PATH] = "";
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.rfind('\\') + 1) + "rundll-calls.txt";
}

std::optional<std::string> fileBytes(const std::string& path, DWORD share) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got != 0) data.append(buffer, got);
    CloseHandle(file);
    return data;
}

std::string readWholeFile(const std::string& path) {
    return fileBytes(path, FILE_SHARE_READ | FILE_SHARE_WRITE).value_or("");
}

std::vector<std::string> rundllCalls() {
    std::vector<std::string> lines;
    std::string text = readWholeFile(rundllRecordPath());
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

std::vector<std::string> waitForRundllCalls() {
    for (DWORD until = GetTickCount() + winetest::patient(5000); rundllCalls().empty() && GetTickCount() < until;)
        Sleep(20);
    return rundllCalls();
}

// ---------------------------------------------------------------------------
// MessageBoxWatcher
// ---------------------------------------------------------------------------

MessageBoxWatcher::MessageBoxWatcher() {
    stop_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    thread_ = CreateThread(NULL, 0, run, this, 0, NULL);
    CHECK(thread_ != NULL);
}

const std::vector<ShownBox>& MessageBoxWatcher::finish() {
    if (thread_ != NULL) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stop_);
        thread_ = NULL;
    }
    return shown_;
}

namespace {

struct BoxSearch {
    HWND found;
    const std::vector<HWND>* answered;
};

BOOL CALLBACK visitBox(HWND window, LPARAM parameter) {
    BoxSearch* search = (BoxSearch*)parameter;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[32] = "";
    GetClassNameA(window, className, sizeof className);
    if (process != GetCurrentProcessId() || lstrcmpA(className, "#32770") != 0 || !IsWindowVisible(window))
        return TRUE;
    for (HWND old : *search->answered)
        if (old == window) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

DWORD WINAPI MessageBoxWatcher::run(LPVOID parameter) {
    MessageBoxWatcher* self = (MessageBoxWatcher*)parameter;
    while (WaitForSingleObject(self->stop_, 20) == WAIT_TIMEOUT) {
        BoxSearch search = {NULL, &self->answered_};
        EnumWindows(visitBox, (LPARAM)&search);
        if (search.found == NULL) continue;
        char caption[256] = "", text[512] = "";
        GetWindowTextA(search.found, caption, sizeof caption);
        GetDlgItemTextA(search.found, 0xFFFF, text, sizeof text);
        self->shown_.push_back({caption, text});
        self->answered_.push_back(search.found);
        SendMessageA(GetDlgItem(search.found, IDOK), BM_CLICK, 0, 0);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// UsbInstanceKey
// ---------------------------------------------------------------------------

#define UsbEnumKey "Enum\\USB"

// The scan would also find instances left by a case that crashed: the first
// instance of a case starts from an empty USB branch.
static int usbInstanceKeys = 0;

UsbInstanceKey::UsbInstanceKey(const char* instanceName, const char* portName, const char* deviceName)
    : deviceKey_(std::string(UsbEnumKey "\\") + deviceName), path_(deviceKey_ + "\\" + instanceName) {
    if (usbInstanceKeys++ == 0) RegDeleteTreeA(HKEY_LOCAL_MACHINE, UsbEnumKey);
    HKEY key;
    CHECK_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path_.c_str(), &key), (LONG)ERROR_SUCCESS);
    CHECK_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE*)portName, lstrlenA(portName) + 1),
             (LONG)ERROR_SUCCESS);
    RegCloseKey(key);
}

UsbInstanceKey::UsbInstanceKey(const char* instanceName, const char* portName)
    : UsbInstanceKey(instanceName, portName, "VID_1209&PID_0001") {}

UsbInstanceKey::~UsbInstanceKey() {
    usbInstanceKeys--;
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
    // Each goes only when nothing else is below it.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, deviceKey_.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UsbEnumKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum");
}

bool UsbInstanceKey::hasPortName() const {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    LONG result = RegQueryValueExA(key, "PortName", NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Printer
// ---------------------------------------------------------------------------

// Wine removes a device together with its interface keys.
static void removeDevice(const char* instanceId) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&PrinterClass, NULL);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    if (SetupDiOpenDeviceInfoA(set, instanceId, NULL, 0, &device)) SetupDiRemoveDevice(set, &device);
    SetupDiDestroyDeviceInfoList(set);
}

Printer::Printer(const char* instanceId) : requestedId_(instanceId) {
    removeDevice(instanceId);  // left by a case that crashed
    HDEVINFO set = SetupDiCreateDeviceInfoList(&PrinterClass, NULL);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    CHECK(SetupDiCreateDeviceInfoA(set, instanceId, &PrinterClass, NULL, NULL, 0, &device));
    CHECK(SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL));
    CHAR id[UsbPathMax] = "";
    CHECK(SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, NULL));
    reportedId_ = id;
    SetupDiDestroyDeviceInfoList(set);
    createInterface();
}

// Wine's SetupAPI writes an interface's keys again as it lists them, so a
// listing on another thread can put a child back between the children going
// and the key itself, and the key's deletion is refused: try again meanwhile.
static LONG deleteInterfaceKey(const std::string& key) {
    LONG deleted = RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    for (int tries = 0; deleted == ERROR_ACCESS_DENIED && tries < 200; tries++) {
        Sleep(1);
        deleted = RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    }
    return deleted;
}

Printer::~Printer() {
    deleteInterfaceKey(interfaceKey_);
    removeDevice(requestedId_.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, PrinterClassKey);  // only when no other device's interface is below
}

// As Wine's SetupAPI makes a device come: the interface's link first, its
// device last, so that a listing meanwhile sees the interface whole or not at all.
void Printer::plugIn(bool atAnotherPath) {
    std::string link = interfaceKey_ + (atAnotherPath ? "\\#2" : "\\#");
    DWORD linked = 1;
    CHECK(setKeyValue(link + "\\Control", "Linked", REG_DWORD, &linked, sizeof linked));
    if (!unplugged_) return;
    devicePath_ = firstPath_ + (atAnotherPath ? "\\2" : "");
    CHECK(setKeyValue(link, "SymbolicLink", REG_SZ, devicePath_.c_str(), devicePath_.size() + 1));
    unplugged_ = false;
    setPresent(true);
}

// And go: the device first, then the interface's keys, children first.
void Printer::unplug() {
    setPresent(false);
    CHECK_EQ(deleteInterfaceKey(interfaceKey_), (LONG)ERROR_SUCCESS);
    unplugged_ = true;
}

bool setKeyValue(const std::string& path, const char* name, DWORD type, const void* data, size_t size) {
    return SetKeyValue(path, name, type, data, size);
}

void Printer::setPresent(bool present) {
    HKEY key;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, interfaceKey_.c_str(), 0, KEY_SET_VALUE, &key);
    CHECK_EQ(opened, (LONG)ERROR_SUCCESS);
    if (opened != ERROR_SUCCESS) return;
    if (present) {
        CHECK_EQ(RegSetValueExA(key, "DeviceInstance", 0, REG_SZ, (const BYTE*)reportedId_.c_str(),
                                (DWORD)reportedId_.size() + 1),
                 (LONG)ERROR_SUCCESS);
    } else {
        LONG deleted = RegDeleteValueA(key, "DeviceInstance");
        CHECK(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND);
    }
    RegCloseKey(key);
}

// From a set of its own: a set that already holds the interface would not
// write its key again.
void Printer::createInterface() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&PrinterClass, NULL);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    CHECK(SetupDiOpenDeviceInfoA(set, reportedId_.c_str(), NULL, 0, &device));
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    CHECK(SetupDiCreateDeviceInterfaceA(set, &device, &PrinterClass, NULL, 0, &interfaceData));
    CHAR buffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + UsbPathMax] = {};
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A*)buffer;
    detail->cbSize = sizeof *detail;
    CHECK(SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, sizeof buffer, NULL, NULL));
    SetupDiDestroyDeviceInfoList(set);
    firstPath_ = devicePath_ = detail->DevicePath;
    // The interface's key is named after its path, every backslash made '#'.
    std::string name = devicePath_;
    for (char& c : name)
        if (c == '\\') c = '#';
    interfaceKey_ = std::string(PrinterClassKey "\\") + name;
}

// ---------------------------------------------------------------------------
// SpoolerPrinter
// ---------------------------------------------------------------------------

#define GenericDriverName "Zev Generic"

static std::string genericPpdPath() {
    char ppd[MAX_PATH];
    GetSystemDirectoryA(ppd, MAX_PATH);
    return std::string(ppd) + "\\generic.ppd";
}

// Wine's spooler adds a printer only with a known driver; its PostScript
// driver takes any PPD file, an empty one included. The driver is there while
// any SpoolerPrinter is.
static int spoolerPrinters = 0;

static void addGenericDriver() {
    if (spoolerPrinters++ > 0) return;
    std::string ppd = genericPpdPath();
    HANDLE file = CreateFileA(ppd.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    CHECK(file != INVALID_HANDLE_VALUE);
    CloseHandle(file);
    DRIVER_INFO_3A driver = {};
    driver.cVersion = 3;
    driver.pName = (LPSTR)GenericDriverName;
    driver.pDriverPath = (LPSTR) "wineps.drv";
    driver.pConfigFile = (LPSTR) "wineps.drv";
    driver.pDataFile = (LPSTR)ppd.c_str();
    CHECK(AddPrinterDriverA(NULL, 3, (LPBYTE)&driver));
}

static void removeGenericDriver() {
    if (--spoolerPrinters > 0) return;
    DeletePrinterDriverA(NULL, NULL, (LPSTR)GenericDriverName);
    DeleteFileA(genericPpdPath().c_str());
}

SpoolerPrinter::SpoolerPrinter(const char* name, const char* port) : name_(name) {
    addGenericDriver();
    remove();
    PRINTER_INFO_2A info = {};
    info.pPrinterName = (LPSTR)name;
    info.pPortName = (LPSTR)port;
    info.pDriverName = (LPSTR)GenericDriverName;
    info.pPrintProcessor = (LPSTR) "WinPrint";
    info.pDatatype = (LPSTR) "RAW";
    HANDLE printer = AddPrinterA(NULL, 2, (LPBYTE)&info);
    CHECK(printer != NULL);
    if (printer != NULL) ClosePrinter(printer);
}

SpoolerPrinter::~SpoolerPrinter() {
    remove();
    removeGenericDriver();
}

DWORD SpoolerPrinter::attributes() const {
    HANDLE printer;
    if (!OpenPrinterA((LPSTR)name_.c_str(), &printer, NULL)) return 0xdeadbeef;
    DWORD needed = 0;
    GetPrinterA(printer, 2, NULL, 0, &needed);
    std::vector<BYTE> buffer(needed + 1);
    DWORD result = 0xdeadbeef;
    if (GetPrinterA(printer, 2, buffer.data(), needed, &needed)) result = ((PRINTER_INFO_2A*)buffer.data())->Attributes;
    ClosePrinter(printer);
    return result;
}

void SpoolerPrinter::setAttributes(DWORD attributes) {
    HANDLE printer;
    bool opened = OpenPrinterA((LPSTR)name_.c_str(), &printer, NULL);
    CHECK(opened);
    if (!opened) return;
    DWORD needed = 0;
    GetPrinterA(printer, 2, NULL, 0, &needed);
    std::vector<BYTE> buffer(needed + 1);
    CHECK(GetPrinterA(printer, 2, buffer.data(), needed, &needed));
    ((PRINTER_INFO_2A*)buffer.data())->Attributes = attributes;
    CHECK(SetPrinterA(printer, 2, buffer.data(), 0));
    ClosePrinter(printer);
}

void SpoolerPrinter::remove() {
    HANDLE printer;
    if (!OpenPrinterA((LPSTR)name_.c_str(), &printer, NULL)) return;
    DeletePrinter(printer);
    ClosePrinter(printer);
}
