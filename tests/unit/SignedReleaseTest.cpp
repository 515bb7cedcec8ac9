// Signed releases: minisign's own program and ours make and take each
// other's keys and signatures, and every way a list can be wrong is refused
// with its own reason.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include "InstallerHarness.h"
#include "release/ReleaseCheck.h"
#include "crypto/Minisign.h"
#include "crypto/Sha256.h"
#include "publish/Publisher.h"

using namespace testing_support;

namespace {

bool HaveMinisign() { return system("command -v minisign >/dev/null 2>&1") == 0; }

int Shell(const std::string& command) {
    int status = system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A key pair made by the minisign program: without a password, or with one.
struct MinisignKeys {
    TempDir dir;
    std::string pub = dir.file("k.pub"), key = dir.file("k.key");
    explicit MinisignKeys(const std::string& password = "") {
        if (password.empty())
            Shell("minisign -G -W -p " + pub + " -s " + key);
        else
            Shell("printf '" + password + "\\n" + password + "\\n' | minisign -G -p " + pub + " -s " + key);
    }
};

struct Release {
    TempDir src, out;
    Release() {
        WriteFile(src.file("portal.exe"), "#!/bin/sh\nexit 0\n");
        chmod(src.file("portal.exe").c_str(), 0755);
        WriteFile(src.file("data/a.txt"), "a");
    }
    TPublishOptions Options(const std::string& key, const std::string& passwordFile = "") {
        TPublishOptions o;
        o.ReleaseDir = src.path();
        o.OutDir = out.file("pub");
        o.Version = "7";
        o.SecretKey = key;
        o.PasswordFile = passwordFile;
        return o;
    }
    std::string List() const { return ReadFile(out.file("pub/update3.dat")); }
    std::string Signature() const { return ReadFile(out.file("pub/update3.dat.minisig")); }
};

std::string RefusalOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message;
    }
    return "<accepted>";
}

}  // namespace

TEST(SignedRelease, KeysAndSignaturesOfTheMinisignProgramWorkBothWays) {
    if (!HaveMinisign()) GTEST_SKIP() << "the minisign program is not installed";
    // Our signature with a key that minisign made, without and with a password.
    for (const std::string& password : {std::string(), std::string("s3cret pass")}) {
        MinisignKeys keys(password);
        Release r;
        TempDir secrets;
        WriteFile(secrets.file("pw"), password + "\n");
        const int64_t before = time(nullptr);
        TPublishSummary s = Publish(r.Options(keys.key, password.empty() ? "" : secrets.file("pw")));
        EXPECT_GE(s.Serial, before) << "a fresh folder never starts the serials again from 1";
        EXPECT_EQ(Shell("minisign -V -p " + keys.pub + " -m " + r.out.file("pub/update3.dat")), 0) << password;
        TPublicKey pub = ParsePublicKey(ReadFile(keys.pub));
        EXPECT_EQ(CheckSignedList(r.List(), r.Signature(), pub, 0, time(nullptr)), s.Serial);
    }

    // minisign's own signature of a list is taken, with its trusted comment.
    MinisignKeys keys;
    Release r;
    Publish(r.Options(""));
    ASSERT_EQ(Shell("minisign -S -s " + keys.key + " -m " + r.out.file("pub/update3.dat") +
                  " -t 'serial:3\tcodepage:1252'"),
              0);
    TPublicKey pub = ParsePublicKey(ReadFile(keys.pub));
    EXPECT_EQ(CheckSignedList(r.List(), r.Signature(), pub, 2, time(nullptr)), 3);
    // ... and minisign's legacy form is refused with its own reason.
    ASSERT_EQ(Shell("minisign -S -l -s " + keys.key + " -m " + r.out.file("pub/update3.dat")), 0);
    EXPECT_EQ(RefusalOf([&] { CheckSignedList(r.List(), r.Signature(), pub, 0, time(nullptr)); }),
              "The signature is in the legacy form (\"Ed\"); only prehashed (\"ED\") signatures are taken");
}

// The highest serial leaves no room after it: refused, never a negative one.
TEST(SignedRelease, SerialsStayInRange) {
    TSecretKey key;
    GenerateKey(key);
    Release r;
    TempDir secrets;
    WriteFile(secrets.file("k"), SecretKeyText(key));
    TPublishOptions o = r.Options(secrets.file("k"));
    o.Serial = kMaxSerial;
    EXPECT_EQ(Publish(o).Serial, kMaxSerial);
    o.Serial = 0;
    o.Previous = o.OutDir;
    EXPECT_NE(RefusalOf([&] { Publish(o); }).find("leaves no serial after it"), std::string::npos);
    o.Serial = kMaxSerial + 1;
    EXPECT_NE(RefusalOf([&] { Publish(o); }).find("at most"), std::string::npos);
}

// Every updater holding the key would refuse an unsigned release that
// follows a signed one: only made when asked for, and refused before writing.
TEST(SignedRelease, UnsignedOverASignedPreviousIsRefusedUnlessAskedFor) {
    TSecretKey key;
    GenerateKey(key);
    Release r;
    TempDir secrets;
    WriteFile(secrets.file("k"), SecretKeyText(key));
    TPublishOptions o = r.Options(secrets.file("k"));
    Publish(o);
    const std::string signedList = r.List();
    o.SecretKey.clear();
    o.Version = "8";
    o.Previous = o.OutDir;
    EXPECT_NE(RefusalOf([&] { Publish(o); }).find("--unsigned-over-signed"), std::string::npos);
    EXPECT_EQ(r.List(), signedList);
    o.Previous = o.OutDir + "/update3.dat";
    EXPECT_NE(RefusalOf([&] { Publish(o); }).find("is signed"), std::string::npos);
    o.UnsignedOverSigned = true;
    EXPECT_EQ(Publish(o).Serial, 0);
    EXPECT_NE(r.List(), signedList);
}

TEST(SignedRelease, AWrongPasswordOrADamagedKeyWritesNothing) {
    if (!HaveMinisign()) GTEST_SKIP() << "the minisign program is not installed";
    MinisignKeys keys("right");
    Release r;
    TempDir secrets;
    WriteFile(secrets.file("pw"), "wrong\n");
    try {
        Publish(r.Options(keys.key, secrets.file("pw")));
        ADD_FAILURE() << "published with a wrong password";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message.find("Wrong password, or the secret key is damaged"), std::string::npos) << e.Message;
    }
    EXPECT_FALSE(Exists(r.out.file("pub")));

    MinisignKeys open;  // no password: nothing slow to derive
    std::string damaged = ReadFile(open.key);
    damaged[damaged.size() - 60] = damaged[damaged.size() - 60] == 'A' ? 'B' : 'A';
    WriteFile(secrets.file("damaged.key"), damaged);
    EXPECT_THROW(Publish(r.Options(secrets.file("damaged.key"))), Exception);
    EXPECT_FALSE(Exists(r.out.file("pub")));

    // A key that asks for a scrypt cost beyond minisign's is refused at once.
    std::string text = ReadFile(keys.key), line = text.substr(text.find('\n') + 1);
    line = line.substr(0, line.find('\n'));
    std::vector<unsigned char> raw(line.size());
    size_t n = 0;
    ASSERT_EQ(sodium_base642bin(raw.data(), raw.size(), line.data(), line.size(), nullptr, &n, nullptr,
                                sodium_base64_VARIANT_ORIGINAL), 0);
    for (int i = 0; i < 8; ++i) raw[38 + i] = 0xFF;  // opslimit
    std::vector<char> encoded(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(encoded.data(), encoded.size(), raw.data(), n, sodium_base64_VARIANT_ORIGINAL);
    WriteFile(secrets.file("costly.key"), text.substr(0, text.find('\n') + 1) + encoded.data() + "\n");
    TSecretKey costly;
    EXPECT_EQ(RefusalOf([&] { ParseSecretKey(ReadFile(secrets.file("costly.key")), [] { return "right"; }, costly); }),
              "The secret key asks for a password cost above minisign's limits");
}

TEST(SignedRelease, FilesAreCheckedAgainstTheListAndGetItsModes) {
    Installer t;
    WriteFile(t.app.file("a.dll"), "old a");
    std::string gz = t.Gzipped("a.gz", "new a");
    std::string sha = Sha256OfFile(SystemPathFromNative(t.server.file("a.gz")));
    std::string wrong = sha;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    // A served file changed but of the same size: only that entry fails.
    EXPECT_EQ(t.installer.Process("U 1 E a.gz a.dll 7 " + gz + " " + wrong + " 0644"), TEntryOutcome::FailedCheck);
    EXPECT_EQ(ReadFile(t.app.file("a.dll")), "old a");
    EXPECT_EQ(t.installer.Process("U 1 E a.gz a.dll 7 " + gz + " " + sha + " 0755"), TEntryOutcome::Installed);
    EXPECT_EQ(ReadFile(t.app.file("a.dll")), "new a");
    struct stat st;
    stat(t.app.file("a.dll").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0755u) << "the list's mode is set";
    EXPECT_TRUE(Temporaries(t.app.path()).empty());

    // A signed list that gives no hash for an entry: nothing to check it by.
    t.installer.RequireHashes = true;
    WriteFile(t.server.file("b"), "b");
    EXPECT_EQ(t.installer.Process("O b b.txt 7 1"), TEntryOutcome::FailedCheck);
    EXPECT_FALSE(Exists(t.app.file("b.txt")));
}

// The hash agrees with sha256sum around the block size and over several
// MiB, whole files and data fed in uneven pieces alike.
TEST(Sha256, AgreesWithSha256sum) {
    TempDir dir;
    for (size_t size : {0u, 1u, 63u, 64u, 65u, (3u << 20) + 7}) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 2654435761u >> 11);
        const std::string path = dir.file("f" + std::to_string(size));
        WriteFile(path, data);
        std::string expected(64, '\0');
        FILE* p = popen(("sha256sum " + path).c_str(), "r");
        ASSERT_EQ(fread(&expected[0], 1, 64, p), 64u);
        pclose(p);
        EXPECT_EQ(Sha256OfFile(path), expected) << size;
        TSha256 pieces;
        for (size_t at = 0, step = 1; at < size; at += step, step = step * 3 + 1)
            pieces.Update(data.data() + at, std::min(step, size - at));
        EXPECT_EQ(pieces.HexDigest(), expected) << size;
    }
}
