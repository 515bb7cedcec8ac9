#include <gtest/gtest.h>

#include "release/LineFields.h"
#include "release/PlayerOwned.h"

TEST(GetField, BlanksSeparateAndNothingElse) {
    EXPECT_EQ(GetField(1, "  a  bb c"), "a");
    EXPECT_EQ(GetField(2, "  a  bb c"), "bb");
    EXPECT_EQ(GetField(3, "  a  bb c"), "c");
    EXPECT_EQ(GetField(1, "   O a b"), "O");
    EXPECT_EQ(GetField(1, "one\ttwo three"), "one\ttwo");
    EXPECT_EQ(GetField(2, "one\ttwo three"), "three");
    EXPECT_EQ(GetField(2, "a b   "), "b");
}

TEST(GetField, OutsideTheLineIsEmpty) {
    EXPECT_EQ(GetField(4, "a b c"), "");
    EXPECT_EQ(GetField(0, "a b c"), "");
    EXPECT_EQ(GetField(-1, "a b c"), "");
    EXPECT_EQ(GetField(1, ""), "");
    EXPECT_EQ(GetField(1, "    "), "");
}

TEST(VersionOrder, ByteOrderNotNumbers) {
    EXPECT_TRUE(VersionGreater("9", "10"));
    EXPECT_FALSE(VersionGreater("10", "9"));
    EXPECT_TRUE(VersionGreater("1.9", "1.10"));
    EXPECT_FALSE(VersionGreater("105", "105"));
    EXPECT_TRUE(VersionGreater("1050", "105"));
    EXPECT_FALSE(VersionGreater("105", "1050"));
    EXPECT_TRUE(VersionGreater("\xA4", "z")) << "bytes compare unsigned";
    EXPECT_TRUE(VersionGreater("a", ""));
}

TEST(NameComparison, AsciiCaseOnly) {
    EXPECT_TRUE(SameNameIgnoringCase("Client.EXE", "client.exe"));
    EXPECT_FALSE(SameNameIgnoringCase("client.exe", "client.ex"));
    EXPECT_FALSE(SameNameIgnoringCase("\xC0", "\xE0")) << "only ASCII letters fold";
    EXPECT_FALSE(SameNameIgnoringCase("a", ""));
}

TEST(HeaderFields, TransferLimitsTakeTheirBoundsAndDefaults) {
    auto limits = DeclaredTransferLimits("skiff-release 9 codepage=950 connections=3 mirrors=one");
    EXPECT_EQ(limits.Connections, 3);
    EXPECT_FALSE(limits.AllMirrors);
    // A header without keys is read as the original format's updaters fetch.
    EXPECT_EQ(DeclaredTransferLimits("KOVRAN").Connections, 1);
    EXPECT_FALSE(DeclaredTransferLimits("skiff-release 9 codepage=950").AllMirrors);
    EXPECT_EQ(DeclaredTransferLimits("KOVRAN mirrors=all").Connections, 2);
    EXPECT_TRUE(DeclaredTransferLimits("KOVRAN mirrors=every").AllMirrors);
    EXPECT_EQ(DeclaredTransferLimits("x connections=99").Connections, 8);
    EXPECT_EQ(DeclaredTransferLimits("x connections=0").Connections, 1);
    EXPECT_EQ(DeclaredTransferLimits("x connections=lots").Connections, 2);
    EXPECT_EQ(DeclaredNamesCodePage("x connections=3 codepage=950"), 950);
}

// Names with blanks, commas, '%' and Big5 bytes (a 0x5C trail byte) stay one
// header field and come back as they were; a damaged value names nothing.
TEST(HeaderFields, PlayerOwnedNamesTravelInOneField) {
    const std::vector<AnsiString> names{"settings.ini", "My Games\\a,b%.cfg", "\xA5\\\xB6\xB7.ini"};
    const AnsiString field = OwnedHeaderField(names);
    EXPECT_EQ(field.find(' '), AnsiString::npos);
    EXPECT_EQ(DeclaredOwnedFiles("skiff-release 9 " + field + " mirrors=all"),
              (std::set<AnsiString>{"settings.ini", "my games\\a,b%.cfg", "\xA5\\\xB6\xB7.ini"}));
    EXPECT_TRUE(OwnedHeaderField({}).empty());
    EXPECT_TRUE(DeclaredOwnedFiles("x owned=a.ini,b%4").empty());
    EXPECT_TRUE(DeclaredOwnedFiles("KOVRAN").empty());
}
