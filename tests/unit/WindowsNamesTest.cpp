// The names Windows cannot hold or takes for a device: refused in the
// Windows build wherever a release's names are checked, told apart on Linux.
#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "platform/WindowsNames.h"

TEST(WindowsNames, DevicesTrailingDotsAndForbiddenCharacters) {
    SetNameCodePage(65001);  // the names below are UTF-8
    for (const char* name : {"CON", "aux.txt", "data\\Nul.dat", "data/com1", "LPT9.log", "con .txt", "COM\xC2\xB9",
                             "readme.", "data\\b ", "x<y", "q?", "a|b", "say\"so\"", "star*"}) {
        EXPECT_TRUE(HasWindowsUnsafeNamePart(name)) << name;
#ifdef _WIN32
        EXPECT_FALSE(IsSafeRelativeName(name)) << name;
#endif
    }
    for (const char* name : {"console.txt", "com10", "lpt0", "data/readme.txt", "./a.txt", "nul-not.txt", ".hidden"}) {
        EXPECT_FALSE(HasWindowsUnsafeNamePart(name)) << name;
        EXPECT_TRUE(IsSafeRelativeName(name)) << name;
    }
#ifndef _WIN32
    // Ordinary files on Linux: a Linux release may hold them.
    EXPECT_TRUE(IsSafeRelativeName("aux.txt"));
    EXPECT_TRUE(IsSafeRelativeName("readme."));
#endif
    SetNameCodePage(0);
}
