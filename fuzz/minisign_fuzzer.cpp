// libFuzzer target: minisign public keys, signatures and trusted comments,
// and the whole signed-list check, on bytes from anywhere. The input is a
// key file, a signature file and a list, separated by NUL bytes. Nothing may
// crash, and nothing but a valid signature by the fixed key may pass.
#include <cstdint>
#include <string>

#include "crypto/Minisign.h"
#include "release/ReleaseCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t a = input.find('\0'), b = a == std::string::npos ? a : input.find('\0', a + 1);
    const std::string keyText = input.substr(0, a);
    const std::string signature = a == std::string::npos ? input : input.substr(a + 1, b - a - 1);
    const std::string list = b == std::string::npos ? "" : input.substr(b + 1);
    try {
        ParsePublicKey(keyText);
    } catch (const ESignatureError&) {
    }
    try {
        TSignature s = ParseSignature(signature);
        CommentFields(s.TrustedComment);
    } catch (const ESignatureError&) {
    }
    static const TPublicKey key = [] {
        TSecretKey secret;
        GenerateKey(secret);
        return ParsePublicKey(PublicKeyText(secret));
    }();
    try {
        int codePage = 0;
        CheckSignedList(list, signature, key, 0, 1800000000, &codePage);
        abort();  // a random key: nothing the fuzzer makes can be signed by it
    } catch (const ESignatureError&) {
    }
    return 0;
}
