// The BSD socket types that the socket shim (Winsock.h) and its callers
// share: sockaddr_in, in_addr, hostent, the byte-order helpers and the
// address constants. On Linux they are the system's. On Windows they are
// our own copies, laid out as the system's (ws2def.h, winsock2.h): those
// headers bring the system's HWND, SendMessage and PostMessage, which
// cannot meet ours in one file, so only the back end's system half
// (win32/SystemSockets.cpp) includes them.
#pragma once
#ifndef _WIN32
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#else
#include <cstdint>

namespace Winsock {

struct in_addr {
    uint32_t s_addr;  // network order
};
struct sockaddr_in {
    uint16_t sin_family;
    uint16_t sin_port;  // network order
    in_addr sin_addr;
    char sin_zero[8];
};
struct hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};

constexpr int AF_INET = 2, SOCK_STREAM = 1;
constexpr uint32_t INADDR_ANY = 0, INADDR_LOOPBACK = 0x7F000001, INADDR_NONE = 0xFFFFFFFF;

// Windows runs little-endian on every processor it supports.
inline uint16_t htons(uint16_t v) { return __builtin_bswap16(v); }
inline uint16_t ntohs(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t htonl(uint32_t v) { return __builtin_bswap32(v); }
inline uint32_t ntohl(uint32_t v) { return __builtin_bswap32(v); }

}  // namespace Winsock

using Winsock::AF_INET;
using Winsock::hostent;
using Winsock::htonl;
using Winsock::htons;
using Winsock::in_addr;
using Winsock::INADDR_ANY;
using Winsock::INADDR_LOOPBACK;
using Winsock::INADDR_NONE;
using Winsock::ntohl;
using Winsock::ntohs;
using Winsock::SOCK_STREAM;
using Winsock::sockaddr_in;
#endif
