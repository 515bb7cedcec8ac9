// What a signed release's versions list must satisfy before anything is done
// with it: a valid minisign signature by the application folder's key
// (update.pub), a serial not lower than the last one accepted in this folder,
// an expiry not passed, and the names' code page that the list declares.
#pragma once
#include "crypto/Minisign.h"

constexpr char kPublicKeyFile[] = "update.pub";
constexpr char kSignatureFile[] = "update3.dat.minisig";
constexpr char kSerialFile[] = "update.serial";

// Raises ESignatureError saying which check failed; returns the list's serial.
int64_t CheckSignedList(const AnsiString& list, const AnsiString& signatureFile, const TPublicKey& key,
                        int64_t lastSerial, int64_t now);

// The serial accepted last in the folder (0 when none was), and its record.
int64_t AcceptedSerial(const AnsiString& appFolder);
void SaveAcceptedSerial(const AnsiString& appFolder, int64_t serial);
