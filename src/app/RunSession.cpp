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

void FetchListPair(TWexFTP& ftp, const AnsiString& appFolder, bool withSignature, const AnsiString& listPath,
                   AnsiString& list, AnsiString& signature) {
    // The versions list has no size of its own to check; a server that
    // sends more than any real list is cut off.
    ftp.SizeLimit = kMaxVersionsListBytes;
    ftp.Download("update3.dat", listPath);
    if (ftp.TransferSize > kMaxVersionsListBytes) throw EInOutError("The server's update3.dat is larger than 64 MiB");
    list = ReadWholeFile(listPath);
    // Bounded work and memory whatever a server sends: every entry costs a
    // few copies of its line in the lists, the plan and the window.
    if (std::count(list.begin(), list.end(), '\n') > kMaxListEntries + 1)  // and the header
        throw EInOutError("The server's update3.dat names more than " + IntToStr(kMaxListEntries) + " files");
    signature.clear();
    if (withSignature) {
        TTempFile signatureFile(appFolder + kSignatureFile);
        ftp.SizeLimit = kMaxSignatureBytes;
        ftp.Download(kSignatureFile, signatureFile.Path());
        if (ftp.TransferSize > kMaxSignatureBytes) throw ESignatureError("The signature file is too large");
        signature = ReadWholeFile(signatureFile.Path());
    }
    FetchRemovalsFile(ftp, appFolder, list.substr(0, list.find_first_of("\r\n")));
}

void FetchRemovalsFile(TWexFTP& ftp, const AnsiString& appFolder, const AnsiString& header) {
    TRemovalsFile named;
    if (!DeclaredRemovalsFile(header, named)) return;
    TTempFile file(appFolder + kRemovalsFile);
    ftp.SizeLimit = std::min(named.Size, kMaxRemovalsBytes);
    ftp.Download(named.Name, file.Path());
    // Checked as the list is: a file that is not the one the (signed) list
    // names is a damaged or tampered release.
    if (ftp.TransferSize != named.Size || Sha256OfFile(file.Path()) != named.Sha256)
        throw EInOutError("The server's " + named.Name + " is not the removals file that update3.dat names");
    file.PutInPlace();
}

void PauseFor(double seconds, const std::function<bool()>& leaving) {
    EventLoop::WaitUntil([&leaving] { return leaving && leaving(); }, seconds);
}
