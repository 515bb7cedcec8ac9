// TGzip: decompresses one gzip file into a plain file (and, for the tools and
// tests, compresses one). The file is read through TGunzipStream, so a file
// and a download are inflated by the same rules. With WindowOnError set,
// each failure also shows the error dialog with one Abort button; with it
// clear, failures are silent apart from the result. The component holds no
// buffer between calls: one on every window costs nothing while unused.
#pragma once
#include "platform/Classes.h"

enum TCompressionType : uint8_t { Standard, Filtered, HuffmanOnly };

class TGzip : public TComponent {
public:
    // Decompress results. 0 means the copy ran to its end.
    enum : uint8_t {
        ResultOk = 0,
        ResultCannotOpen = 1,
        ResultCannotCreate = 2,
        ResultCorruptSource = 3,  // a corrupt or truncated stream
        ResultWriteFailed = 4,    // short write or failed close (disk full)
    };

    explicit TGzip(TComponent* AOwner);

    uint8_t Decompress();
    // Compresses FileSource into FileDestination with CompressionLevel and
    // CompressionType; 0 on success, 1 or 2 as for Decompress, 4 on a write error.
    uint8_t Compress();
    virtual void NotifyProgress();

    bool DeleteSource = false;
    AnsiString FileSource = "data.dat";
    AnsiString FileDestination = "data.dat.gz";
    uint8_t CompressionLevel = 6;  // 1..9
    TCompressionType CompressionType = Standard;
    bool WindowOnError = true;
    // 0..100; 0 switches progress off. Progress counts the source bytes
    // read against the source's size, so it ends at 100.
    uint8_t ProgressStep = 0;
    TNotifyEvent OnProgress;
    int ProgressPercent = 0;

private:
    void ShowError(const AnsiString& text);
    uint8_t Copy(int source, int dest, uint64_t sourceSize);
};
