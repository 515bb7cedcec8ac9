// The system's Winsock calls on plain types, for the socket back end
// (win32/Winsock.cpp), whose sockaddr_in and HWND are ours: winsock2.h and
// our EventLoop.h cannot meet in one file. Addresses are sockaddr_in laid
// out as the system's; sockets are the system's SOCKET values; failures
// leave their number for WSAGetLastError, as the calls themselves do.
#pragma once
#include <cstdint>
#include <vector>

namespace SystemSockets {

// Starts Winsock 2.2 once for the process; false (and the reason for
// LastError) when the system refuses.
bool Start();
int LastError();
void SetLastError(int error);

intptr_t Socket(int af, int type, int protocol);  // -1 on failure
int Close(intptr_t s);
int SetLinger(intptr_t s, bool on, int seconds);
int Connect(intptr_t s, const void* addr, int len);
int Bind(intptr_t s, const void* addr, int len);
int Listen(intptr_t s, int backlog);
intptr_t Accept(intptr_t s, void* addr, int* len);  // -1 on failure
int Send(intptr_t s, const void* buf, int len);
int Receive(intptr_t s, void* buf, int len, bool peek);
int LocalAddress(intptr_t s, void* addr, int* len);
int PeerAddress(intptr_t s, void* addr, int* len);
uint32_t InetAddr(const char* text);
// The events go to the hidden message window (MessageWindow.h) as `msg`.
int SelectEvents(intptr_t s, unsigned msg, long events);
// getaddrinfo: 0 and the IPv4 addresses, or the system's error number.
int ResolveIPv4(const char* name, std::vector<uint32_t>& addresses);

}  // namespace SystemSockets
