// The cryptographic operations that minisign's formats need, apart from the
// formats themselves (Minisign.cpp): libsodium's on Linux
// (SodiumPrimitives.cpp), libgcrypt's on Windows (GcryptPrimitives.cpp).
// Keys are libsodium's layout: a secret key is the 32-byte seed followed
// by the 32-byte public key.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/Classes.h"

namespace crypto_primitives {

// Raises ESignatureError when the library cannot start.
void Start();
// Strict base64 (the original alphabet, with padding); false on anything else.
bool FromBase64(const AnsiString& text, std::vector<uint8_t>& bytes);
AnsiString ToBase64(const uint8_t* p, size_t n);

// Unkeyed BLAKE2b with an output of `outSize` bytes (32 or 64), over the
// pieces in turn.
struct TPiece {
    const void* Data;
    size_t Size;
};
void Blake2b(uint8_t* out, size_t outSize, std::initializer_list<TPiece> pieces);

bool Ed25519Verify(const uint8_t signature[64], const uint8_t* message, size_t n, const uint8_t publicKey[32]);
void Ed25519Sign(uint8_t signature[64], const uint8_t* message, size_t n, const uint8_t secretKey[64]);
// The key pair of a seed, and a new random one.
void Ed25519SeedKeyPair(uint8_t publicKey[32], uint8_t secretKey[64], const uint8_t seed[32]);
void Ed25519NewKeyPair(uint8_t publicKey[32], uint8_t secretKey[64]);

// libsodium's scrypt (crypto_pwhash_scryptsalsa208sha256): the costs as
// opslimit and memlimit, turned into N, r and p by libsodium's rule.
const uint64_t kScryptOpsLimitSensitive = 33554432;
const uint64_t kScryptMemLimitSensitive = 1073741824;
bool Scrypt(uint8_t* out, size_t n, const AnsiString& password, const uint8_t salt[32], uint64_t opsLimit,
            uint64_t memLimit);

void RandomBytes(uint8_t* p, size_t n);
void Wipe(void* p, size_t n);
bool EqualInConstantTime(const void* a, const void* b, size_t n);

}  // namespace crypto_primitives
