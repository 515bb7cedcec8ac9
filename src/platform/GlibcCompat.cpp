// The shipped updater runs on desktops with glibc 2.34 and later. The static
// C++ runtime of GCC 12 built on glibc 2.36 asks for arc4random (2.36) in
// std::random_device, which the program never uses but cannot drop; this
// definition, drawn from the kernel like glibc's own, takes its place so
// that the binary asks nothing newer than 2.34 of the system.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" uint32_t arc4random(void) {
    uint32_t value;
    for (;;) {
        ssize_t n = getrandom(&value, sizeof value, 0);
        if (n == static_cast<ssize_t>(sizeof value)) return value;
        if (n < 0 && errno != EINTR) abort();  // as glibc: no randomness is no answer
    }
}
