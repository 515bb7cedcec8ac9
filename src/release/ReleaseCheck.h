// What a signed release's versions list must satisfy before anything is done
// with it: a valid minisign signature by the application folder's key
// (update.pub), a serial not lower than the last one accepted in this folder,
// an expiry not passed, and the names' code page that the list declares.
#pragma once
#include "crypto/Minisign.h"

constexpr char kPublicKeyFile[] = "update.pub";
constexpr char kSignatureFile[] = "update3.dat.minisig";
constexpr char kSerialFile[] = "update.serial";

// The most that a versions list and its signature may hold: whatever a
// server or a folder serves, reading them costs bounded work and memory.
constexpr int64_t kMaxVersionsListBytes = 64 << 20;
constexpr int64_t kMaxSignatureBytes = 64 << 10;
constexpr int kMaxListEntries = 1000000;

// Two refusals that players are told of in their own words: an older
// release than the folder's (a rollback, or a stale mirror), and an expiry.
class EListRolledBack : public ESignatureError { using ESignatureError::ESignatureError; };
class EListExpired : public ESignatureError { using ESignatureError::ESignatureError; };

// Raises ESignatureError saying which check failed (a list without a serial
// is refused: it could not be told from an older one); returns the list's
// serial. `signedCodePage`, when given, receives the code page that the
// trusted comment declares (0: none): it holds for the names when the
// header declares none.
int64_t CheckSignedList(const AnsiString& list, const AnsiString& signatureFile, const TPublicKey& key,
                        int64_t lastSerial, int64_t now, int* signedCodePage = nullptr);

// The serial that a signature file's trusted comment states, once that
// comment checks out against `key` (without the list it signs: enough to
// learn that the publisher made a release of that serial). Raises
// ESignatureError otherwise.
int64_t SignedSerialClaim(const AnsiString& signatureFile, const TPublicKey& key);

// The serial accepted last in the folder (0 when none was), and its record.
int64_t AcceptedSerial(const AnsiString& appFolder);
void SaveAcceptedSerial(const AnsiString& appFolder, int64_t serial);
