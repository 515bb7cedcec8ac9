// libFuzzer target: a versions list and an installed list as a server or a
// damaged disk may hold them (split at the first NUL byte): the lines, their
// fields and entries, the header's code page and the plan. Nothing may
// crash, and the fast plan must equal the pairwise one.
#include <cstdint>
#include <string>

#include "app/UpdatePlan.h"
#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "release/LineFields.h"
#include "release/UpdateEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    TStringList remote, installed;
    remote.SetText(input.substr(0, cut));
    installed.SetText(cut == std::string::npos ? "KOVRAN\r\n" : input.substr(cut + 1));
    if (remote.Count() > 0) DeclaredNamesCodePage(remote[0]);
    for (const AnsiString& line : remote.Lines()) {
        try {
            TUpdateEntry e = ParseUpdateEntry(line);
            IsSafeRelativeName(e.Local);
            IsSafeRemoteName(e.Remote);
        } catch (const EConvertError&) {
        }
    }
    TUpdatePlan fast = BuildUpdatePlan(remote.Lines(), installed.Lines());
    TUpdatePlan pairs = BuildUpdatePlanByPairs(remote.Lines(), installed.Lines());
    if (fast.Entries != pairs.Entries || fast.Names != pairs.Names) abort();
    return 0;
}
