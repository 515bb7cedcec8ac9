// The name lookup of both socket back ends: the system's resolver runs on
// a worker thread (it may block for many seconds) and the answer is laid
// out in the caller's buffer on the UI thread, just before the message is
// delivered, so that a request cancelled in between writes nothing into a
// buffer its owner may have freed.
#include <cstring>
#include <map>
#include <memory>
#include <system_error>
#include <thread>

#include "HostLookup.h"
#include "Winsock.h"

namespace Winsock {
namespace {

struct Lookup {
    HWND wnd;
    UINT msg;
    char* buf;
    int buflen;
    AnsiString name;
    // Filled by the worker thread:
    std::vector<uint32_t> addresses;
    int error = 0;
};

std::map<HANDLE, std::shared_ptr<Lookup>> gLookups;  // UI thread only
HANDLE gNextLookup = 1;

// Lays out a hostent in the caller's buffer: the entry, the address pointer
// list, the addresses and the name. Returns false when it does not fit.
bool WriteHostEnt(const Lookup& l) {
    size_t n = l.addresses.size();
    size_t need = sizeof(hostent) + sizeof(char*) * (n + 2) + 4 * n + l.name.size() + 1;
    if (need > static_cast<size_t>(l.buflen)) return false;
    memset(l.buf, 0, l.buflen);
    auto* he = reinterpret_cast<hostent*>(l.buf);
    char** list = reinterpret_cast<char**>(l.buf + sizeof(hostent));
    char* addrs = reinterpret_cast<char*>(list + n + 2);
    char* name = addrs + 4 * n;
    for (size_t i = 0; i < n; ++i) {
        memcpy(addrs + 4 * i, &l.addresses[i], 4);
        list[i] = addrs + 4 * i;
    }
    list[n] = nullptr;
    list[n + 1] = nullptr;  // the empty alias list
    memcpy(name, l.name.c_str(), l.name.size() + 1);
    he->h_name = name;
    he->h_aliases = &list[n + 1];
    he->h_addrtype = AF_INET;
    he->h_length = 4;
    he->h_addr_list = list;
    return true;
}

void DeliverLookup(HANDLE h) {
    auto it = gLookups.find(h);
    if (it == gLookups.end()) return;  // cancelled: the buffer may be gone
    std::shared_ptr<Lookup> l = it->second;
    gLookups.erase(it);
    if (!IsWindow(l->wnd)) return;
    int err = l->error;
    if (!err && !WriteHostEnt(*l)) err = WSAENOBUFS;
    SendMessage(l->wnd, l->msg, static_cast<WPARAM>(h), WSAMAKESELECTREPLY(l->buflen, err));
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen) {
    auto l = std::make_shared<Lookup>();
    l->wnd = wnd;
    l->msg = msg;
    l->buf = buf;
    l->buflen = buflen;
    l->name = name;
    HANDLE h = gNextLookup++;
    gLookups[h] = l;
    // The worker owns only its copy of the name and its results; it never
    // touches the caller's buffer.
    std::shared_ptr<Lookup> work = l;
    try {
        std::thread([work, h] {
            work->error = ResolveIPv4(work->name, work->addresses);
            if (!work->error && work->addresses.empty()) work->error = WSANO_DATA;
            PostTask([h] { DeliverLookup(h); });
        }).detach();
    } catch (const std::system_error&) {
        gLookups.erase(h);
        SetLastSocketError(WSAENOBUFS);
        return 0;
    }
    return h;
}

int WSACancelAsyncRequest(HANDLE h) {
    if (gLookups.erase(h) == 0) return SetLastSocketError(WSAEINVAL);
    return 0;
}

}  // namespace Winsock
