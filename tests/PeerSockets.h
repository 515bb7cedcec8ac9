// The plain blocking sockets of the tests' scripted peers, on Linux and on
// Windows alike. On Windows they are the system's Winsock, which the test
// files cannot include beside our EventLoop.h (two HWNDs); a socket is an
// int there too (the system keeps its handles below 2^24).
#pragma once
#include <cstddef>
#include <string>

namespace testing_support {

// A socket listening on 127.0.0.1 at a port the system picks.
int ListenOnLoopback(int backlog, int& port);
// ... at this port; -1 when it is taken.
int ListenOnLoopbackAt(int port, int backlog);
int AcceptOn(int listener);  // -1 once the listener is shut
// Connects to 127.0.0.1:port, from the address `source` when given.
int ConnectToLoopback(int port, const char* source = nullptr);
int SendBytes(int fd, const void* data, size_t n);  // never raises SIGPIPE
int ReceiveBytes(int fd, void* buf, size_t n);
void CloseSocket(int fd);
// Closes with a reset (SO_LINGER 0) instead of the orderly end.
void ResetAndClose(int fd);
// Ends a listener's blocked accept from another thread.
void ShutdownSocket(int fd);
// Sends the end (FIN); the socket still receives.
void EndSending(int fd);
void SetReceiveTimeout(int fd, int milliseconds);
// Not of sockets, but of the same two systems: the CPU time the calling
// thread has used, which tells a real wait from a busy one.
double ThreadCpuSeconds();
#ifdef _WIN32
// Under Wine: the host's Unix path of a Windows path ("" elsewhere).
std::string HostPath(const std::string& path);
#endif

}  // namespace testing_support
