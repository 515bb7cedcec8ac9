// The Windows build's SHA-256 (libgcrypt behind TSha256) and minisign check
// under Wine, over the same 256 MiB in 1 MiB blocks as bench/hash.cpp, so
// that the two print figures for the same bytes: run
//   scripts/build windows bench_hash_windows
//   scripts/wine-run build-win/wine-prefix --fresh
//   scripts/wine-run build-win/wine-prefix build-win/bench_hash_windows.exe
#include <chrono>
#include <cstdio>
#include <vector>

#include "crypto/Minisign.h"
#include "crypto/Sha256.h"

namespace {

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

const size_t kBlock = 1 << 20, kTotal = 256u << 20;

}  // namespace

int main() {
    std::vector<unsigned char> block(kBlock);
    for (size_t i = 0; i < kBlock; ++i) block[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    TSha256 ours;
    double t0 = Now();
    for (size_t done = 0; done < kTotal; done += kBlock) ours.Update(block.data(), kBlock);
    const double sha = (kTotal >> 20) / (Now() - t0);

    // A signed list of 64 MiB: the BLAKE2b prehash dominates.
    TSecretKey key;
    GenerateKey(key);
    const AnsiString list(64u << 20, 'x');
    const TSignature signature = ParseSignature(SignMessage(key, list, "serial:1"));
    const TPublicKey pub = ParsePublicKey(PublicKeyText(key));
    t0 = Now();
    VerifySignature(signature, pub, list);
    const double check = 64 / (Now() - t0);
    printf("Windows build (libgcrypt), MiB/s:\n  TSha256            %7.0f\n  VerifySignature    %7.0f (64 MiB list)\n",
           sha, check);
    return 0;
}
