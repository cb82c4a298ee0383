#include "platform/rename_section.h"

#include <gtest/gtest.h>

namespace {

TEST(RenameSection, EveryEntryIsAddedInOrderAndNoneReplaced) {
    std::string ini = AddRenameEntry("", "NUL", "C:\\A.EXE");
    ini = AddRenameEntry(ini, "NUL", "C:\\B.HTM");
    ini = AddRenameEntry(ini, "C:\\B.HTM", "C:\\B.HTM.CLN");
    EXPECT_EQ(ini, "[rename]\r\nNUL=C:\\A.EXE\r\nNUL=C:\\B.HTM\r\nC:\\B.HTM=C:\\B.HTM.CLN\r\n");
    std::vector<RenameEntry> entries = ReadRenameEntries(ini);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].key, "NUL");
    EXPECT_EQ(entries[1].value, "C:\\B.HTM");
    EXPECT_EQ(entries[2].key, "C:\\B.HTM");
    EXPECT_EQ(entries[2].value, "C:\\B.HTM.CLN");
}

TEST(RenameSection, OtherSectionsAreKeptAndEntriesGoIntoTheRightOne) {
    std::string ini = "[settings]\nx=1\n[RENAME]\nNUL=C:\\OLD\n\n[later]\ny=2";
    std::string updated = AddRenameEntry(ini, "NUL", "C:\\NEW");
    EXPECT_EQ(updated, "[settings]\nx=1\n[RENAME]\nNUL=C:\\OLD\nNUL=C:\\NEW\r\n\n[later]\ny=2");
    std::vector<RenameEntry> entries = ReadRenameEntries(updated);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].value, "C:\\NEW");

    std::string unterminated = AddRenameEntry("[boot]\nshell=x", "NUL", "C:\\F");
    EXPECT_EQ(unterminated, "[boot]\nshell=x\r\n[rename]\r\nNUL=C:\\F\r\n");
}

TEST(RenameSection, ValuesMaySpeakOfEqualsSigns) {
    std::vector<RenameEntry> entries =
        ReadRenameEntries("[rename]\r\nC:\\D=C:\\S=1\r\nnot an entry\r\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].key, "C:\\D");
    EXPECT_EQ(entries[0].value, "C:\\S=1");
}

// Entries only count inside [rename]: the same text in another section is no entry.
TEST(RenameSection, AnEntryIsListedOnceAndTakenBackAlone) {
    std::string ini = "[boot]\r\nNUL=C:\\A\r\n[rename]\r\nNUL=C:\\A\r\nC:\\A=C:\\A.CLN\r\n";
    EXPECT_EQ(AddRenameEntry(ini, "NUL", "C:\\A"), ini);
    EXPECT_EQ(AddRenameEntry(ini, "C:\\A", "C:\\A.CLN"), ini);
    EXPECT_EQ(RemoveRenameEntry(ini, "NUL", "C:\\A"),
              "[boot]\r\nNUL=C:\\A\r\n[rename]\r\nC:\\A=C:\\A.CLN\r\n");
    EXPECT_EQ(RemoveRenameEntry(ini, "NUL", "C:\\B"), ini);
    std::string boot = "[boot]\r\nNUL=C:\\B\r\n";
    EXPECT_EQ(AddRenameEntry(boot, "NUL", "C:\\B"), boot + "[rename]\r\nNUL=C:\\B\r\n");
}

}  // namespace
