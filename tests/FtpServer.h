// Test fixture: a real pyftpdlib server on 127.0.0.1, serving a temporary
// folder, started in the constructor and stopped in the destructor.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testing_support {

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

}  // namespace testing_support
