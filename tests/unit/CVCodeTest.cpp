#include <gtest/gtest.h>

#include "textconv/CVCode.h"

TEST(Big5ToGB, TellingRowsOfTheTable) {
    struct Row {
        uint16_t big5;
        int index;
        uint16_t entry;
    };
    for (const Row& r : {Row{0xA140, 0, 0x2020}, Row{0xA141, 1, 0xA3AC}, Row{0xA142, 2, 0xA1A2},
                         Row{0xA143, 3, 0xA1A3}, Row{0xA144, 4, 0x2020}, Row{0xA145, 5, 0xA1A4},
                         Row{0xA14B, 11, 0xA9A9}, Row{0xA4A4, 537, 0xD6D0}, Row{0xADD3, 1997, 0xB8F6},
                         Row{0xB5B2, 3220, 0xBDE1}, Row{0xB67D, 3358, 0xBFAA}, Row{0xBD75, 4449, 0xCFDF},
                         Row{0xC0C9, 4970, 0xB5B5}, Row{0xC1D9, 5143, 0xBBB9}, Row{0xC25F, 5212, 0xB6CF},
                         Row{0xC2F7, 5330, 0xC0EB}}) {
        std::string pair{static_cast<char>(r.big5 >> 8), static_cast<char>(r.big5 & 0xFF)};
        EXPECT_TRUE(IsBig5Pair(pair));
        EXPECT_EQ(Big5Index(pair), r.index) << std::hex << r.big5;
        EXPECT_EQ(Big5ToGBTable[r.index], r.entry) << std::hex << r.big5;
    }
    int filled = 0;
    for (uint16_t e : Big5ToGBTable) filled += e != 0x2020;
    EXPECT_GT(filled, 7000);
}

TEST(Big5ToGB, Conversions) {
    EXPECT_EQ(ConvertBig5ToGB(""), "");
    // "還有3個檔案需要更新" -> "还有3个档案需要更新"
    EXPECT_EQ(ConvertBig5ToGB("\xC1\xD9\xA6\xB3" "3" "\xAD\xD3\xC0\xC9\xAE\xD7\xBB\xDD\xAD\x6E\xA7\xF3\xB7\x73"),
              "\xBB\xB9\xD3\xD0" "3" "\xB8\xF6\xB5\xB5\xB0\xB8\xD0\xE8\xD2\xAA\xB8\xFC\xD0\xC2");
    EXPECT_EQ(ConvertBig5ToGB("a\xA1\x40z"), "a  z") << "ideographic space: two blanks";
    EXPECT_EQ(ConvertBig5ToGB("ok\xA4"), "ok\xA4") << "a lone lead byte at the end stays";
    EXPECT_EQ(ConvertBig5ToGB("\xFF\xA1"), "\xFF\xA1") << "lead 0xFF is outside the table";
    EXPECT_EQ(ConvertBig5ToGB("\xA4\x20x"), "\xA4\x20x") << "a blank is no trail byte";
    EXPECT_EQ(Big5Index("\xA4"), -1);
    EXPECT_EQ(Big5Index("\xA4\x30"), -1);
    EXPECT_FALSE(IsBig5Pair("\x41\xA1"));
}
