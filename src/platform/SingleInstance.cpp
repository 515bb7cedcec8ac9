#include "SingleInstance.h"

#include <FL/Fl.H>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "FileSystem.h"

namespace {

std::function<void()> gOnActivate;
AnsiString gClaimedPath;  // the socket file this process made, if any

// The endpoint of a title: a socket file in the user's runtime folder when
// that folder is the user's own and closed to others (mode 0700); otherwise
// an abstract socket, whose peers are then checked by their credentials.
socklen_t AddressFor(const AnsiString& title, sockaddr_un& addr, AnsiString& filePath) {
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    filePath.clear();
    AnsiString safe;
    for (char c : title) safe += (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-') ? c : '_';
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (runtime && *runtime == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
        (st.st_mode & 077) == 0) {
        AnsiString path = AnsiString(runtime) + "/skiff-" + safe + ".sock";
        if (path.size() < sizeof addr.sun_path) {
            filePath = path;
            memcpy(addr.sun_path, path.c_str(), path.size() + 1);
            return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
        }
    }
    AnsiString name = "skiff-instance-" + IntToStr(getuid()) + "-" + safe;
    if (name.size() > sizeof addr.sun_path - 2) name.resize(sizeof addr.sun_path - 2);
    memcpy(addr.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// Only a process of this very user may find us, or be found by us.
bool PeerIsThisUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == getuid();
}

// Connects without ever blocking on the listener: another user may squat the
// abstract name and fill its backlog, where a blocking connect would wait
// for good. A full backlog is tried again until a short deadline; then the
// caller goes on as if no instance answered, and the folder's lock decides.
bool ConnectWithin(int s, const sockaddr_un& addr, socklen_t len, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (connect(s, reinterpret_cast<const sockaddr*>(&addr), len) == 0) return true;
        if (errno != EAGAIN && errno != EINTR) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        // A local socket says nothing when its backlog drains: look again soon.
        poll(nullptr, 0, static_cast<int>(std::min<int64_t>(left.count(), 20)));
    }
}
const std::chrono::milliseconds kConnectLimit(500);

// Never waits on the peer: the request is the connection itself, and the
// answer is written without blocking.
void OnActivationRequest(int fd, void*) {
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) return;
    bool ours = PeerIsThisUser(c);
    if (ours) (void)!send(c, "k", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    close(c);
    if (ours && gOnActivate) gOnActivate();
}

}  // namespace

bool ActivateRunningInstance(const AnsiString& title) {
    sockaddr_un addr;
    AnsiString filePath;
    socklen_t len = AddressFor(title, addr, filePath);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return false;
    bool found = ConnectWithin(s, addr, len, kConnectLimit) && PeerIsThisUser(s);
    if (found) {
        // The first instance answers once it has seen the request; a frozen
        // one is still ours, so this start ends all the same.
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 2000) == 1) {
            char b;
            (void)!recv(s, &b, 1, MSG_DONTWAIT);
        }
    }
    close(s);
    return found;
}

bool ClaimInstanceTitle(const AnsiString& title, std::function<void()> onActivate) {
    sockaddr_un addr;
    AnsiString filePath;
    socklen_t len = AddressFor(title, addr, filePath);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return false;
    bool bound = bind(s, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    if (!bound && errno == EADDRINUSE && !filePath.empty()) {
        // A socket file left by an instance that did not end cleanly: nobody
        // answers there any more, so it is ours to replace. A full backlog
        // in our own private folder is an instance of ours, only busy.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        bool alive = probe >= 0 && (connect(probe, reinterpret_cast<sockaddr*>(&addr), len) == 0 || errno == EAGAIN);
        if (probe >= 0) close(probe);
        if (!alive && unlink(filePath.c_str()) == 0) bound = bind(s, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    }
    if (!bound || listen(s, 4) != 0) {
        close(s);
        return false;
    }
    gClaimedPath = filePath;
    gOnActivate = std::move(onActivate);
    Fl::add_fd(s, FL_READ, OnActivationRequest);
    return true;
}

bool ClaimFolderLock(const AnsiString& appFolder) {
    int fd = OpenForLogging(appFolder + ".skiff-lock");
    if (fd < 0) return true;  // a folder we cannot write: the update fails later, with its reason
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    return true;  // held until the process ends
}

void ReleaseInstanceTitle() {
    if (!gClaimedPath.empty()) unlink(gClaimedPath.c_str());
    gClaimedPath.clear();
}
