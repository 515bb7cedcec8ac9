// Test fixture: a real pyftpdlib server on 127.0.0.1, serving a temporary
// folder, started in the constructor and stopped in the destructor. The
// Windows build's tests, under Wine, ask fixtures/ftpd_launcher.py on the
// host for it (SKIFF_FTPD_LAUNCHER: its port).
#pragma once
#ifdef _WIN32
#include <cstdlib>

#include "PeerSockets.h"
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testing_support {

#ifdef _WIN32
class FtpServer {
public:
    explicit FtpServer(const std::string& root, const std::string& user = "update",
                       const std::string& password = "x", const std::vector<std::string>& extra = {}) {
        const char* launcher = getenv("SKIFF_FTPD_LAUNCHER");
        if (!launcher) throw std::runtime_error("no FTP server launcher: run under tests/fixtures/ftpd_launcher.py");
        const std::string hostRoot = HostPath(root);
        if (hostRoot.empty()) throw std::runtime_error("the host's path of " + root + " is not known (not Wine?)");
        std::string request = hostRoot + "\t" + user + "\t" + password;
        for (const std::string& e : extra) request += "\t" + e;
        request += "\n";
        link_ = ConnectToLoopback(atoi(launcher));
        SendBytes(link_, request.data(), request.size());
        std::string answer;
        char c;
        while (ReceiveBytes(link_, &c, 1) == 1 && c != '\n') answer += c;
        if (sscanf(answer.c_str(), "PORT %d", &port_) != 1 || port_ == 0) {
            CloseSocket(link_);
            throw std::runtime_error("the FTP server did not start: " + answer);
        }
    }
    ~FtpServer() { Stop(); }
    // Returns once the launcher has ended the server.
    void Stop() {
        if (link_ < 0) return;
        EndSending(link_);
        char b[64];
        while (ReceiveBytes(link_, b, sizeof b) > 0) {
        }
        CloseSocket(link_);
        link_ = -1;
    }
    int port() const { return port_; }

private:
    int link_ = -1;
    int port_ = 0;
};
#else
class FtpServer {
public:
    // `extra`: the script's options for a misbehaving server (see ftpd.py).
    explicit FtpServer(const std::string& root, const std::string& user = "update",
                       const std::string& password = "x", const std::vector<std::string>& extra = {}) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            std::vector<const char*> argv{"python3", SKIFF_FTPD_SCRIPT, root.c_str(), user.c_str(), password.c_str()};
            for (const std::string& e : extra) argv.push_back(e.c_str());
            argv.push_back(nullptr);
            execv("/usr/bin/python3", const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        FILE* f = fdopen(out[0], "r");
        if (fscanf(f, "PORT %d", &port_) != 1) port_ = 0;
        fclose(f);
        if (port_ == 0) throw std::runtime_error("the FTP server did not start");
    }
    ~FtpServer() { Stop(); }
    void Stop() {
        if (pid_ <= 0) return;
        close(stdin_);
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

#endif

}  // namespace testing_support
