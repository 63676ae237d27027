// A small test harness for programs that run under Wine: WINE_TEST(name)
// registers a case; the program runs the case named on its command line (or
// all of them) and prints one line per failed check and a closing count.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace winetest {

struct Case {
    const char* name;
    std::function<void()> run;
};

std::vector<Case>& cases();
extern int failures;

struct Registrar {
    Registrar(const char* name, void (*run)()) { cases().push_back({name, run}); }
};

// A case for each scenario of a table shared with the unit tests, played on a
// harness of its own; the names must outlive the program's cases.
template <typename Harness, typename Base>
bool addScenarios(const std::vector<std::string>& names, void (*play)(const std::string&, Base&)) {
    for (const std::string& name : names)
        cases().push_back({name.c_str(), [&name, play] { Harness harness; play(name, harness); }});
    return true;
}

void fail(const char* file, int line, const std::string& what);
// A number from the environment, or the fallback when it is unset or 0.
DWORD setting(const char* name, DWORD fallback);
// A bound on a wait, stretched by ZEV_WINE_PATIENCE (1 natively; more where
// the cases run under emulation, which costs 10 to 30 times the time). A bound
// only catches what never comes: being slow is not a finding.
DWORD patient(DWORD milliseconds);
std::string text(unsigned long long v);
std::string text(const std::string& s);

}  // namespace winetest

#define WINE_TEST(name)                                                 \
    static void wine_test_##name();                                     \
    static winetest::Registrar wine_registrar_##name(#name, wine_test_##name); \
    static void wine_test_##name()

#define CHECK(condition)                                                                 \
    do {                                                                                 \
        if (!(condition)) winetest::fail(__FILE__, __LINE__, "CHECK(" #condition ")");   \
    } while (0)

#define CHECK_EQ(actual, expected)                                                                   \
    do {                                                                                             \
        auto wine_actual = (actual);                                                                 \
        auto wine_expected = (expected);                                                             \
        if (!(wine_actual == wine_expected))                                                         \
            winetest::fail(__FILE__, __LINE__,                                                       \
                           std::string(#actual " is ") + winetest::text(wine_actual) + ", want " +   \
                               winetest::text(wine_expected));                                       \
    } while (0)

#define CHECK_STR(actual, expected) CHECK_EQ(std::string(actual), std::string(expected))

// The call fails with the given code. The last error is set to 0xdeadbeef
// first, so that a refusal which sets no code cannot pass for one that does.
#define CHECK_REFUSED(error, ...)                      \
    do {                                               \
        SetLastError(0xdeadbeef);                      \
        CHECK(!(__VA_ARGS__));                         \
        CHECK_EQ(GetLastError(), (DWORD)(error));      \
    } while (0)
