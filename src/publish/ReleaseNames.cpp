#include "ReleaseNames.h"

#include <algorithm>

#include "platform/CodePage.h"
#include "release/RemoteName.h"

void CheckListName(const AnsiString& rel, const AnsiString& shown, std::vector<AnsiString>& problems) {
    if (rel.find(' ') != AnsiString::npos)
        problems.push_back(shown + ": holds a blank (the versions list separates its fields by blanks)");
    bool control = false;
    for (unsigned char c : rel) control |= c < 0x20 || c == 0x7F;
    if (control) problems.push_back(shown + ": holds a control character");
    if (rel.find('\\') != AnsiString::npos)
        problems.push_back(shown + ": holds a backslash (the folder separator of the list)");
    if (rel.find(':') != AnsiString::npos)
        problems.push_back(shown + ": holds a colon (a drive or stream on other systems)");
}

bool ToListCodePage(const AnsiString& rel, int codePage, const AnsiString& shown, AnsiString& local,
                    std::vector<AnsiString>& problems) {
    local.clear();
    if (!TryUtf8ToCodePage(rel, codePage, local)) {
        problems.push_back(shown + ": cannot be written in the code page of the names (" + CodePageName(codePage) +
                           "); choose another with --codepage");
        return false;
    }
    std::replace(local.begin(), local.end(), '/', '\\');
    return true;
}

bool CheckPackName(const AnsiString& name, int codePage, AnsiString& local, std::vector<AnsiString>& problems) {
    const AnsiString shown = "--pack NAME " + name;
    const size_t before = problems.size();
    CheckListName(name, shown, problems);
    if (name.find('/') != AnsiString::npos)
        problems.push_back(shown + ": holds a slash (a pack is written to the application folder itself; "
                                   "give a name without a folder)");
    if (name == "." || name == "..") problems.push_back(shown + ": is not a file name");
    return ToListCodePage(name, codePage, shown, local, problems) && problems.size() == before;
}

void CheckServedNameLength(const AnsiString& local, const AnsiString& shown, std::vector<AnsiString>& problems) {
    const size_t bytes = ServedNameOf(local, AnsiString(64, '0'), ".gz").size();
    if (bytes > kMaxServedNameBytes)
        problems.push_back(shown + ": its served name would be " + IntToStr(static_cast<int64_t>(bytes)) +
                           " bytes long, over the " + IntToStr(static_cast<int64_t>(kMaxServedNameBytes)) +
                           " that file systems and FTP servers take (every byte outside ASCII letters, digits "
                           "and . _ - takes three); shorten the name");
}
