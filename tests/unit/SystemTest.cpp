#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <random>
#include <thread>

#include "LoopbackPeer.h"
#include "TestSupport.h"
#include "platform/FileSystem.h"
#include "platform/FileWriter.h"
#include "platform/System.h"

using namespace testing_support;

TEST(Locale, PosixNamesGiveTheOriginalIdentifiers) {
    EXPECT_EQ(LocaleIdFromName("zh_TW.UTF-8"), 0x0404u);
    EXPECT_EQ(LocaleIdFromName("zh_CN.UTF-8"), 0x0804u);
    EXPECT_EQ(LocaleIdFromName("zh_HK.UTF-8"), 0x0C04u);
    EXPECT_EQ(LocaleIdFromName("zh_SG.GB2312"), 0x1004u);
    EXPECT_EQ(LocaleIdFromName("zh_MO"), 0x1404u);
    EXPECT_EQ(LocaleIdFromName("en_US.UTF-8"), 0x0409u);
    EXPECT_EQ(LocaleIdFromName("ja_JP.UTF-8"), 0x0411u);
    EXPECT_EQ(LocaleIdFromName("ko_KR.UTF-8"), 0x0412u);
    EXPECT_EQ(LocaleIdFromName("C"), 0x0409u);
    EXPECT_EQ(LocaleIdFromName("POSIX"), 0x0409u);
    EXPECT_EQ(LocaleIdFromName("de_DE@euro") & 0x3FF, 0x07u);
}

TEST(Locale, ThreadLocaleFollowsPosixPrecedence) {
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", "zh_TW.UTF-8", 1);
    EXPECT_EQ(GetThreadLocale(), 0x0404u);
    EXPECT_EQ(SystemCodePage(), 950);
    setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
    EXPECT_EQ(GetThreadLocale(), 0x0804u);
    setenv("LC_ALL", "ko_KR.UTF-8", 1);
    EXPECT_EQ(GetThreadLocale(), 0x0412u);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    unsetenv("LANG");
    EXPECT_EQ(GetThreadLocale(), 0x0409u);
    EXPECT_EQ(SystemCodePage(), 1252);
}

TEST(Paths, BackslashesAndCodePageBecomeNativeUtf8) {
    setenv("LANG", "zh_TW.UTF-8", 1);
    // Big5 A4A4 is the character for "middle"; its trail byte 0x5C in B35C
    // must not be taken for a backslash.
    EXPECT_EQ(NativePath("data\\\xA4\xA4.txt"), "data/\xE4\xB8\xAD.txt");
    EXPECT_EQ(NativePath("\xB3\x5C"), "\xE8\xA8\xB1");
    EXPECT_EQ(SystemPathFromNative("/tmp/\xE4\xB8\xAD/"), "\\tmp\\\xA4\xA4\\");
    unsetenv("LANG");
}

TEST(Paths, SafeRelativeNames) {
    EXPECT_TRUE(IsSafeRelativeName("data\\maps\\a.bin"));
    EXPECT_TRUE(IsSafeRelativeName("a..b"));
    EXPECT_FALSE(IsSafeRelativeName("..\\evil"));
    EXPECT_FALSE(IsSafeRelativeName("data\\..\\..\\evil"));
    EXPECT_FALSE(IsSafeRelativeName("data/../evil"));
    EXPECT_FALSE(IsSafeRelativeName("\\etc\\passwd"));
    EXPECT_FALSE(IsSafeRelativeName("/etc/passwd"));
    EXPECT_FALSE(IsSafeRelativeName("C:\\x"));
    EXPECT_FALSE(IsSafeRelativeName(""));
}

TEST(WinExec, ProgramInAFolderWithBlanksGetsItsArgumentFromAnyDirectory) {
    TempDir dir;
    std::string folder = dir.path() + "/my client dir";
    std::filesystem::create_directories(folder);
    std::string record = dir.file("record.txt");
    WriteFile(folder + "/portal.exe",
              "#!/bin/sh\necho \"$# $1 $(pwd)\" > '" + record + "'\n");
    chmod((folder + "/portal.exe").c_str(), 0755);
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path("/");
    std::string cmd = SystemPathFromNative(folder + "/portal.exe") + " 1";
    unsigned r = WinExec(cmd, SW_SHOWNORMAL);
    std::filesystem::current_path(cwd);
    EXPECT_GT(r, 31u);
    ASSERT_TRUE(PumpUntil([&] { return ReadFile(record).size() > 0; }));
    EXPECT_EQ(ReadFile(record), "1 1 /\n");
    EXPECT_LE(WinExec(SystemPathFromNative(dir.path() + "/none.exe") + " 1", SW_SHOWNORMAL), 31u);
}

TEST(SingleInstance, SecondStartFindsTheFirstAsksItForwardAndEndsWithZero) {
    TempDir dir;
    std::string title = "skiff-test-" + std::to_string(getpid());
    std::string marker = dir.file("marker");
    pid_t first = fork();
    if (first == 0) {
        execl(SKIFF_TEST_HELPER, SKIFF_TEST_HELPER, title.c_str(), marker.c_str(), nullptr);
        _exit(127);
    }
    ASSERT_TRUE(PumpUntil([&] { return ReadFile(marker) == "ready"; }));
    std::string cmd = std::string(SKIFF_TEST_HELPER) + " " + title + " " + dir.file("unused");
    FILE* p = popen(cmd.c_str(), "r");
    char out[32] = {0};
    size_t n = fread(out, 1, sizeof out - 1, p);
    int status = pclose(p);
    EXPECT_EQ(std::string(out, n), "found\n");
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(Exists(dir.file("unused"))) << "the second instance made nothing of its own";
    int firstStatus = 0;
    waitpid(first, &firstStatus, 0);
    EXPECT_EQ(ReadFile(marker), "activated");
}

namespace {

// Runs the probe and returns what it printed.
std::string RunProbe(const std::string& title, const std::string& marker) {
    std::string cmd = std::string(SKIFF_TEST_HELPER) + " " + title + " " + marker;
    FILE* p = popen(cmd.c_str(), "r");
    char out[64] = {0};
    size_t n = fread(out, 1, sizeof out - 1, p);
    pclose(p);
    return std::string(out, n);
}

// Starts a python script as the user nobody; it prints "ready" when set up.
struct AsNobody {
    FILE* pipe = nullptr;
    explicit AsNobody(const std::string& script) {
        std::string cmd = "setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/python3 -c '" + script + "'";
        pipe = popen(cmd.c_str(), "r");
        char line[64] = {0};
        if (!fgets(line, sizeof line, pipe)) ready = false;
        ready = std::string(line).rfind("ready", 0) == 0;
    }
    ~AsNobody() { pclose(pipe); }
    bool ready = false;
};

}  // namespace

TEST(SingleInstance, AnotherUserCanNeitherEndAStartNorCallTheInstanceForward) {
    if (getuid() != 0) GTEST_SKIP() << "switching to the user nobody needs root";
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string title = "skiff-test-" + std::to_string(getpid());
    // Without a private runtime folder the endpoint is an abstract socket,
    // which another user can take first: one that answers is not believed,
    // and one that fills its backlog and never accepts (it lets go after 4 s)
    // does not hold the start.
    unsetenv("XDG_RUNTIME_DIR");
    const std::string name = "\\0skiff-instance-" + std::to_string(getuid()) + "-" + title;
    const std::string bind = "import socket, time\ns = socket.socket(socket.AF_UNIX)\ns.bind(\"" + name + "\")\n";
    for (const std::string& squatting :
         {bind + "s.listen(4)\nprint(\"ready\", flush=True)\nheld = []\ns.settimeout(1)\n"
                 "try:\n    while True: held.append(s.accept()[0])\nexcept Exception: pass\n",
          bind + "s.listen(0)\nc = socket.socket(socket.AF_UNIX)\nc.setblocking(False)\nc.connect(\"" + name +
              "\")\nprint(\"ready\", flush=True)\ntime.sleep(4)\n"}) {
        AsNobody squatter(squatting);
        ASSERT_TRUE(squatter.ready);
        auto t0 = std::chrono::steady_clock::now();
        FILE* first = popen((std::string(SKIFF_TEST_HELPER) + " " + title + " " + dir.file("m1")).c_str(), "r");
        char line[64] = {0};
        ASSERT_TRUE(fgets(line, sizeof line, first));
        EXPECT_EQ(std::string(line), "unclaimed locked\n") << "the start did not end because of it";
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2)) << "nor did it hang on the squatter";
        // ... and the folder's lock keeps a second updater of the folder out.
        EXPECT_EQ(RunProbe(title, dir.file("m2")), "unclaimed held\n");
        pclose(first);
    }

    // With the runtime folder the endpoint is a file only this user reaches.
    TempDir runtime;
    chmod(runtime.path().c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    std::string marker = dir.file("marker");
    pid_t first = fork();
    if (first == 0) {
        execl(SKIFF_TEST_HELPER, SKIFF_TEST_HELPER, title.c_str(), marker.c_str(), nullptr);
        _exit(127);
    }
    ASSERT_TRUE(PumpUntil([&] { return ReadFile(marker) == "ready"; }));
    std::string socketPath = runtime.path() + "/skiff-" + title + ".sock";
    EXPECT_TRUE(Exists(socketPath));
    {
        AsNobody intruder("import socket\ns = socket.socket(socket.AF_UNIX)\n"
                          "try:\n    s.connect(\"" + socketPath + "\")\n    print(\"ready connected\", flush=True)\n"
                          "except OSError:\n    print(\"ready refused\", flush=True)\n");
        EXPECT_TRUE(intruder.ready);
    }
    LoopbackPeer::Sleep(200);
    EXPECT_EQ(ReadFile(marker), "ready") << "another user called the instance forward";
    // A peer of this user that connects and then says nothing: the instance
    // answers without waiting on it (it used to freeze in a read).
    int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, socketPath.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_TRUE(PumpUntil([&] { return ReadFile(marker) == "activated"; }, 2.0));
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::close(silent);
    unsetenv("XDG_RUNTIME_DIR");
}

// Large files go straight to the disk in aligned blocks where it takes
// them (and through the page cache on a file system that does not, such as
// tmpfs), a temporary's in the background with its size reserved ahead:
// either way the file holds every byte and no more, from any starting
// offset, and the descriptor stands at its end.
TEST(FileWriter, EveryByteArrivesFromAnyOffsetOnAnyFileSystem) {
    TempDir disk;
    std::vector<std::string> folders{disk.path()};
    if (std::filesystem::is_directory("/dev/shm")) folders.push_back("/dev/shm");
    std::mt19937 random(9);
    std::string data(9 * (1 << 20) + 4321, '\0');  // more blocks than a temporary keeps in flight
    for (char& c : data) c = static_cast<char>(random());
    for (const std::string& folder : folders) {
        for (size_t offset : {size_t(0), size_t(12345)}) {
            for (bool temporary : {false, true}) {
                const std::string path = folder + "/skiff-writer-" + std::to_string(getpid());
                WriteFile(path, data.substr(0, offset));
                int fd = open(path.c_str(), O_WRONLY);
                ASSERT_EQ(lseek(fd, static_cast<off_t>(offset), SEEK_SET), static_cast<off_t>(offset));
                TFileWriter writer(fd, static_cast<int64_t>(offset), temporary);
                for (size_t at = offset; at < data.size();) {
                    size_t n = std::min<size_t>(data.size() - at, 1 + random() % 700000);
                    ASSERT_TRUE(writer.Write(data.data() + at, n));
                    at += n;
                }
                ASSERT_TRUE(writer.Finish());
                EXPECT_EQ(lseek(fd, 0, SEEK_CUR), static_cast<off_t>(data.size()));
                close(fd);
                EXPECT_TRUE(ReadFile(path) == data) << folder << " from " << offset << (temporary ? ", temporary" : "");
                unlink(path.c_str());
            }
        }
    }
}
