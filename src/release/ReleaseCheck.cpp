#include "ReleaseCheck.h"

#include "LineFields.h"
#include "platform/FileSystem.h"

namespace {

int64_t NumberField(const std::map<AnsiString, AnsiString>& fields, const char* name, int64_t missing) {
    auto it = fields.find(name);
    if (it == fields.end()) return missing;
    try {
        return StrToInt64(it->second);
    } catch (const EConvertError&) {
        throw ESignatureError("The trusted comment's " + AnsiString(name) + " is not a number");
    }
}

}  // namespace

int64_t CheckSignedList(const AnsiString& list, const AnsiString& signatureFile, const TPublicKey& key,
                        int64_t lastSerial, int64_t now, int* signedCodePage) {
    TSignature signature = ParseSignature(signatureFile);
    VerifySignature(signature, key, list);
    // The fields below are covered by the global signature.
    std::map<AnsiString, AnsiString> fields = CommentFields(signature.TrustedComment);
    if (!fields.count("serial")) throw ESignatureError("The signed list has no serial");
    int64_t serial = NumberField(fields, "serial", 0);
    if (serial < lastSerial)
        throw EListRolledBack("The list's serial " + IntToStr(serial) + " is lower than " + IntToStr(lastSerial) +
                              ", the last one installed here: an older release served as new");
    int64_t expires = NumberField(fields, "expires", 0);
    if (expires != 0 && expires < now) throw EListExpired("The list's signature has expired");
    int64_t codePage = NumberField(fields, "codepage", 0);
    size_t lineEnd = list.find_first_of("\r\n");
    int declared = DeclaredNamesCodePage(list.substr(0, lineEnd));
    if (codePage != 0 && declared != 0 && codePage != declared)
        throw ESignatureError("The list declares code page " + IntToStr(declared) + ", its signature " +
                              IntToStr(codePage));
    if (signedCodePage) *signedCodePage = codePage >= 0 && codePage <= 65535 ? static_cast<int>(codePage) : 0;
    return serial;
}

int64_t SignedSerialClaim(const AnsiString& signatureFile, const TPublicKey& key) {
    TSignature signature = ParseSignature(signatureFile);
    VerifyTrustedComment(signature, key);
    std::map<AnsiString, AnsiString> fields = CommentFields(signature.TrustedComment);
    if (!fields.count("serial")) throw ESignatureError("The signed list has no serial");
    return NumberField(fields, "serial", 0);
}

int64_t AcceptedSerial(const AnsiString& appFolder) {
    AnsiString path = appFolder + kSerialFile;
    if (!FileExists(path)) return 0;
    AnsiString text = ReadWholeFile(path);
    try {
        return StrToInt64(text.substr(0, text.find_first_of("\r\n")));
    } catch (const EConvertError&) {
        // A damaged record must not open the door to older lists.
        throw ESignatureError("The record of the last serial (" + ShownPath(path) + ") is damaged");
    }
}

void SaveAcceptedSerial(const AnsiString& appFolder, int64_t serial) {
    WriteWholeFileAtomic(appFolder + kSerialFile, IntToStr(serial) + "\r\n");
}
