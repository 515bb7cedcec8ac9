// TFileWriter on Windows: bytes gathered into blocks of a mebibyte and
// written at their offsets through the system's cache (WriteAllAt), whose
// lazy writer puts them on the disk in the background. There is no size
// to reserve ahead and nothing in flight to wait for at Finish.
#include "FileWriter.h"

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileSystem.h"

namespace {
constexpr size_t kBlock = 1 << 20;
}  // namespace

TFileWriter::TFileWriter(int fd, int64_t offset, bool /*temporary*/)
    : FFd(fd), FOffset(offset), FBlock(new (std::nothrow) char[kBlock]) {}

TFileWriter::~TFileWriter() { delete[] FBlock; }

bool TFileWriter::Flush() {
    if (FHeld == 0) return true;
    if (!WriteAllAt(FFd, FBlock, FHeld, FOffset)) {
        FError = errno;
        return false;
    }
    FOffset += static_cast<int64_t>(FHeld);
    FHeld = 0;
    return true;
}

bool TFileWriter::Write(const char* data, size_t n) {
    if (FError) return errno = FError, false;
    if (!FBlock) {  // no memory for a block: straight through
        if (!WriteAllAt(FFd, data, n, FOffset)) return FError = errno, false;
        FOffset += static_cast<int64_t>(n);
        return true;
    }
    while (n > 0) {
        const size_t room = std::min(n, kBlock - FHeld);
        memcpy(FBlock + FHeld, data, room);
        FHeld += room, data += room, n -= room;
        if (FHeld == kBlock && !Flush()) return false;
    }
    return true;
}

bool TFileWriter::Finish() {
    const bool ok = !FError && Flush();
    FHeld = 0;
    _lseeki64(FFd, FOffset, SEEK_SET);
    if (!ok) errno = FError ? FError : EIO;
    return ok;
}
