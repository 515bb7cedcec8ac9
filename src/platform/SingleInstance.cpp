#include "SingleInstance.h"

#include <FL/Fl.H>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

std::function<void()> gOnActivate;

socklen_t AddressFor(const AnsiString& title, sockaddr_un& addr) {
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    // Abstract namespace: nothing on disk to clean up after a crash.
    AnsiString name = "skiff-instance-" + IntToStr(getuid()) + "-" + title;
    if (name.size() > sizeof addr.sun_path - 2) name.resize(sizeof addr.sun_path - 2);
    memcpy(addr.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

void OnActivationRequest(int fd, void*) {
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    char b;
    (void)!read(c, &b, 1);
    (void)!write(c, "k", 1);
    close(c);
    if (gOnActivate) gOnActivate();
}

}  // namespace

bool ActivateRunningInstance(const AnsiString& title) {
    sockaddr_un addr;
    socklen_t len = AddressFor(title, addr);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    bool found = connect(s, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    if (found) {
        timeval tv{2, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        (void)!write(s, "a", 1);
        char b;
        (void)!read(s, &b, 1);  // the first instance has seen the request
    }
    close(s);
    return found;
}

bool ClaimInstanceTitle(const AnsiString& title, std::function<void()> onActivate) {
    sockaddr_un addr;
    socklen_t len = AddressFor(title, addr);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(s, 4) != 0) {
        close(s);
        return false;
    }
    gOnActivate = std::move(onActivate);
    Fl::add_fd(s, FL_READ, OnActivationRequest);
    return true;
}
