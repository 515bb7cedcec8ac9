// Signatures in minisign's formats, so that operators can make keys with
// `minisign -G` and anyone can check a release with `minisign -V`:
// Ed25519 over the BLAKE2b-512 hash of the file (the "ED" form), a trusted
// comment, and a global signature over the signature and that comment.
// The cryptographic operations are in Primitives.h (libsodium or libgcrypt).
//
// Files:
//   public key   "untrusted comment: ..." / base64("Ed" | key id[8] | key[32])
//   secret key   "untrusted comment: ..." / base64("Ed" | kdf "Sc" or 0,0 | "B2" |
//                salt[32] | opslimit[8] | memlimit[8] | key id[8] | key[64] | BLAKE2b-256 checksum[32])
//                (the last 104 bytes XORed with a scrypt stream of the password when kdf is "Sc")
//   signature    "untrusted comment: ..." / base64("ED" | key id[8] | signature[64]) /
//                "trusted comment: ..." / base64(global signature[64])
#pragma once
#include <array>
#include <functional>
#include <map>

#include "platform/Classes.h"

// Anything wrong with a key or a signature, with what exactly.
class ESignatureError : public Exception { using Exception::Exception; };
// The signature is well-formed and by the right key but not over these
// bytes: on a mirror, often a list caught between its upload and its
// signature's.
class ESignatureMismatch : public ESignatureError { using ESignatureError::ESignatureError; };

struct TPublicKey {
    std::array<uint8_t, 8> KeyId{};
    std::array<uint8_t, 32> Key{};
    AnsiString KeyIdText() const;  // as minisign prints it (hex, most significant byte first)
};

class TSecretKey {
public:
    ~TSecretKey();  // wipes the key
    std::array<uint8_t, 8> KeyId{};
    std::array<uint8_t, 64> Key{};
};

struct TSignature {
    AnsiString Algorithm;  // "ED" (prehashed) or "Ed" (legacy)
    std::array<uint8_t, 8> KeyId{};
    std::array<uint8_t, 64> Signature{};
    AnsiString TrustedComment;  // without its "trusted comment: " prefix
    std::array<uint8_t, 64> GlobalSignature{};
};

TPublicKey ParsePublicKey(const AnsiString& fileText);
// `password` is asked only for a password-protected key. A wrong password
// and a damaged key both fail the key's checksum.
void ParseSecretKey(const AnsiString& fileText, const std::function<AnsiString()>& password, TSecretKey& key);
TSignature ParseSignature(const AnsiString& fileText);

// Checks that `message` was signed by `key`: only the "ED" form is taken
// (the legacy "Ed" form, which signs the bare message, is refused), the key
// id must match, the signature must hold over the message's hash and the
// global signature over the signature and the trusted comment. Raises
// ESignatureError saying which check failed.
void VerifySignature(const TSignature& signature, const TPublicKey& key, const AnsiString& message);
// The trusted comment alone: it was signed by `key` with the signature it
// comes with, whatever file that signature is of (the file is not needed).
void VerifyTrustedComment(const TSignature& signature, const TPublicKey& key);

// The signature file text for `message`, in the "ED" form.
AnsiString SignMessage(const TSecretKey& key, const AnsiString& message, const AnsiString& trustedComment);
// The public key file text for a secret key, and the secret key file text
// without a password (minisign -W's form), for tools and tests.
AnsiString PublicKeyText(const TSecretKey& key);
AnsiString SecretKeyText(const TSecretKey& key);
// A new key pair with a random key id.
void GenerateKey(TSecretKey& key);

// The "name:value" fields of a trusted comment, separated by blanks or tabs.
std::map<AnsiString, AnsiString> CommentFields(const AnsiString& comment);
