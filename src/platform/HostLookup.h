// What each back end of Winsock.h gives the host lookup they share
// (HostLookup.cpp: WSAAsyncGetHostByName and WSACancelAsyncRequest).
#pragma once
#include <cstdint>
#include <vector>

#include "Classes.h"

namespace Winsock {

// Runs on a worker thread: the IPv4 addresses of `name` (network order),
// and 0, or the original's error number (11001 "host not found", ...).
int ResolveIPv4(const AnsiString& name, std::vector<uint32_t>& addresses);
// What WSAGetLastError tells the calling thread next; returns SOCKET_ERROR.
int SetLastSocketError(int wsa);

}  // namespace Winsock
