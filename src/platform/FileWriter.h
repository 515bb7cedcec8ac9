// Writing a large file in big aligned blocks straight to the disk (O_DIRECT)
// where the file system allows it, through the page cache where it does not.
// Copying a gibibyte into the page cache costs seconds of CPU on some
// machines, more than the download itself; a direct write costs almost
// none, and the flush before update2.dat is saved then finds nothing left.
// The bytes of the last, unaligned block go through the page cache at
// Finish, so the file always ends with every byte written to it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

class TFileWriter {
public:
    // `fd` stays the caller's; writing starts at `offset`, where fd stands.
    TFileWriter(int fd, int64_t offset);
    ~TFileWriter();
    TFileWriter(const TFileWriter&) = delete;
    TFileWriter& operator=(const TFileWriter&) = delete;
    // False with errno set when the disk refused.
    bool Write(const char* data, size_t n);
    // Writes what is held back; call it before closing, after a failure too.
    bool Finish();

private:
    bool WriteDirect(size_t n);
    bool WriteBuffered(const char* data, size_t n);
    int FFd;
    int64_t FOffset;
    bool FDirect = false, FCanDirect = true;
    char* FBlock = nullptr;
    size_t FHeld = 0;
};
