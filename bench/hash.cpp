// SHA-256 throughput of the four well-kept libraries on this machine
// (libgcrypt is the Windows build's), over
// 256 MiB in 1 MiB blocks (the size the updater and the publisher feed), and
// of the project's TSha256, beside sha256sum on the same bytes. The project
// uses the fastest; run it again on a new kind of machine.
#include <gcrypt.h>
#include <nettle/sha2.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "crypto/Sha256.h"

namespace {

const size_t kBlock = 1 << 20, kTotal = 256u << 20;

template <typename Feed>
double MiBPerSecond(const std::vector<unsigned char>& block, Feed feed) {
    double t0 = bench::Now();
    for (size_t done = 0; done < kTotal; done += kBlock) feed(block.data(), kBlock);
    return (kTotal >> 20) / (bench::Now() - t0);
}

}  // namespace

int main() {
    std::vector<unsigned char> block(kBlock);
    for (size_t i = 0; i < kBlock; ++i) block[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    if (sodium_init() < 0) return 1;

    crypto_hash_sha256_state sodium;
    crypto_hash_sha256_init(&sodium);
    double s = MiBPerSecond(block, [&](const unsigned char* p, size_t n) { crypto_hash_sha256_update(&sodium, p, n); });

    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    double o = MiBPerSecond(block, [&](const unsigned char* p, size_t n) { EVP_DigestUpdate(ctx, p, n); });
    EVP_MD_CTX_free(ctx);

    sha256_ctx nettle;
    sha256_init(&nettle);
    double n = MiBPerSecond(block, [&](const unsigned char* p, size_t len) { sha256_update(&nettle, len, p); });

    if (!gcry_check_version(nullptr)) return 1;
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    gcry_md_hd_t gcrypt = nullptr;
    gcry_md_open(&gcrypt, GCRY_MD_SHA256, 0);
    double g = MiBPerSecond(block, [&](const unsigned char* p, size_t len) { gcry_md_write(gcrypt, p, len); });
    gcry_md_close(gcrypt);

    TSha256 ours;
    double t = MiBPerSecond(block, [&](const unsigned char* p, size_t len) { ours.Update(p, len); });

    // The same bytes through sha256sum, from a file in the page cache.
    const std::string file = "/tmp/skiff-bench-hash.bin";
    FILE* f = fopen(file.c_str(), "wb");
    for (size_t done = 0; done < kTotal; done += kBlock) fwrite(block.data(), 1, kBlock, f);
    fclose(f);
    (void)!system(("cat " + file + " > /dev/null").c_str());
    double t0 = bench::Now();
    (void)!system(("sha256sum " + file + " > /dev/null").c_str());
    double c = (kTotal >> 20) / (bench::Now() - t0);
    t0 = bench::Now();
    Sha256OfFile(file);
    double tf = (kTotal >> 20) / (bench::Now() - t0);
    remove(file.c_str());

    printf("SHA-256 over 256 MiB in 1 MiB blocks, MiB/s:\n");
    printf("  libsodium          %7.0f\n  OpenSSL EVP        %7.0f\n  Nettle             %7.0f\n", s, o, n);
    printf("  libgcrypt          %7.0f\n", g);
    printf("  TSha256 (ours)     %7.0f\n  Sha256OfFile       %7.0f   sha256sum %7.0f\n", t, tf, c);
    return 0;
}
