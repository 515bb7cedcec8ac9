// One HTTP/1.1 session to a mirror (http:// or https://) as a state machine
// on socket and timer events, on the one event loop, like TFtpSession: it
// never waits itself.
//
// Open looks up the host, connects and, for https, shakes hands through
// OpenSSL (HttpTls.cpp: the system's trusted certificates, or SSL_CERT_FILE
// and SSL_CERT_DIR; the name sent for SNI and checked against the
// certificate, or the address for a literal one); OnReady follows, or
// OnBroken. A build without OpenSSL (Windows: HttpNoTls.cpp) breaks an
// https session at Open, saying so. Fetch,
// while Ready, sends one GET for the base path plus Remote on the kept
// connection (Range "bytes=a-b" or "a-" for Offset and Length; If-Range with
// the first validator seen for that name; Accept-Encoding identity) and
// takes an identity or chunked body. A kept connection the server closed
// while it was idle, or before any byte of the answer, is made again once
// and the request sent again. Proxies come from the environment as curl
// reads it (http_proxy, https_proxy, all_proxy, no_proxy): plain http goes
// to the proxy with the whole address in the request line, https through a
// CONNECT tunnel, with TLS to the origin inside it.
//
// The answers: 200 or 206 with the range asked (a 206 whose Content-Range
// is not the one asked, or a 200 to a range from past byte 0 without
// RestartMayFail, fails the fetch and drops the connection); 404 and 410
// are TEnd::Refused (the file is not there); 301, 302, 303, 307 and 308 are
// followed up to five times, to the same host or another, never from https
// down to http; anything else fails the fetch. A fetch that failed leaves
// the session Ready (the next one connects anew if the connection was
// dropped). A response head that is no HTTP, too long or never ends, a
// broken chunked coding, a certificate we cannot trust, a connection that
// cannot be made, or a silence ends the session: OnBroken, and it stays
// dead.
//
// An answer is due within the idle time-out from the request (a head that
// trickles in does not restart the count), body data within it from the
// last block. Each read event takes a bounded amount of work; the loop
// gets its turn again after it.
#pragma once

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "FetchSession.h"
#include "HttpReplies.h"
#include "platform/EventLoop.h"
#include "platform/SocketAddress.h"

// OpenSSL's handles, declared as its headers declare them: only the TLS
// half (HttpTls.cpp) sees what they are.
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

class THttpSession : public TFetchSession {
public:
    // `baseUrl`: "http://host[:port]/path" or "https://..."; one that cannot
    // be used makes Open break the session at once, with the reason.
    THttpSession(const AnsiString& baseUrl, int idleMilliseconds);
    ~THttpSession() override;

    void Open() override;
    void Fetch(const TFetch& fetch) override;
    // Ends the connection (with TLS's close_notify) and calls OnClosed from
    // the loop; there is no answer to wait for.
    void Quit(bool untilClosed = true) override;
    void Abandon() override;
    bool Ready() const override { return FState == TState::Ready; }
    bool Broken() const override { return FState == TState::Broken; }
    const TOutcome& Outcome() const override { return FOutcome; }

    // Of the current or last fetch: the size the server announced (the whole
    // file's, from Content-Range or a 200's Content-Length; 0: none), the
    // offset its bytes start at (0 when a range was answered with the whole
    // file), the bytes that arrived, the status of the last answer.
    int64_t Announced() const { return FAnnounced; }
    int64_t RestartedAt() const { return FRestartedAt; }
    int64_t Received() const { return FReceived; }
    int Status() const { return FHead.Status; }
    // The If-Range validator kept for a name ("" for none): the first one a
    // 200 or 206 for it carried, unless given before. Sessions that fetch
    // parts of one file can share it, so that none mixes two versions.
    AnsiString Validator(const AnsiString& remote) const;
    void SetValidator(const AnsiString& remote, const AnsiString& validator) { FValidators[remote] = validator; }
    // Connections made so far (a kept connection serves many fetches).
    int Connections() const { return FConnections; }
    // Every request line sent and every status line received, for the log.
    std::function<void(const AnsiString& line)> OnLine;

    static constexpr int kMaxRedirects = 5;

private:
    enum class TState { Idle, Resolving, Connecting, Tunneling, Handshaking, Ready, Head, Body, Quitting, Broken };
    struct TProxy {
        THttpUrl Url;   // Host empty: none
        AnsiString Why;  // set: the proxy named cannot be used
    };
    // What the body of the answer being read is for.
    enum class TBodyUse { Data, Discard };
    static LRESULT WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnSocketEvent(int event, int error);
    void OnLookup(int error);
    void OnTick();
    void Connect(const THttpUrl& origin);
    void StartConnect();
    void Connected();
    void Tunneled(bool bytesAfter);
    void StartTls();
    void Handshake();
    void ReadProxies();
    const TProxy& ProxyFor(const THttpUrl& origin) const;
    bool CanCarry(const THttpUrl& target) const;
    void SendRequest();
    void ReadSocket();
    bool Take(const char* data, size_t n);
    bool OnHead();
    bool TakeBody(const char* data, size_t n);
    bool Deliver(const char* data, size_t n);
    void BodyEnded();
    void AfterBody();
    void ConnectionLost(int error);
    bool Redirect();
    void EndFetch(TEnd end, const AnsiString& why, bool keepConnection);
    void Break(const AnsiString& why, bool login = false);
    void CloseConnection();
    void Closed();
    void ArmTick();
    // Transport: plain or TLS. ReceivePlain gives the bytes that arrived
    // (>0), 0 at the peer's clean end, -1 when nothing is there yet, -2 on an
    // error (FTransportWhy).
    int ReceivePlain(char* buf, int cap);
    bool Transmit(const AnsiString& bytes);
    bool FlushOut();
    // The TLS half, in HttpTls.cpp (or HttpNoTls.cpp): whether this build
    // speaks TLS (else why not); the handshake; ciphertext in and out.
    static bool TlsAvailable(AnsiString& why);
    int ReceiveTls(char* buf, int cap);
    bool TransmitTls(const AnsiString& bytes);
    void DrainCipherOut();
    void ShutdownTls();
    void FreeTls();
    void FreeTlsContext();
    bool PullCipher(bool& ended);
    AnsiString TlsWhy(int result);
    void Touch() { FLastActivity = std::chrono::steady_clock::now(); }

    // The mirror; the origin the connection is for; where it goes (the
    // origin or a proxy); this request's address.
    THttpUrl FBase, FOrigin, FPeer, FTarget;
    bool FProxied = false;
    TProxy FHttpProxy, FHttpsProxy;
    AnsiString FNoProxy;
    AnsiString FBaseWhy;
    HWND FWindow = 0;
    int FSocket = -1;
    sockaddr_in FAddr{};
    std::unique_ptr<char[]> FLookup;
    intptr_t FLookupHandle = 0;
    TState FState = TState::Idle;
    bool FRequestPending = false;  // a connection is being made for the request
    bool FReused = false;          // the connection already served an answer
    bool FRetried = false, FAnswerBegun = false, FKeepAlive = true, FOpened = false;
    int FConnections = 0, FRedirects = 0, FInterim = 0;
    TFetch FFetch;
    bool FRangeAsked = false, FIfRangeSent = false;
    std::map<AnsiString, AnsiString> FValidators;  // remote name -> If-Range validator
    THttpHeadReader FHead;
    THttpChunkDecoder FChunks;
    bool FChunked = false, FToClose = false;
    int64_t FBodyLeft = -1;  // identity body with a length: bytes still due
    TBodyUse FUse = TBodyUse::Data;
    int64_t FDiscarded = 0;
    int64_t FReceived = 0, FAnnounced = 0, FRestartedAt = 0, FSkip = 0;
    TOutcome FOutcome;
    TEnd FPendingEnd = TEnd::Failed;  // for an answer whose body is discarded
    AnsiString FPendingWhy;
    std::unique_ptr<char[]> FBuffer;
    AnsiString FOut;  // bytes for the socket that it did not take yet
    SSL_CTX* FContext = nullptr;
    SSL* FSsl = nullptr;
    BIO* FCipherIn = nullptr;   // what arrived, for OpenSSL to read
    BIO* FCipherOut = nullptr;  // what OpenSSL wrote, for the socket
    AnsiString FTransportWhy;
    std::chrono::steady_clock::time_point FLastActivity;
};
