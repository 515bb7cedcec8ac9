// libFuzzer target: the gzip reader on any bytes a mirror may send. It must
// end (whole, damaged or cut short) without crashing or running away.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "gzip/GunzipReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = tmpfile();
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fflush(f);
    rewind(f);
    TGunzipReader reader(fileno(f));
    std::vector<char> buffer(4096);
    size_t total = 0;
    for (ssize_t n; (n = reader.Read(buffer.data(), buffer.size())) > 0;) {
        total += static_cast<size_t>(n);
        if (total > (size_t(64) << 20)) break;  // a bomb: far past anything the inputs can be
    }
    fclose(f);
    return 0;
}
