// Test fixture: a real vsftpd on 127.0.0.1 serving a folder to the user
// "anonymous" (any password), started in the foreground and stopped by its
// process id when the fixture goes. Available() tells whether it is installed.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "LoopbackPeer.h"
#include "TestSupport.h"

namespace testing_support {

class VsftpdServer {
public:
    static bool Available() { return access("/usr/sbin/vsftpd", X_OK) == 0; }

    // `passive` false: a server set up with passive mode off (PASV refused).
    explicit VsftpdServer(const std::string& root, bool passive = true) {
        int probe = ListenOnLoopback(1, port_);
        ::close(probe);
        int pasvLow;
        probe = ListenOnLoopback(1, pasvLow);
        ::close(probe);
        std::filesystem::create_directories("/var/run/vsftpd/empty");
        std::ofstream(dir_.file("vsftpd.conf"))
            << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port_
            << "\nbackground=NO\nanonymous_enable=YES\nanon_root=" << root
            << "\nno_anon_password=YES\nlocal_enable=NO\nwrite_enable=NO\npasv_enable=" << (passive ? "YES" : "NO") << "\npasv_address=127.0.0.1\n"
               "pasv_min_port=" << pasvLow << "\npasv_max_port=" << pasvLow + 50
            << "\nport_enable=YES\nconnect_from_port_20=NO\nseccomp_sandbox=NO\n"
               "secure_chroot_dir=/var/run/vsftpd/empty\nrun_as_launching_user=YES\nxferlog_enable=NO\n";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/usr/sbin/vsftpd", "vsftpd", dir_.file("vsftpd.conf").c_str(), nullptr);
            _exit(127);
        }
        // Ready once it takes a connection.
        for (int i = 0; i < 100; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port_);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            if (up) return;
            LoopbackPeer::Sleep(50);
        }
        Stop();
        throw std::runtime_error("vsftpd did not start");
    }
    ~VsftpdServer() { Stop(); }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int port() const { return port_; }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace testing_support
