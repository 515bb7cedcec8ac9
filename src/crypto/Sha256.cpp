#include "Sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/FileSystem.h"

TSha256::TSha256() {
    if (sodium_init() < 0) throw Exception("The cryptography library cannot be started");
    crypto_hash_sha256_init(&FState);
}

void TSha256::Update(const void* data, size_t n) {
    crypto_hash_sha256_update(&FState, static_cast<const unsigned char*>(data), n);
}

AnsiString TSha256::HexDigest() {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&FState, digest);
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

AnsiString Sha256OfFile(const AnsiString& path) {
    int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EInOutError("Cannot open file \"" + ShownPath(path) + "\". " + strerror(errno));
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { close(*f); });
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    TSha256 hash;
    for (;;) {
        ssize_t n = read(fd, buffer.get(), 1 << 20);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EInOutError("Cannot read file \"" + ShownPath(path) + "\". " + strerror(errno));
        if (n == 0) return hash.HexDigest();
        hash.Update(buffer.get(), static_cast<size_t>(n));
    }
}

bool IsSha256Text(const AnsiString& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}
