// The real main window and server dialog in the test process, on a temporary
// application folder, with the dialogs answered and recorded by the test.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "FtpServer.h"
#include "TestSupport.h"
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/Display.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "publish/Publisher.h"

namespace testing_support {

struct HaltSignal {};  // stands for the program's immediate end

struct UpdaterFixture : ::testing::Test {
    TempDir app;
    std::vector<std::pair<TDialogKind, std::string>> dialogs;
    bool confirmAnswer = false;

    void SetUp() override {
        OpenDisplay();
        std::filesystem::copy(SKIFF_ASSETS_DIR "/upimg", app.file("upimg"));
        SetApplicationFolderForTesting(app.appFolder());
        SetDialogHook([this](TDialogKind kind, const AnsiString& text) {
            dialogs.emplace_back(kind, text);
            return confirmAnswer;
        });
        Application->Terminated = false;
    }
    void TearDown() override {
        CloseWindows();
        SetDialogHook({});
        SetDisplayCodePage(0);
        SetNameCodePage(0);
        SetApplicationFolderForTesting("");
        Application->Terminated = false;
    }

    void ServerList(const std::vector<int>& ports, int timeOut = 3000, const std::string& user = "update") {
        std::string text;
        for (size_t i = 0; i < ports.size(); ++i)
            text += "Server" + std::to_string(i) + " 127.0.0.1 " + std::to_string(ports[i]) + " " +
                    std::to_string(timeOut) + " " + user + "\r\n";
        WriteFile(app.file("isp0.dat"), text + "end\r\n");
    }

    // Frees both windows (a later Start creates them afresh, as a new start of the program).
    void CloseWindows() {
        delete Form2;
        delete Form1;
        Form1 = nullptr;
        Form2 = nullptr;
    }

    // Creates both windows as the entry point does, in locale `lang`.
    void Start(const char* lang) {
        setenv("LANG", lang, 1);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        Application->Terminated = false;
        Form1 = new TForm1(nullptr);
        SetMainForm(Form1);
        Form1->Halt = [] { throw HaltSignal{}; };
        Form2 = new TForm2(nullptr);
    }

    // The start-up sequence as the first resize runs it, with the dialog's
    // confirm picture clicked as soon as the dialog is up.
    void RunSequence() {
        PostTask([] {
            if (Form2->Modal()) Form2->Image1cMouseDown(Form2->Image1c, mbLeft, 0, 1, 1);
        });
        Form1->FormResize(Form1);
    }

    size_t CountDialogs(TDialogKind kind, const std::string& text) const {
        size_t n = 0;
        for (auto& d : dialogs) n += d.first == kind && d.second == text;
        return n;
    }
};

// A release that a test writes into `src` and publishes with the project's
// publisher into out/pub, the folder its servers serve.
struct TestRelease {
    TempDir src, out;
    // Most window tests follow one session through its tries: their lists
    // ask for one file after another. Parallel runs set this to true.
    bool parallel = false;
    void Add(const std::string& name, const std::string& bytes) const { WriteFile(src.file(name), bytes); }
    TPublishOptions Options(const std::string& version) const {
        TPublishOptions o;
        o.ReleaseDir = src.path();
        o.OutDir = root();
        o.Version = version;
        if (!parallel) o.Connections = 1, o.Mirrors = "one";
        return o;
    }
    void Publish(const std::string& version, std::vector<std::pair<AnsiString, AnsiString>> packs = {},
                 std::vector<AnsiString> plain = {}) const {
        TPublishOptions o = Options(version);
        o.Packs = std::move(packs);
        o.PlainGlobs = std::move(plain);
        ::Publish(o);
    }
    std::string root() const { return out.file("pub"); }
    std::string file(const std::string& name) const { return out.file("pub/" + name); }
    std::string served(const std::string& local) const { return ServedName(root(), local); }
};

// What a server's log says: its commands and the bytes of each download.
struct ServerLog {
    TempDir dir;
    std::string path = dir.file("log");
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::ifstream in(path);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    int Count(const std::string& prefix) const {
        int n = 0;
        for (auto& l : Lines()) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    // The bytes all downloads of the file served for `name` sent.
    int64_t BytesSent(const std::string& name = "big.bin") const {
        int64_t n = 0;
        for (auto& l : Lines())
            if (l.rfind("SENT " + name, 0) == 0) n += std::stoll(l.substr(l.rfind(' ') + 1));
        return n;
    }
};

}  // namespace testing_support
