#include "PosixShims.h"

#include <windows.h>

#include <cerrno>

#include "WideNames.h"

ssize_t pread(int fd, void* buffer, size_t n, off_t offset) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD got = 0;
    const DWORD ask = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    if (!ReadFile(h, buffer, ask, &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) return 0;
        return FailWithLastError(-1);
    }
    return static_cast<ssize_t>(got);
}

int mkdir(const char* nativePath, unsigned /*mode*/) {
    return CreateDirectoryW(WidePath(nativePath).c_str(), nullptr) ? 0 : FailWithLastError(-1);
}
