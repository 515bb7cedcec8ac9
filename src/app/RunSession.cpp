#include "RunSession.h"

#include <algorithm>
#include <chrono>

#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "release/LineFields.h"
#include "release/ReleaseCheck.h"
#include "release/RemovalsFile.h"
#include "crypto/Sha256.h"

TWexFTP* NewServerComponent(TComponent* owner) {
    auto* ftp = new TWexFTP(owner);
    ftp->Passive = true;
    ftp->PassiveFallback = true;
    return ftp;
}

bool ConfigureForServer(TWexFTP& ftp, const AnsiString& line) {
    TServerLine server;
    if (!ParseServerLine(line, server)) return false;
    ftp.Host = server.Host;
    ftp.Port = server.Port;
    ftp.TimeOut = server.TimeOut;
    ftp.UserID = server.User;
    ftp.Password = kServerPassword;
    return true;
}

void UseTransferTimeOuts(TWexFTP& ftp, int loggedInSilence) {
    if (ftp.IdleTimeOut == 0) ftp.IdleTimeOut = TransferSilence(loggedInSilence, ftp.TimeOut);
    ftp.TimeOut = 50000000;
}

TListDownload ListDownloadOver(TWexFTP& ftp, const AnsiString& appFolder) {
    return [&ftp, appFolder](const AnsiString& remote, int64_t limit) {
        TTempFile file(appFolder + "update3.dat");
        ftp.SizeLimit = limit;
        ftp.Download(remote, file.Path());
        if (ftp.TransferSize > limit) throw EInOutError("The server's " + remote + " is larger than any real one");
        return ReadWholeFile(file.Path(), limit);
    };
}

void FetchListPair(const TListDownload& download, bool withSignature, AnsiString& list, AnsiString& signature) {
    // The versions list has no size of its own to check; a server that
    // sends more than any real list is cut off.
    list = download("update3.dat", kMaxVersionsListBytes);
    // Bounded work and memory whatever a server sends: every entry costs a
    // few copies of its line in the lists, the plan and the window.
    if (std::count(list.begin(), list.end(), '\n') > kMaxListEntries + 1)  // and the header
        throw EInOutError("The server's update3.dat names more than " + IntToStr(kMaxListEntries) + " files");
    signature.clear();
    if (withSignature) signature = download(kSignatureFile, kMaxSignatureBytes);
}

void FetchRemovalsFile(const TListDownload& download, const AnsiString& appFolder, const AnsiString& header) {
    TRemovalsFile named;
    if (!DeclaredRemovalsFile(header, named)) return;
    const AnsiString bytes = download(named.Name, std::min(named.Size, kMaxRemovalsBytes));
    // Checked as the list is: a file that is not the one the (signed) list
    // names is a damaged or tampered release.
    if (static_cast<int64_t>(bytes.size()) != named.Size || Sha256Of(bytes) != named.Sha256)
        throw EInOutError("The server's " + named.Name + " is not the removals file that update3.dat names");
    WriteWholeFileAtomic(appFolder + kRemovalsFile, bytes);
}

void PauseFor(double seconds, const std::function<bool()>& leaving) {
    EventLoop::WaitUntil([&leaving] { return leaving && leaving(); }, seconds);
}
