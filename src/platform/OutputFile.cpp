// TOutputFile: a download's file through whichever TFileWriter the
// platform has.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FileSystem.h"
#include "FileWriter.h"

void TOutputFile::Open(int64_t keep) {
    FFd = keep > 0 ? OpenForAppending(FPath, keep) : OpenForWriting(FPath);
    if (FFd < 0) throw EInOutError("Cannot create file \"" + ShownPath(FPath) + "\". " + strerror(errno));
    FWriter = std::make_unique<TFileWriter>(FFd, keep);
}

void TOutputFile::Write(const char* p, size_t n) {
    if (!FWriter || !FWriter->Write(p, n)) Fail();
}

void TOutputFile::Close(bool check) {
    if (FFd < 0) return;
    const bool written = FWriter->Finish();
    FWriter.reset();
    const bool closed = close(FFd) == 0;
    FFd = -1;
    if (check && (!written || !closed)) Fail();
}

void TOutputFile::Fail() const {
    throw EInOutError("Cannot write file \"" + ShownPath(FPath) + "\". " + strerror(errno));
}
