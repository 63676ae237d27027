// user32 of the simulated machine: strings from module resources and wsprintf.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "state.h"

using sim::machine;

// Copies at most bufferMax - 1 characters of the string and terminates it;
// returns the number copied, 0 when the module has no such string. A failure
// leaves an empty string in the buffer, as Wine's LoadStringA does.
int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
    if (auto e = sim::fault("LoadStringA")) {
        if (buffer && bufferMax > 0) buffer[0] = 0;
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
    if (sim::failsNow("MessageBoxA")) return 0;
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

// ---- window classes, windows and messages ----

namespace {

sim::Machine::Windows& win() { return machine().windowing(); }

bool sameName(const std::string& a, const char* b) { return b && sim::equalNoCase(a, b); }

// What runs in place of a window procedure whose module was unloaded: on
// Windows the process crashes; here the crash is recorded.
LRESULT CALLBACK unloadedProcedure(HWND hwnd, UINT message, WPARAM, LPARAM) {
    char text[96];
    std::snprintf(text, sizeof text, "message 0x%04X to window %p ran a procedure of an unloaded module", message,
                  (void*)hwnd);
    machine().noteCrash(text);
    return 0;
}

WNDPROC procedureOf(const sim::Machine::Windows::Window& window) {
    return machine().isModuleUnloaded(window.module) ? unloadedProcedure : window.proc;
}

// The procedure of a window, or null.
WNDPROC procOf(HWND hwnd, DWORD* threadId = nullptr, bool* found = nullptr) {
    auto& w = win();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.windows.find((uintptr_t)hwnd);
    if (found) *found = it != w.windows.end();
    if (it == w.windows.end()) return nullptr;
    if (threadId) *threadId = it->second.threadId;
    return procedureOf(it->second);
}

void removeWindow(HWND hwnd) {
    auto& w = win();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.windows.erase((uintptr_t)hwnd);
    w.changed.notify_all();
}

}  // namespace

ATOM WINAPI RegisterClassA(const WNDCLASSA* windowClass) {
    if (sim::failsNow("RegisterClassA")) return 0;
    if (!windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto& w = win();
    std::lock_guard<std::mutex> lock(w.mutex);
    for (auto& name : w.classNames)
        if (sameName(name, windowClass->lpszClassName)) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    w.classes.push_back(*windowClass);
    w.classNames.push_back(windowClass->lpszClassName);
    w.classes.back().lpszClassName = nullptr;  // the name is kept in classNames
    return (ATOM)(0xC000 + w.classes.size());
}

BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE instance) {
    (void)instance;
    auto& w = win();
    std::lock_guard<std::mutex> lock(w.mutex);
    for (size_t i = 0; i < w.classNames.size(); i++)
        if (sameName(w.classNames[i], className)) {
            w.classNames.erase(w.classNames.begin() + i);
            w.classes.erase(w.classes.begin() + i);
            return TRUE;
        }
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
}

// The window belongs to the calling thread; WM_NCCREATE and WM_CREATE are
// handled inside this call, before it returns.
HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                            int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    if (sim::failsNow("CreateWindowExA")) return NULL;
    auto& w = win();
    HWND hwnd;
    WNDPROC proc = nullptr;
    HINSTANCE module = nullptr;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        for (size_t i = 0; i < w.classNames.size(); i++)
            if (sameName(w.classNames[i], className)) {
                proc = w.classes[i].lpfnWndProc;
                module = w.classes[i].hInstance;
            }
        if (!proc) {
            SetLastError(1407);  // ERROR_CANNOT_FIND_WND_CLASS
            return NULL;
        }
        hwnd = (HWND)w.nextWindow;
        w.nextWindow += 2;
        w.windows[(uintptr_t)hwnd] = {className, proc, style, GetCurrentThreadId(), parent, module};
        w.queue(GetCurrentThreadId());
    }
    CREATESTRUCTA create{param, instance, menu, parent, height, width, y, x, (LONG)style, windowName, className, exStyle};
    if (!proc(hwnd, WM_NCCREATE, 0, (LPARAM)&create) || proc(hwnd, WM_CREATE, 0, (LPARAM)&create) == -1) {
        removeWindow(hwnd);
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // the window refused its creation
        return NULL;
    }
    return hwnd;
}

BOOL WINAPI DestroyWindow(HWND window) {
    WNDPROC proc = procOf(window);
    if (!proc) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    proc(window, WM_DESTROY, 0, 0);
    removeWindow(window);
    return TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    (void)lParam;
    switch (message) {
    case WM_NCCREATE: return TRUE;
    case WM_CLOSE: DestroyWindow(window); return 0;
    default: return 0;
    }
}

BOOL WINAPI IsWindow(HWND window) {
    bool found = false;
    procOf(window, nullptr, &found);
    return found || window == machine().desktopWindow();
}

BOOL WINAPI IsWindowVisible(HWND window) {
    auto& w = win();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.windows.find((uintptr_t)window);
    return it != w.windows.end() && (it->second.style & WS_VISIBLE) != 0;
}

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName) {
    (void)windowName;  // windows have no titles here
    auto& w = win();
    std::lock_guard<std::mutex> lock(w.mutex);
    for (auto& entry : w.windows)
        if (!className || sameName(entry.second.className, className)) return (HWND)entry.first;
    return NULL;
}

// Messages sent from other threads are handled first, then posted ones are
// returned; WM_QUIT makes the result 0.
//
// An injected failure makes the result -1 with the injected error and takes
// nothing from the queue, as the real one does for an invalid window handle or
// message pointer: sent messages wait, posted ones stay, *message is not written.
// Once Machine::stopThreads() has asked the thread to quit, injected failures no
// longer apply here (the call is still counted): the thread gets its WM_QUIT, so
// that a loop that ends on -1, one that ends on 0 and one that takes -1 for TRUE
// (which spins while a fault is injected "every call from the nth") all end.
BOOL WINAPI GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax) {
    auto injected = sim::fault("GetMessageA");
    (void)window;
    (void)filterMin;
    (void)filterMax;
    auto& w = win();
    std::unique_lock<std::mutex> lock(w.mutex);
    auto q = w.queue(GetCurrentThreadId());
    if (injected && !q->stopRequested) {
        if (!q->failing) {
            q->failing = true;
            q->failingSince = std::chrono::steady_clock::now();
        }
        lock.unlock();
        std::this_thread::yield();  // a loop that spins on -1 leaves the other threads room
        SetLastError(*injected);
        return -1;
    }
    q->failing = false;
    for (;;) {
        if (!q->sent.empty()) {
            auto sent = q->sent.front();
            q->sent.pop_front();
            auto it = w.windows.find((uintptr_t)sent->hwnd);
            WNDPROC proc = it != w.windows.end() ? procedureOf(it->second) : nullptr;
            lock.unlock();
            LRESULT result = proc ? proc(sent->hwnd, sent->message, sent->wParam, sent->lParam) : 0;
            lock.lock();
            sent->result = result;
            sent->done = true;
            w.changed.notify_all();
            continue;
        }
        if (!q->posted.empty()) {
            *message = q->posted.front();
            q->posted.pop_front();
            return message->message != WM_QUIT;
        }
        q->waiting = true;
        w.changed.notify_all();
        w.changed.wait(lock);
        q->waiting = false;
    }
}

BOOL WINAPI TranslateMessage(const MSG* message) {
    (void)message;
    return FALSE;  // no keyboard here
}

LRESULT WINAPI DispatchMessageA(const MSG* message) {
    WNDPROC proc = procOf(message->hwnd);
    return proc ? proc(message->hwnd, message->message, message->wParam, message->lParam) : 0;
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (sim::failsNow("PostMessageA")) return FALSE;
    auto& w = win();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto post = [&](uintptr_t hwnd, DWORD threadId) {
        MSG msg{(HWND)hwnd, message, wParam, lParam, 0, {0, 0}};
        w.queue(threadId)->posted.push_back(msg);
    };
    if (window == HWND_BROADCAST) {
        for (auto& entry : w.windows)
            if (!entry.second.parent) post(entry.first, entry.second.threadId);
    } else {
        auto it = w.windows.find((uintptr_t)window);
        if (it == w.windows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        post(it->first, it->second.threadId);
    }
    w.changed.notify_all();
    return TRUE;
}

BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    auto& w = win();
    std::lock_guard<std::mutex> lock(w.mutex);
    MSG msg{NULL, message, wParam, lParam, 0, {0, 0}};
    w.queue(threadId)->posted.push_back(msg);
    w.changed.notify_all();
    return TRUE;
}

void WINAPI PostQuitMessage(int exitCode) { PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, (WPARAM)exitCode, 0); }

namespace {

// How long the system's broadcasts wait for a thread whose GetMessageA fails at
// every call (one that cannot take the message) before they go on without it.
const std::chrono::milliseconds FailingLoopPatience(1000);

// To a window of another thread, the message waits in that thread's queue and
// the call returns once the thread has handled it. With patience, as the
// system's broadcasts (which send with a time-out), it returns 0 without waiting
// longer once the thread's GetMessageA has failed at every call for that long;
// the message stays queued for the thread.
LRESULT sendToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool patience) {
    DWORD threadId = 0;
    WNDPROC proc = procOf(window, &threadId);
    if (!proc) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (threadId == GetCurrentThreadId()) return proc(window, message, wParam, lParam);
    auto& w = win();
    std::unique_lock<std::mutex> lock(w.mutex);
    auto q = w.queue(threadId);
    if (q->ended) return 0;
    auto sent = std::make_shared<sim::ThreadQueue::Sent>();
    *sent = {window, message, wParam, lParam, 0, false};
    q->sent.push_back(sent);
    w.changed.notify_all();
    auto answered = [&] { return sent->done || q->ended; };
    if (!patience) {
        w.changed.wait(lock, answered);
        return sent->result;
    }
    while (!answered()) {
        w.changed.wait_for(lock, std::chrono::milliseconds(20), answered);
        if (!answered() && q->failing && std::chrono::steady_clock::now() - q->failingSince >= FailingLoopPatience)
            return 0;
    }
    return sent->result;
}

}  // namespace

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return sendToWindow(window, message, wParam, lParam, false);
}

// ---- control API: windows and messages ----

namespace sim {

std::vector<Machine::MessageBoxCall> Machine::messageBoxes() const {
    std::lock_guard<std::mutex> lock(ui_->mutex);
    return ui_->messageBoxes;
}

void Machine::setMessageBoxHandler(std::function<int(const MessageBoxCall&)> handler) {
    std::lock_guard<std::mutex> lock(ui_->mutex);
    ui_->messageBoxHandler = std::move(handler);
}

void Machine::broadcast(UINT message, WPARAM wParam, LPARAM lParam) {
    std::vector<HWND> topLevel;
    {
        std::lock_guard<std::mutex> lock(windows_->mutex);
        for (auto& entry : windows_->windows)
            if (!entry.second.parent) topLevel.push_back((HWND)entry.first);
    }
    for (HWND hwnd : topLevel) sendToWindow(hwnd, message, wParam, lParam, true);
}

std::vector<Machine::WindowInfo> Machine::windows() const {
    std::lock_guard<std::mutex> lock(windows_->mutex);
    std::vector<WindowInfo> all;
    for (auto& entry : windows_->windows)
        all.push_back({(HWND)entry.first, entry.second.className, entry.second.style, entry.second.threadId});
    return all;
}

std::vector<std::pair<std::string, UINT>> Machine::commandLines() const {
    std::lock_guard<std::mutex> lock(windows_->mutex);
    return windows_->commandLines;
}

}  // namespace sim
