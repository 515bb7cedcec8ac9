// The FTP component against a real FTP server (pyftpdlib) on 127.0.0.1.
#include <gtest/gtest.h>

#include <random>

#include "FtpServer.h"
#include "TestSupport.h"
#include "net/WexFTP.h"

using namespace testing_support;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

class FtpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(root.file("empty.bin"), "");
        WriteFile(root.file("one.bin"), "\n");
        WriteFile(root.file("big.bin"), RandomBytes(10 << 20, 7));
        WriteFile(root.file("update3.dat"), "header\r\n");
        server.reset(new FtpServer(root.path()));
        ftp.Host = "127.0.0.1";
        ftp.Port = server->port();
        ftp.UserID = "update";
        ftp.Password = "x";
        ftp.TimeOut = 10000;
        ftp.OnStatus = [this](TObject*, const AnsiString& s) { statuses.push_back(s); };
    }
    TempDir root, local;
    std::unique_ptr<FtpServer> server;
    std::vector<std::string> statuses;
    TWexFTP ftp{nullptr};
};

}  // namespace

TEST_F(FtpServerTest, LoginAndNameListing) {
    ftp.Connect();
    std::vector<std::string> names;
    ftp.OnListItem = [&](const AnsiString& n) { names.push_back(n); };
    int listed = 0;
    ftp.OnSuccess = [&](TCmdType t) { listed += t == CtNList; };
    ftp.NList();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big.bin", "empty.bin", "one.bin", "update3.dat"}));
    EXPECT_EQ(listed, 1);
    EXPECT_EQ(ftp.TransferSize, 0);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Received 0 Bytes"), statuses.end());
    ftp.Disconnect();
    EXPECT_FALSE(ftp.Connected);
}

TEST_F(FtpServerTest, DownloadsAreByteExactInBothModes) {
    ftp.Connect();
    for (bool passive : {false, true}) {
        ftp.Passive = passive;
        for (const char* name : {"empty.bin", "one.bin", "big.bin"}) {
            SCOPED_TRACE(std::string(name) + (passive ? " passive" : " active"));
            std::vector<int64_t> counts;
            int stops = 0, successes = 0;
            ftp.OnPacketRecvd = [&](TObject*) { counts.push_back(ftp.ReceivedCount()); };
            ftp.OnTransactionStop = [&](TObject*) { ++stops; };
            ftp.OnSuccess = [&](TCmdType t) { successes += t == CtUpload; };
            std::string target = local.file(name);
            ftp.Download(name, local.appFolder() + name);
            std::string expected = ReadFile(root.file(name));
            EXPECT_TRUE(ReadFile(target) == expected) << "bytes differ";
            EXPECT_EQ(ftp.TransferSize, static_cast<int64_t>(expected.size()));
            EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
            if (!expected.empty()) {
                ASSERT_FALSE(counts.empty());
                EXPECT_EQ(counts.back(), static_cast<int64_t>(expected.size()));
            }
            EXPECT_EQ(stops, 2);
            EXPECT_EQ(successes, 1);
        }
    }
}

TEST_F(FtpServerTest, MissingFileFailsOrIsHandled) {
    ftp.Connect();
    try {
        ftp.Download("missing.bin", local.appFolder() + "missing.bin");
        FAIL() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message.substr(0, 4), "550 ") << e.Message;
        EXPECT_EQ(e.Message.substr(e.Message.size() - 2), "\r\n");
    }
    int successes = 0;
    ftp.OnSuccess = [&](TCmdType) { ++successes; };
    ftp.OnFailure = [](bool& handled, TCmdType) { handled = true; };
    EXPECT_NO_THROW(ftp.Download("missing.bin", local.appFolder() + "missing.bin"));
    EXPECT_FALSE(Exists(local.file("missing.bin")));
    EXPECT_EQ(successes, 0);
    // The control connection is still usable afterwards.
    ftp.Download("one.bin", local.appFolder() + "one.bin");
    EXPECT_EQ(ReadFile(local.file("one.bin")), "\n");
}

TEST_F(FtpServerTest, EmptyLocalNameStoresUnderTheRemoteName) {
    ftp.Connect();
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(local.path());
    ftp.Download("one.bin", "");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(ReadFile(local.file("one.bin")), "\n");
}

TEST_F(FtpServerTest, WrongPasswordFailsTheLogin) {
    ftp.Password = "y";
    int failed = 0, connected = 0;
    ftp.OnConnectionFailed = [&](TObject*) { ++failed; };
    ftp.OnConnect = [&](TObject*) { ++connected; };
    try {
        ftp.Connect();
        FAIL() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message.substr(0, 4), "530 ");
    }
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(connected, 0);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "QUIT"), statuses.end());
    EXPECT_EQ(statuses.back(), "Disconnected");
    EXPECT_FALSE(ftp.Connected);
}
