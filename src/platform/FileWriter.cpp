#include "FileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "FileSystem.h"

namespace {
constexpr size_t kAlign = 4096;
constexpr size_t kBlock = 1 << 20;
}  // namespace

TFileWriter::TFileWriter(int fd, int64_t offset) : FFd(fd), FOffset(offset) {
    void* block = nullptr;
    if (posix_memalign(&block, kAlign, kBlock) == 0) FBlock = static_cast<char*>(block);
}

TFileWriter::~TFileWriter() { free(FBlock); }

bool TFileWriter::WriteBuffered(const char* data, size_t n) {
    if (FDirect) {
        fcntl(FFd, F_SETFL, fcntl(FFd, F_GETFL) & ~O_DIRECT);
        FDirect = false;
    }
    if (!WriteAllBytes(FFd, data, n)) return false;
    FOffset += static_cast<int64_t>(n);
    return true;
}

// `n` bytes of the block (a multiple of the alignment but at the very end),
// straight to the disk when it takes them, else through the page cache.
bool TFileWriter::WriteDirect(size_t n) {
    if (FCanDirect && !FDirect) FCanDirect = FDirect = fcntl(FFd, F_SETFL, fcntl(FFd, F_GETFL) | O_DIRECT) == 0;
    if (FDirect) {
        ssize_t w = write(FFd, FBlock, n);
        if (w == static_cast<ssize_t>(n)) {
            FOffset += w;
            return true;
        }
        if (w >= 0 || errno != EINVAL) {  // a short write (a full disk) is a failure
            if (w >= 0) errno = ENOSPC;
            return false;
        }
        FCanDirect = false;  // the file system takes no direct writes
    }
    return WriteBuffered(FBlock, n);
}

bool TFileWriter::Write(const char* data, size_t n) {
    if (!FBlock) return WriteBuffered(data, n);
    while (n > 0) {
        // Up to an aligned offset through the page cache, then in blocks.
        if (FHeld == 0 && FOffset % kAlign != 0) {
            size_t head = std::min<size_t>(n, kAlign - static_cast<size_t>(FOffset % kAlign));
            if (!WriteBuffered(data, head)) return false;
            data += head, n -= head;
            continue;
        }
        size_t room = std::min(n, kBlock - FHeld);
        memcpy(FBlock + FHeld, data, room);
        FHeld += room, data += room, n -= room;
        if (FHeld == kBlock) {
            if (!WriteDirect(FHeld)) return false;
            FHeld = 0;
        }
    }
    return true;
}

bool TFileWriter::Finish() {
    if (!FBlock || FHeld == 0) return true;
    // Whole aligned blocks directly; the rest through the page cache.
    const size_t aligned = FHeld / kAlign * kAlign, tail = FHeld - aligned;
    if (aligned > 0 && !WriteDirect(aligned)) return false;
    bool ok = WriteBuffered(FBlock + aligned, tail);
    FHeld = 0;
    return ok;
}
