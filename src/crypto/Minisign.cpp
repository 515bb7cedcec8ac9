#include "Minisign.h"

#include <sodium.h>

#include <cstring>
#include <vector>

namespace {

const char kUntrusted[] = "untrusted comment: ";
const char kTrusted[] = "trusted comment: ";

void StartSodium() {
    if (sodium_init() < 0) throw ESignatureError("The cryptography library cannot be started");
}

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
    std::vector<uint8_t> bytes(text.size());
    size_t n = 0;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &n, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        throw ESignatureError(AnsiString(what) + " is not valid base64");
    bytes.resize(n);
    return bytes;
}

AnsiString ToBase64(const uint8_t* p, size_t n) {
    std::vector<char> out(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(out.data(), out.size(), p, n, sodium_base64_VARIANT_ORIGINAL);
    return out.data();
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
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    crypto_generichash_update(&state, sigAlg, 2);
    crypto_generichash_update(&state, keyId, 8);
    crypto_generichash_update(&state, key, 64);
    crypto_generichash_final(&state, out, 32);
}

std::array<uint8_t, 64> Prehash(const AnsiString& message) {
    std::array<uint8_t, 64> hash;
    crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                       nullptr, 0);
    return hash;
}

}  // namespace

AnsiString TPublicKey::KeyIdText() const { return KeyIdHex(KeyId); }

TSecretKey::~TSecretKey() { sodium_memzero(Key.data(), Key.size()); }

TPublicKey ParsePublicKey(const AnsiString& fileText) {
    StartSodium();
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
    StartSodium();
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
        if (Le64(opslimit) > crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE ||
            Le64(memlimit) > crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE)
            throw ESignatureError("The secret key asks for a password cost above minisign's limits");
        AnsiString pass = password ? password() : AnsiString();
        std::vector<uint8_t> stream(104);
        if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), pass.data(), pass.size(), salt,
                                               Le64(opslimit), static_cast<size_t>(Le64(memlimit))) != 0)
            throw ESignatureError("The password cannot be turned into a key (out of memory?)");
        for (size_t i = 0; i < 104; ++i) sealed[i] ^= stream[i];
        sodium_memzero(stream.data(), stream.size());
        sodium_memzero(&pass[0], pass.size());
    } else if (kdfAlg[0] != 0 || kdfAlg[1] != 0) {
        throw ESignatureError("The secret key is protected in a way this program does not know");
    }
    uint8_t checksum[32];
    SecretKeyChecksum(sigAlg, sealed, sealed + 8, checksum);
    static const uint8_t kNoChecksum[32] = {};
    // minisign leaves the checksum empty in a key without a password.
    bool good = sodium_memcmp(checksum, sealed + 72, 32) == 0 ||
                (kdfAlg[0] == 0 && kdfAlg[1] == 0 && memcmp(sealed + 72, kNoChecksum, 32) == 0);
    // Either way the key must be whole: its public half follows from its seed.
    uint8_t pk[32], sk[64];
    crypto_sign_seed_keypair(pk, sk, sealed + 8);
    good = good && sodium_memcmp(sk, sealed + 8, 64) == 0;
    sodium_memzero(sk, sizeof sk);
    if (good) {
        memcpy(key.KeyId.data(), sealed, 8);
        memcpy(key.Key.data(), sealed + 8, 64);
    }
    sodium_memzero(bytes.data(), bytes.size());
    if (!good) throw ESignatureError("Wrong password, or the secret key is damaged");
}

TSignature ParseSignature(const AnsiString& fileText) {
    StartSodium();
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

void VerifySignature(const TSignature& signature, const TPublicKey& key, const AnsiString& message) {
    StartSodium();
    if (signature.Algorithm == "Ed")
        throw ESignatureError("The signature is in the legacy form (\"Ed\"); only prehashed (\"ED\") signatures are taken");
    if (signature.Algorithm != "ED") throw ESignatureError("The signature is not an Ed25519 signature");
    if (signature.KeyId != key.KeyId)
        throw ESignatureError("The signature was made with another key (key id " + KeyIdHex(signature.KeyId) +
                              ", expected " + key.KeyIdText() + ")");
    std::array<uint8_t, 64> hash = Prehash(message);
    if (crypto_sign_verify_detached(signature.Signature.data(), hash.data(), hash.size(), key.Key.data()) != 0)
        throw ESignatureMismatch("The signature does not match the file");
    AnsiString global(reinterpret_cast<const char*>(signature.Signature.data()), signature.Signature.size());
    global += signature.TrustedComment;
    if (crypto_sign_verify_detached(signature.GlobalSignature.data(), reinterpret_cast<const uint8_t*>(global.data()),
                                    global.size(), key.Key.data()) != 0)
        throw ESignatureError("The trusted comment does not match its signature");
}

AnsiString SignMessage(const TSecretKey& key, const AnsiString& message, const AnsiString& trustedComment) {
    StartSodium();
    if (trustedComment.find('\n') != AnsiString::npos || trustedComment.find('\r') != AnsiString::npos)
        throw ESignatureError("A trusted comment is one line");
    std::array<uint8_t, 64> hash = Prehash(message);
    uint8_t record[2 + 8 + 64];
    memcpy(record, "ED", 2);
    memcpy(record + 2, key.KeyId.data(), 8);
    crypto_sign_detached(record + 10, nullptr, hash.data(), hash.size(), key.Key.data());
    AnsiString global(reinterpret_cast<const char*>(record + 10), 64);
    global += trustedComment;
    uint8_t globalSignature[64];
    crypto_sign_detached(globalSignature, nullptr, reinterpret_cast<const uint8_t*>(global.data()), global.size(),
                         key.Key.data());
    return AnsiString(kUntrusted) + "signature from skiff-publish secret key\n" + ToBase64(record, sizeof record) +
           "\n" + kTrusted + trustedComment + "\n" + ToBase64(globalSignature, sizeof globalSignature) + "\n";
}

AnsiString PublicKeyText(const TSecretKey& key) {
    uint8_t record[2 + 8 + 32];
    memcpy(record, "Ed", 2);
    memcpy(record + 2, key.KeyId.data(), 8);
    crypto_sign_ed25519_sk_to_pk(record + 10, key.Key.data());
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
    sodium_memzero(record, sizeof record);
    return text;
}

void GenerateKey(TSecretKey& key) {
    StartSodium();
    uint8_t pk[32];
    crypto_sign_keypair(pk, key.Key.data());
    randombytes_buf(key.KeyId.data(), key.KeyId.size());
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
