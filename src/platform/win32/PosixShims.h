// The POSIX calls that the shared code makes and the Windows C runtime
// lacks, on its descriptors and our UTF-8 native paths. Included before
// every file of the Windows build (cmake/Win32.cmake).
#pragma once
#ifdef __cplusplus
#include <sys/types.h>
#include <cstddef>
#include <io.h>
#include <direct.h>

// Reads at an offset. Unlike POSIX it moves the descriptor's position
// (Windows has no positioned read that leaves it); the shared code never
// mixes it with reads from the position.
ssize_t pread(int fd, void* buffer, size_t n, off_t offset);
// Makes a folder (the mode is Linux's; Windows folders inherit their ACL).
int mkdir(const char* nativePath, unsigned mode);
#endif
