#include "Sha256.h"

#include <openssl/evp.h>

// FContext is an EVP_MD_CTX.
static EVP_MD_CTX* Context(void* c) { return static_cast<EVP_MD_CTX*>(c); }

TSha256::TSha256() : FContext(EVP_MD_CTX_new()) {
    if (!FContext || EVP_DigestInit_ex(Context(FContext), EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(Context(FContext));
        throw Exception("The cryptography library cannot be started");
    }
}

TSha256::~TSha256() { EVP_MD_CTX_free(Context(FContext)); }

void TSha256::Update(const void* data, size_t n) { EVP_DigestUpdate(Context(FContext), data, n); }

AnsiString TSha256::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(Context(FContext), digest, &size);
    static const char kHex[] = "0123456789abcdef";
    AnsiString hex;
    for (unsigned i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

void Sha256Raw(const void* data, size_t n, unsigned char digest[32]) {
    unsigned int size = 0;
    if (EVP_Digest(data, n, digest, &size, EVP_sha256(), nullptr) != 1 || size != 32)
        throw Exception("The cryptography library cannot hash");
}
