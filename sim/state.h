// Shared state of the simulated DLLs, behind the control API. Each part has its
// own lock; none is held while calling back into code of the monitor.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "machine.h"

namespace sim {

struct Machine::Heap {
    std::mutex mutex;
    std::unordered_map<void*, std::size_t> blocks;
};

struct OpenKey {
    std::shared_ptr<RegNode> node;
    REGSAM access = 0;
};

struct Machine::Keys {
    std::mutex mutex;
    std::map<uintptr_t, OpenKey> open;
    uintptr_t next = 0x1000;
};

// Anything a kernel handle can stand for: a file, a device, a pipe, a thread.
struct KernelObject {
    virtual ~KernelObject() = default;
    virtual const char* kind() const = 0;
};

struct Machine::Handles {
    std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<KernelObject>> table;
    uintptr_t next = 0x100;

    HANDLE add(std::shared_ptr<KernelObject> object) {
        std::lock_guard<std::mutex> lock(mutex);
        uintptr_t value = next;
        next += 4;
        table[value] = std::move(object);
        return (HANDLE)value;
    }
    std::shared_ptr<KernelObject> get(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = table.find((uintptr_t)handle);
        return it == table.end() ? nullptr : it->second;
    }
    template <class T>
    std::shared_ptr<T> get(HANDLE handle) {
        return std::dynamic_pointer_cast<T>(get(handle));
    }
    std::shared_ptr<KernelObject> remove(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = table.find((uintptr_t)handle);
        if (it == table.end()) return nullptr;
        auto object = it->second;
        table.erase(it);
        return object;
    }
};

// The failure a simulated function must report, if one is due: used as
//   if (auto e = fault("RegOpenKeyExA")) return *e;
inline std::optional<DWORD> fault(const char* function) { return machine().enter(function); }

}  // namespace sim
