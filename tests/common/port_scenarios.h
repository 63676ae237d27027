// A port's configuration and key as both harnesses write them, through each machine's own
// advapi32.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

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
