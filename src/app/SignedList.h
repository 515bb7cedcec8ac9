// The versions list the plan is made from, taken from one server: its
// bytes (and, in signed mode, its signature) fetched into temporaries, and
// only a list that passes every check put in place as update3.dat. Also the
// release key whose presence switches signed mode on.
#pragma once
#include <functional>
#include <memory>

#include "RunSession.h"
#include "Texts.h"
#include "crypto/Minisign.h"

// update.pub of `appFolder`: null with `problem` empty when there is none
// (unsigned mode); null with `problem` set when one is there but cannot be
// used (never a quiet fallback to unsigned); the key otherwise. A damaged
// record of the accepted serial is refused here too.
std::unique_ptr<TPublicKey> LoadReleaseKey(const AnsiString& appFolder, AnsiString& problem);

struct TTakenList {
    bool Taken = false;
    // Taken: the list's SHA-256 and signature (empty unsigned), its serial
    // and the code page its signature declares for names.
    AnsiString ListSha, Signature;
    int64_t Serial = 0;
    int SignedCodePage = 0;
    // Refused (signed mode): why, which file it was about (a missing
    // signature is not a missing list), and what the player is told.
    AnsiString Refusal, RefusedFile = "update3.dat";
    TText Problem = TText::TryLater;
    // The server has no update3.dat at all (a web mirror, which has no
    // listing to tell it first).
    bool ListMissing = false;
};

// Takes the list (then the removals file it names) through `download` from
// the server `server` names in the log. Without a key a failed download raises, as it always did; with
// one, a list that cannot be had or checked is a refusal: the next server
// may have a good one. A signature that does not match is asked again once
// after 2 s: a mirror may be between renaming a new list and its signature.
TTakenList TakeCheckedList(const TListDownload& download, const AnsiString& appFolder, const AnsiString& server,
                           const TPublicKey* key, const std::function<bool()>& stopped);
