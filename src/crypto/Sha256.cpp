#include "Sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/FileSystem.h"

TSha256::TSha256() : FContext(EVP_MD_CTX_new()) {
    if (!FContext || EVP_DigestInit_ex(FContext, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(FContext);
        throw Exception("The cryptography library cannot be started");
    }
}

TSha256::~TSha256() { EVP_MD_CTX_free(FContext); }

void TSha256::Update(const void* data, size_t n) { EVP_DigestUpdate(FContext, data, n); }

AnsiString TSha256::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(FContext, digest, &size);
    static const char kHex[] = "0123456789abcdef";
    AnsiString hex;
    for (unsigned i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

AnsiString Sha256OfFile(const AnsiString& path) {
    int fd = OpenRegularForReading(path);
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

AnsiString Sha256Of(const AnsiString& bytes) {
    TSha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.HexDigest();
}

void Sha256Raw(const void* data, size_t n, unsigned char digest[32]) {
    unsigned int size = 0;
    if (EVP_Digest(data, n, digest, &size, EVP_sha256(), nullptr) != 1 || size != 32)
        throw Exception("The cryptography library cannot hash");
}

bool IsSha256Text(const AnsiString& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}
