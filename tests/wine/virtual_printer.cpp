// The virtual USB printer and the import redirection that reaches it.
#include "virtual_printer.h"
#include "wine_support.h"

#include <cstdlib>
#include <cstring>

namespace {

const DWORD GetDescriptors = 0x220010;

// The DLL's calls arrive on its own threads as well as the test's.
struct Guard {
    static CRITICAL_SECTION* lock() {
        static CRITICAL_SECTION section;
        static bool made = (InitializeCriticalSection(&section), true);
        (void)made;
        return &section;
    }
    Guard() { EnterCriticalSection(lock()); }
    ~Guard() { LeaveCriticalSection(lock()); }
};

std::vector<VirtualPrinter*>& printers() {
    static std::vector<VirtualPrinter*> all;
    return all;
}

// Kernel handles are multiples of four and pseudo-handles are small negative
// numbers; values ending in binary 11 are neither, so they cannot be mistaken
// for a real handle of the process.
HANDLE newHandleValue() {
    static ULONG_PTR next = 0x7E000003;
    ULONG_PTR value = next;
    next += 4;
    return (HANDLE)value;
}

}  // namespace

struct VirtualPrinterAccess {
    // The endpoint addresses in descriptor order: pipe N is endpoint N.
    static std::vector<BYTE> endpoints(const VirtualPrinter& printer) {
        std::vector<BYTE> addresses;
        const std::string& d = printer.descriptors_;
        for (size_t at = 0; at + 2 <= d.size() && (BYTE)d[at] >= 2; at += (BYTE)d[at])
            if (d[at + 1] == 5 && at + 3 <= d.size()) addresses.push_back((BYTE)d[at + 2]);
        return addresses;
    }

    // The printer whose device path the name is, or begins with a pipe's "\NN".
    static VirtualPrinter* resolve(LPCSTR name, int* pipe) {
        if (name == NULL) return NULL;
        std::string text = name;
        for (VirtualPrinter* printer : printers()) {
            const std::string& path = printer->devicePath_;
            if (text.size() < path.size() || lstrcmpiA(text.substr(0, path.size()).c_str(), path.c_str()) != 0)
                continue;
            std::string rest = text.substr(path.size());
            if (rest.empty()) {
                *pipe = -1;
                return printer;
            }
            if (rest[0] != '\\') continue;
            // A name below the path that is no pipe number names a pipe that does not exist.
            *pipe = 1 << 30;
            if (rest.size() > 1 && rest.size() <= 8 && rest.find_first_not_of("0123456789", 1) == std::string::npos)
                *pipe = atoi(rest.c_str() + 1);
            return printer;
        }
        return NULL;
    }

    static VirtualHandle* find(HANDLE value, VirtualPrinter** owner) {
        for (VirtualPrinter* printer : printers())
            for (VirtualHandle& handle : printer->handles_)
                if (handle.value == value) {
                    *owner = printer;
                    return &handle;
                }
        return NULL;
    }

    static BOOL fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }

    static HANDLE WINAPI createFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templateFile) {
        {
            Guard guard;
            int pipe = 0;
            VirtualPrinter* printer = resolve(name, &pipe);
            if (printer != NULL) {
                DWORD error = 0;
                if (pipe >= (int)endpoints(*printer).size()) error = ERROR_FILE_NOT_FOUND;
                if (disposition != OPEN_EXISTING) error = ERROR_ACCESS_DENIED;
                // The monitor shares nothing, so any open handle on the same file is in the way.
                for (const VirtualHandle& other : printer->handles_)
                    if (other.open && other.pipe == pipe && error == 0) error = ERROR_SHARING_VIOLATION;
                if (error != 0) {
                    SetLastError(error);
                    return INVALID_HANDLE_VALUE;
                }
                VirtualHandle handle = {newHandleValue(), name, pipe, access, share, true, false, {}, 0, 0};
                printer->handles_.push_back(handle);
                return handle.value;
            }
        }
        return CreateFileA(name, access, share, security, disposition, flags, templateFile);
    }

    // A call on a handle of a virtual printer is served under the lock, once the
    // handle is known to be open and, but for its close, alive; any other
    // handle goes on to kernel32.
    template <typename Serve, typename PassOn>
    static BOOL onHandle(HANDLE value, Serve serve, PassOn passOn, bool closing = false) {
        {
            Guard guard;
            VirtualPrinter* printer;
            VirtualHandle* handle = find(value, &printer);
            if (handle != NULL) {
                if (!handle->open) return fail(ERROR_INVALID_HANDLE);
                if (handle->deadError != 0 && !closing) return fail(handle->deadError);
                return serve(*printer, *handle);
            }
        }
        return passOn();
    }

    // A transfer on a pipe of a virtual printer moves what serve says it moved;
    // the pipe's endpoint must go the way of the transfer, and a refused
    // transfer counts nothing.
    template <typename Serve, typename PassOn>
    static BOOL onPipe(HANDLE value, DWORD access, bool in, LPDWORD count, Serve serve, PassOn passOn) {
        {
            Guard guard;
            VirtualPrinter* printer;
            VirtualHandle* handle = find(value, &printer);
            if (handle != NULL) {
                if (count != NULL) *count = 0;
                if (!handle->open) return fail(ERROR_INVALID_HANDLE);
                if (handle->deadError != 0) return fail(handle->deadError);
                if (!(handle->access & access)) return fail(ERROR_ACCESS_DENIED);
                if (handle->pipe < 0 || ((endpoints(*printer)[handle->pipe] & 0x80) != 0) != in)
                    return fail(ERROR_INVALID_FUNCTION);
                DWORD moved = serve(*printer);
                if (count != NULL) *count = moved;
                return TRUE;
            }
        }
        return passOn();
    }

    static BOOL WINAPI closeHandle(HANDLE value) {
        return onHandle(
            value,
            [](VirtualPrinter&, VirtualHandle& handle) {
                handle.open = false;
                return TRUE;
            },
            [&] { return CloseHandle(value); }, true);
    }

    static BOOL WINAPI writeFile(HANDLE value, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
        return onPipe(
            value, GENERIC_WRITE, false, written,
            [&](VirtualPrinter& printer) {
                printer.received_.append((const char*)buffer, size);
                return size;
            },
            [&] { return WriteFile(value, buffer, size, written, overlapped); });
    }

    // No data waiting is a read that timed out: success with nothing read.
    static BOOL WINAPI readFile(HANDLE value, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
        return onPipe(
            value, GENERIC_READ, true, read,
            [&](VirtualPrinter& printer) {
                DWORD count = (DWORD)printer.input_.size() < size ? (DWORD)printer.input_.size() : size;
                memcpy(buffer, printer.input_.data(), count);
                printer.input_.erase(0, count);
                return count;
            },
            [&] { return ReadFile(value, buffer, size, read, overlapped); });
    }

    static BOOL WINAPI deviceIoControl(HANDLE value, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                       LPDWORD returned, LPOVERLAPPED overlapped) {
        return onHandle(
            value,
            [&](VirtualPrinter& printer, VirtualHandle& handle) {
                if (handle.pipe >= 0) return fail(ERROR_INVALID_FUNCTION);
                const std::string* answer = &printer.controlReply_;
                if (code == GetDescriptors) {
                    printer.descriptorRequests_++;
                    answer = &printer.descriptors_;
                } else {
                    printer.controls_.push_back({code, std::string((const char*)in, in != NULL ? inSize : 0)});
                }
                DWORD count = (DWORD)answer->size() < outSize ? (DWORD)answer->size() : outSize;
                if (count != 0) memcpy(out, answer->data(), count);
                if (returned != NULL) *returned = count;
                return TRUE;
            },
            [&] { return DeviceIoControl(value, code, in, inSize, out, outSize, returned, overlapped); });
    }

    static BOOL WINAPI setCommTimeouts(HANDLE value, LPCOMMTIMEOUTS timeouts) {
        return onHandle(
            value,
            [&](VirtualPrinter&, VirtualHandle& handle) {
                if (timeouts == NULL) return fail(ERROR_INVALID_PARAMETER);
                handle.hasTimeouts = true;
                handle.timeouts = *timeouts;
                return TRUE;
            },
            [&] { return SetCommTimeouts(value, timeouts); });
    }

    static BOOL WINAPI setEndOfFile(HANDLE value) {
        return onHandle(
            value,
            [](VirtualPrinter&, VirtualHandle& handle) {
                handle.endOfFileCalls++;
                return TRUE;
            },
            [&] { return SetEndOfFile(value); });
    }
};

int interposeFileCalls(HMODULE module) {
    struct Redirect {
        const char* name;
        void* to;
    } redirects[] = {
        {"CreateFileA", (void*)VirtualPrinterAccess::createFile},
        {"CloseHandle", (void*)VirtualPrinterAccess::closeHandle},
        {"WriteFile", (void*)VirtualPrinterAccess::writeFile},
        {"ReadFile", (void*)VirtualPrinterAccess::readFile},
        {"DeviceIoControl", (void*)VirtualPrinterAccess::deviceIoControl},
        {"SetCommTimeouts", (void*)VirtualPrinterAccess::setCommTimeouts},
        {"SetEndOfFile", (void*)VirtualPrinterAccess::setEndOfFile},
    };
    if (module == NULL) return 0;
    BYTE* base = (BYTE*)module;
    IMAGE_NT_HEADERS* headers = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return 0;
    int patched = 0;
    for (IMAGE_IMPORT_DESCRIPTOR* library = (IMAGE_IMPORT_DESCRIPTOR*)(base + imports.VirtualAddress);
         library->Name != 0; library++) {
        if (lstrcmpiA((const char*)(base + library->Name), "KERNEL32.dll") != 0 || library->OriginalFirstThunk == 0)
            continue;
        // The names stay in the lookup table; the loader has overwritten the address table.
        IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + library->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + library->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const char* name = (const char*)((IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
            for (const Redirect& redirect : redirects) {
                if (strcmp(name, redirect.name) != 0) continue;
                DWORD protection;
                if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection))
                    break;
                slots->u1.Function = (ULONG_PTR)redirect.to;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
                patched++;
            }
        }
    }
    return patched;
}

VirtualPrinter::VirtualPrinter(const std::string& devicePath) : devicePath_(devicePath) {
    static const BYTE standard[] = {
        9, 2, 32, 0, 1, 1, 0, 0xC0, 0,   // configuration: 32 bytes in all, one interface
        9, 4, 0, 0, 2, 7, 1, 2, 0,       // interface: two endpoints, printer class, bidirectional
        7, 5, 0x01, 0x02, 64, 0, 0,      // endpoint 0x01, bulk OUT
        7, 5, 0x82, 0x02, 64, 0, 0,      // endpoint 0x82, bulk IN
    };
    descriptors_.assign((const char*)standard, sizeof standard);
    Guard guard;
    printers().push_back(this);
}

VirtualPrinter::~VirtualPrinter() {
    Guard guard;
    for (size_t i = 0; i < printers().size(); i++)
        if (printers()[i] == this) printers().erase(printers().begin() + i);
}

void VirtualPrinter::queueInput(const std::string& data) {
    Guard guard;
    input_ += data;
}

void VirtualPrinter::pullOut(DWORD error) {
    Guard guard;
    for (VirtualHandle& handle : handles_) handle.deadError = error;
}

void VirtualPrinter::setControlReply(const std::string& reply) {
    Guard guard;
    controlReply_ = reply;
}

std::vector<VirtualHandle> VirtualPrinter::handles() const {
    Guard guard;
    return handles_;
}

std::string VirtualPrinter::received() const {
    Guard guard;
    return received_;
}

std::vector<VirtualControl> VirtualPrinter::controls() const {
    Guard guard;
    return controls_;
}

int VirtualPrinter::descriptorRequests() const {
    Guard guard;
    return descriptorRequests_;
}

MONITOR_TABLE startMonitorOnVirtualPrinters(HWND* statusWindow) {
    CHECK_EQ(interposeFileCalls(LoadLibraryA("ZEVURUZI.DLL")), 7);
    MONITOR_TABLE monitor = startMonitor();
    HWND window = waitForStatusWindow();
    if (window != NULL) SendMessageA(window, WM_NULL, 0, 0);
    if (statusWindow != NULL) *statusWindow = window;
    return monitor;
}
