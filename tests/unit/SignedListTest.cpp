// Signed lists through either cryptography back end (libsodium and
// OpenSSL on Linux, libgcrypt on Windows): keys and signatures that the
// minisign program made are taken and made again byte for byte, and every
// way a list can be wrong is refused with its own reason.
#include <gtest/gtest.h>

#include <functional>

#include "TestSupport.h"
#include "crypto/Minisign.h"
#include "crypto/Sha256.h"
#include "release/ReleaseCheck.h"

using namespace testing_support;

namespace {

std::string RefusalOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message;
    }
    return "<accepted>";
}

// Made once by `minisign -G -W` and `minisign -S -t 'serial:3<TAB>codepage:1252'`.
const char kMinisignPublic[] =
    "untrusted comment: minisign public key 6A2D01E5B5CDD88D\n"
    "RWSN2M215QEtahriGzypQ3rTyt7A6PIrLxk4ZX0ySG21gcnweRoF4rJI\n";
const char kMinisignSecret[] =
    "untrusted comment: minisign encrypted secret key\n"
    "RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAjdjNteUBLWpwj6d3m4m8OVKN3TaX2nIgEB88Nj3N"
    "pDXKsZTgsM7rTRriGzypQ3rTyt7A6PIrLxk4ZX0ySG21gcnweRoF4rJIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";
const char kMinisignList[] = "skiff-release 7 codepage=1252\r\nE a.gz a 7 10\r\n";
const char kMinisignSignature[] =
    "untrusted comment: signature from minisign secret key\n"
    "RUSN2M215QEtasJkmf+bKMfuKUqvSH/125C1J8xFKDJMhjSJWwGTWMjdTvuB2zZJEuJn4VDJ/MkPpFxt5P26P3cSiVtM4NnVWQ8=\n"
    "trusted comment: serial:3\tcodepage:1252\n"
    "RprQI1YXjR1GVx6WLtkD1wbHILo21dlQQ0ZaK6/24e8rvBDEZ7e/TZT4QtrXt6TtWtRtj/Dk1daF1vygrR4qAQ==\n";
// The same secret key sealed with the password "pw" at a cost that takes
// milliseconds (opslimit 2^20, memlimit 16 MiB: scrypt N = 2^14, r = 8,
// p = 2), as libsodium's crypto_pwhash_scryptsalsa208sha256 seals it.
const char kSealedSecret[] =
    "untrusted comment: minisign encrypted secret key\n"
    "RWRTY0IyAQgPFh0kKzI5QEdOVVxjanF4f4aNlJuiqbC3vsXM09oAABAAAAAAAAAAAAEAAAAAm3ZtYFCSFx3pAYugvBkOvkBZJQsGUbvbNg7xCeMu"
    "YaDAXC7puuz4fcFBNxSFkKi+YqqwxeVhGn6Qv+08LjYSnCN5vpLKkI8/fEUlXG+93+GXcqlHx4vtoTnL5hZuGqEZQnRU/MscL0k=\n";

// The signature file without its untrusted comment, which names the tool.
std::string SignedPart(const std::string& signature) { return signature.substr(signature.find('\n') + 1); }

}  // namespace

// Ed25519 over the BLAKE2b-512 prehash, BLAKE2b-256 checksums, scrypt and
// base64 agree with the minisign program's: its signature is taken, and
// ours with its key is the same bytes (Ed25519 signatures are deterministic).
TEST(SignedList, MinisignsKeysAndSignaturesAreOursByteForByte) {
    TPublicKey pub = ParsePublicKey(kMinisignPublic);
    EXPECT_EQ(pub.KeyIdText(), "6A2D01E5B5CDD88D");
    EXPECT_EQ(CheckSignedList(kMinisignList, kMinisignSignature, pub, 2, 1800000000), 3);
    for (const char* text : {kMinisignSecret, kSealedSecret}) {
        TSecretKey key;
        ParseSecretKey(text, [] { return AnsiString("pw"); }, key);
        EXPECT_EQ(PublicKeyText(key).substr(PublicKeyText(key).find('\n')),
                  std::string(kMinisignPublic).substr(std::string(kMinisignPublic).find('\n')));
        EXPECT_EQ(SignedPart(SignMessage(key, kMinisignList, "serial:3\tcodepage:1252")), SignedPart(kMinisignSignature));
    }
    TSecretKey key;
    EXPECT_EQ(RefusalOf([&] { ParseSecretKey(kSealedSecret, [] { return AnsiString("wrong"); }, key); }),
              "Wrong password, or the secret key is damaged");
    // Base64 as strict as libsodium's: a bad character, bits past the end
    // or a missing pad are refused, not read around.
    for (const char* bad : {"RWSN2M215QEtahriGzypQ3rTyt7A6PIrLxk4ZX0ySG21gcnweRoF4rJ!",
                            "RWSN2M215QEtahriGzypQ3rTyt7A6PIrLxk4ZX0ySG21gcnweRoF4rJ", "QR==",
                            "RWSN=M215QEtahriGzypQ3rTyt7A6PIrLxk4ZX0ySG21gcnweRoF4rJI"})
        EXPECT_EQ(RefusalOf([&] { ParsePublicKey(bad); }), "The public key is not valid base64") << bad;
}

// A new key signs, and the signature holds only for its bytes.
TEST(SignedList, NewKeysSignAndVerify) {
    TSecretKey a, b;
    GenerateKey(a);
    GenerateKey(b);
    EXPECT_NE(PublicKeyText(a), PublicKeyText(b));
    TSecretKey reread;
    ParseSecretKey(SecretKeyText(a), nullptr, reread);
    EXPECT_EQ(reread.Key, a.Key);
    EXPECT_NO_THROW(VerifySignature(ParseSignature(SignMessage(reread, "bytes", "serial:1")),
                                    ParsePublicKey(PublicKeyText(a)), "bytes"));
}

TEST(SignedList, EveryWayAListCanBeWrongIsRefusedWithItsReason) {
    TSecretKey ours, theirs;
    GenerateKey(ours);
    GenerateKey(theirs);
    TPublicKey pub = ParsePublicKey(PublicKeyText(ours));
    const std::string list = "skiff-release 7 codepage=950\r\nE a.gz a 7 10\r\n";
    const int64_t now = 1800000000;
    auto signedBy = [&](const TSecretKey& k, const std::string& comment) { return SignMessage(k, list, comment); };
    const std::string good = signedBy(ours, "serial:5\tcodepage:950\texpires:1900000000");
    EXPECT_EQ(CheckSignedList(list, good, pub, 5, now), 5);

    std::string flipped = list;
    flipped[30] ^= 1;
    EXPECT_EQ(RefusalOf([&] { CheckSignedList(flipped, good, pub, 0, now); }), "The signature does not match the file");
    EXPECT_EQ(RefusalOf([&] { CheckSignedList(list, good, pub, 6, now); }),
              "The list's serial 5 is lower than 6, the last one installed here: an older release served as new");
    EXPECT_EQ(RefusalOf([&] { CheckSignedList(list, good, pub, 0, 1900000001); }), "The list's signature has expired");
    EXPECT_NE(RefusalOf([&] { CheckSignedList(list, signedBy(theirs, "serial:5"), pub, 0, now); })
                  .find("The signature was made with another key"),
              std::string::npos);
    std::string altered = good;
    altered.replace(altered.find("serial:5"), 8, "serial:9");
    EXPECT_EQ(RefusalOf([&] { CheckSignedList(list, altered, pub, 0, now); }),
              "The trusted comment does not match its signature");
    EXPECT_EQ(RefusalOf([&] { CheckSignedList(list, signedBy(ours, "serial:5\tcodepage:936"), pub, 0, now); }),
              "The list declares code page 950, its signature 936");
    EXPECT_EQ(RefusalOf([&] { CheckSignedList(list, "not a signature\n", pub, 0, now); }),
              "The signature file does not have minisign's four lines");
    EXPECT_EQ(RefusalOf([&] { ParsePublicKey("untrusted comment: x\nRWQ=\n"); }), "The public key has the wrong length");
    EXPECT_EQ(RefusalOf([&] { CheckSignedList(list, signedBy(ours, "codepage:950"), pub, 0, now); }),
              "The signed list has no serial");
    std::string emptyLine = good;
    emptyLine.replace(emptyLine.find('\n') + 1, emptyLine.find('\n', emptyLine.find('\n') + 1) - emptyLine.find('\n') - 1, "");
    EXPECT_EQ(RefusalOf([&] { CheckSignedList(list, emptyLine, pub, 0, now); }), "The signature is empty");
    // The signed code page, for a header that names none.
    const std::string bare = "skiff-release 7\r\nE a.gz a 7 10\r\n";
    int codePage = -1;
    CheckSignedList(bare, SignMessage(ours, bare, "serial:5\tcodepage:950"), pub, 0, now, &codePage);
    EXPECT_EQ(codePage, 950);
}

// The known answers, around the 64-byte block, and a file of several MiB
// read whole against the same bytes fed in uneven pieces.
TEST(SignedList, Sha256KnownAnswersFilesAndPieces) {
    EXPECT_EQ(Sha256Of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    TempDir dir;
    const std::string data = Random((3u << 20) + 7, 11);
    WriteFile(dir.file("f"), data);
    TSha256 pieces;
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1)
        pieces.Update(data.data() + at, std::min(step, data.size() - at));
    const std::string whole = Sha256OfFile(dir.file("f"));
    EXPECT_EQ(pieces.HexDigest(), whole);
    EXPECT_EQ(Sha256Of(data), whole);
    EXPECT_THROW(Sha256OfFile(dir.file("missing")), EInOutError);
}
