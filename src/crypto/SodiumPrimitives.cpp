#include "Primitives.h"

#include <sodium.h>

#include "Minisign.h"

namespace crypto_primitives {

static_assert(kScryptOpsLimitSensitive == crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE, "libsodium's limit");
static_assert(kScryptMemLimitSensitive == crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE, "libsodium's limit");

void Start() {
    if (sodium_init() < 0) throw ESignatureError("The cryptography library cannot be started");
}

bool FromBase64(const AnsiString& text, std::vector<uint8_t>& bytes) {
    bytes.resize(text.size());
    size_t n = 0;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &n, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    bytes.resize(n);
    return true;
}

AnsiString ToBase64(const uint8_t* p, size_t n) {
    std::vector<char> out(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(out.data(), out.size(), p, n, sodium_base64_VARIANT_ORIGINAL);
    return out.data();
}

void Blake2b(uint8_t* out, size_t outSize, std::initializer_list<TPiece> pieces) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, outSize);
    for (const TPiece& piece : pieces)
        crypto_generichash_update(&state, static_cast<const uint8_t*>(piece.Data), piece.Size);
    crypto_generichash_final(&state, out, outSize);
}

bool Ed25519Verify(const uint8_t signature[64], const uint8_t* message, size_t n, const uint8_t publicKey[32]) {
    return crypto_sign_verify_detached(signature, message, n, publicKey) == 0;
}

void Ed25519Sign(uint8_t signature[64], const uint8_t* message, size_t n, const uint8_t secretKey[64]) {
    crypto_sign_detached(signature, nullptr, message, n, secretKey);
}

void Ed25519SeedKeyPair(uint8_t publicKey[32], uint8_t secretKey[64], const uint8_t seed[32]) {
    crypto_sign_seed_keypair(publicKey, secretKey, seed);
}

void Ed25519NewKeyPair(uint8_t publicKey[32], uint8_t secretKey[64]) { crypto_sign_keypair(publicKey, secretKey); }

bool Scrypt(uint8_t* out, size_t n, const AnsiString& password, const uint8_t salt[32], uint64_t opsLimit,
            uint64_t memLimit) {
    return crypto_pwhash_scryptsalsa208sha256(out, n, password.data(), password.size(), salt, opsLimit,
                                              static_cast<size_t>(memLimit)) == 0;
}

void RandomBytes(uint8_t* p, size_t n) { randombytes_buf(p, n); }
void Wipe(void* p, size_t n) { sodium_memzero(p, n); }
bool EqualInConstantTime(const void* a, const void* b, size_t n) { return sodium_memcmp(a, b, n) == 0; }

}  // namespace crypto_primitives
