#include "app/common/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/common/batch.h"
#include "app/common/options.h"

namespace {

std::vector<std::string> Split(const std::string& text) {
    int count;
    char** vector;
    SplitCommandLineText(text.c_str(), &count, &vector);
    std::vector<std::string> arguments(vector, vector + count);
    EXPECT_EQ(vector[count], nullptr);
    free(vector);  // the program keeps its block for good; a test need not
    return arguments;
}

typedef std::vector<std::string> Args;

TEST(SplitCommandLine, FollowsTheWindowsQuotingRules) {
    EXPECT_EQ(Split("p a b"), (Args{"p", "a", "b"}));
    EXPECT_EQ(Split("p \"a b\""), (Args{"p", "a b"}));
    EXPECT_EQ(Split("p a\\\\b"), (Args{"p", "a\\\\b"}));
    EXPECT_EQ(Split("p a\\\"b"), (Args{"p", "a\"b"}));
    EXPECT_EQ(Split("p a\\\\\"b c\""), (Args{"p", "a\\b c"}));
    EXPECT_EQ(Split("p a\\\\\\\"b"), (Args{"p", "a\\\"b"}));
    EXPECT_EQ(Split("p \"a\"\"b\""), (Args{"p", "a\"b"}));
    EXPECT_EQ(Split("p a\"\"b"), (Args{"p", "ab"}));
    EXPECT_EQ(Split("p \"c:\\dir\\\" /silent"), (Args{"p", "c:\\dir\" /silent"}));
    EXPECT_EQ(Split("p \"\""), (Args{"p", ""}));
    EXPECT_EQ(Split("\"c:\\program files\\t.exe\" x"), (Args{"c:\\program files\\t.exe", "x"}));
}

TEST(SplitCommandLine, EveryWhitespaceCharacterSeparatesAndOthersDoNot) {
    for (char space : std::string(" \t\n\v\f\r"))
        EXPECT_EQ(Split(std::string("p a") + space + "b"), (Args{"p", "a", "b"})) << int(space);
    EXPECT_EQ(Split("  p \t\r\n a  "), (Args{"p", "a"}));
    EXPECT_EQ(Split("p caf\xe9 \xa0x\x85"), (Args{"p", "caf\xe9", "\xa0x\x85"}));
    EXPECT_EQ(Split(""), Args{});
    EXPECT_EQ(Split("   "), Args{});
}

TEST(SplitCommandLine, UnmatchedQuoteRunsToTheEnd) {
    EXPECT_EQ(Split("p \"a b  c"), (Args{"p", "a b  c"}));
    EXPECT_EQ(Split("p a\"b c\\"), (Args{"p", "ab c\\"}));
}

TEST(LowercaseInPlace, ChangesOnlyAsciiCapitals) {
    char text[] = "/SILENT C:\\Work\xc9\xe9 /LOG=D:\\Scan.TXT";
    LowercaseInPlace(text);
    EXPECT_STREQ(text, "/silent c:\\work\xc9\xe9 /log=d:\\scan.txt");
}

// Options are examined one by one; the last path and the last log name win.
TEST(ParseArguments, SetsFlagsAndKeepsTheLastPathAndLog) {
    char* argv[] = {(char*)"prog",       (char*)"/Silent", (char*)"/silently", (char*)"c:\\a",
                    (char*)"/LOG=x.txt", (char*)"c:\\b",   (char*)"/log=",     (char*)"/delete",
                    (char*)"/REPAIR",    (char*)"/other"};
    BatchArguments parsed = ParseArguments(10, argv, true);
    EXPECT_TRUE(g_bSilent);
    EXPECT_FALSE(g_bRemove);
    EXPECT_FALSE(g_bRestart);
    EXPECT_STREQ(parsed.pszScanPath, "c:\\b");
    EXPECT_STREQ(parsed.pszLogName, "");

    char* posix[] = {(char*)"prog", (char*)"/home/Me", (char*)"/REMOVE", (char*)"/restart"};
    parsed = ParseArguments(4, posix, false);
    EXPECT_STREQ(parsed.pszScanPath, "/home/Me");
    EXPECT_EQ(parsed.pszLogName, nullptr);
    EXPECT_TRUE(g_bRemove);
    EXPECT_TRUE(g_bRestart);
}

}  // namespace
