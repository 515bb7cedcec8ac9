#include "CVCode.h"

bool IsBig5Pair(const std::string& pair) {
    if (pair.size() < 2) return false;
    auto lead = static_cast<uint8_t>(pair[0]), trail = static_cast<uint8_t>(pair[1]);
    return lead >= 0xA1 && ((trail >= 0x40 && trail <= 0x7E) || (trail >= 0xA1 && trail <= 0xFE));
}

int Big5Index(const std::string& pair) {
    if (pair.size() < 2) return -1;
    int lead = static_cast<uint8_t>(pair[0]), trail = static_cast<uint8_t>(pair[1]);
    if (trail >= 0x40 && trail <= 0x7E) return (lead - 0xA1) * 157 + (trail - 0x40);
    if (trail >= 0xA1 && trail <= 0xFE) return (lead - 0xA1) * 157 + 63 + (trail - 0xA1);
    return -1;
}

std::string ConvertBig5ToGB(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    size_t i = 0, n = text.size();
    while (i < n) {
        // At the last byte the pair is that byte and a blank: never a Big5 code.
        std::string pair{text[i], i + 1 < n ? text[i + 1] : ' '};
        int index = IsBig5Pair(pair) ? Big5Index(pair) : -1;
        if (index >= 0 && index <= 14757) {
            uint16_t code = Big5ToGBTable[index];
            result += static_cast<char>(code >> 8);
            result += static_cast<char>(code & 0xFF);
            i += 2;
        } else {
            result += text[i++];
        }
    }
    return result;
}
