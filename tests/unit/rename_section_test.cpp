#include "platform/rename_section.h"

#include <gtest/gtest.h>

namespace {

std::vector<RenameEntry> Entries(std::initializer_list<RenameEntry> entries) {
    return entries;
}

TEST(RenameSection, EntriesGoInOrderIntoTheirOwnSectionAndNothingElseChanges) {
    std::string ini = "[settings]\nx=1\n[RENAME]\n; kept\nNUL=C:\\OLD\n\n[later]\ny=2";
    std::string updated =
        ReplaceRenameEntries(ini, Entries({{"NUL", "C:\\B.HTM"}, {"C:\\B.HTM", "C:\\B.CLN"}}));
    EXPECT_EQ(updated,
              "[settings]\nx=1\n[RENAME]\n; kept\nNUL=C:\\B.HTM\r\nC:\\B.HTM=C:\\B.CLN\r\n\n"
              "[later]\ny=2");
    std::vector<RenameEntry> entries = ReadRenameEntries(updated);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].key, "C:\\B.HTM");
    EXPECT_EQ(entries[1].value, "C:\\B.CLN");
    EXPECT_EQ(ReplaceRenameEntries(updated, {}),
              "[settings]\nx=1\n[RENAME]\n; kept\n\n[later]\ny=2");
}

TEST(RenameSection, ASectionIsMadeWhereThereIsNone) {
    EXPECT_EQ(ReplaceRenameEntries("[boot]\nshell=x", Entries({{"NUL", "C:\\F"}})),
              "[boot]\nshell=x\r\n[rename]\r\nNUL=C:\\F\r\n");
    EXPECT_EQ(ReplaceRenameEntries("", {}), "");
}

// Entries only count inside [rename], and a value may hold equals signs.
TEST(RenameSection, OnlyLinesOfTheSectionAreEntries) {
    std::vector<RenameEntry> entries =
        ReadRenameEntries("[boot]\r\nNUL=C:\\A\r\n[rename]\r\nC:\\D=C:\\S=1\r\nnot an entry\r\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].key, "C:\\D");
    EXPECT_EQ(entries[0].value, "C:\\S=1");
}

}  // namespace
