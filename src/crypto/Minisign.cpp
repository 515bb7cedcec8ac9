#include "Minisign.h"

#include <cstring>
#include <vector>

#include "Primitives.h"

namespace {

const char kUntrusted[] = "untrusted comment: ";
const char kTrusted[] = "trusted comment: ";

using namespace crypto_primitives;

void StartLibrary() { Start(); }

// The lines of a key or signature file, without their line ends.
std::vector<AnsiString> Lines(const AnsiString& text) {
    std::vector<AnsiString> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == AnsiString::npos) end = text.size();
        AnsiString line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<uint8_t> FromBase64(const AnsiString& text, const char* what) {
    if (text.empty()) throw ESignatureError(AnsiString(what) + " is empty");
    std::vector<uint8_t> bytes;
    if (!crypto_primitives::FromBase64(text, bytes)) throw ESignatureError(AnsiString(what) + " is not valid base64");
    return bytes;
}

uint64_t Le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

AnsiString KeyIdHex(const std::array<uint8_t, 8>& id) {
    char b[17];
    for (int i = 0; i < 8; ++i) snprintf(b + 2 * i, 3, "%02X", id[7 - i]);
    return b;
}

// The BLAKE2b-256 checksum that a secret key file carries over its fields.
void SecretKeyChecksum(const uint8_t* sigAlg, const uint8_t* keyId, const uint8_t* key, uint8_t out[32]) {
    Blake2b(out, 32, {{sigAlg, 2}, {keyId, 8}, {key, 64}});
}

std::array<uint8_t, 64> Prehash(const AnsiString& message) {
    std::array<uint8_t, 64> hash;
    Blake2b(hash.data(), hash.size(), {{message.data(), message.size()}});
    return hash;
}

}  // namespace

AnsiString TPublicKey::KeyIdText() const { return KeyIdHex(KeyId); }

TSecretKey::~TSecretKey() { Wipe(Key.data(), Key.size()); }

TPublicKey ParsePublicKey(const AnsiString& fileText) {
    StartLibrary();
    std::vector<AnsiString> lines = Lines(fileText);
    // The comment line is optional in a key given on its own.
    const AnsiString& encoded = lines.size() >= 2 && lines[0].rfind(kUntrusted, 0) == 0 ? lines[1]
                                : !lines.empty()                                        ? lines[0]
                                                                                        : AnsiString();
    std::vector<uint8_t> bytes = FromBase64(encoded, "The public key");
    if (bytes.size() != 2 + 8 + 32) throw ESignatureError("The public key has the wrong length");
    if (memcmp(bytes.data(), "Ed", 2) != 0) throw ESignatureError("The public key is not an Ed25519 key");
    TPublicKey key;
    memcpy(key.KeyId.data(), bytes.data() + 2, 8);
    memcpy(key.Key.data(), bytes.data() + 10, 32);
    return key;
}

void ParseSecretKey(const AnsiString& fileText, const std::function<AnsiString()>& password, TSecretKey& key) {
    StartLibrary();
    std::vector<AnsiString> lines = Lines(fileText);
    if (lines.size() < 2 || lines[0].rfind(kUntrusted, 0) != 0)
        throw ESignatureError("The secret key file does not have minisign's two lines");
    std::vector<uint8_t> bytes = FromBase64(lines[1], "The secret key");
    const size_t kSize = 2 + 2 + 2 + 32 + 8 + 8 + 104;
    if (bytes.size() != kSize) throw ESignatureError("The secret key has the wrong length");
    uint8_t* sigAlg = bytes.data();
    uint8_t* kdfAlg = sigAlg + 2;
    uint8_t* chkAlg = kdfAlg + 2;
    uint8_t* salt = chkAlg + 2;
    uint8_t* opslimit = salt + 32;
    uint8_t* memlimit = opslimit + 8;
    uint8_t* sealed = memlimit + 8;  // key id, key, checksum
    if (memcmp(sigAlg, "Ed", 2) != 0) throw ESignatureError("The secret key is not an Ed25519 key");
    if (memcmp(chkAlg, "B2", 2) != 0) throw ESignatureError("The secret key has an unknown checksum");
    if (memcmp(kdfAlg, "Sc", 2) == 0) {
        // minisign never makes a key dearer than its "sensitive" costs; a key
        // that asks for more would hold the publisher for hours.
        if (Le64(opslimit) > kScryptOpsLimitSensitive || Le64(memlimit) > kScryptMemLimitSensitive)
            throw ESignatureError("The secret key asks for a password cost above minisign's limits");
        AnsiString pass = password ? password() : AnsiString();
        std::vector<uint8_t> stream(104);
        if (!Scrypt(stream.data(), stream.size(), pass, salt, Le64(opslimit), Le64(memlimit)))
            throw ESignatureError("The password cannot be turned into a key (out of memory?)");
        for (size_t i = 0; i < 104; ++i) sealed[i] ^= stream[i];
        Wipe(stream.data(), stream.size());
        Wipe(&pass[0], pass.size());
    } else if (kdfAlg[0] != 0 || kdfAlg[1] != 0) {
        throw ESignatureError("The secret key is protected in a way this program does not know");
    }
    uint8_t checksum[32];
    SecretKeyChecksum(sigAlg, sealed, sealed + 8, checksum);
    static const uint8_t kNoChecksum[32] = {};
    // minisign leaves the checksum empty in a key without a password.
    bool good = EqualInConstantTime(checksum, sealed + 72, 32) ||
                (kdfAlg[0] == 0 && kdfAlg[1] == 0 && memcmp(sealed + 72, kNoChecksum, 32) == 0);
    // Either way the key must be whole: its public half follows from its seed.
    uint8_t pk[32], sk[64];
    Ed25519SeedKeyPair(pk, sk, sealed + 8);
    good = good && EqualInConstantTime(sk, sealed + 8, 64);
    Wipe(sk, sizeof sk);
    if (good) {
        memcpy(key.KeyId.data(), sealed, 8);
        memcpy(key.Key.data(), sealed + 8, 64);
    }
    Wipe(bytes.data(), bytes.size());
    if (!good) throw ESignatureError("Wrong password, or the secret key is damaged");
}

TSignature ParseSignature(const AnsiString& fileText) {
    StartLibrary();
    std::vector<AnsiString> lines = Lines(fileText);
    if (lines.size() < 4 || lines[0].rfind(kUntrusted, 0) != 0 || lines[2].rfind(kTrusted, 0) != 0)
        throw ESignatureError("The signature file does not have minisign's four lines");
    std::vector<uint8_t> bytes = FromBase64(lines[1], "The signature");
    if (bytes.size() != 2 + 8 + 64) throw ESignatureError("The signature has the wrong length");
    TSignature s;
    s.Algorithm.assign(reinterpret_cast<const char*>(bytes.data()), 2);
    memcpy(s.KeyId.data(), bytes.data() + 2, 8);
    memcpy(s.Signature.data(), bytes.data() + 10, 64);
    s.TrustedComment = lines[2].substr(strlen(kTrusted));
    std::vector<uint8_t> global = FromBase64(lines[3], "The global signature");
    if (global.size() != 64) throw ESignatureError("The global signature has the wrong length");
    memcpy(s.GlobalSignature.data(), global.data(), 64);
    return s;
}

namespace {
void CheckForm(const TSignature& signature, const TPublicKey& key) {
    StartLibrary();
    if (signature.Algorithm == "Ed")
        throw ESignatureError("The signature is in the legacy form (\"Ed\"); only prehashed (\"ED\") signatures are taken");
    if (signature.Algorithm != "ED") throw ESignatureError("The signature is not an Ed25519 signature");
    if (signature.KeyId != key.KeyId)
        throw ESignatureError("The signature was made with another key (key id " + KeyIdHex(signature.KeyId) +
                              ", expected " + key.KeyIdText() + ")");
}
}  // namespace

void VerifySignature(const TSignature& signature, const TPublicKey& key, const AnsiString& message) {
    CheckForm(signature, key);
    std::array<uint8_t, 64> hash = Prehash(message);
    if (!Ed25519Verify(signature.Signature.data(), hash.data(), hash.size(), key.Key.data()))
        throw ESignatureMismatch("The signature does not match the file");
    VerifyTrustedComment(signature, key);
}

void VerifyTrustedComment(const TSignature& signature, const TPublicKey& key) {
    CheckForm(signature, key);
    AnsiString global(reinterpret_cast<const char*>(signature.Signature.data()), signature.Signature.size());
    global += signature.TrustedComment;
    if (!Ed25519Verify(signature.GlobalSignature.data(), reinterpret_cast<const uint8_t*>(global.data()), global.size(),
                       key.Key.data()))
        throw ESignatureError("The trusted comment does not match its signature");
}

AnsiString SignMessage(const TSecretKey& key, const AnsiString& message, const AnsiString& trustedComment) {
    StartLibrary();
    if (trustedComment.find('\n') != AnsiString::npos || trustedComment.find('\r') != AnsiString::npos)
        throw ESignatureError("A trusted comment is one line");
    std::array<uint8_t, 64> hash = Prehash(message);
    uint8_t record[2 + 8 + 64];
    memcpy(record, "ED", 2);
    memcpy(record + 2, key.KeyId.data(), 8);
    Ed25519Sign(record + 10, hash.data(), hash.size(), key.Key.data());
    AnsiString global(reinterpret_cast<const char*>(record + 10), 64);
    global += trustedComment;
    uint8_t globalSignature[64];
    Ed25519Sign(globalSignature, reinterpret_cast<const uint8_t*>(global.data()), global.size(), key.Key.data());
    return AnsiString(kUntrusted) + "signature from skiff-publish secret key\n" + ToBase64(record, sizeof record) +
           "\n" + kTrusted + trustedComment + "\n" + ToBase64(globalSignature, sizeof globalSignature) + "\n";
}

AnsiString PublicKeyText(const TSecretKey& key) {
    uint8_t record[2 + 8 + 32];
    memcpy(record, "Ed", 2);
    memcpy(record + 2, key.KeyId.data(), 8);
    memcpy(record + 10, key.Key.data() + 32, 32);  // the seed, then the public key
    return AnsiString(kUntrusted) + "minisign public key " + KeyIdHex(key.KeyId) + "\n" +
           ToBase64(record, sizeof record) + "\n";
}

AnsiString SecretKeyText(const TSecretKey& key) {
    uint8_t record[2 + 2 + 2 + 32 + 8 + 8 + 104] = {};
    memcpy(record, "Ed", 2);
    memcpy(record + 4, "B2", 2);
    uint8_t* sealed = record + 2 + 2 + 2 + 32 + 8 + 8;
    memcpy(sealed, key.KeyId.data(), 8);
    memcpy(sealed + 8, key.Key.data(), 64);
    SecretKeyChecksum(record, sealed, sealed + 8, sealed + 72);
    AnsiString text = AnsiString(kUntrusted) + "minisign encrypted secret key\n" + ToBase64(record, sizeof record) + "\n";
    Wipe(record, sizeof record);
    return text;
}

void GenerateKey(TSecretKey& key) {
    StartLibrary();
    uint8_t pk[32];
    Ed25519NewKeyPair(pk, key.Key.data());
    RandomBytes(key.KeyId.data(), key.KeyId.size());
}

std::map<AnsiString, AnsiString> CommentFields(const AnsiString& comment) {
    std::map<AnsiString, AnsiString> fields;
    size_t i = 0;
    while (i < comment.size()) {
        while (i < comment.size() && (comment[i] == ' ' || comment[i] == '\t')) ++i;
        size_t end = comment.find_first_of(" \t", i);
        if (end == AnsiString::npos) end = comment.size();
        AnsiString field = comment.substr(i, end - i);
        size_t colon = field.find(':');
        if (colon != AnsiString::npos) fields[field.substr(0, colon)] = field.substr(colon + 1);
        i = end;
    }
    return fields;
}
