// libFuzzer target: our base64 (the Windows build's, Base64.cpp) against
// libsodium's on the same text. On ASCII text both must accept and refuse
// alike and decode to the same bytes; a byte above 0x7F, which libsodium
// 1.0.18 may read as a digit, we refuse. An accepted text is the encoding
// of its bytes, and both encode any bytes alike.
#include <sodium.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<uint8_t> ours;
    const bool oursTook = DecodeBase64(text, ours);
    std::vector<uint8_t> theirs(size + 1);
    size_t n = 0;
    const bool theyTook = sodium_base642bin(theirs.data(), theirs.size(), text.data(), text.size(), nullptr, &n,
                                            nullptr, sodium_base64_VARIANT_ORIGINAL) == 0;
    theirs.resize(theyTook ? n : 0);
    bool ascii = true;
    for (size_t i = 0; i < size; ++i) ascii = ascii && data[i] < 0x80;
    if (!ascii && oursTook) abort();
    if (ascii && (oursTook != theyTook || (oursTook && ours != theirs))) abort();
    if (oursTook && EncodeBase64(ours.data(), ours.size()) != text) abort();
    std::vector<char> encoded(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(encoded.data(), encoded.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    if (EncodeBase64(data, size) != encoded.data()) abort();
    return 0;
}
