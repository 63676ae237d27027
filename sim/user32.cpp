// user32 of the simulated machine: strings from module resources and wsprintf.
#include <windows.h>

#include <cstring>
#include <string>

#include "state.h"

using sim::machine;

// Copies at most bufferMax - 1 characters of the string and terminates it;
// returns the number copied, 0 when the module has no such string.
int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
    if (auto e = sim::fault("LoadStringA")) {
        SetLastError(*e);
        return 0;
    }
    if (!buffer || bufferMax <= 0) return 0;
    const sim::Module* module = machine().moduleFor(instance);
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        buffer[0] = 0;
        return 0;
    }
    auto it = module->strings.find(id);
    if (it == module->strings.end()) {
        SetLastError(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
        buffer[0] = 0;
        return 0;
    }
    int n = (int)std::min<size_t>(it->second.size(), (size_t)bufferMax - 1);
    std::memcpy(buffer, it->second.data(), n);
    buffer[n] = 0;
    return n;
}

// wsprintf's own small format language: %[-][0][width][.precision][l|h]{s,c,d,i,u,x,X,%};
// 'l' means a 32-bit LONG here, as on Windows. The output is capped at 1024 characters.
int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arguments) {
    std::string out;
    for (const char* p = format; *p; p++) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        p++;
        bool left = false, zero = false;
        for (; *p == '-' || *p == '0'; p++) (*p == '-' ? left : zero) = true;
        int width = 0, precision = -1;
        for (; *p >= '0' && *p <= '9'; p++) width = width * 10 + (*p - '0');
        if (*p == '.') {
            precision = 0;
            for (p++; *p >= '0' && *p <= '9'; p++) precision = precision * 10 + (*p - '0');
        }
        if (*p == 'l' || *p == 'h') p++;
        std::string item;
        switch (*p) {
        case 's': {
            const char* s = va_arg(arguments, const char*);
            item = s ? s : "(null)";
            if (precision >= 0 && (int)item.size() > precision) item.resize(precision);
            zero = false;
            break;
        }
        case 'c': item = std::string(1, (char)va_arg(arguments, int)); zero = false; break;
        case 'd':
        case 'i': {
            int v = va_arg(arguments, int);
            item = std::to_string(v);
            break;
        }
        case 'u': item = std::to_string(va_arg(arguments, unsigned)); break;
        case 'x':
        case 'X': {
            char text[16];
            std::snprintf(text, sizeof text, *p == 'x' ? "%x" : "%X", va_arg(arguments, unsigned));
            item = text;
            break;
        }
        case '\0': p--; continue;
        default: item = std::string(1, *p); zero = false; break;
        }
        if ((int)item.size() < width) {
            size_t pad = width - item.size();
            if (left)
                item.append(pad, ' ');
            else if (zero && !item.empty() && item[0] == '-')
                item.insert(1, pad, '0');
            else
                item.insert(0, pad, zero ? '0' : ' ');
        }
        out += item;
    }
    if (out.size() > 1024) out.resize(1024);
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return (int)out.size();
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int n = wvsprintfA(buffer, format, arguments);
    va_end(arguments);
    return n;
}

HWND WINAPI GetDesktopWindow(void) { return machine().desktopWindow(); }

// Recorded, then answered by the installed handler, or IDOK as a user would.
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (auto e = sim::fault("MessageBoxA")) {
        SetLastError(*e);
        return 0;
    }
    sim::Machine::MessageBoxCall call{owner, text ? text : "", caption ? caption : "Error", type};
    std::function<int(const sim::Machine::MessageBoxCall&)> handler;
    {
        auto& ui = machine().ui();
        std::lock_guard<std::mutex> lock(ui.mutex);
        ui.messageBoxes.push_back(call);
        handler = ui.messageBoxHandler;
    }
    return handler ? handler(call) : IDOK;
}
