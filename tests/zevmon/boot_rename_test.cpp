// The lists of file operations a start of Windows carries out, edited as
// zevmon install and uninstall edit them: other programs' lines survive, ours
// are added once and taken back exactly.
#include <gtest/gtest.h>

#include "tools/zevmon/win32/boot_rename_text.h"

namespace {

using zevmon::addRenameLines;
using zevmon::removeRenameLines;
using zevmon::renameLines;
using zevmon::withoutPendingSource;

const std::string Replace = "C:\\WINDOWS\\SYSTEM\\ZEVURUZI.DLL=C:\\WINDOWS\\SYSTEM\\ZEVURUZI.NEW";
const std::string Delete = "NUL=C:\\WINDOWS\\SYSTEM\\ZEVURUZI.DLL";

TEST(Wininit, AFileWithoutOneGetsARenameSectionInCrLfLines) {
    EXPECT_EQ(addRenameLines("", {Replace}), "[rename]\r\n" + Replace + "\r\n");
}

TEST(Wininit, AnotherInstallersNulLinesStayBesideOurs) {
    // Two NUL= lines of another installer: a profile write of NUL= would have kept only one.
    std::string ini = "[rename]\r\nNUL=C:\\OTHER\\A.TMP\r\nNUL=C:\\OTHER\\B.TMP\r\n";
    std::string edited = addRenameLines(ini, {Delete});
    EXPECT_EQ(renameLines(edited),
              (std::vector<std::string>{"NUL=C:\\OTHER\\A.TMP", "NUL=C:\\OTHER\\B.TMP", Delete}));
    EXPECT_EQ(removeRenameLines(edited, {Delete}), ini);
}

TEST(Wininit, OurLinesGoAtTheEndOfTheSectionNotOfTheFile) {
    std::string ini = "[Rename]\nNUL=C:\\OTHER\\A.TMP\n\n[other]\nkey=value\n";
    std::string edited = addRenameLines(ini, {Replace});
    EXPECT_EQ(edited, "[Rename]\r\nNUL=C:\\OTHER\\A.TMP\r\n" + Replace + "\r\n\r\n[other]\r\nkey=value\r\n");
    EXPECT_EQ(renameLines("[other]\r\nNUL=C:\\X\r\n"), std::vector<std::string>{});
}

TEST(Wininit, ALineAlreadyQueuedIsNotAddedTwice) {
    std::string once = addRenameLines("", {Replace});
    std::string lower = once;
    for (char& c : lower) c = (char)std::tolower((unsigned char)c);
    EXPECT_EQ(addRenameLines(once, {Replace}), once);
    EXPECT_EQ(addRenameLines(lower, {Replace}), lower);  // letter case aside
    EXPECT_EQ(addRenameLines("", {Replace, Replace}), once);
}

TEST(Wininit, TakingOurLinesBackLeavesNothingOfOursAndEverythingElse) {
    std::string ini = "; written by another program\r\n[rename]\r\nNUL=C:\\OTHER\\A.TMP\r\n";
    std::string queued = addRenameLines(ini, {Replace, Delete});
    EXPECT_EQ(removeRenameLines(queued, {Replace, Delete}), ini);
    // Our lines alone: the section goes, and with nothing else the file is empty (to be deleted).
    EXPECT_EQ(removeRenameLines(addRenameLines("", {Replace}), {Replace}), "");
    EXPECT_EQ(removeRenameLines("[other]\r\nx=y\r\n[rename]\r\n" + Delete + "\r\n", {Delete}), "[other]\r\nx=y\r\n");
    // Comments and lines of other sections are never taken.
    std::string other = "[other]\r\n" + Delete + "\r\n[rename]\r\n;" + Delete + "\r\n";
    EXPECT_EQ(removeRenameLines(other, {Delete}), other);
}

TEST(PendingRenames, OnlyThePairsOfTheGivenSourceGo) {
    std::vector<std::string> entries = {
        "\\??\\C:\\windows\\system32\\ZEVURUZI.NEW", "!\\??\\C:\\windows\\system32\\ZEVURUZI.DLL",
        "\\??\\C:\\other\\a.tmp", "",
        "\\??\\C:\\windows\\system32\\zevuruzi.new", "!\\??\\C:\\elsewhere\\ZEVURUZI.DLL",
    };
    EXPECT_EQ(withoutPendingSource(entries, "C:\\windows\\system32\\ZEVURUZI.NEW"),
              (std::vector<std::string>{"\\??\\C:\\other\\a.tmp", ""}));
    // A path that is only a destination is not a source.
    EXPECT_EQ(withoutPendingSource(entries, "C:\\windows\\system32\\ZEVURUZI.DLL"), entries);
    EXPECT_EQ(withoutPendingSource(entries, "C:\\other\\a.tmp").size(), 4u);
}

// A deletion's empty destination is an entry, not the list's end; the end is
// the empty string where a source would stand.
TEST(PendingRenames, TheValueIsReadPairByPair) {
    using namespace std::string_literals;
    using List = std::vector<std::string>;
    const struct { std::string bytes; List entries; } cases[] = {
        {"a\0\0b\0!c\0\0"s, {"a", "", "b", "!c"}},
        {"a\0!b\0\0\0c\0"s, {"a", "!b"}},
        {"a"s, {"a", ""}},  // cut short: its destination is missing
    };
    for (auto& c : cases) EXPECT_EQ(zevmon::pendingEntries(c.bytes.data(), c.bytes.size()), c.entries);
}

}  // namespace
