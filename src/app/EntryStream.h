// The bytes of one entry on their way in: hashed as they arrive and, for
// gzip entries ("E" files and "C" packs), inflated straight into a temporary
// beside the target, so a download is read once, by the network, and never
// again from the disk. A download that goes on from an earlier try first
// feeds the bytes kept from it through the same stream.
#pragma once
#include <memory>

#include "crypto/Sha256.h"
#include "gzip/GunzipStream.h"
#include "platform/FileSystem.h"
#include "platform/FileWriter.h"

class TEntryStream {
public:
    // `target`: the file the entry installs (a pack: its local name, which
    // only ever names the temporary); `inflate`: gzip data to be inflated;
    // `hashed`: the caller checks the digest before it uses the output, so
    // the gzip data's own checks may be left out.
    // Raises EInOutError when the temporary cannot be made.
    TEntryStream(const AnsiString& target, bool inflate, bool hashed = false);
    ~TEntryStream();
    TEntryStream(const TEntryStream&) = delete;
    TEntryStream& operator=(const TEntryStream&) = delete;

    // The data begin anew at `offset` of the download: the first `offset`
    // bytes are those kept in `kept` (a partial download), fed through now.
    // Raises EInOutError when they cannot be read.
    void Begin(const AnsiString& kept, int64_t offset);
    void Feed(const char* data, size_t n);
    // After the last byte: true when the gzip data ended whole (always for
    // plain data); Problem() says what went wrong otherwise.
    bool Finish();
    bool WriteFailed() const { return FWriteFailed; }
    const AnsiString& Problem() const { return FProblem; }
    AnsiString Digest();  // of every byte fed since the last Begin
    TTempFile& Output() { return *FOutput; }  // the inflated data (inflating streams)

private:
    bool Write(const char* data, size_t n);
    std::unique_ptr<TSha256> FHash;
    std::unique_ptr<TGunzipStream> FInflate;
    std::unique_ptr<TTempFile> FOutput;
    std::unique_ptr<TFileWriter> FWriter;
    int FFd = -1;
    int64_t FWritten = 0, FSinceWriteback = 0;
    bool FBegun = false, FWriteFailed = false;
    AnsiString FProblem;
};
