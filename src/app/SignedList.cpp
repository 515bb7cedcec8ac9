#include "SignedList.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "UpdateLog.h"
#include "WebPlanSession.h"
#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "release/ReleaseCheck.h"

namespace {
const int64_t kMaxKeyBytes = 4 << 10;
}

std::unique_ptr<TPublicKey> LoadReleaseKey(const AnsiString& appFolder, AnsiString& problem) {
    problem.clear();
    const AnsiString path = appFolder + kPublicKeyFile;
    // Only a key that is not there means unsigned mode: a dangling link, a
    // file we may not read or a disk error stop here with their own reason.
    struct stat st;
    if (lstat(NativePath(path).c_str(), &st) != 0 && errno == ENOENT) return nullptr;
    try {
        auto key = std::make_unique<TPublicKey>(ParsePublicKey(ReadWholeFile(path, kMaxKeyBytes)));
        AcceptedSerial(appFolder);
        return key;
    } catch (const Exception& e) {
        problem = e.Message;
        UpdateLog::Write("the public key " + ShownPath(path) + " cannot be used: " + problem);
        return nullptr;
    }
}

TTakenList TakeCheckedList(const TListDownload& download, const AnsiString& appFolder, const AnsiString& server,
                           const TPublicKey* key, const std::function<bool()>& stopped) {
    TTakenList taken;
    // The file being fetched: a download that fails names its own file (a
    // missing signature is not a missing list).
    AnsiString fetching;
    const TListDownload named = [&](const AnsiString& remote, int64_t limit) {
        fetching = remote;
        AnsiString bytes = download(remote, limit);
        fetching.clear();
        return bytes;
    };
    AnsiString listBytes, signature;
    try {
        try {
            FetchListPair(named, key != nullptr, listBytes, signature);
        } catch (const EFileNotServed&) {
            if (fetching != "update3.dat") throw;
            taken.ListMissing = true;
            return taken;
        }
        if (key) {
            auto check = [&] {
                return CheckSignedList(listBytes, signature, *key, AcceptedSerial(appFolder),
                                       static_cast<int64_t>(time(nullptr)), &taken.SignedCodePage);
            };
            try {
                taken.Serial = check();
            } catch (const ESignatureMismatch&) {
                UpdateLog::Write("server " + server + ": update3.dat and its signature do not match; asking again in 2 s");
                PauseFor(2, stopped);
                if (stopped()) return taken;
                FetchListPair(named, true, listBytes, signature);
                taken.Serial = check();
            }
        }
        FetchRemovalsFile(named, appFolder, listBytes.substr(0, listBytes.find_first_of("\r\n")));
    } catch (const std::exception& e) {
        if (!key || stopped()) throw;
        taken.Refusal = e.what();
        if (!fetching.empty()) taken.RefusedFile = fetching;
        // A signature that fails, or is missing, most often means a release
        // caught on its way up.
        taken.Problem = dynamic_cast<const EListExpired*>(&e)      ? TText::ListExpired
                        : dynamic_cast<const EListRolledBack*>(&e) ? TText::ListOlder
                                                                   : TText::ListUnverified;
        return taken;
    }
    WriteWholeFileAtomic(appFolder + "update3.dat", listBytes);
    taken.Taken = true;
    taken.ListSha = Sha256Of(listBytes);
    taken.Signature = signature;
    UpdateLog::Write("server " + server + ": update3.dat taken" +
                     (key ? ", signature valid, serial " + IntToStr(taken.Serial) : AnsiString()));
    return taken;
}
