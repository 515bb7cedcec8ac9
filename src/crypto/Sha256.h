// SHA-256 through OpenSSL's EVP interface on Linux (libgcrypt's on Windows), which uses the CPU's SHA
// extensions where it has them (1.7 GB/s here against libsodium's 0.3 GB/s:
// bench/hash.cpp). Fed as data arrive.
#pragma once
#include "platform/Classes.h"

class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;
    void Update(const void* data, size_t n);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    AnsiString HexDigest();

private:
    void* FContext;  // the library's hashing state
};

// The SHA-256 of a whole file (native or system path as FileSystem takes
// them); raises EInOutError when it cannot be read.
AnsiString Sha256OfFile(const AnsiString& path);
// The SHA-256 of bytes in memory.
AnsiString Sha256Of(const AnsiString& bytes);
// The SHA-256 of bytes in memory, as its 32 raw bytes (one call, no
// context kept: the delta form hashes every chunk of a file).
void Sha256Raw(const void* data, size_t n, unsigned char digest[32]);
// True for 64 hex digits.
bool IsSha256Text(const AnsiString& text);
