// Test fixture: a real nginx on 127.0.0.1 serving a folder over http and,
// when given a certificate, https, each on a port of its own; its prefix,
// configuration, logs and temporaries in a folder of its own. One process
// (no daemon, no master), started in the foreground and stopped by its
// process id when the fixture goes. Available() tells whether nginx is
// installed. TestCertificates makes a CA and server certificates with the
// openssl command, for SSL_CERT_FILE.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "LoopbackPeer.h"
#include "TestSupport.h"

namespace testing_support {

// A throw-away CA and certificates it signs, in a folder of their own.
class TestCertificates {
public:
    TestCertificates() {
        Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
            " -subj '/CN=skiff test CA' -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign -keyout " + dir_.file("ca.key") + " -out " + ca());
    }
    const std::string ca() const { return dir_.file("ca.pem"); }
    // A server certificate for these subjectAltName entries ("IP:127.0.0.1,
    // DNS:localhost"); returns the certificate's path, the key beside it.
    std::string Server(const std::string& name, const std::string& altNames) {
        const std::string key = dir_.file(name + ".key"), csr = dir_.file(name + ".csr"), pem = dir_.file(name + ".pem");
        std::ofstream(dir_.file(name + ".ext")) << "subjectAltName=" << altNames << "\n";
        Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + name + " -keyout " +
            key + " -out " + csr);
        Run("openssl x509 -req -days 2 -in " + csr + " -CA " + ca() + " -CAkey " + dir_.file("ca.key") +
            " -CAcreateserial -extfile " + dir_.file(name + ".ext") + " -out " + pem);
        return pem;
    }
    static std::string KeyOf(const std::string& pem) { return pem.substr(0, pem.size() - 4) + ".key"; }

private:
    static void Run(const std::string& command) {
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
            throw std::runtime_error("failed: " + command);
    }
    TempDir dir_;
};

class NginxServer {
public:
    static bool Available() { return access("/usr/sbin/nginx", X_OK) == 0; }

    struct TTls {
        std::string certificate;  // empty: no https server
        std::string key;
    };
    // `extra`: more directives for each server block (a location, say);
    // "@PORT@" there stands for the http port.
    explicit NginxServer(const std::string& root, const std::vector<TTls>& tls = {}, const std::string& extra = "") {
        port_ = FreePort();
        std::string more = extra;
        for (size_t at; (at = more.find("@PORT@")) != std::string::npos;) more.replace(at, 6, std::to_string(port_));
        std::string servers = Block("listen 127.0.0.1:" + std::to_string(port_) + ";", root, more);
        for (auto& t : tls) {
            const int p = FreePort();
            tlsPorts_.push_back(p);
            servers += Block("listen 127.0.0.1:" + std::to_string(p) + " ssl; ssl_certificate " + t.certificate +
                                 "; ssl_certificate_key " + t.key + ";",
                             root, more);
        }
        const std::string d = dir_.path();
        std::ofstream(dir_.file("nginx.conf"))
            << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << d << "/nginx.pid;\nerror_log " << d
            << "/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
            << "  client_body_temp_path " << d << "/body; proxy_temp_path " << d << "/proxy;\n"
            << "  fastcgi_temp_path " << d << "/fastcgi; uwsgi_temp_path " << d << "/uwsgi; scgi_temp_path " << d
            << "/scgi;\n  default_type application/octet-stream;\n  keepalive_timeout 30s;\n" << servers << "}\n";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/usr/sbin/nginx", "nginx", "-p", d.c_str(), "-c", dir_.file("nginx.conf").c_str(), "-e",
                  dir_.file("error.log").c_str(), nullptr);
            _exit(127);
        }
        // Ready once every port takes a connection.
        std::vector<int> ports = tlsPorts_;
        ports.push_back(port_);
        for (int i = 0; i < 200; ++i) {
            bool up = true;
            for (int p : ports) up = up && Accepts(p);
            if (up) return;
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) break;
            LoopbackPeer::Sleep(25);
        }
        Stop();
        throw std::runtime_error("nginx did not start: " + ReadFile(dir_.file("error.log")));
    }
    ~NginxServer() { Stop(); }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int port() const { return port_; }
    int tlsPort(size_t i = 0) const { return tlsPorts_.at(i); }

private:
    static int FreePort() {
        int port;
        ::close(ListenOnLoopback(1, port));
        return port;
    }
    static std::string Block(const std::string& listen, const std::string& root, const std::string& extra) {
        return "  server {\n    " + listen + "\n    root " + root + ";\n    " + extra + "\n  }\n";
    }
    static bool Accepts(int port) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return up;
    }
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::vector<int> tlsPorts_;
};

}  // namespace testing_support
