// The served form of a release file, written in one pass over it: gzip data
// (zlib's gzip wrapper at the given level; stored blocks for data that do
// not compress, which deflate would only slow down on) or a plain copy,
// hashed as it is written, so that nothing is read back.
#pragma once
#include "platform/Classes.h"

// Native paths; returns the SHA-256 of the bytes written. Raises Exception
// naming the file that cannot be read or written.
AnsiString WriteServedFile(const AnsiString& source, const AnsiString& target, bool compress, int level);
