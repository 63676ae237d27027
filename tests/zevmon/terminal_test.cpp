// What zevmon's two builds show a person, checked on the host: lines that fit
// the terminal at any width, the nearest command to a mistyped one, and the
// sentence for a monitor DLL that will not load.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/zevmon/common/cli.h"
#include "tools/zevmon/common/commands.h"
#include "tools/zevmon/common/terminal.h"

namespace {

using namespace zevmon;

const char LongMessage[] =
    "Because the USB Port Number has exceeded the upper limit, the USB Port was not able to be created.\r\n"
    "Please delete any unnecessary USB Ports.";

TEST(Terminal, TheMessageBoxFitsEveryWidthAndKeepsEveryWord) {
    for (int columns = 10; columns <= 140; columns++) {
        std::string box = framedMessage("Error Message", LongMessage, columns);
        std::istringstream lines(box);
        std::string words;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LE((int)line.size(), std::max(columns, 20)) << columns << ": " << line;
            if (line[0] == '|') words += line.substr(2, line.size() - 4) + " ";
        }
        std::string flat;
        for (char c : words)
            if (c != ' ') flat += c;
        std::string expected;
        for (char c : std::string(LongMessage))
            if (c != ' ' && c != '\r' && c != '\n') expected += c;
        EXPECT_EQ(flat, expected) << "at " << columns << " columns nothing is lost";
    }
    EXPECT_NE(framedMessage("Error Message", LongMessage, 200).find("| Please delete any unnecessary USB Ports. "),
              std::string::npos);
}

TEST(Terminal, TheProgressLineStaysShorterThanTheTerminal) {
    const std::uint64_t total = 1ull << 30;
    for (int columns = 8; columns <= 160; columns++)
        for (std::uint64_t done : {std::uint64_t(0), std::uint64_t(12345), total / 3, total}) {
            std::string known = progressLine(done, total, 123456789.0, columns);
            std::string streamed = progressLine(done, std::nullopt, 123456789.0, columns);
            EXPECT_LT((int)known.size(), columns) << known;
            EXPECT_LT((int)streamed.size(), columns) << streamed;
        }
    EXPECT_EQ(progressLine(total / 2, total, 0, 80).rfind("[###############...............]  50%", 0), 0u);
    EXPECT_NE(progressLine(total / 2, total, 0, 40).find("50%"), std::string::npos) << "the bar goes before the number";
    EXPECT_EQ(progressLine(3 << 20, std::nullopt, 1 << 20, 80), "3.0 MiB sent  1.0 MiB/s");
}

TEST(Terminal, AMistypedCommandFindsItsNearestAndOnlyThat) {
    std::vector<std::string> names = {"ports", "print", "delete-port", "printers", "doctor", "prune", "usb", "registry"};
    EXPECT_EQ(nearestName("prots", names), "ports");
    EXPECT_EQ(nearestName("pritners", names), "printers");
    EXPECT_EQ(nearestName("delete", names), "delete-port");
    EXPECT_EQ(nearestName("docter", names), "doctor");
    EXPECT_EQ(nearestName("frobnicate", names), "");
    EXPECT_EQ(nearestName("import", {"export"}), "") << "two letters off a six-letter word is another word";
}

TEST(Terminal, AMonitorDllThatWillNotLoadSaysWhy) {
    std::string missing = dllLoadFailure("nope.dll", 126, false);
    EXPECT_EQ(missing.rfind("nope.dll could not be loaded: there is no file of that name", 0), 0u) << missing;
    EXPECT_NE(missing.find("(ERROR_MOD_NOT_FOUND, 126)"), std::string::npos);
    EXPECT_EQ(missing.find("no text"), std::string::npos);
    EXPECT_NE(dllLoadFailure("nope.dll", 2, false).find("there is no file of that name"), std::string::npos)
        << "as Wine says it";
    EXPECT_NE(dllLoadFailure("ZEVURUZI.DLL", 126, true).find("a DLL that it needs is missing"), std::string::npos);
    EXPECT_NE(dllLoadFailure("README.TXT", 193, true).find("it is not a 32-bit Windows DLL (error 193)"),
              std::string::npos);
}

}  // namespace
