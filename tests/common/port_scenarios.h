// A port's configuration and key as both harnesses write them, through each machine's own
// advapi32; and the port scenarios, written once as the job scenarios are: the monitor's start
// from its port keys and the deletion of its ports, on the simulated machine and the real DLL.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/monitor.h"

// A port's configuration of that kind with its file or its USB instance id,
// cut to fit; a USB port's of the printer class, writing to pipe 1.
inline PortConfig PortConfigOf(INT kind, const char* text) {
    PortConfig config;
    std::memset(&config, 0, sizeof config);
    config.kind = kind;
    bool usb = kind == PortKindUsb;
    std::memcpy(usb ? config.usb.instanceId : config.fileName, text,
                std::min(std::strlen(text), (usb ? sizeof config.usb.instanceId : sizeof config.fileName) - 1));
    if (!usb) return config;
    config.usb.interfaceGuid = {0x6A7AD4E2, 0xAE15, 0x11D7, {0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1}};
    config.usb.writePipe = 1;
    return config;
}

inline bool RegistryKeyExists(const std::string& pathBelowLocalMachine) {
    HKEY key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, pathBelowLocalMachine.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS &&
           RegCloseKey(key) == ERROR_SUCCESS;
}

// The key below HKEY_LOCAL_MACHINE, made as needed, with the value set; without
// a value's name, the key alone.
inline bool SetKeyValue(const std::string& path, const char* name, DWORD type, const void* data, size_t size) {
    HKEY key;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) != ERROR_SUCCESS) return false;
    LONG set = name ? RegSetValueExA(key, name, 0, type, (const BYTE*)data, (DWORD)size) : ERROR_SUCCESS;
    return RegCloseKey(key) == ERROR_SUCCESS && set == ERROR_SUCCESS;
}

class PortHarness {
public:
    virtual ~PortHarness() = default;
    // 98 lists subkeys in the order made; NT and Wine, in either mode, sorted ignoring case.
    virtual bool subkeysInCreationOrder() { return false; }
    virtual void addPrinter(const char* name, const char* port) = 0;
    virtual BOOL start(LPSTR root, MONITOR_TABLE* table) = 0;
    // The owner the spooler gives DeletePort for its message boxes: none on a
    // real system, which shows no box owned by a window that is nobody's.
    virtual HWND window() { return NULL; }
    // Every message box shown so far, "caption: text", in order; each was answered with OK.
    virtual std::vector<std::string> messagesShown() = 0;
    // What the harness alone sees after a step: "" when the monitor lists just
    // these ports, holds a block for each and one for its copy of the root when
    // rootKept, and no key open nor handle beyond the ports' files and printers.
    virtual std::string machineFault(const std::vector<const PortRecord*>& listed, bool rootKept) = 0;
    virtual void fail(const std::string& what) = 0;
};

// The scenarios' names, in the order they are written.
const std::vector<std::string>& PortScenarioNames();
void PlayPortScenario(const std::string& name, PortHarness& harness);
