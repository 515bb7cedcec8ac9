#include "Classes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
    if (FOwner) FOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    DestroyComponents();
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::DestroyComponents() {
    // Last-created first; each one unlinks itself.
    while (!FComponents.empty()) delete FComponents.back();
}

void TComponent::InsertComponent(TComponent* c) { FComponents.push_back(c); }

void TComponent::RemoveComponent(TComponent* c) {
    auto it = std::find(FComponents.begin(), FComponents.end(), c);
    if (it != FComponents.end()) FComponents.erase(it);
}

static bool ParseSignedDecimal(const AnsiString& s, int64_t lo, int64_t hi, int64_t& out) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;  // leading blanks are tolerated
    if (i == s.size()) return false;
    bool neg = false;
    if (s[i] == '+' || s[i] == '-') neg = s[i++] == '-';
    if (i == s.size()) return false;
    int64_t v = 0;
    for (; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < '0' || c > '9') return false;
        if (v > (INT64_MAX - (c - '0')) / 10) return false;
        v = v * 10 + (c - '0');
    }
    if (neg) v = -v;
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

int StrToInt(const AnsiString& s) {
    int64_t v;
    if (!ParseSignedDecimal(s, INT_MIN, INT_MAX, v))
        throw EConvertError("'" + s + "' is not a valid integer value");
    return static_cast<int>(v);
}

int64_t StrToInt64(const AnsiString& s) {
    int64_t v;
    if (!ParseSignedDecimal(s, -INT64_MAX, INT64_MAX, v))
        throw EConvertError("'" + s + "' is not a valid integer value");
    return v;
}

AnsiString IntToStr(int64_t v) { return std::to_string(v); }

AnsiString UpperCase(const AnsiString& s) {
    AnsiString r = s;
    for (char& c : r) if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return r;
}

AnsiString LowerCase(const AnsiString& s) {
    AnsiString r = s;
    for (char& c : r) if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}
