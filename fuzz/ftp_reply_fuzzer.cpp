// libFuzzer target: what an FTP server says, line by line: reply codes, the
// rules for multi-line replies, byte counts and passive-mode ports. Nothing
// may crash; a port comes only from six numbers of 0 to 255.
#include <cstdint>
#include <string>

#include "net/FtpReplies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const AnsiString line(reinterpret_cast<const char*>(data), size);
    LeadingNumber(line);
    ReplyClass(line);
    ContinuesReply(line);
    const int code = ReplyCode(line);
    EndsReply(code < 0 ? 220 : code, size % 2 == 0, line);
    if (ParseByteCount(line) < 0) abort();
    int port = -1;
    if (ParsePassivePort(line, port) && (port < 0 || port > 65535)) abort();
    return 0;
}
