// The simulated machine itself: the empty cases Windows accepts (default values,
// values and files of length 0, unterminated strings, names at their limits),
// the direction of USB pipes, a message loop that can fail, and the kinds of
// injected failure beyond a plain error.
#include "test_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <map>
#include <fstream>
#include <thread>

#include <unistd.h>

namespace {

std::vector<BYTE> bytes(const std::string& s) { return std::vector<BYTE>(s.begin(), s.end()); }

class SimMachine : public ::testing::Test {
protected:
    void SetUp() override {
        sim::machine().reset();
        root = std::filesystem::temp_directory_path() /
               ("zevsim-faults-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root / "c");
        sim::machine().setFileRoot(root.string());
    }
    void TearDown() override {
        EXPECT_EQ(sim::machine().openKeys(), 0u) << "keys left open";
        EXPECT_EQ(sim::machine().openHandles(), 0u) << "handles left open";
        sim::machine().reset();
        std::filesystem::remove_all(root);
    }
    sim::Machine& machine() { return sim::machine(); }
    sim::Registry& reg() { return sim::machine().registry(); }
    HKEY openKey(const std::string& path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key), ERROR_SUCCESS) << path;
        return key;
    }

    std::filesystem::path root;
};

// ---------------------------------------------------------------------------
// Registry: the empty cases
// ---------------------------------------------------------------------------

TEST_F(SimMachine, TheDefaultValueIsTheValueWithTheEmptyName) {
    reg().create("K");
    HKEY key = openKey("K");
    ASSERT_EQ(RegSetValueExA(key, "", 0, REG_SZ, (const BYTE*)"def", 4), ERROR_SUCCESS);
    CHAR text[8] = {};
    DWORD type = Marker, size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, (LPBYTE)text, &size), ERROR_SUCCESS) << "NULL names it";
    EXPECT_STREQ(text, "def");
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(size, 4u);
    size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, (LPBYTE)text, &size), ERROR_SUCCESS) << "so does \"\"";
    EXPECT_EQ(reg().stringValue("K", ""), "def");

    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_BINARY, (const BYTE*)"\1\2", 2), ERROR_SUCCESS);
    EXPECT_EQ(reg().values("K").size(), 1u) << "NULL and \"\" are the same value";
    EXPECT_EQ(RegDeleteValueA(key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, ""), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(SimMachine, AValueOfLengthZeroIsStoredAndQueriedWithAndWithoutABuffer) {
    reg().create("K");
    HKEY key = openKey("K");
    ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS) << "data NULL, size 0";
    ASSERT_EQ(RegSetValueExA(key, "EmptyString", 0, REG_SZ, (const BYTE*)"", 0), ERROR_SUCCESS);
    EXPECT_EQ(reg().value("K", "Empty")->data.size(), 0u);
    EXPECT_EQ(reg().value("K", "EmptyString")->data.size(), 0u) << "zero bytes, no terminator added";

    for (const char* name : {"Empty", "EmptyString"}) {
        SCOPED_TRACE(name);
        DWORD type = Marker, size = Marker;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, nullptr, &size), ERROR_SUCCESS) << "no buffer";
        EXPECT_EQ(size, 0u);
        BYTE buffer[4] = {0xbd, 0xbd, 0xbd, 0xbd};
        size = sizeof buffer;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, buffer, &size), ERROR_SUCCESS) << "a buffer";
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(buffer[0], 0xbd) << "nothing is written, not even a terminator";
        size = 0;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, buffer, &size), ERROR_SUCCESS) << "a buffer of 0";
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS) << "no size";
    }
    DWORD type = Marker;
    RegQueryValueExA(key, "EmptyString", nullptr, &type, nullptr, nullptr);
    EXPECT_EQ(type, (DWORD)REG_SZ);

    EXPECT_EQ(RegSetValueExA(key, "Bad", 0, REG_DWORD, nullptr, 4), ERROR_NOACCESS) << "data NULL with a size";
    EXPECT_FALSE(reg().value("K", "Bad"));
    RegCloseKey(key);
}

TEST_F(SimMachine, AMissingValueReportsSizeZeroOnlyWithoutABuffer) {
    reg().create("K");
    HKEY key = openKey("K");
    DWORD type = Marker, size = Marker;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, 0u) << "as Windows and Wine";
    EXPECT_EQ(type, (DWORD)REG_NONE);
    BYTE buffer[4];
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, sizeof buffer) << "left as it was";
    RegCloseKey(key);
}

TEST_F(SimMachine, UnterminatedStringsComeBackAsStoredWithATerminatorWhenThereIsRoom) {
    reg().setValue("K", "Sz", REG_SZ, bytes("xy"));
    reg().setValue("K", "Expand", REG_EXPAND_SZ, bytes("%a"));
    reg().setValue("K", "Multi", REG_MULTI_SZ, {'a', 0, 'b'});
    reg().setValue("K", "Binary", REG_BINARY, bytes("xy"));
    reg().setString("K", "Terminated", "xy");
    HKEY key = openKey("K", KEY_READ);

    BYTE buffer[8];
    std::memset(buffer, 0xbd, sizeof buffer);
    DWORD size = 2;
    ASSERT_EQ(RegQueryValueExA(key, "Sz", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(std::string((char*)buffer, 2), "xy");
    EXPECT_EQ(buffer[2], 0xbd) << "no room: the bytes as stored, nothing after them";

    for (const char* name : {"Sz", "Expand", "Multi"}) {
        SCOPED_TRACE(name);
        DWORD stored = (DWORD)reg().value("K", name)->data.size();
        std::memset(buffer, 0xbd, sizeof buffer);
        size = stored + 1;
        ASSERT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, stored) << "the stored size";
        EXPECT_EQ(buffer[stored], 0) << "one byte of room: a terminator";
        EXPECT_EQ(buffer[stored + 1], 0xbd);
    }

    std::memset(buffer, 0xbd, sizeof buffer);
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, "Binary", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(buffer[2], 0xbd) << "binary data is never terminated";
    std::memset(buffer, 0xbd, sizeof buffer);
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, "Terminated", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(buffer[3], 0xbd) << "a terminated string gets nothing more";

    size = 1;
    EXPECT_EQ(RegQueryValueExA(key, "Sz", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 2u);
    RegCloseKey(key);
}

TEST_F(SimMachine, KeyNamesOf256CharactersAreAcceptedAndLongerOnesRefused) {
    HKEY key = (HKEY)(uintptr_t)Marker;
    for (size_t length : {255u, 256u}) {
        std::string name(length, 'k');
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, name.c_str(), &key), ERROR_SUCCESS) << length;
        RegCloseKey(key);
        EXPECT_TRUE(reg().exists(name));
        CHAR found[300];
        HKEY rootKey = openKey("", KEY_READ);
        EXPECT_EQ(RegEnumKeyA(rootKey, 0, found, (DWORD)length), ERROR_MORE_DATA);
        EXPECT_EQ(RegEnumKeyA(rootKey, 0, found, (DWORD)length + 1), ERROR_SUCCESS);
        RegCloseKey(rootKey);
        reg().remove(name);
    }
    std::string tooLong(257, 'k');
    key = (HKEY)(uintptr_t)Marker;
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, tooLong.c_str(), &key), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(reg().keyCount(), 1u) << "nothing created";
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, ("A\\" + tooLong).c_str(), &key), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(reg().exists("A")) << "the keys before it on the path are made one by one";
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, tooLong.c_str(), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimMachine, OpeningAndCreatingSetTheHandleToNullOnFailure) {
    WHERE_TRAITS(t.registrySecurity);
    HKEY key = (HKEY)(uintptr_t)Marker;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    key = (HKEY)(uintptr_t)Marker;
    machine().failCall("RegOpenKeyExA", 1, ERROR_BADDB);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(key, nullptr) << "an injected failure too";
    reg().refuseAccess("Locked", KEY_CREATE_SUB_KEY);
    key = (HKEY)(uintptr_t)Marker;
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Locked\\Sub", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    key = (HKEY)(uintptr_t)Marker;
    machine().failCall("RegCreateKeyA", 1, ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "New", &key), ERROR_BADDB);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(reg().exists("New")) << "a plain injected failure has no effect";
}

TEST_F(SimMachine, Regedit4RoundTripsEmptyAndDefaultValues) {
    reg().setValue("A", "", REG_SZ, {0});                   // @=""
    reg().setValue("A", "EmptySz", REG_SZ, {});             // a REG_SZ of length 0
    reg().setValue("A", "EmptyBinary", REG_BINARY, {});
    reg().setValue("A", "EmptyNone", REG_NONE, {});
    reg().setValue("A", "EmptyDword", REG_DWORD, {});
    reg().setValue("B", "", REG_SZ, {});                    // a default value of length 0
    reg().setValue("C", "", REG_BINARY, {1, 2});
    reg().setString("C", "@", "at");                       // a value really named "@"
    reg().setValue("D", "", REG_SZ, bytes("no end"));       // an unterminated default
    std::string text = reg().exportText();
    EXPECT_NE(text.find("@=\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"EmptyBinary\"=hex:\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"@\"=\"at\"\n"), std::string::npos) << text;

    sim::Registry copy;
    copy.importText(text, "empty.reg");
    EXPECT_EQ(copy.exportText(), text);
    for (const char* path : {"A", "B", "C", "D"})
        for (const sim::RegValue& v : reg().values(path)) {
            SCOPED_TRACE(std::string(path) + " \"" + v.name + "\"");
            auto back = copy.value(path, v.name);
            ASSERT_TRUE(back);
            EXPECT_EQ(back->name, v.name);
            EXPECT_EQ(back->type, v.type);
            EXPECT_EQ(back->data, v.data);
        }
    EXPECT_EQ(copy.values("A").size(), 5u);
    EXPECT_EQ(copy.values("C").size(), 2u) << "@ and \"@\" are two values";
}

// ---------------------------------------------------------------------------
// Files: zero bytes and empty files
// ---------------------------------------------------------------------------

TEST_F(SimMachine, ReadsAndWritesOfZeroBytesSucceedAndLeaveTheLastError) {
    HANDLE file = CreateFileA("C:\\empty.prn", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD count = Marker;
    SetLastError(12345678);
    EXPECT_TRUE(WriteFile(file, nullptr, 0, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastError(), 12345678u);
    EXPECT_TRUE(WriteFile(file, "x", 0, &count, nullptr));
    EXPECT_TRUE(WriteFile(file, "x", 0, nullptr, nullptr)) << "no count either";
    count = Marker;
    EXPECT_FALSE(WriteFile(file, nullptr, 10, &count, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(std::filesystem::file_size(root / "c" / "empty.prn"), 0u);

    count = Marker;
    SetLastError(12345678);
    EXPECT_TRUE(ReadFile(file, nullptr, 0, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastError(), 12345678u);
    EXPECT_FALSE(ReadFile(file, nullptr, 10, &count, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(SimMachine, AnEmptyFileReadsAsZeroBytesAtOnce) {
    std::ofstream(root / "c" / "zero.bin").close();
    HANDLE file = CreateFileA("C:\\zero.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    BYTE buffer[16];
    DWORD count = Marker;
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 0u) << "end of file: success with nothing read";
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(CloseHandle(file));

    file = CreateFileA("C:\\zero.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS) << "an existing file, even an empty one";
    EXPECT_TRUE(SetEndOfFile(file)) << "at offset 0 of an empty file";
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(std::filesystem::file_size(root / "c" / "zero.bin"), 0u);
}

// ---------------------------------------------------------------------------
// The virtual USB printer: pipes have the direction of their endpoints
// ---------------------------------------------------------------------------

const char PrinterId[] = "USB\\VID_1209&PID_0001\\5&2A1B3C4D&0&1";

std::vector<BYTE> endpoint(BYTE address) { return {7, 5, address, 2, 64, 0, 0}; }
std::vector<BYTE> configuration() { return {9, 2, 0, 0, 1, 1, 0, 0xC0, 0, 9, 4, 0, 0, 2, 7, 1, 2, 0}; }
std::vector<BYTE> operator+(std::vector<BYTE> a, const std::vector<BYTE>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SimUsb : public SimMachine {
protected:
    void SetUp() override {
        SimMachine::SetUp();
        machine().addUsbPrinter({PrinterId});
    }
    void setPrinter(const std::function<void(sim::UsbPrinter&)>& f) { ASSERT_TRUE(machine().withUsbPrinter(PrinterId, f)); }
    HANDLE openPipe(int pipe, DWORD* error = nullptr) {
        std::string path;
        machine().withUsbPrinter(PrinterId, [&](sim::UsbPrinter& p) { path = p.devicePath; });
        char number[8];
        std::snprintf(number, sizeof number, "\\%02d", pipe);
        HANDLE h = CreateFileA((path + number).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (error) *error = GetLastError();
        return h;
    }
    std::map<int, std::vector<BYTE>> received() {
        std::map<int, std::vector<BYTE>> r;
        machine().withUsbPrinter(PrinterId, [&](sim::UsbPrinter& p) { r = p.received; });
        return r;
    }
};

TEST_F(SimUsb, AWriteToAnInPipeOrAReadFromAnOutPipeFailsAndTransfersNothing) {
    setPrinter([](sim::UsbPrinter& p) { p.toRead = {'O', 'K'}; });
    HANDLE out = openPipe(0), in = openPipe(1);  // default descriptors: bulk OUT 0x01, then bulk IN 0x82
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    ASSERT_NE(in, INVALID_HANDLE_VALUE) << "opening a pipe for both kinds of access is allowed";

    DWORD count = Marker;
    EXPECT_TRUE(WriteFile(out, "page", 4, &count, nullptr));
    EXPECT_EQ(count, 4u);
    count = Marker;
    EXPECT_FALSE(WriteFile(in, "lost", 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(received(), (std::map<int, std::vector<BYTE>>{{0, bytes("page")}})) << "nothing arrives at pipe 01";
    setPrinter([](sim::UsbPrinter& p) { EXPECT_EQ(p.receivedBytes, 4u); });

    BYTE buffer[4] = {};
    count = Marker;
    EXPECT_FALSE(ReadFile(out, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(ReadFile(in, buffer, sizeof buffer, &count, nullptr)) << "what the OUT pipe refused is still there";
    EXPECT_EQ(std::string((char*)buffer, count), "OK");

    count = Marker;
    EXPECT_FALSE(WriteFile(in, "", 0, &count, nullptr)) << "zero bytes the wrong way are refused too";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(WriteFile(out, "", 0, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(received().size(), 1u);
    CloseHandle(out);
    CloseHandle(in);
}

TEST_F(SimUsb, PipesAreNumberedByTheOrderOfTheEndpointDescriptors) {
    setPrinter([](sim::UsbPrinter& p) {
        p.descriptors = configuration() + endpoint(0x81) + std::vector<BYTE>{5, 0x21, 1, 2, 3} + endpoint(0x02) +
                        std::vector<BYTE>{2, 5} + endpoint(0x83);
    });
    HANDLE in = openPipe(0), out = openPipe(1), unknown = openPipe(2), lastIn = openPipe(3);
    DWORD error = 0;
    EXPECT_EQ(openPipe(4, &error), INVALID_HANDLE_VALUE) << "four endpoint descriptors, four pipes";
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
    DWORD count = 0;
    EXPECT_FALSE(WriteFile(in, "a", 1, &count, nullptr));
    EXPECT_TRUE(WriteFile(out, "b", 1, &count, nullptr));
    EXPECT_TRUE(WriteFile(unknown, "c", 1, &count, nullptr)) << "a descriptor without an address: either way";
    EXPECT_FALSE(WriteFile(lastIn, "d", 1, &count, nullptr));
    EXPECT_EQ(received(), (std::map<int, std::vector<BYTE>>{{1, bytes("b")}, {2, bytes("c")}}));
    for (HANDLE h : {in, out, unknown, lastIn}) CloseHandle(h);

    setPrinter([](sim::UsbPrinter& p) { p.descriptors = endpoint(0x01) + std::vector<BYTE>{9, 5, 0x82, 2}; });
    EXPECT_EQ(openPipe(1, &error), INVALID_HANDLE_VALUE) << "a length past the end ends the walk";
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// GetMessageA can fail, and every kind of message loop still ends
// ---------------------------------------------------------------------------

std::atomic<int> handled{0};
std::atomic<int> lastResult{0};

LRESULT CALLBACK CountingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER) handled++;
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND makeCountingWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = CountingProc;
    windowClass.lpszClassName = "SimCounting";
    RegisterClassA(&windowClass);  // once per machine; a second thread finds it registered
    return CreateWindowExA(0, "SimCounting", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// A loop as the documentation writes it: it ends on 0 and on -1.
DWORD WINAPI CarefulLoop(LPVOID) {
    makeCountingWindow();
    MSG message{};
    BOOL result;
    while ((result = GetMessageA(&message, nullptr, 0, 0)) != 0) {
        if (result == -1) {
            lastResult = (int)GetLastError();
            return 1;
        }
        DispatchMessageA(&message);
    }
    return 0;
}

// A loop that takes -1 for TRUE: it spins while GetMessageA keeps failing.
DWORD WINAPI SpinningLoop(LPVOID) {
    makeCountingWindow();
    MSG message{};
    while (GetMessageA(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return (DWORD)message.wParam;
}

class SimMessages : public SimMachine {
protected:
    void SetUp() override {
        SimMachine::SetUp();
        handled = 0;
        lastResult = 0;
    }
    void start(LPTHREAD_START_ROUTINE routine) {
        HANDLE thread = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        CloseHandle(thread);
    }
    // stopThreads() or reset(), with a watchdog: a hang ends the test program.
    void withinTenSeconds(const std::function<void()>& stop) {
        auto done = std::async(std::launch::async, stop);
        if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the machine did not stop its threads";
            std::fflush(nullptr);
            std::_Exit(3);
        }
    }
};

TEST_F(SimMessages, AnInjectedFailureReturnsMinusOneAndLeavesTheQueue) {
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 7, 0));
    machine().failCall("GetMessageA", 1, ERROR_INVALID_WINDOW_HANDLE);
    MSG message{};
    message.message = 0x1234;
    SetLastError(0);
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(message.message, 0x1234u) << "nothing written";
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), TRUE) << "the posted message is still there";
    EXPECT_EQ(message.message, (UINT)WM_USER + 1);
    EXPECT_EQ(message.wParam, 7u);
    EXPECT_EQ(machine().callCount("GetMessageA"), 2u);
}

TEST_F(SimMessages, ALoopThatEndsOnMinusOneEndsItsThread) {
    machine().inject({"GetMessageA", 1, ERROR_INVALID_PARAMETER, true});
    start(CarefulLoop);
    for (int i = 0; i < 500 && machine().liveThreads() > 0; i++) Sleep(10);
    EXPECT_EQ(machine().liveThreads(), 0u);
    EXPECT_EQ(lastResult, (int)ERROR_INVALID_PARAMETER);
    withinTenSeconds([&] { machine().stopThreads(); });
}

TEST_F(SimMessages, StopThreadsEndsALoopThatSpinsOnEveryFailure) {
    machine().inject({"GetMessageA", 1, ERROR_INVALID_WINDOW_HANDLE, true});
    start(SpinningLoop);
    while (machine().callCount("GetMessageA") < 100) Sleep(1);
    EXPECT_FALSE(machine().waitIdle(50)) << "spinning is not waiting";
    EXPECT_EQ(machine().liveThreads(), 1u);
    withinTenSeconds([&] { machine().stopThreads(); });
    EXPECT_EQ(machine().liveThreads(), 0u);
}

TEST_F(SimMessages, ResetEndsASpinningLoopAndACarefulOne) {
    start(CarefulLoop);
    ASSERT_TRUE(machine().waitIdle());
    machine().inject({"GetMessageA", 1, ERROR_INVALID_WINDOW_HANDLE, true});
    start(SpinningLoop);
    while (machine().callCount("GetMessageA") < 100) Sleep(1);
    withinTenSeconds([&] { machine().reset(); });
    EXPECT_EQ(machine().liveThreads(), 0u);
    EXPECT_EQ(machine().windows().size(), 0u);
}

TEST_F(SimMessages, ABroadcastPassesOverAThreadThatCannotTakeMessages) {
    start(SpinningLoop);
    ASSERT_TRUE(machine().waitIdle());
    machine().inject({"GetMessageA", 1, ERROR_INVALID_WINDOW_HANDLE, true});
    // The thread waits inside a call that began before the fault: wake it, so
    // that its next calls fail.
    unsigned before = machine().callCount("GetMessageA");
    ASSERT_TRUE(PostMessageA(FindWindowA("SimCounting", nullptr), WM_NULL, 0, 0));
    while (machine().callCount("GetMessageA") < before + 10) Sleep(1);
    auto started = std::chrono::steady_clock::now();
    auto broadcast = std::async(std::launch::async, [&] { machine().broadcast(WM_USER + 2); });
    ASSERT_EQ(broadcast.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the broadcast hung";
    EXPECT_EQ(handled, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    machine().clearFaults();
    ASSERT_TRUE(machine().waitIdle());
    EXPECT_EQ(handled, 1) << "the message waited in the queue and was handled once the loop worked";
    withinTenSeconds([&] { machine().stopThreads(); });
}

// The monitor's status thread under a fault in every GetMessageA call: whether
// its loop ends on -1 or takes -1 for TRUE and spins, the machine still
// broadcasts, stops and resets.
class SimMonitorMessages : public MonitorTest {};

TEST_F(SimMonitorMessages, TheStatusThreadStopsWhateverItsLoopMakesOfMinusOne) {
    ASSERT_TRUE(initialize());
    ASSERT_EQ(machine().liveThreads(), 1u);
    machine().inject({"GetMessageA", 1, ERROR_INVALID_WINDOW_HANDLE, true});
    unsigned before = machine().callCount("GetMessageA");
    ASSERT_TRUE(PostMessageA(FindWindowA(StatusWindowClass, nullptr), WM_NULL, 0, 0));
    // The loop ends on its first failure, or spins on failures.
    for (int i = 0; i < 10000 && machine().liveThreads() > 0 && machine().callCount("GetMessageA") < before + 10; i++)
        Sleep(1);
    EXPECT_GE(machine().callCount("GetMessageA"), before + 1) << "the status thread called GetMessageA again";
    auto broadcast = std::async(std::launch::async, [&] { machine().broadcast(WM_DEVICECHANGE); });
    ASSERT_EQ(broadcast.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the broadcast hung";
    auto stopped = std::async(std::launch::async, [&] { machine().stopThreads(); });
    if (stopped.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the machine did not stop the status thread";
        std::fflush(nullptr);
        std::_Exit(3);
    }
    EXPECT_EQ(machine().liveThreads(), 0u);
}

// ---------------------------------------------------------------------------
// Kinds of injected failure
// ---------------------------------------------------------------------------

using sim::FaultMode;

TEST_F(SimMachine, EachFunctionTellsWhichFaultModesItSupports) {
    using Modes = std::vector<FaultMode>;
    for (const char* close : {"CloseHandle", "RegCloseKey", "SetupDiDestroyDeviceInfoList", "ClosePrinter", "GlobalFree"})
        EXPECT_EQ(sim::Machine::faultModesFor(close), (Modes{FaultMode::Fail, FaultMode::FailKeepingObject})) << close;
    EXPECT_EQ(sim::Machine::faultModesFor("WriteFile"), (Modes{FaultMode::Fail, FaultMode::ShortWrite}));
    EXPECT_EQ(sim::Machine::faultModesFor("RegCreateKeyA"), (Modes{FaultMode::Fail, FaultMode::FailAfterEffect}));
    EXPECT_EQ(sim::Machine::faultModesFor("RegOpenKeyExA"), (Modes{FaultMode::Fail}));
    EXPECT_THROW(machine().inject({"ReadFile", 1, 0, false, FaultMode::ShortWrite}), std::invalid_argument);
    EXPECT_THROW(machine().inject({"RegOpenKeyExA", 1, 5, false, FaultMode::FailKeepingObject}), std::invalid_argument);
    EXPECT_NO_THROW(machine().inject({"WriteFile", 1, 0, false, FaultMode::ShortWrite}));

    sim::Fault filledIn;  // field by field, as a sweep builds its points
    filledIn.function = "RegCreateKeyA";
    filledIn.error = ERROR_BADDB;
    filledIn.mode = FaultMode::FailAfterEffect;
    EXPECT_EQ(filledIn.nth, 1u);
    EXPECT_FALSE(filledIn.everyCallFromNth);
    EXPECT_NO_THROW(machine().inject(filledIn));
}

// Each kind of object whose close can be refused: a refused close keeps it open
// and usable, listed once, until a close succeeds.
TEST_F(SimMachine, ARefusedCloseKeepsTheObjectUntilAClosingSucceeds) {
    machine().addPrinter("Office", "USB-001");
    reg().setString("K", "V", "x");
    struct Kind {
        const char* function;
        DWORD error;
        std::function<uintptr_t()> open;
        std::function<DWORD(uintptr_t)> close;  // ERROR_SUCCESS when it closed, else the error it reported
        std::function<size_t()> openCount;
        std::function<void(uintptr_t)> use;  // while the refused close keeps it
    };
    const Kind kinds[] = {
        {"CloseHandle", ERROR_IO_DEVICE,
         [] { return (uintptr_t)CreateFileA("C:\\\\kept.prn", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr); },
         [](uintptr_t h) { return CloseHandle((HANDLE)h) ? (DWORD)ERROR_SUCCESS : GetLastError(); },
         [this] { return machine().openHandles(); },
         [](uintptr_t h) {
             DWORD written = 0;
             EXPECT_TRUE(WriteFile((HANDLE)h, "still", 5, &written, nullptr)) << "and works";
         }},
        {"RegCloseKey", ERROR_BADDB, [this] { return (uintptr_t)openKey("K", KEY_READ); },
         [](uintptr_t key) { return (DWORD)RegCloseKey((HKEY)key); }, [this] { return machine().openKeys(); },
         [](uintptr_t key) {
             EXPECT_EQ(RegQueryValueExA((HKEY)key, "V", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS)
                 << "still usable";
         }},
        {"SetupDiDestroyDeviceInfoList", ERROR_GEN_FAILURE,
         [] {
             return (uintptr_t)SetupDiGetClassDevsA(&sim::UsbPrinterClass, nullptr, nullptr,
                                                    DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
         },
         [](uintptr_t set) { return SetupDiDestroyDeviceInfoList((HDEVINFO)set) ? (DWORD)ERROR_SUCCESS : GetLastError(); },
         [this] { return machine().openDeviceInfoSets(); }, [](uintptr_t) {}},
        {"ClosePrinter", ERROR_INVALID_HANDLE,
         [] {
             HANDLE printer = nullptr;
             EXPECT_TRUE(OpenPrinterA(const_cast<LPSTR>("Office"), &printer, nullptr));
             return (uintptr_t)printer;
         },
         [](uintptr_t printer) { return ClosePrinter((HANDLE)printer) ? (DWORD)ERROR_SUCCESS : GetLastError(); },
         [this] { return machine().openPrinterHandles(); },
         [](uintptr_t printer) {
             DWORD needed = 0;
             EXPECT_FALSE(GetPrinterA((HANDLE)printer, 2, nullptr, 0, &needed));
             EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER) << "the handle still names the printer";
         }},
        // Failure returns the block, success null.
        {"GlobalFree", ERROR_INVALID_HANDLE, [] { return (uintptr_t)GlobalAlloc(GPTR, 16); },
         [](uintptr_t block) {
             HGLOBAL left = GlobalFree((HGLOBAL)block);
             return left == nullptr ? (DWORD)ERROR_SUCCESS : left == (HGLOBAL)block ? GetLastError() : Marker;
         },
         [this] { return machine().liveAllocations(); },
         [](uintptr_t block) { reinterpret_cast<char*>(block)[15] = 1; }},  // still the caller's memory
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.function);
        uintptr_t object = kind.open();
        ASSERT_TRUE(object != 0 && object != (uintptr_t)INVALID_HANDLE_VALUE);
        machine().inject({kind.function, 1, kind.error, false, FaultMode::FailKeepingObject});
        SetLastError(Marker);
        EXPECT_EQ(kind.close(object), kind.error);
        EXPECT_EQ(kind.openCount(), 1u) << "it stays open";
        ASSERT_EQ(machine().refusedCloses().size(), 1u);
        EXPECT_EQ(machine().refusedCloses()[0].function, kind.function);
        EXPECT_EQ(machine().refusedCloses()[0].object, object);
        for (const Kind& other : kinds)
            EXPECT_EQ(machine().refusedCloseCount(other.function), &other == &kind ? 1u : 0u) << other.function;
        kind.use(object);
        SetLastError(Marker);
        EXPECT_EQ(kind.close(object), (DWORD)ERROR_SUCCESS);
        EXPECT_EQ(kind.openCount(), 0u);
        EXPECT_TRUE(machine().refusedCloses().empty()) << "closed at last";
    }
}

// FaultMode::Fail reports the error of a close that closed.
TEST_F(SimMachine, AFailedCloseStillCloses) {
    HANDLE file = CreateFileA("C:\\\\kept.prn", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    machine().failCall("CloseHandle", 1, ERROR_IO_DEVICE);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(machine().openHandles(), 0u);
    EXPECT_TRUE(machine().refusedCloses().empty());
    EXPECT_REFUSED(ERROR_INVALID_HANDLE, CloseHandle(file));

    reg().setString("K", "V", "x");
    HKEY key = openKey("K", KEY_READ);
    machine().failCall("RegCloseKey", 1, ERROR_BADDB);
    EXPECT_EQ(RegCloseKey(key), ERROR_BADDB);
    EXPECT_EQ(machine().openKeys(), 0u);
}

TEST_F(SimMachine, ResetReleasesWhatRefusedClosesKept) {
    HANDLE file = CreateFileA("C:\\\\locked.prn", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    reg().create("K");
    HKEY key = openKey("K");
    machine().inject({"CloseHandle", 1, ERROR_GEN_FAILURE, true, FaultMode::FailKeepingObject});
    machine().inject({"RegCloseKey", 1, ERROR_GEN_FAILURE, true, FaultMode::FailKeepingObject});
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file)) << "refused again: listed once";
    EXPECT_EQ(RegCloseKey(key), ERROR_GEN_FAILURE);
    EXPECT_EQ(machine().refusedCloses().size(), 2u);
    machine().reset();
    machine().setFileRoot(root.string());
    EXPECT_EQ(machine().openHandles(), 0u);
    EXPECT_EQ(machine().openKeys(), 0u);
    EXPECT_TRUE(machine().refusedCloses().empty());
    HANDLE again = CreateFileA("C:\\\\locked.prn", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "the host file was closed too: no sharing violation";
    CloseHandle(again);
}

TEST_F(SimMachine, AShortWriteReportsAndWritesOnlyPartOfTheBytes) {
    HANDLE file = CreateFileA("C:\\\\short.prn", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    struct Case {
        std::optional<DWORD> bytes;
        std::string data;
        DWORD expected;
    };
    const Case cases[] = {
        {std::nullopt, "0123456789", 5},  // half
        {std::nullopt, "abcdefg", 3},     // half, rounded down
        {std::nullopt, "z", 0},
        {2u, "ABCDEF", 2},
        {0u, "nothing", 0},
        {100u, "all", 3},                 // never more than asked
    };
    std::string expectedFile;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        machine().inject({"WriteFile", 1, 0, false, FaultMode::ShortWrite, c.bytes});
        DWORD written = Marker;
        SetLastError(12345678);
        EXPECT_TRUE(WriteFile(file, c.data.data(), (DWORD)c.data.size(), &written, nullptr));
        EXPECT_EQ(written, c.expected);
        EXPECT_EQ(GetLastError(), 12345678u) << "a success";
        expectedFile += c.data.substr(0, c.expected);
    }
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "!", 1, &written, nullptr)) << "the next write is whole";
    EXPECT_EQ(written, 1u);
    expectedFile += "!";
    EXPECT_TRUE(CloseHandle(file));
    std::ifstream in(root / "c" / "short.prn", std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, expectedFile) << "exactly the bytes reported, in order";
}

TEST_F(SimUsb, AShortWriteToAPipeDeliversOnlyWhatItReports) {
    HANDLE out = openPipe(0), in = openPipe(1);
    machine().inject({"WriteFile", 1, 0, true, FaultMode::ShortWrite});
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(out, "%!PS-page", 9, &written, nullptr));
    EXPECT_EQ(written, 4u);
    EXPECT_TRUE(WriteFile(out, "ab", 2, &written, nullptr));
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(received(), (std::map<int, std::vector<BYTE>>{{0, bytes("%!PSa")}}));
    EXPECT_FALSE(WriteFile(in, "xx", 2, &written, nullptr)) << "a short write is still a write: the IN pipe refuses it";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    CloseHandle(out);
    CloseHandle(in);
}

TEST_F(SimMachine, ACreateThatFailsAfterItsEffectLeavesTheKeysAndNoHandle) {
    WHERE_TRAITS(t.registrySecurity);
    reg().create("A");
    machine().inject({"RegCreateKeyA", 1, ERROR_BADDB, true, FaultMode::FailAfterEffect});
    HKEY key = (HKEY)(uintptr_t)Marker;
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "A\\B\\C", &key), ERROR_BADDB);
    EXPECT_EQ(key, nullptr);
    EXPECT_TRUE(reg().exists("A\\B\\C")) << "every missing key on the path was made";
    EXPECT_EQ(machine().openKeys(), 0u) << "no key left open";
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "A\\B\\C", &key), ERROR_BADDB) << "an existing key: the same";
    EXPECT_EQ(machine().openKeys(), 0u);

    reg().refuseAccess("Locked", KEY_CREATE_SUB_KEY);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Locked\\Sub", &key), ERROR_ACCESS_DENIED)
        << "a creation that fails reports its own error";
    EXPECT_FALSE(reg().exists("Locked\\Sub"));
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, std::string(257, 'n').c_str(), &key), ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// Injected failures look like the real ones
// ---------------------------------------------------------------------------

TEST_F(SimMachine, AnInjectedWinExecFailureReturnsAValueBelow32AndSetsTheLastError) {
    machine().failCall("WinExec", 1, ERROR_FILE_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(WinExec("rundll.exe", SW_SHOWNORMAL), (UINT)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    machine().failCall("WinExec", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(WinExec("rundll.exe", SW_SHOWNORMAL), 8u);
    machine().failCall("WinExec", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(WinExec("rundll.exe", SW_SHOWNORMAL), 5u);
    machine().failCall("WinExec", 1, ERROR_DLL_INIT_FAILED);
    EXPECT_EQ(WinExec("rundll.exe", SW_SHOWNORMAL), (UINT)ERROR_BAD_FORMAT) << "an error of 32 or more";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DLL_INIT_FAILED);
    EXPECT_TRUE(machine().commandLines().empty()) << "nothing was started";
    EXPECT_GT(WinExec("rundll.exe", SW_SHOWNORMAL), 31u);
}

TEST_F(SimMachine, AnInjectedLoadStringFailureLeavesAnEmptyString) {
    sim::Module module;
    module.fileName = "TEST.DLL";
    module.strings = {{7, "seven"}};
    HINSTANCE instance = machine().loadModule(module);
    CHAR buffer[16];
    std::strcpy(buffer, "caller's");
    machine().failCall("LoadStringA", 1, 1814u);
    SetLastError(0);
    EXPECT_EQ(LoadStringA(instance, 7, buffer, sizeof buffer), 0);
    EXPECT_EQ(GetLastError(), (DWORD)1814u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(LoadStringA(instance, 7, buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "seven");
}

TEST_F(SimMachine, AFailedOpenPrinterLeavesANullHandle) {
    machine().addPrinter("Office", "USB-001");
    HANDLE printer = (HANDLE)(uintptr_t)Marker;
    EXPECT_FALSE(OpenPrinterA(const_cast<LPSTR>("Nobody"), &printer, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINTER_NAME);
    EXPECT_EQ(printer, nullptr);
    printer = (HANDLE)(uintptr_t)Marker;
    machine().failCall("OpenPrinterA", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(OpenPrinterA(const_cast<LPSTR>("Office"), &printer, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(printer, nullptr);
    EXPECT_EQ(machine().openPrinterHandles(), 0u);
}

TEST_F(SimMachine, AnInjectedQueryFailureHappensAfterTheOutputsAreCleared) {
    reg().setString("K", "V", "x");
    HKEY key = openKey("K", KEY_READ);
    machine().failCall("RegQueryValueExA", 1, ERROR_BADDB);
    DWORD type = Marker, size = Marker;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, nullptr, &size), ERROR_BADDB);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, (DWORD)REG_NONE);
    machine().failCall("RegQueryValueExA", 1, ERROR_BADDB);
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, (LPBYTE)&type, nullptr), ERROR_INVALID_PARAMETER)
        << "a call refused for its parameters is refused first";
    RegCloseKey(key);
}

}  // namespace
