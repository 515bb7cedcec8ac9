// Primitives.h through libgcrypt (the Windows build: Debian has no Windows
// libsodium). Ed25519 as RFC 8032 EdDSA, BLAKE2b and scrypt are
// libgcrypt's; base64 is Base64.cpp.
#include <gcrypt.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "Base64.h"
#include "GcryptStart.h"
#include "Minisign.h"
#include "Primitives.h"

void StartGcrypt() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        if (!gcry_check_version(GCRYPT_VERSION)) return;
        // No secure memory pool: it needs privileges to lock pages, and the
        // keys are wiped by us where they are held.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        started = true;
    });
    if (!started) throw Exception("The cryptography library cannot be started");
}

namespace crypto_primitives {

namespace {

struct SexpFree {
    void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
using Sexp = std::unique_ptr<gcry_sexp, SexpFree>;

Sexp PublicKey(const uint8_t publicKey[32]) {
    gcry_sexp_t s = nullptr;
    gcry_sexp_build(&s, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))", 32, publicKey);
    return Sexp(s);
}

Sexp Message(const uint8_t* message, size_t n) {
    gcry_sexp_t s = nullptr;
    gcry_sexp_build(&s, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))", static_cast<int>(n), message);
    return Sexp(s);
}

// The 32 bytes of an element of a result, or false.
bool Field(gcry_sexp_t from, const char* name, uint8_t out[32]) {
    Sexp token(gcry_sexp_find_token(from, name, 0));
    if (!token) return false;
    size_t n = 0;
    const char* data = gcry_sexp_nth_data(token.get(), 1, &n);
    if (!data || n != 32) return false;
    memcpy(out, data, 32);
    return true;
}

[[noreturn]] void Broken(const char* what) {
    throw ESignatureError(AnsiString("The cryptography library cannot ") + what);
}

}  // namespace

void Start() {
    try {
        StartGcrypt();
    } catch (const Exception& e) {
        throw ESignatureError(e.Message);
    }
}

bool FromBase64(const AnsiString& text, std::vector<uint8_t>& bytes) { return DecodeBase64(text, bytes); }

AnsiString ToBase64(const uint8_t* p, size_t n) { return EncodeBase64(p, n); }

void Blake2b(uint8_t* out, size_t outSize, std::initializer_list<TPiece> pieces) {
    StartGcrypt();
    gcry_md_hd_t h = nullptr;
    const int algorithm = outSize == 32 ? GCRY_MD_BLAKE2B_256 : GCRY_MD_BLAKE2B_512;
    if ((outSize != 32 && outSize != 64) || gcry_md_open(&h, algorithm, 0) != 0) Broken("hash");
    for (const TPiece& piece : pieces) gcry_md_write(h, piece.Data, piece.Size);
    memcpy(out, gcry_md_read(h, algorithm), outSize);
    gcry_md_close(h);
}

bool Ed25519Verify(const uint8_t signature[64], const uint8_t* message, size_t n, const uint8_t publicKey[32]) {
    StartGcrypt();
    gcry_sexp_t s = nullptr;
    gcry_sexp_build(&s, nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature, 32, signature + 32);
    Sexp sig(s), key = PublicKey(publicKey), data = Message(message, n);
    return sig && key && data && gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

void Ed25519Sign(uint8_t signature[64], const uint8_t* message, size_t n, const uint8_t secretKey[64]) {
    StartGcrypt();
    gcry_sexp_t s = nullptr;
    gcry_sexp_build(&s, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))", 32, secretKey + 32, 32,
                    secretKey);
    Sexp key(s), data = Message(message, n);
    gcry_sexp_t result = nullptr;
    if (!key || !data || gcry_pk_sign(&result, data.get(), key.get()) != 0) Broken("sign");
    Sexp signed_(result);
    if (!Field(result, "r", signature) || !Field(result, "s", signature + 32)) Broken("sign");
}

void Ed25519SeedKeyPair(uint8_t publicKey[32], uint8_t secretKey[64], const uint8_t seed[32]) {
    StartGcrypt();
    gcry_sexp_t s = nullptr;
    gcry_sexp_build(&s, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))", 32, seed);
    Sexp key(s);
    gcry_ctx_t ctx = nullptr;
    if (!key || gcry_mpi_ec_new(&ctx, key.get(), nullptr) != 0) Broken("derive a key");
    gcry_mpi_t q = gcry_mpi_ec_get_mpi("q@eddsa", ctx, 1);
    unsigned bits = 0;
    const void* point = q ? gcry_mpi_get_opaque(q, &bits) : nullptr;
    const bool whole = point && bits == 256;
    if (whole) memcpy(publicKey, point, 32);
    gcry_mpi_release(q);
    gcry_ctx_release(ctx);
    if (!whole) Broken("derive a key");
    memcpy(secretKey, seed, 32);
    memcpy(secretKey + 32, publicKey, 32);
}

void Ed25519NewKeyPair(uint8_t publicKey[32], uint8_t secretKey[64]) {
    uint8_t seed[32];
    RandomBytes(seed, sizeof seed);
    Ed25519SeedKeyPair(publicKey, secretKey, seed);
    Wipe(seed, sizeof seed);
}

bool Scrypt(uint8_t* out, size_t n, const AnsiString& password, const uint8_t salt[32], uint64_t opsLimit,
            uint64_t memLimit) {
    StartGcrypt();
    // libsodium's rule (pickparams) from the two limits to N, r = 8 and p,
    // so that a key made by minisign opens here too.
    if (opsLimit < 32768) opsLimit = 32768;
    const uint64_t r = 8;
    unsigned log2N = 1;
    uint64_t p = 1;
    if (opsLimit < memLimit / 32) {
        const uint64_t maxN = opsLimit / (r * 4);
        for (; log2N < 63; ++log2N)
            if (uint64_t(1) << log2N > maxN / 2) break;
    } else {
        const uint64_t maxN = memLimit / (r * 128);
        for (; log2N < 63; ++log2N)
            if (uint64_t(1) << log2N > maxN / 2) break;
        uint64_t maxrp = (opsLimit / 4) / (uint64_t(1) << log2N);
        if (maxrp > 0x3fffffff) maxrp = 0x3fffffff;
        p = maxrp / r;
    }
    // libgcrypt's scrypt takes N as the sub-algorithm and p as the
    // iterations, with r fixed at 8.
    if (log2N > 30 || p == 0) return false;
    return gcry_kdf_derive(password.data(), password.size(), GCRY_KDF_SCRYPT, 1 << log2N, salt, 32,
                           static_cast<unsigned long>(p), n, out) == 0;
}

void RandomBytes(uint8_t* p, size_t n) {
    StartGcrypt();
    gcry_randomize(p, n, GCRY_STRONG_RANDOM);
}

void Wipe(void* p, size_t n) {
    volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
    while (n--) *v++ = 0;
}

bool EqualInConstantTime(const void* a, const void* b, size_t n) {
    const uint8_t *x = static_cast<const uint8_t*>(a), *y = static_cast<const uint8_t*>(b);
    uint8_t d = 0;
    for (size_t i = 0; i < n; ++i) d |= x[i] ^ y[i];
    return d == 0;
}

}  // namespace crypto_primitives
