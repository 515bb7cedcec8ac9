// status against web mirrors served by a real nginx with the configuration
// docs/mirrors/ documents: its caching and coding headers, a release seen
// whole (delta form included) with every byte hashed, the warning for an
// unsigned release over plain HTTP as the guide gives it for FTP, and the
// ways a web mirror goes wrong, each named: a damaged file, no ranges, a
// compressing server, too many redirections, https handed down to http, a
// certificate for another host.
#include <gtest/gtest.h>
#include <curl/curl.h>

#include <algorithm>

#include "NginxServer.h"
#include "crypto/Minisign.h"
#include "publish/Publisher.h"
#include "publish/Status.h"

using namespace testing_support;

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

struct TAnswer {
    long status = 0;
    std::string head;  // lower case
};

TAnswer Ask(const std::string& url, const char* range = nullptr, const char* header = nullptr) {
    TAnswer a;
    CURL* e = curl_easy_init();
    curl_slist* headers = header ? curl_slist_append(nullptr, header) : nullptr;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    if (range) curl_easy_setopt(e, CURLOPT_RANGE, range);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, +[](char* d, size_t s, size_t n, void* to) {
        static_cast<std::string*>(to)->append(d, s * n);
        return s * n;
    });
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &a.head);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
    curl_easy_perform(e);
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &a.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(e);
    a.head = Lower(a.head);
    return a;
}

std::string Documented(const std::string& file) { return ReadFile(std::string(SKIFF_SOURCE_DIR) + "/docs/" + file); }

// A release of a plain text file (which a compressing server would
// compress), a large one with its delta form, published into `out`.
void PublishRelease(const std::string& out, const std::string& secretKey = "") {
    TempDir rel;
    WriteFile(rel.file("readme.txt"), std::string(4000, 'r'));
    WriteFile(rel.file("data.bin"), Random(400000, 3));
    TPublishOptions o;
    o.ReleaseDir = rel.path();
    o.OutDir = out;
    o.Version = "20260101000000";
    o.PlainGlobs = {"*.txt", "*.bin"};
    o.Delta = true;
    o.SecretKey = secretKey;
    Publish(o);
}

TStatusReport StatusOf(const std::string& mirrorUrl, const std::string& outDir, const std::string& key = "") {
    return MirrorStatus(ParseMirrors(mirrorUrl, "mirrors"), TFtpSettings{}, key, outDir, true);
}

// The real program's exit status, its standard output in `out`.
int RunPublisher(const std::string& arguments, std::string& out) {
    FILE* p = popen((std::string(SKIFF_TOOL_DIR) + "/skiff-publish " + arguments + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Printed(const TStatusReport& r) {
    testing::internal::CaptureStdout();
    PrintStatus(r, false);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(WebMirror, TheDocumentedNginxSetUpServesTheReleaseWholeWithTheRightHeaders) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    TempDir root;
    PublishRelease(root.file("game"));
    NginxServer nginx(root.path(), {}, Documented("mirrors/nginx-mirror.conf"));
    const std::string base = "http://127.0.0.1:" + std::to_string(nginx.port()) + "/game/";

    const TAnswer fresh = Ask(base + "update3.dat");
    EXPECT_EQ(fresh.status, 200);
    EXPECT_NE(fresh.head.find("cache-control: no-cache"), std::string::npos) << fresh.head;
    const std::string list = ReadFile(root.file("game/update3.dat"));
    ASSERT_NE(list.find("delta="), std::string::npos) << "the release has no delta form";
    const std::string text = ServedName(root.file("game"), "readme.txt");
    const std::string manifest = list.substr(list.find("delta=") + 6, list.find(',', list.find("delta=")) - list.find("delta=") - 6);
    for (const std::string& named : {text, manifest}) {
        const TAnswer a = Ask(base + named, "0-0", "Accept-Encoding: gzip");
        EXPECT_EQ(a.status, 206) << named;  // ranges on
        EXPECT_NE(a.head.find("cache-control: public, max-age=31536000, immutable"), std::string::npos) << a.head;
        EXPECT_EQ(a.head.find("content-encoding"), std::string::npos) << a.head;
    }
    EXPECT_EQ(Ask(base + text, nullptr, "Accept-Encoding: gzip").head.find("content-encoding"), std::string::npos);

    TStatusReport r = StatusOf(base, root.file("game"));
    ASSERT_EQ(r.Mirrors.size(), 1u);
    const TMirrorStatus& m = r.Mirrors[0];
    EXPECT_TRUE(r.Ok() && m.ServesLocal && m.Whole()) << m.Failure;
    EXPECT_GT(m.Files, 3);  // the files and the delta form's
    EXPECT_FALSE(m.Listed || m.NoRanges);
    EXPECT_EQ(m.Unjudged, 0);
    // The guide's warning for an unsigned release over plain FTP, word for
    // word, but for HTTP.
    const std::string guide = Documented("MIRRORS.md");
    const size_t at = guide.find("update3.dat is not signed and players read it over plain FTP");
    ASSERT_NE(at, std::string::npos) << "the guide gives no warning for unsigned releases";
    std::string warning = guide.substr(at, guide.find('\n', at) - at);
    warning.replace(warning.find("plain FTP"), 9, "plain HTTP");
    TempDir work;
    WriteFile(work.file("mirrors"), "# the CDN\n" + base + "\n");
    std::string shown;
    EXPECT_EQ(RunPublisher("status " + root.file("game") + " --deep --mirrors " + work.file("mirrors"), shown), 0)
        << shown;
    EXPECT_NE(shown.find("cannot list its folder"), std::string::npos) << shown;
    EXPECT_NE(shown.find(base + ": warning: " + warning), std::string::npos) << shown;

    // A file of the right size with other bytes is seen only by its hash.
    std::string bytes = ReadFile(root.file("game/" + text));
    bytes[10] ^= 1;
    WriteFile(root.file("game/" + text), bytes);
    r = StatusOf(base, root.file("game"));
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.Mirrors[0].Damaged, std::vector<AnsiString>{text});
    EXPECT_NE(Printed(r).find("files damaged"), std::string::npos);
    // The delta form goes up with the release: a mirror without it lacks it.
    std::filesystem::remove(root.file("game/" + manifest));
    r = StatusOf(base, root.file("game"));
    EXPECT_EQ(r.Mirrors[0].Missing, std::vector<AnsiString>{manifest});
}

TEST(WebMirror, HttpsSignaturesAndEveryKindOfMisconfigurationAreNamed) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    TSecretKey key;
    GenerateKey(key);
    TempDir root, keys;
    WriteFile(keys.file("k"), SecretKeyText(key));
    WriteFile(keys.file("k.pub"), PublicKeyText(key));
    PublishRelease(root.file("game"), keys.file("k"));
    for (const char* copy : {"gz", "whole"}) std::filesystem::copy(root.file("game"), root.file(copy));
    TestCertificates certs;
    const std::string good = certs.Server("good", "IP:127.0.0.1,DNS:localhost");
    const std::string wrong = certs.Server("wrong", "DNS:elsewhere.example");
    setenv("CURL_CA_BUNDLE", certs.ca().c_str(), 1);  // read as curl's own tool reads it
    NginxServer nginx(root.path(), {{good, TestCertificates::KeyOf(good)}, {wrong, TestCertificates::KeyOf(wrong)}},
                      Documented("mirrors/nginx-mirror.conf") +
                          "location ^~ /gz/ { add_header Content-Encoding gzip; }\n"
                          "location ^~ /whole/ { max_ranges 0; }\n"
                          "location ^~ /moved/ { rewrite ^/moved/(.*)$ /game/$1 redirect; }\n"
                          "location ^~ /loop/ { rewrite ^/loop/(.*)$ /loop/$1 redirect; }\n"
                          "location ^~ /down/ { return 302 http://127.0.0.1:@PORT@/game/; }\n");
    const std::string http = "http://127.0.0.1:" + std::to_string(nginx.port()) + "/";
    const std::string https = "https://localhost:" + std::to_string(nginx.tlsPort(0)) + "/";
    EXPECT_NE(Ask(http + "game/update3.dat.minisig").head.find("cache-control: no-cache"), std::string::npos);

    // Over https, through a redirection, the signature checked by the key:
    // whole, and no warning (nobody on the way can change it).
    TStatusReport r = StatusOf(https + "moved/", root.file("game"), keys.file("k.pub"));
    EXPECT_TRUE(r.Ok() && r.Mirrors[0].SignatureChecked) << r.Mirrors[0].Failure;
    EXPECT_EQ(Printed(r).find("warning"), std::string::npos);

    r = StatusOf(http + "whole/", root.file("game"));
    EXPECT_TRUE(r.Mirrors[0].NoRanges && r.Mirrors[0].Whole()) << r.Mirrors[0].Failure;
    EXPECT_NE(Printed(r).find("leave Range support on"), std::string::npos);

    auto failure = [&](const std::string& url) { return std::string(StatusOf(url, "").Mirrors[0].Failure); };
    EXPECT_NE(failure(http + "gz/").find("compressed (Content-Encoding: gzip)"), std::string::npos);
    EXPECT_NE(failure(http + "loop/").find("more than 5 redirections"), std::string::npos);
    const std::string down = failure(https + "down/");
    EXPECT_NE(down.find("refused a redirection from https down to http://127.0.0.1"), std::string::npos) << down;
    const std::string refused = failure("https://localhost:" + std::to_string(nginx.tlsPort(1)) + "/game/");
    EXPECT_EQ(refused.rfind("TLS: the server's certificate is refused: ", 0), 0u) << refused;
    EXPECT_NE(refused.find("localhost"), std::string::npos) << refused;  // the name it does not match
    unsetenv("CURL_CA_BUNDLE");
}
