#include "FileWriter.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <vector>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "FileSystem.h"

namespace {
constexpr size_t kAlign = 4096;
constexpr size_t kBlock = 1 << 20;
// How far the size of a temporary runs ahead of its bytes.
constexpr int64_t kReserveAhead = 64 << 20;


// Contexts for background writes outlive their writers: destroying one
// waits for the kernel's grace period (tens of milliseconds at the end of
// every file). The program has one thread; a handful is the most it needs.
std::vector<aio_context_t>& IdleContexts() {
    static auto* idle = new std::vector<aio_context_t>;
    return *idle;
}

aio_context_t TakeContext(int depth) {
    if (!IdleContexts().empty()) {
        aio_context_t c = IdleContexts().back();
        IdleContexts().pop_back();
        return c;
    }
    aio_context_t c = 0;
    return syscall(SYS_io_setup, depth, &c) == 0 ? c : 0;
}

char* AlignedBlock() {
    void* block = nullptr;
    return posix_memalign(&block, kAlign, kBlock) == 0 ? static_cast<char*>(block) : nullptr;
}
}  // namespace

TFileWriter::TFileWriter(int fd, int64_t offset, bool temporary) : FFd(fd), FOffset(offset) {
    FBlock = FBlocks[0] = AlignedBlock();
    if (!temporary || !FBlock) return;
    for (int i = 1; i < kDepth; ++i)
        if (!(FBlocks[i] = AlignedBlock())) return;  // no background writes: one block is enough
    FContext = TakeContext(kDepth);
}

TFileWriter::~TFileWriter() {
    ReleaseContext();
    for (char* block : FBlocks) free(block);
}

// Waits for what is in flight (the kernel may still be reading the blocks)
// and keeps the context for the next writer; one that lost track of its
// requests is destroyed instead.
void TFileWriter::ReleaseContext() {
    if (!FContext) return;
    while (FInFlight > 0 && Reap(1)) {
    }
    if (FInFlight == 0) IdleContexts().push_back(FContext);
    else syscall(SYS_io_destroy, FContext);
    FContext = 0;
}

bool TFileWriter::Fail(int error) {
    if (!FError) FError = error;
    errno = error;
    return false;
}

bool TFileWriter::WriteBuffered(const char* data, size_t n) {
    if (FDirect) {
        fcntl(FFd, F_SETFL, fcntl(FFd, F_GETFL) & ~O_DIRECT);
        FDirect = false;
    }
    if (!WriteAllAt(FFd, data, n, FOffset)) return false;
    FOffset += static_cast<int64_t>(n);
    return true;
}

// `n` bytes of the block (a multiple of the alignment but at the very end),
// straight to the disk when it takes them, else through the page cache.
bool TFileWriter::WriteDirect(size_t n) {
    if (FCanDirect && !FDirect) FCanDirect = FDirect = fcntl(FFd, F_SETFL, fcntl(FFd, F_GETFL) | O_DIRECT) == 0;
    if (FDirect) {
        if (FContext && n == kBlock) return Submit(n);
        ssize_t w = pwrite(FFd, FBlock, n, FOffset);
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

// The block goes to the disk in the background; the next one to fill is
// the oldest, once its write is done.
bool TFileWriter::Submit(size_t n) {
    // Within the file's size, the file system writes in the background;
    // beyond it, the request would wait for the disk.
    if (FOffset + static_cast<int64_t>(n) > FReserved) {
        const int64_t from = std::max(FReserved, FOffset), to = FOffset + kReserveAhead;
        if (fallocate(FFd, 0, from, to - from) != 0) {
            if (errno == ENOSPC || errno == EDQUOT) return Fail(errno);
            ReleaseContext();  // no reserving here: write in the foreground
            return WriteDirect(n);
        }
        FReserved = to;
    }
    iocb& r = FRequests[FCurrent];
    memset(&r, 0, sizeof r);
    r.aio_data = static_cast<uint64_t>(FCurrent);
    r.aio_fildes = static_cast<uint32_t>(FFd);
    r.aio_lio_opcode = IOCB_CMD_PWRITE;
    r.aio_buf = reinterpret_cast<uint64_t>(FBlock);
    r.aio_nbytes = n;
    r.aio_offset = FOffset;
    iocb* request = &r;
    if (syscall(SYS_io_submit, FContext, 1, &request) != 1) {
        // Not taken (no room in the kernel's queue, say): in the foreground.
        ssize_t w = pwrite(FFd, FBlock, n, FOffset);
        if (w != static_cast<ssize_t>(n)) return Fail(w < 0 ? errno : ENOSPC);
    } else {
        FBusy[FCurrent] = true;
        ++FInFlight;
    }
    FOffset += static_cast<int64_t>(n);
    FCurrent = (FCurrent + 1) % kDepth;
    FBlock = FBlocks[FCurrent];
    while (FBusy[FCurrent])
        if (!Reap(1)) return false;
    return FError == 0 || Fail(FError);
}

// Collects finished background writes (at least `atLeast`, waiting for
// them); a failed one is kept in FError.
bool TFileWriter::Reap(long atLeast) {
    io_event events[kDepth];
    long got;
    do got = syscall(SYS_io_getevents, FContext, atLeast, kDepth, events, nullptr);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        FInFlight = 0;  // the context is gone: nothing more will come back
        std::fill(std::begin(FBusy), std::end(FBusy), false);
        return Fail(errno);
    }
    for (long i = 0; i < got; ++i) {
        const int k = static_cast<int>(events[i].data);
        const iocb& r = FRequests[k];
        FBusy[k] = false;
        --FInFlight;
        if (events[i].res == static_cast<int64_t>(r.aio_nbytes)) continue;
        if (events[i].res == -EINVAL && !FError) {
            // No direct writes here after all: this block again, through the
            // page cache, and the rest too.
            FCanDirect = false;
            if (FDirect) fcntl(FFd, F_SETFL, fcntl(FFd, F_GETFL) & ~O_DIRECT), FDirect = false;
            if (WriteAllAt(FFd, reinterpret_cast<const char*>(r.aio_buf), r.aio_nbytes, r.aio_offset)) continue;
            Fail(errno);
        } else {
            Fail(events[i].res < 0 ? static_cast<int>(-events[i].res) : ENOSPC);
        }
    }
    return true;
}

bool TFileWriter::Write(const char* data, size_t n) {
    if (FError) return Fail(FError);
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
    bool ok = true;
    if (FBlock && FHeld > 0 && !FError) {
        // Whole aligned blocks directly; the rest through the page cache.
        const size_t aligned = FHeld / kAlign * kAlign, tail = FHeld - aligned;
        ok = (aligned == 0 || WriteDirect(aligned)) && WriteBuffered(FBlock + aligned, tail);
    }
    FHeld = 0;
    while (FInFlight > 0 && Reap(1)) {
    }
    const int error = FError ? FError : ok ? 0 : errno;
    // The size that ran ahead comes back to the bytes.
    if (FReserved > FOffset && ftruncate(FFd, FOffset) != 0 && ok) ok = false;
    FReserved = 0;
    lseek(FFd, FOffset, SEEK_SET);
    if (FError) ok = false;
    if (!ok) errno = error ? error : EIO;
    return ok;
}
