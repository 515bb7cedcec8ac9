// Writing a large file in big aligned blocks straight to the disk (O_DIRECT)
// where the file system allows it, through the page cache where it does not.
// Copying a gibibyte into the page cache costs seconds of CPU on some
// machines, more than the download itself; a direct write costs almost
// none, and the flush before update2.dat is saved then finds nothing left.
// The bytes of the last, unaligned block go through the page cache at
// Finish, so the file always ends with every byte written to it.
//
// A direct write waits for the disk. For a temporary (a file nobody reads
// before it is complete and renamed), the blocks go to the disk in the
// background instead, through the kernel's asynchronous I/O, a few in
// flight while the next is filled: the file's size runs ahead of its bytes
// meanwhile (the file system only writes in the background within it) and
// is cut back to the bytes at Finish. No thread of our own is involved.
//
// On Windows (win32/FileWriter.cpp) the same interface writes through the
// system's cache in blocks of a mebibyte: its lazy writer does what the
// page cache needs direct writes for here.
#pragma once
#ifndef _WIN32
#include <linux/aio_abi.h>
#endif

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Classes.h"

class TFileWriter {
public:
    // `fd` stays the caller's; writing starts at `offset`, where fd stands,
    // and fd stands after the last byte once Finish returns. `temporary`:
    // the file's size may run ahead of its bytes until Finish.
    TFileWriter(int fd, int64_t offset, bool temporary = false);
    ~TFileWriter();
    TFileWriter(const TFileWriter&) = delete;
    TFileWriter& operator=(const TFileWriter&) = delete;
    // False with errno set when the disk refused (a background write that
    // failed is told by the next call).
    bool Write(const char* data, size_t n);
    // Writes what is held back and waits for what is in flight; call it
    // before closing, after a failure too.
    bool Finish();

private:
#ifdef _WIN32
    bool Flush();
    int FFd;
    int64_t FOffset;
    char* FBlock = nullptr;
    size_t FHeld = 0;
    int FError = 0;
#else
    static constexpr int kDepth = 4;  // blocks: one filling, the rest in flight
    bool WriteDirect(size_t n);
    bool WriteBuffered(const char* data, size_t n);
    bool Submit(size_t n);
    bool Reap(long atLeast);
    void ReleaseContext();
    bool Fail(int error);
    int FFd;
    int64_t FOffset;
    bool FDirect = false, FCanDirect = true;
    char* FBlocks[kDepth] = {};
    char* FBlock = nullptr;  // the one being filled
    int FCurrent = 0;
    size_t FHeld = 0;
    // Background writes: the context, each block's request and whether it
    // is still in flight, and how far the file's size runs ahead.
    aio_context_t FContext = 0;
    iocb FRequests[kDepth] = {};
    bool FBusy[kDepth] = {};
    int FInFlight = 0;
    int64_t FReserved = 0;
    int FError = 0;  // of a background write
#endif
};

// A download's file: opened new (or keeping its first `keep` bytes, for a
// transfer that goes on where an earlier one stopped), written through a
// TFileWriter, closed at the end. Failures are EInOutError naming the file.
class TOutputFile {
public:
    explicit TOutputFile(const AnsiString& path) : FPath(path) {}
    ~TOutputFile() { Close(); }
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;
    void Open(int64_t keep);
    void Write(const char* p, size_t n);
    // What arrived stays, for a download that goes on from it; with `check`
    // a write or close that failed raises.
    void Close(bool check = false);

private:
    [[noreturn]] void Fail() const;
    AnsiString FPath;
    int FFd = -1;
    std::unique_ptr<TFileWriter> FWriter;
};
