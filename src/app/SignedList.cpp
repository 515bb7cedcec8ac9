#include "SignedList.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "RunSession.h"
#include "UpdateLog.h"
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

TTakenList TakeCheckedList(TWexFTP& ftp, const AnsiString& appFolder, const AnsiString& server,
                           const TPublicKey* key, const std::function<bool()>& stopped) {
    TTakenList taken;
    TTempFile list(appFolder + "update3.dat");
    AnsiString listBytes, signature;
    try {
        FetchListPair(ftp, appFolder, key != nullptr, list.Path(), listBytes, signature);
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
                FetchListPair(ftp, appFolder, true, list.Path(), listBytes, signature);
                taken.Serial = check();
            }
        }
    } catch (const std::exception& e) {
        if (!key || stopped()) throw;
        taken.Refusal = e.what();
        // A download that failed names its own file; a check that failed is the list's.
        const AnsiString& step = ftp.Step;
        if (!dynamic_cast<const ESignatureError*>(&e) && step.rfind("download ", 0) == 0)
            taken.RefusedFile = step.substr(9);
        // A signature that fails, or is missing, most often means a release
        // caught on its way up.
        taken.Problem = dynamic_cast<const EListExpired*>(&e)      ? TText::ListExpired
                        : dynamic_cast<const EListRolledBack*>(&e) ? TText::ListOlder
                                                                   : TText::ListUnverified;
        return taken;
    }
    list.PutInPlace();
    taken.Taken = true;
    taken.ListSha = Sha256Of(listBytes);
    taken.Signature = signature;
    UpdateLog::Write("server " + server + ": update3.dat taken" +
                     (key ? ", signature valid, serial " + IntToStr(taken.Serial) : AnsiString()));
    return taken;
}
