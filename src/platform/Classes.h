// The class-library base: objects, owned components, events, exceptions and
// small conversions that every layer above uses.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using AnsiString = std::string;  // byte text in the system code page

class TObject {
public:
    virtual ~TObject() = default;
};

// A component is created with an owner, which frees it when the owner itself
// is freed. Freeing an owned component first removes it from its owner, so it
// is never freed twice.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int i) const { return FComponents.at(i); }
    // True while stored settings are being applied (the designer's "loading" state).
    bool Loading() const { return FLoading; }
    void SetLoading(bool v) { FLoading = v; }
    // Frees the owned components now, last-created first (a form does this
    // before it releases its window).
    void DestroyComponents();

    AnsiString Name;

private:
    void InsertComponent(TComponent* c);
    void RemoveComponent(TComponent* c);
    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    bool FLoading = false;
};

// Events are plain callables; "assigned" means non-empty.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using THandlerEvent = std::function<void(bool& Handled)>;

// Base exception: one message text.
class Exception : public std::exception {
public:
    explicit Exception(AnsiString msg) : Message(std::move(msg)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    AnsiString Message;
};
class EConvertError : public Exception { using Exception::Exception; };
class EInOutError : public Exception { using Exception::Exception; };
class EInvalidOperation : public Exception { using Exception::Exception; };

// Signed decimal text to integer; anything else raises EConvertError naming the text.
int StrToInt(const AnsiString& s);
int64_t StrToInt64(const AnsiString& s);
AnsiString IntToStr(int64_t v);
AnsiString UpperCase(const AnsiString& s);  // ASCII letters only
AnsiString LowerCase(const AnsiString& s);  // ASCII letters only
