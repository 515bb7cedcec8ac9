// TSha256 through libgcrypt (the Windows build), which uses the CPU's SHA
// extensions where it has them.
#include <gcrypt.h>

#include "GcryptStart.h"
#include "Sha256.h"

static gcry_md_hd_t Handle(void* c) { return static_cast<gcry_md_hd_t>(c); }

TSha256::TSha256() : FContext(nullptr) {
    StartGcrypt();
    gcry_md_hd_t h = nullptr;
    if (gcry_md_open(&h, GCRY_MD_SHA256, 0) != 0) throw Exception("The cryptography library cannot be started");
    FContext = h;
}

TSha256::~TSha256() { gcry_md_close(Handle(FContext)); }

void TSha256::Update(const void* data, size_t n) { gcry_md_write(Handle(FContext), data, n); }

AnsiString TSha256::HexDigest() {
    const unsigned char* digest = gcry_md_read(Handle(FContext), GCRY_MD_SHA256);
    static const char kHex[] = "0123456789abcdef";
    AnsiString hex;
    for (unsigned i = 0; i < 32; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

void Sha256Raw(const void* data, size_t n, unsigned char digest[32]) {
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest, data, n);
}
