#include "SignedPrevious.h"

#include <sys/stat.h>

void CheckSigningKept(const TPublishOptions& o) {
    if (!o.SecretKey.empty() || o.Previous.empty() || o.UnsignedOverSigned) return;
    // The previous release is its folder's update3.dat, given as the folder
    // or as that file; its signature lies beside it.
    struct stat st;
    if (stat(o.Previous.c_str(), &st) != 0) return;  // the publisher names a missing --previous itself
    AnsiString folder = S_ISDIR(st.st_mode) ? o.Previous : o.Previous.substr(0, o.Previous.rfind('/') + 1);
    if (folder.empty()) folder = ".";
    const AnsiString signature = folder + "/update3.dat.minisig";
    if (stat(signature.c_str(), &st) == 0)
        throw Exception("The previous release is signed (" + signature +
                        "): give --sign, or --unsigned-over-signed if updaters holding its key may refuse this one");
}
