// Locale identifiers from POSIX locale names, and their code pages: the
// same on every platform back end.
#include <map>

#include "System.h"

uint32_t LocaleIdFromName(const AnsiString& name) {
    AnsiString base = name.substr(0, name.find_first_of(".@"));
    if (base.empty() || base == "C" || base == "POSIX") return 0x0409;
    AnsiString lang = LowerCase(base.substr(0, base.find('_')));
    AnsiString region = base.find('_') == AnsiString::npos ? "" : UpperCase(base.substr(base.find('_') + 1));
    if (lang == "zh") {
        if (region == "TW") return 0x0404;
        if (region == "HK") return 0x0C04;
        if (region == "SG") return 0x1004;
        if (region == "MO") return 0x1404;
        return 0x0804;
    }
    if (lang == "en") {
        static const std::map<AnsiString, uint32_t> en = {
            {"GB", 0x0809}, {"AU", 0x0C09}, {"CA", 0x1009}, {"NZ", 0x1409}, {"IE", 0x1809}};
        auto it = en.find(region);
        return it == en.end() ? 0x0409 : it->second;
    }
    // Other languages: the primary language with the first sub-language.
    static const std::map<AnsiString, uint32_t> primary = {
        {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"cs", 0x05}, {"da", 0x06}, {"de", 0x07},
        {"el", 0x08}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C}, {"he", 0x0D}, {"hu", 0x0E},
        {"is", 0x0F}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12}, {"nl", 0x13}, {"nb", 0x14},
        {"no", 0x14}, {"pl", 0x15}, {"pt", 0x16}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1A},
        {"sk", 0x1B}, {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F}, {"id", 0x21}, {"uk", 0x22},
        {"vi", 0x2A}};
    auto it = primary.find(lang);
    return it == primary.end() ? 0x0409 : (0x0400 | it->second);
}

int CodePageOfLocale(uint32_t lcid) {
    switch (lcid & 0xFFFF) {
        case 0x0404: case 0x0C04: case 0x1404: return 950;
        case 0x0804: case 0x1004: return 936;
        case 0x0411: return 932;
        case 0x0412: return 949;
        default: return 1252;
    }
}
