// Big5 (traditional) text to GB2312 (simplified) text, character by
// character through one fixed table. The result has the input's length: a
// converted pair gives two bytes (two blanks where GB2312 has no
// counterpart), every other byte passes unchanged.
#pragma once
#include <cstdint>
#include <string>

// One entry per cell of the Big5 grid (94 lead bytes x 157 trail bytes):
// the GB2312 code, high byte first, or 0x2020 for none.
extern const uint16_t Big5ToGBTable[14758];

bool IsBig5Pair(const std::string& pair);
int Big5Index(const std::string& pair);  // -1 outside the trail ranges or when short
std::string ConvertBig5ToGB(const std::string& text);
