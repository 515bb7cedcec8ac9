// What the transfer pool needs of any session to a mirror, whatever it
// speaks (FTP: TFtpSession; HTTP and HTTPS: THttpSession). A session is a
// state machine on the one event loop and never waits itself.
//
// Open connects (and logs in, or shakes hands); OnReady follows, or
// OnBroken. Fetch, while Ready, brings a file or a range of it into a
// descriptor, memory or a sink; OnFetched tells how it ended, and the
// session is Ready again after it unless it broke. A session that broke
// stays dead. Quit ends it politely and calls OnClosed; Abandon ends it at
// once with no word to anyone. Callbacks may call Fetch; they must not
// destroy the session (let it go on a later pass of the loop, once
// Dispatching() is false).
#pragma once
#include <cstdint>
#include <functional>

#include <array>
#include <vector>

#include "platform/Classes.h"
#include "platform/EventLoop.h"

class TFetchSession {
public:
    struct TFetch {
        AnsiString Remote;
        bool Listing = false;           // FTP only: NLST instead of RETR Remote
        int Fd = -1;                    // the bytes go here, from Offset on (pwrite) ...
        AnsiString* Memory = nullptr;   // ... or here ...
        // ... or to this; false stops the fetch (a failure of ours, in `why`).
        std::function<bool(const char* data, size_t n, AnsiString& why)> Sink;
        int64_t Offset = 0;             // the first byte wanted
        // A server that cannot start past byte 0 sends the file from byte 0
        // then, instead of a refusal (the caller is told).
        bool RestartMayFail = false;
        int64_t Length = -1;            // the bytes wanted; -1: all the server has
        bool EndsFile = true;           // the range runs to the file's end
        // With Length -1: past this many bytes the fetch stops at once (one
        // byte over is taken, so the caller sees the excess): TEnd::Overflow.
        int64_t MaxBytes = -1;
        // The file's whole size as the caller knows it (-1: not known). A
        // transfer that ends short of it ends the fetch at once, unless the
        // bytes are all the server announced.
        int64_t Expected = -1;
    };
    // Done: the bytes wanted arrived and the server confirmed them. Refused:
    // the server says the file is not there (or not for us). Failed: any
    // other failure of this fetch. Overflow: more than MaxBytes.
    enum class TEnd { Done, Refused, Failed, Overflow };
    // How the current or last fetch ended, once that is decided (also when
    // the session broke afterwards).
    struct TOutcome {
        bool Decided = false;
        TEnd End = TEnd::Done;
        AnsiString Why;
    };

    explicit TFetchSession(int idleMilliseconds) : IdleMilliseconds(idleMilliseconds) {}
    virtual ~TFetchSession() = default;
    TFetchSession(const TFetchSession&) = delete;
    TFetchSession& operator=(const TFetchSession&) = delete;

    // The silence that ends the session, in milliseconds (0: none); may
    // change between operations. A reply is due within it from the request,
    // data within it from the last block.
    int IdleMilliseconds;

    virtual void Open() = 0;
    virtual void Fetch(const TFetch& fetch) = 0;
    // Ends the session politely and calls OnClosed once the server has let
    // it go (or, with untilClosed false, once it has answered).
    virtual void Quit(bool untilClosed = true) = 0;
    virtual void Abandon() = 0;
    virtual bool Ready() const = 0;
    virtual bool Broken() const = 0;
    // Inside one of this session's handlers: it may not be destroyed now.
    bool Dispatching() const { return FDepth > 0; }
    virtual const TOutcome& Outcome() const = 0;

    std::function<void()> OnReady;
    std::function<void(TEnd end, const AnsiString& why)> OnFetched;
    // `login`: the server refused the session itself (a limit of sessions,
    // a wrong user, a certificate we cannot trust), as opposed to a session
    // that broke later.
    std::function<void(const AnsiString& why, bool login)> OnBroken;
    std::function<void(int64_t bytes)> OnBytes;  // each block of data taken
    std::function<void()> OnClosed;

protected:
    // A socket or timer event of the session, from its window: handled now,
    // or, when one of its callbacks let the loop run, once that returns, so
    // that the session sees its events in order and never inside itself.
    void HandleEvent(UINT msg, WPARAM wParam, LPARAM lParam) {
        if (FDepth > 0) {
            FDeferred.push_back({msg, static_cast<uintptr_t>(wParam), static_cast<uintptr_t>(lParam)});
            return;
        }
        Counted(msg, wParam, lParam);
        while (!FDeferred.empty()) {
            const auto next = FDeferred.front();
            FDeferred.erase(FDeferred.begin());
            Counted(static_cast<UINT>(next[0]), static_cast<WPARAM>(next[1]), static_cast<LPARAM>(next[2]));
        }
    }
    virtual void Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) = 0;

private:
    void Counted(UINT msg, WPARAM wParam, LPARAM lParam) {
        struct TDepth {
            int& depth;
            explicit TDepth(int& d) : depth(d) { ++depth; }
            ~TDepth() { --depth; }  // also when a callback throws
        } depth(FDepth);
        Dispatch(msg, wParam, lParam);
    }
    int FDepth = 0;
    std::vector<std::array<uintptr_t, 3>> FDeferred;
};
