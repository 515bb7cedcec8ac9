// What every back end of TSha256 shares: files, bytes in memory, the text form.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "Sha256.h"
#include "platform/FileSystem.h"

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

bool IsSha256Text(const AnsiString& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}
