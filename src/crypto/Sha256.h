// SHA-256 through libsodium, fed as data arrive.
#pragma once
#include <sodium.h>

#include "platform/Classes.h"

class TSha256 {
public:
    TSha256();
    void Update(const void* data, size_t n);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    AnsiString HexDigest();

private:
    crypto_hash_sha256_state FState;
};

// The SHA-256 of a whole file (native or system path as FileSystem takes
// them); raises EInOutError when it cannot be read.
AnsiString Sha256OfFile(const AnsiString& path);
// True for 64 hex digits.
bool IsSha256Text(const AnsiString& text);
