#include "Gzip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <memory>

#include "GunzipStream.h"
#include "platform/Dialogs.h"
#include "platform/FileSystem.h"

namespace {
constexpr size_t kBlock = 16384;
}

TGzip::TGzip(TComponent* AOwner) : TComponent(AOwner) {}

void TGzip::NotifyProgress() {
    if (OnProgress) OnProgress(this);
}

void TGzip::ShowError(const AnsiString& text) {
    if (WindowOnError) ShowErrorAbortDialog(text);
}

uint8_t TGzip::Copy(int source, int dest, uint64_t sourceSize) {
    ProgressPercent = 0;
    uint64_t total = 0;
    std::function<void(size_t)> progress;
    if (ProgressStep > 0) {
        NotifyProgress();
        progress = [&](size_t n) {
            total += n;
            double percent = sourceSize ? static_cast<double>(total) / sourceSize * 100 : 100;
            if (percent >= ProgressPercent + ProgressStep || total == sourceSize) {
                ProgressPercent = static_cast<int>(percent);
                NotifyProgress();
            }
        };
    }
    TGunzipStream stream([dest](const char* p, size_t n) { return WriteAllBytes(dest, p, n); });
    // Reads of 16 KiB give progress its steps; without it, fewer and larger.
    uint8_t result = ResultOk;
    if (!stream.FeedFile(source, progress ? kBlock : kBlock * 4, progress))
        result = stream.WriteFailed() ? ResultWriteFailed : ResultCorruptSource;
    if (close(dest) != 0) {
        ShowError("Can't close file.");
        if (result == ResultOk) result = ResultWriteFailed;
    }
    return result;
}

uint8_t TGzip::Decompress() {
    int64_t sourceSize = FileSizeOf(FileSource);
    int source = OpenRegularForReading(FileSource);
    if (source < 0 || sourceSize < 0) {
        if (source >= 0) close(source);
        ShowError("Can't open: " + FileSource);
        return ResultCannotOpen;
    }
    int dest = OpenForWriting(FileDestination);
    if (dest < 0) {
        ShowError("Can't create: " + FileDestination);
        close(source);
        return ResultCannotCreate;
    }
    uint8_t result = Copy(source, dest, static_cast<uint64_t>(sourceSize));
    close(source);
    if (DeleteSource && result == ResultOk) DeleteFile(FileSource);
    return result;
}

uint8_t TGzip::Compress() {
    int src = OpenRegularForReading(FileSource);
    if (src < 0) {
        ShowError("Can't open: " + FileSource);
        return ResultCannotOpen;
    }
    static const char strategies[] = {'\0', 'f', 'h'};
    AnsiString mode = "wb" + IntToStr(CompressionLevel < 1 ? 1 : CompressionLevel > 9 ? 9 : CompressionLevel);
    if (strategies[CompressionType]) mode += strategies[CompressionType];
    // Through FileSystem's door (never through a link, any folder name on
    // Windows), then handed to zlib, whose gzclose closes it.
    const int dest = OpenForWriting(FileDestination);
    gzFile gz = dest >= 0 ? gzdopen(dest, mode.c_str()) : nullptr;
    if (!gz) {
        if (dest >= 0) close(dest);
        close(src);
        ShowError("Can't create: " + FileDestination);
        return ResultCannotCreate;
    }
    gzbuffer(gz, 1 << 17);
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    uint8_t result = ResultOk;
    for (;;) {
        ssize_t n = read(src, buffer.get(), kBlock);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) { result = ResultCannotOpen; break; }
        if (n == 0) break;
        if (gzwrite(gz, buffer.get(), static_cast<unsigned>(n)) != n) { result = ResultWriteFailed; break; }
    }
    close(src);
    if (gzclose(gz) != Z_OK && result == ResultOk) result = ResultWriteFailed;
    if (DeleteSource && result == ResultOk) DeleteFile(FileSource);
    return result;
}
