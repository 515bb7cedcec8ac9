#include "EntryStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
const int64_t kWritebackEvery = 16 << 20;
const size_t kKeptBlock = 1 << 20;
}  // namespace

TEntryStream::TEntryStream(const AnsiString& target, bool inflate, bool hashed) {
    if (!inflate) return;
    FOutput = std::make_unique<TTempFile>(target);
    FInflate = std::make_unique<TGunzipStream>([this](const char* p, size_t n) { return Write(p, n); });
    if (hashed) FInflate->SkipChecks();
}

TEntryStream::~TEntryStream() {
    if (FFd >= 0) close(FFd);
}

bool TEntryStream::Write(const char* data, size_t n) {
    if (FFd < 0 || !FWriter->Write(data, n)) {
        FWriteFailed = true;
        if (FProblem.empty()) FProblem = "Cannot write file \"" + ShownPath(FOutput->Target()) + "\". " + strerror(errno);
        return false;
    }
    FWritten += static_cast<int64_t>(n);
    // The disk starts on large files as they grow, so that the flush before
    // update2.dat is saved finds little left to write.
    if ((FSinceWriteback += static_cast<int64_t>(n)) >= kWritebackEvery) {
        StartWriteback(FFd);
        FSinceWriteback = 0;
    }
    return true;
}

void TEntryStream::Begin(const AnsiString& kept, int64_t offset) {
    FBegun = true;
    FHash = std::make_unique<TSha256>();
    FWriteFailed = false;
    FProblem.clear();
    if (FInflate) {
        FInflate->Reset();
        if (FFd >= 0) close(FFd);
        FFd = OpenForWriting(FOutput->Path());
        FWriter = std::make_unique<TFileWriter>(FFd, 0, true);  // a temporary until it is complete
        FWritten = FSinceWriteback = 0;
        if (FFd < 0) {
            FWriteFailed = true;
            FProblem = "Cannot write file \"" + ShownPath(FOutput->Target()) + "\". " + strerror(errno);
        }
    }
    if (offset <= 0) return;
    int fd = OpenRegularForReading(kept);
    if (fd < 0) throw EInOutError("Cannot read file \"" + ShownPath(kept) + "\". " + strerror(errno));
    std::unique_ptr<char[]> buffer(new char[kKeptBlock]);
    for (int64_t left = offset; left > 0;) {
        ssize_t n = read(fd, buffer.get(), static_cast<size_t>(std::min<int64_t>(left, kKeptBlock)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            throw EInOutError("Cannot read file \"" + ShownPath(kept) + "\".");
        }
        Feed(buffer.get(), static_cast<size_t>(n));
        left -= n;
    }
    close(fd);
}

void TEntryStream::Feed(const char* data, size_t n) {
    if (!FBegun) Begin("", 0);  // a download that started at its first byte
    FHash->Update(data, n);
    if (FInflate && !FWriteFailed) FInflate->Feed(data, n);
}

bool TEntryStream::Finish() {
    if (!FBegun) Begin("", 0);
    if (!FInflate) return true;
    bool whole = !FWriteFailed && FInflate->Finish();
    if (FFd >= 0 && !FWriter->Finish() && whole) {
        whole = false;
        FWriteFailed = true;
        FProblem = "Cannot write file \"" + ShownPath(FOutput->Target()) + "\". " + strerror(errno);
    }
    if (!whole && FProblem.empty()) FProblem = "The gzip data " + FInflate->Problem() + ".";
    FWriteFailed = FWriteFailed || FInflate->WriteFailed();
    if (FFd >= 0 && close(FFd) != 0 && whole) {
        whole = false;
        FWriteFailed = true;
        FProblem = "Cannot write file \"" + ShownPath(FOutput->Target()) + "\". " + strerror(errno);
    }
    FFd = -1;
    return whole;
}

AnsiString TEntryStream::Digest() {
    if (!FBegun) Begin("", 0);
    return FHash->HexDigest();
}
