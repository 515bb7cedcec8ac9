// The HTTP session against a real nginx, over http and https: whole files,
// ranges, a resume into a file and a name with a blank, all on one kept
// connection; a certificate for another host and a redirection from https
// down to http are refused with words that say so.
#include <gtest/gtest.h>
#include <fcntl.h>

#include "HttpDriver.h"
#include "NginxServer.h"

using namespace testing_support;

TEST(HttpNginx, WholeFilesRangesAndResumeOverHttpAndHttps) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    using TEnd = TFetchSession::TEnd;
    TempDir root, out;
    const std::string a = Random(300000, 7), b = "small file";
    WriteFile(root.file("a.bin"), a);
    WriteFile(root.file("sub dir/b.bin"), b);
    TestCertificates certs;
    const std::string good = certs.Server("good", "IP:127.0.0.1,DNS:localhost");
    const std::string wrong = certs.Server("wrong", "DNS:elsewhere.example");
    setenv("SSL_CERT_FILE", certs.ca().c_str(), 1);
    NginxServer nginx(root.path(), {{good, TestCertificates::KeyOf(good)}, {wrong, TestCertificates::KeyOf(wrong)}},
                      "location = /down { return 302 http://127.0.0.1:@PORT@/a.bin; }");

    for (const std::string& base : {"http://127.0.0.1:" + std::to_string(nginx.port()),
                                   "https://localhost:" + std::to_string(nginx.tlsPort(0)) + "/"}) {
        SCOPED_TRACE(base);
        HttpDriver d(base);
        ASSERT_TRUE(d.Open()) << d.why;
        ASSERT_TRUE(d.Get("a.bin")) << d.why;
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_TRUE(d.data == a);
        EXPECT_EQ(d.session.Announced(), 300000);
        ASSERT_TRUE(d.Get("a.bin", 1000, 5000, false)) << d.why;
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_TRUE(d.data == a.substr(1000, 5000));
        // The rest of a file whose first 100,000 bytes are in.
        WriteFile(out.file("a.part"), a.substr(0, 100000));
        const int fd = ::open(out.file("a.part").c_str(), O_WRONLY);
        TFetchSession::TFetch f;
        f.Remote = "a.bin";
        f.Fd = fd;
        f.Offset = 100000;
        f.Expected = 300000;
        ASSERT_TRUE(d.Get(f)) << d.why;
        ::close(fd);
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_TRUE(ReadFile(out.file("a.part")) == a);
        ASSERT_TRUE(d.Get("sub dir/b.bin")) << d.why;
        EXPECT_EQ(d.data, b);
        ASSERT_TRUE(d.Get("none.bin"));
        EXPECT_EQ(d.end, TEnd::Refused) << d.why;
        EXPECT_EQ(d.session.Connections(), 1);
        if (base.rfind("https", 0) == 0) {
            ASSERT_TRUE(d.Get("down"));
            EXPECT_EQ(d.end, TEnd::Failed);
            EXPECT_NE(d.why.find("from https down to http"), std::string::npos) << d.why;
        }
    }

    HttpDriver w("https://localhost:" + std::to_string(nginx.tlsPort(1)));
    EXPECT_FALSE(w.Open());
    EXPECT_TRUE(w.broken && w.login);
    EXPECT_NE(w.why.find("is not trusted: hostname mismatch"), std::string::npos) << w.why;
    unsetenv("SSL_CERT_FILE");
}
