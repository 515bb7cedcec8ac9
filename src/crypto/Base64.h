// Base64 in the original alphabet with padding, as strict as libsodium's
// sodium_base642bin (VARIANT_ORIGINAL, nothing ignored): a character
// outside the alphabet, a missing or misplaced pad, or bits set past the
// last byte refuse the whole text (and, stricter than libsodium 1.0.18, any
// byte above 0x7F, which it may read as a digit). For the builds without
// libsodium; the fuzzer holds the two to the same answers on ASCII text.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/Classes.h"

bool DecodeBase64(const AnsiString& text, std::vector<uint8_t>& bytes);
AnsiString EncodeBase64(const uint8_t* p, size_t n);
