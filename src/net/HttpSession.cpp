#include "HttpSession.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"
#include "platform/Winsock.h"

#ifndef SKIFF_VERSION
#define SKIFF_VERSION "0"
#endif

namespace {
constexpr UINT kSocketMessage = WM_USER + 1, kLookupMessage = WM_USER + 2, kQuitMessage = WM_USER + 3;
constexpr UINT kTickTimer = 1;
constexpr long kEvents = Winsock::FD_READ | Winsock::FD_WRITE | Winsock::FD_CONNECT | Winsock::FD_CLOSE;
constexpr size_t kBlock = 256 << 10;
// What one read event may take before the loop gets its turn again.
constexpr size_t kBytesPerEvent = 4 << 20;
constexpr int kMillisecondsPerEvent = 8;
// The body of an answer we do not keep (a redirection, a refusal) is read
// to its end up to this, so that the connection can serve the next request;
// a longer one costs the connection instead.
constexpr int64_t kMaxDiscard = 64 << 10;
constexpr int kMaxInterim = 10;  // 1xx answers before the real one

AnsiString FirstLine(const THttpHeadReader& h) {
    return "HTTP/1." + IntToStr(h.Minor) + " " + IntToStr(h.Status) + (h.Reason.empty() ? "" : " " + h.Reason);
}

}  // namespace

THttpSession::THttpSession(const AnsiString& baseUrl, int idleMilliseconds)
    : TFetchSession(idleMilliseconds), FBuffer(new char[kBlock]) {
    if (!SplitHttpUrl(baseUrl, FBase, FBaseWhy)) FBaseWhy = baseUrl + ": " + FBaseWhy;
    ReadProxies();
    FWindow = CreateMessageWindow(&THttpSession::WindowProc, this);
}

THttpSession::~THttpSession() {
    if (FLookupHandle) Winsock::WSACancelAsyncRequest(FLookupHandle);
    CloseConnection();
    FreeTlsContext();
    if (FWindow) DestroyWindow(FWindow);
}

LRESULT THttpSession::WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<THttpSession*>(GetWindowOwner(wnd));
    if (!self) return DefWindowProc(wnd, msg, wParam, lParam);
    self->HandleEvent(msg, wParam, lParam);
    return 0;
}

void THttpSession::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    const int socket = static_cast<int>(wParam);
    if (msg == kSocketMessage && socket == FSocket && FSocket >= 0)
        OnSocketEvent(Winsock::WSAGETSELECTEVENT(lParam), Winsock::WSAGETSELECTERROR(lParam));
    else if (msg == kLookupMessage) OnLookup(Winsock::WSAGETSELECTERROR(lParam));
    else if (msg == kQuitMessage) Closed();
    else if (msg == WM_TIMER) OnTick();
}

void THttpSession::ArmTick() {
    const int idle = IdleMilliseconds;
    SetTimer(FWindow, kTickTimer, idle > 0 ? std::clamp(idle / 4, 25, 250) : 250);
}

void THttpSession::Open() {
    if (FState != TState::Idle) return;
    if (!FBaseWhy.empty()) return Break(FBaseWhy, true);
    AnsiString noTls;
    if (FBase.Https && !TlsAvailable(noTls)) return Break(noTls, true);
    FRequestPending = false;
    Connect(FBase);
}

void THttpSession::Connect(const THttpUrl& origin) {
    CloseConnection();
    FOrigin = origin;
    ArmTick();
    Touch();
    const TProxy& proxy = ProxyFor(origin);
    if (!proxy.Why.empty()) return Break(proxy.Why, !FOpened);
    FProxied = !proxy.Url.Host.empty();
    FPeer = FProxied ? proxy.Url : origin;
    if (FPeer.Ipv6()) return Break("IPv6 addresses are not supported: " + FPeer.Host, !FOpened);
    FAddr = sockaddr_in{};
    FAddr.sin_family = AF_INET;
    FAddr.sin_port = htons(static_cast<uint16_t>(FPeer.EffectivePort()));
    FAddr.sin_addr.s_addr = Winsock::inet_addr(FPeer.Host.c_str());
    if (FAddr.sin_addr.s_addr != INADDR_NONE) return StartConnect();
    FState = TState::Resolving;
    FLookup.reset(new char[1024]);
    FLookupHandle = Winsock::WSAAsyncGetHostByName(FWindow, kLookupMessage, FPeer.Host.c_str(), FLookup.get(), 1024);
    if (!FLookupHandle) Break("the host name cannot be looked up", !FOpened);
}

// As curl reads them: http_proxy (lower case only: a CGI program's
// HTTP_PROXY comes from a request), https_proxy or HTTPS_PROXY, all_proxy
// or ALL_PROXY for either, no_proxy or NO_PROXY for the hosts that go
// direct. A proxy without a scheme is http://; without a port, 1080.
void THttpSession::ReadProxies() {
    auto env = [](const char* lower, const char* upper) -> AnsiString {
        const char* v = getenv(lower);
        if ((!v || !*v) && upper) v = getenv(upper);
        return v ? v : "";
    };
    const AnsiString all = env("all_proxy", "ALL_PROXY");
    const AnsiString http = env("http_proxy", nullptr), https = env("https_proxy", "HTTPS_PROXY");
    auto parse = [](const AnsiString& text, TProxy& p) {
        if (text.empty()) return;
        AnsiString url = text;
        if (url.find("://") == AnsiString::npos) url = "http://" + url;
        AnsiString why;
        if (url.compare(0, 7, "http://") != 0) {
            p.Why = "the proxy " + text + " is not an http:// proxy, the only kind supported";
        } else if (!SplitHttpUrl(url, p.Url, why)) {
            p.Why = "the proxy " + text + " cannot be used: " + why;
        } else if (!p.Url.Port) {
            p.Url.Port = 1080;
        }
    };
    parse(http.empty() ? all : http, FHttpProxy);
    parse(https.empty() ? all : https, FHttpsProxy);
    FNoProxy = LowerCase(env("no_proxy", "NO_PROXY"));
}

const THttpSession::TProxy& THttpSession::ProxyFor(const THttpUrl& origin) const {
    static const TProxy kDirect;
    const AnsiString host = LowerCase(origin.Host);
    for (size_t at = 0; at <= FNoProxy.size();) {
        size_t comma = FNoProxy.find(',', at);
        if (comma == AnsiString::npos) comma = FNoProxy.size();
        AnsiString entry = FNoProxy.substr(at, comma - at);
        entry.erase(0, entry.find_first_not_of(" \t"));
        entry.erase(entry.find_last_not_of(" \t") + 1);
        if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
        if (entry == "*") return kDirect;
        if (!entry.empty() && (host == entry || (host.size() > entry.size() &&
                                                 host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
                                                 host[host.size() - entry.size() - 1] == '.')))
            return kDirect;
        at = comma + 1;
    }
    return origin.Https ? FHttpsProxy : FHttpProxy;
}

// Whether the connection we have can carry a request to `target`: the same
// origin directly, the same proxy for plain http, the same tunnel for https.
bool THttpSession::CanCarry(const THttpUrl& target) const {
    if (FSocket < 0) return false;
    const TProxy& proxy = ProxyFor(target);
    if (proxy.Url.Host.empty()) return !FProxied && FOrigin.SameOrigin(target);
    if (!FProxied || !FPeer.SameOrigin(proxy.Url)) return false;
    return target.Https ? FOrigin.SameOrigin(target) : !FOrigin.Https;
}

void THttpSession::OnLookup(int error) {
    FLookupHandle = 0;
    if (FState != TState::Resolving) return;
    if (error != 0) return Break("the host name \"" + FPeer.Host + "\" is not known", !FOpened);
    memcpy(&FAddr.sin_addr.s_addr, reinterpret_cast<hostent*>(FLookup.get())->h_addr_list[0], 4);
    StartConnect();
}

void THttpSession::StartConnect() {
    FSocket = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    FState = TState::Connecting;
    FReused = false;
    ++FConnections;
    Touch();
    if (FSocket < 0 || Winsock::WSAAsyncSelect(FSocket, FWindow, kSocketMessage, kEvents) != 0)
        return Break("no socket", !FOpened);
    if (Winsock::connect(FSocket, &FAddr) != 0 && Winsock::WSAGetLastError() != Winsock::WSAEWOULDBLOCK)
        Break("the connection to " + FPeer.Authority() + " cannot be made", !FOpened);
}

void THttpSession::OnTick() {
    const bool waiting = FState == TState::Resolving || FState == TState::Connecting || FState == TState::Tunneling ||
                         FState == TState::Handshaking || FState == TState::Head || FState == TState::Body;
    if (!waiting || IdleMilliseconds <= 0) return;
    if (std::chrono::steady_clock::now() - FLastActivity > std::chrono::milliseconds(IdleMilliseconds))
        Break("nothing arrived for " + IntToStr((IdleMilliseconds + 999) / 1000) + " s",
              !FOpened && FState <= TState::Handshaking);
}

void THttpSession::OnSocketEvent(int event, int error) {
    if (FState == TState::Broken || FState == TState::Quitting) return;
    if (event == Winsock::FD_CONNECT) {
        if (FState != TState::Connecting) return;
        if (error != 0) return Break("the connection to " + FPeer.Authority() + " was refused", !FOpened);
        return Connected();
    }
    if (event == Winsock::FD_WRITE) {
        if (!FlushOut()) ConnectionLost(Winsock::WSAGetLastError());
        return;
    }
    // A close is read to its end like any arrival: the end of the bytes
    // (or the reset) is what tells what it meant.
    if (event == Winsock::FD_READ || event == Winsock::FD_CLOSE) {
        if (FState == TState::Handshaking) {
            bool ended = false;
            if (!PullCipher(ended)) return Break("the TLS handshake with " + FOrigin.Authority() + " was cut: " +
                                                 FTransportWhy, !FOpened);
            if (ended) return Break("the server closed the connection during the TLS handshake", !FOpened);
            return Handshake();
        }
        ReadSocket();
    }
}

void THttpSession::Connected() {
    Touch();  // the handshake, the tunnel or the answer is due from now
    if (!FOrigin.Https) {
        if (FRequestPending) return SendRequest();
        FState = TState::Ready;
        FOpened = true;
        if (OnReady) OnReady();
        return;
    }
    if (!FProxied) return StartTls();
    // Through the proxy, a tunnel to the origin first; TLS runs inside it.
    FHead.Reset();
    FState = TState::Tunneling;
    const AnsiString authority = FOrigin.Ipv6() ? "[" + FOrigin.Host + "]:" + IntToStr(FOrigin.EffectivePort())
                                                : FOrigin.Host + ":" + IntToStr(FOrigin.EffectivePort());
    if (OnLine) OnLine("CONNECT " + authority + " through " + FPeer.Authority());
    if (!Transmit("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\nUser-Agent: skiff/" SKIFF_VERSION
                  "\r\n\r\n"))
        ConnectionLost(1);
}

// The proxy's answer to CONNECT has come.
void THttpSession::Tunneled(bool bytesAfter) {
    if (OnLine) OnLine(FirstLine(FHead));
    if (FHead.Status / 100 != 2)
        return Break("the proxy " + FPeer.Authority() + " refused the tunnel to " + FOrigin.Authority() + ": " +
                         FirstLine(FHead),
                     !FOpened);
    // A TLS server speaks only after we do.
    if (bytesAfter) return Break("the proxy " + FPeer.Authority() + " sent more than its answer to CONNECT", !FOpened);
    Touch();
    StartTls();
}

int THttpSession::ReceivePlain(char* buf, int cap) {
    if (FSsl) return ReceiveTls(buf, cap);
    const int n = Winsock::recv(FSocket, buf, cap, 0);
    if (n >= 0) return n;
    const int error = Winsock::WSAGetLastError();
    if (error == Winsock::WSAEWOULDBLOCK) return -1;
    if (error == Winsock::WSAENOTCONN) return 0;
    FTransportWhy = error == Winsock::WSAECONNRESET ? "the connection was reset" : "socket error " + IntToStr(error);
    return -2;
}

bool THttpSession::Transmit(const AnsiString& bytes) {
    if (!FSsl) FOut += bytes;
    else if (!TransmitTls(bytes)) return false;
    return FlushOut();
}

// What waits for the socket goes out as far as it takes; the rest goes with
// the next write event.
bool THttpSession::FlushOut() {
    if (FSsl) DrainCipherOut();
    while (!FOut.empty() && FSocket >= 0) {
        const int n = Winsock::send(FSocket, FOut.data(), static_cast<int>(FOut.size()), 0);
        if (n > 0) {
            FOut.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && Winsock::WSAGetLastError() == Winsock::WSAEWOULDBLOCK) return true;
        FTransportWhy = "the request could not be sent";
        return false;
    }
    return true;
}

AnsiString THttpSession::Validator(const AnsiString& remote) const {
    auto v = FValidators.find(remote);
    return v == FValidators.end() ? AnsiString() : v->second;
}

void THttpSession::Fetch(const TFetch& fetch) {
    if (FState != TState::Ready) return;
    FFetch = fetch;
    FReceived = FAnnounced = FRestartedAt = 0;
    FOutcome = TOutcome{};
    FRedirects = 0;
    FRetried = false;
    ArmTick();
    if (fetch.Listing) {
        const AnsiString why = "an HTTP mirror has no name listings";
        FOutcome = TOutcome{true, TEnd::Refused, why};
        if (OnFetched) OnFetched(TEnd::Refused, why);
        return;
    }
    FTarget = FBase;
    FTarget.Path = RequestTarget(FBase.Path, fetch.Remote);
    if (CanCarry(FTarget)) return SendRequest();
    FRequestPending = true;
    Connect(FTarget);
}

void THttpSession::SendRequest() {
    FHead.Reset();
    FChunks = THttpChunkDecoder{};
    FAnswerBegun = FChunked = FToClose = FIfRangeSent = false;
    FInterim = 0;
    FBodyLeft = -1;
    FUse = TBodyUse::Discard;
    FDiscarded = 0;
    // A proxy for plain http takes the whole address.
    const AnsiString target = FProxied && !FTarget.Https ? "http://" + FTarget.Authority() + FTarget.Path : FTarget.Path;
    AnsiString request = "GET " + target + " HTTP/1.1\r\nHost: " + FTarget.Authority() +
                         "\r\nUser-Agent: skiff/" SKIFF_VERSION "\r\nAccept-Encoding: identity\r\n";
    FRangeAsked = FFetch.Offset > 0 || FFetch.Length > 0;
    if (FFetch.Length > 0)
        request += "Range: bytes=" + IntToStr(FFetch.Offset) + "-" + IntToStr(FFetch.Offset + FFetch.Length - 1) + "\r\n";
    else if (FFetch.Offset > 0)
        request += "Range: bytes=" + IntToStr(FFetch.Offset) + "-\r\n";
    if (FRangeAsked) {
        auto v = FValidators.find(FFetch.Remote);
        if (v != FValidators.end()) {
            request += "If-Range: " + v->second + "\r\n";
            FIfRangeSent = true;
        }
    }
    request += "\r\n";
    FState = TState::Head;
    Touch();  // the answer is due from now, however it trickles in
    if (OnLine) OnLine("GET " + FTarget.Path + (FTarget.SameOrigin(FBase) ? "" : " at " + FTarget.Authority()));
    if (!Transmit(request)) ConnectionLost(0);
}

void THttpSession::ReadSocket() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMillisecondsPerEvent);
    for (size_t taken = 0; FSocket >= 0;) {
        const int n = ReceivePlain(FBuffer.get(), static_cast<int>(kBlock));
        if (n == -1) return;
        if (n == -2) return ConnectionLost(1);
        if (n == 0) {
            // The server's end: of a body that runs to it, or of the connection.
            if (FState == TState::Body && !FChunked && FBodyLeft < 0) {
                FToClose = true;
                CloseConnection();
                return BodyEnded();
            }
            return ConnectionLost(0);
        }
        taken += static_cast<size_t>(n);
        if (!Take(FBuffer.get(), static_cast<size_t>(n))) return;
        if (taken >= kBytesPerEvent || std::chrono::steady_clock::now() >= until) {
            // OpenSSL may hold bytes the socket no longer signals.
            if (FSocket >= 0) PostMessage(FWindow, kSocketMessage, FSocket, Winsock::FD_READ);
            return;
        }
    }
}

// The bytes of one read, for the answer being read. False: stop reading
// (the answer ended, the fetch failed, the session broke).
bool THttpSession::Take(const char* data, size_t n) {
    size_t at = 0;
    while (at < n) {
        if (FState == TState::Tunneling) {
            size_t used = 0;
            const auto r = FHead.Feed(data + at, n - at, used);
            if (r == THttpHeadReader::TResult::Bad) {
                Break("the proxy's answer is not HTTP: " + FHead.Why, !FOpened);
                return false;
            }
            if (r == THttpHeadReader::TResult::Done) Tunneled(at + used < n);
            return false;
        }
        if (FState == TState::Head) {
            FAnswerBegun = true;
            size_t used = 0;
            const auto r = FHead.Feed(data + at, n - at, used);
            at += used;
            if (r == THttpHeadReader::TResult::Bad) {
                Break("the server's answer is not HTTP: " + FHead.Why);
                return false;
            }
            if (r == THttpHeadReader::TResult::More) return true;
            if (!OnHead()) return false;
            if (FState == TState::Body && FBodyLeft == 0 && !FChunked) {
                if (at < n) FToClose = true;  // bytes past the answer: no request asked for them
                BodyEnded();
                return false;
            }
            continue;
        }
        if (FState != TState::Body) {
            // Bytes nobody asked for: the connection cannot be trusted to
            // pair the next answer with its request.
            CloseConnection();
            return false;
        }
        size_t used = 0;
        bool ended = false;
        if (FChunked) {
            while (used < n - at) {
                size_t u = 0, length = 0;
                const char* span = nullptr;
                const auto step = FChunks.Next(data + at + used, n - at - used, u, span, length);
                used += u;
                if (step == THttpChunkDecoder::TStep::Bad) {
                    Break("the server's chunked body is broken: " + FChunks.Why);
                    return false;
                }
                if (step == THttpChunkDecoder::TStep::Data && !TakeBody(span, length)) return false;
                if (step == THttpChunkDecoder::TStep::Done) {
                    ended = true;
                    break;
                }
            }
        } else {
            used = FBodyLeft >= 0 ? static_cast<size_t>(std::min<int64_t>(FBodyLeft, n - at)) : n - at;
            if (FBodyLeft >= 0) FBodyLeft -= static_cast<int64_t>(used);
            if (!TakeBody(data + at, used)) return false;
            ended = FBodyLeft == 0;
        }
        at += used;
        if (ended) {
            if (at < n) FToClose = true;
            BodyEnded();
            return false;
        }
    }
    return true;
}

bool THttpSession::OnHead() {
    const THttpHeadReader& h = FHead;
    if (OnLine) OnLine(FirstLine(h));
    if (h.Status < 200) {
        if (h.Status == 101 || ++FInterim > kMaxInterim) {
            Break("the server keeps sending interim answers (" + FirstLine(h) + ")");
            return false;
        }
        FHead.Reset();
        return true;
    }
    bool otherCoding = false;
    FChunked = EndsChunked(h.Joined("transfer-encoding"), otherCoding);
    if (otherCoding) {
        Break("the server uses a transfer coding we do not speak: " + h.Joined("transfer-encoding"));
        return false;
    }
    const AnsiString connection = h.Joined("connection");
    FToClose = h.Minor == 0 ? !HasToken(connection, "keep-alive") : HasToken(connection, "close");
    FBodyLeft = -1;
    if (!FChunked) {
        if (const AnsiString* cl = h.Field("content-length")) {
            if (!ParseContentLength(h.Joined("content-length"), FBodyLeft)) {
                Break("the server's Content-Length is no length: " + *cl);
                return false;
            }
        } else if (h.Status == 204 || h.Status == 304) {
            FBodyLeft = 0;
        } else {
            FToClose = true;  // the body runs to the connection's end
        }
    }
    FState = TState::Body;
    FUse = TBodyUse::Discard;
    FPendingEnd = TEnd::Failed;
    FPendingWhy = FirstLine(h);
    const int status = h.Status;
    auto failNow = [this](const AnsiString& why) {
        EndFetch(TEnd::Failed, why, false);
        return false;
    };
    if (status == 200 || status == 206) {
        const AnsiString* coding = h.Field("content-encoding");
        if (coding && LowerCase(*coding) != "identity")
            return failNow("the server sent " + FFetch.Remote + " compressed (Content-Encoding: " + *coding + ")");
        if (status == 206) {
            TContentRange r;
            const AnsiString* cr = h.Field("content-range");
            const int64_t last = FFetch.Length > 0 ? FFetch.Offset + FFetch.Length - 1 : -1;
            const bool right = FRangeAsked && cr && ParseContentRange(*cr, r) && r.First == FFetch.Offset &&
                               r.Last >= r.First && (last < 0 ? (r.Total >= 0 && r.Last == r.Total - 1) : r.Last == last) &&
                               (FChunked || FBodyLeft < 0 || FBodyLeft == r.Last - r.First + 1);
            if (!right)
                return failNow("the server sent another range than the one asked (Content-Range: " +
                               (cr ? *cr : AnsiString("none")) + ")");
            FAnnounced = r.Total > 0 ? r.Total : 0;
            FRestartedAt = FFetch.Offset;
        } else {
            if (FRangeAsked && FIfRangeSent)
                return failNow("the file " + FFetch.Remote + " changed on the server since its first range");
            if (FRangeAsked && FFetch.Offset > 0 && !FFetch.RestartMayFail)
                return failNow("the server does not send ranges: it answered the range from byte " +
                               IntToStr(FFetch.Offset) + " with the whole file");
            FAnnounced = !FChunked && FBodyLeft > 0 ? FBodyLeft : 0;
            FRestartedAt = 0;
        }
        const AnsiString validator = RangeValidator(h);
        if (!validator.empty()) FValidators.emplace(FFetch.Remote, validator);
        FUse = TBodyUse::Data;
        Touch();
        return true;
    }
    if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
        if (!h.Field("location")) return failNow("the redirection names no address: " + FirstLine(h));
        return true;  // followed once its body is read
    }
    if (status == 416) {
        TContentRange r;
        const AnsiString* cr = h.Field("content-range");
        // Nothing is left past Offset: a fetch of "the rest" has it all.
        if (cr && ParseContentRange(*cr, r) && r.First < 0 && r.Total == FFetch.Offset && FFetch.Length <= 0) {
            FPendingEnd = TEnd::Done;
            FPendingWhy = "";
            FAnnounced = r.Total;
            FRestartedAt = FFetch.Offset;
        }
        return true;
    }
    if (status == 404 || status == 410) FPendingEnd = TEnd::Refused;
    return true;
}

// Body bytes of the answer being read, in order.
bool THttpSession::TakeBody(const char* data, size_t n) {
    if (n == 0) return true;
    Touch();
    if (FUse == TBodyUse::Discard) {
        FDiscarded += static_cast<int64_t>(n);
        if (FDiscarded > kMaxDiscard) {
            FToClose = true;
            CloseConnection();
            AfterBody();
            return false;
        }
        return true;
    }
    return Deliver(data, n);
}

bool THttpSession::Deliver(const char* data, size_t n) {
    // Up to the range's end, or one byte past a limit, so that a file longer
    // than listed (or than can be used) is seen.
    bool rangeIn = false;
    if (FFetch.Length >= 0 && FReceived + static_cast<int64_t>(n) > FFetch.Length) {
        if (FFetch.EndsFile) {
            EndFetch(TEnd::Failed, "the server sent more bytes than listed", false);
            return false;
        }
        n = static_cast<size_t>(FFetch.Length - FReceived);
        rangeIn = true;
    }
    if (FFetch.MaxBytes >= 0 && FFetch.Length < 0 && FReceived + static_cast<int64_t>(n) > FFetch.MaxBytes + 1)
        n = static_cast<size_t>(FFetch.MaxBytes + 1 - FReceived);
    AnsiString why;
    if (FFetch.Memory) {
        FFetch.Memory->append(data, n);
    } else if (FFetch.Sink) {
        if (!FFetch.Sink(data, n, why)) {
            EndFetch(TEnd::Failed, why, false);
            return false;
        }
    } else if (!WriteAllAt(FFetch.Fd, data, n, FFetch.Offset + FReceived)) {
        EndFetch(TEnd::Failed, AnsiString("the file cannot be written: ") + strerror(errno), false);
        return false;
    }
    FReceived += static_cast<int64_t>(n);
    if (OnBytes) OnBytes(static_cast<int64_t>(n));
    if (FState != TState::Body) return false;
    if (FFetch.MaxBytes >= 0 && FFetch.Length < 0 && FReceived > FFetch.MaxBytes) {
        EndFetch(TEnd::Overflow, "the server sent more than " + IntToStr(FFetch.MaxBytes) + " bytes", false);
        return false;
    }
    if (rangeIn || (!FFetch.EndsFile && FReceived == FFetch.Length && (FChunked || FBodyLeft != 0))) {
        // The range is in; the rest of the answer is not wanted.
        EndFetch(TEnd::Done, "", false);
        return false;
    }
    return true;
}

void THttpSession::BodyEnded() {
    if (FUse == TBodyUse::Discard) return AfterBody();
    const bool keep = !FToClose;
    const int64_t have = FRestartedAt + FReceived;
    if (FFetch.Length >= 0 && FReceived != FFetch.Length)
        return EndFetch(TEnd::Failed, IntToStr(FReceived) + " of " + IntToStr(FFetch.Length) + " bytes arrived", keep);
    if (FFetch.Expected >= 0 && have < FFetch.Expected && !(FAnnounced > 0 && have == FAnnounced))
        return EndFetch(TEnd::Failed, "The transfer of " + FFetch.Remote + " ended after " + IntToStr(have) + " of " +
                                          IntToStr(FFetch.Expected) + " bytes",
                        keep);
    EndFetch(TEnd::Done, "", keep);
}

// An answer we did not keep has been read: follow it or tell it.
void THttpSession::AfterBody() {
    const int status = FHead.Status;
    if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
        Redirect();
        return;
    }
    EndFetch(FPendingEnd, FPendingWhy, !FToClose);
}

bool THttpSession::Redirect() {
    const AnsiString location = *FHead.Field("location");
    if (++FRedirects > kMaxRedirects) {
        EndFetch(TEnd::Failed, "more than " + IntToStr(kMaxRedirects) + " redirections for " + FFetch.Remote, !FToClose);
        return false;
    }
    THttpUrl next;
    AnsiString why;
    if (!ResolveLocation(FTarget, location, next, why)) {
        EndFetch(TEnd::Failed, "the redirection cannot be followed: " + why, !FToClose);
        return false;
    }
    if (FTarget.Https && !next.Https) {
        EndFetch(TEnd::Failed, "refused a redirection from https down to http: " + location, !FToClose);
        return false;
    }
    if (OnLine) OnLine("Redirected to " + location);
    FTarget = next;
    FRetried = false;
    if (!FToClose && CanCarry(next)) {
        SendRequest();
        return true;
    }
    FRequestPending = true;
    Connect(next);
    return true;
}

// The connection ended or failed where no end was due.
void THttpSession::ConnectionLost(int error) {
    const TState state = FState;
    const bool reused = FReused;
    CloseConnection();
    switch (state) {
        case TState::Ready: return;  // a kept connection that the server let go while idle
        case TState::Head:
            // A kept connection the server closed just as we asked: once more
            // on a new one.
            if (reused && !FAnswerBegun && !FRetried) {
                FRetried = true;
                if (OnLine) OnLine("The kept connection was closed; asking again on a new one");
                FRequestPending = true;
                return Connect(FTarget);
            }
            return Break(FAnswerBegun ? "the server closed the connection in the middle of its answer"
                                      : "the server closed the connection without an answer");
        case TState::Body:
            if (FUse == TBodyUse::Discard) {
                FToClose = true;
                return AfterBody();
            }
            return EndFetch(TEnd::Failed,
                            (error ? "the connection was cut (" + FTransportWhy + ")"
                                   : AnsiString("the connection closed")) +
                                " after " + IntToStr(FReceived) + " bytes of " + FFetch.Remote,
                            false);
        default:
            return Break(error ? "the connection failed: " + FTransportWhy : AnsiString("the server closed the connection"),
                         !FOpened);
    }
}

void THttpSession::EndFetch(TEnd end, const AnsiString& why, bool keepConnection) {
    if (!keepConnection) CloseConnection();
    FReused = FSocket >= 0;
    FOutcome = TOutcome{true, end, why};
    if (FState != TState::Broken) FState = TState::Ready;
    if (OnFetched) OnFetched(end, why);
}

void THttpSession::Quit(bool) {
    if (FState == TState::Quitting) return;
    if (FSsl && FSocket >= 0 && FState != TState::Broken) {
        ShutdownTls();  // close_notify; there is no answer to wait for
        FlushOut();
    }
    if (FLookupHandle) Winsock::WSACancelAsyncRequest(FLookupHandle);
    FLookupHandle = 0;
    CloseConnection();
    KillTimer(FWindow, kTickTimer);
    FState = TState::Quitting;
    PostMessage(FWindow, kQuitMessage, 0, 0);
}

void THttpSession::Closed() {
    if (FState != TState::Quitting) return;
    FState = TState::Broken;  // nothing more of this session
    if (OnClosed) OnClosed();
}

void THttpSession::Abandon() {
    if (FState == TState::Broken) return CloseConnection();
    const auto onBroken = std::move(OnBroken);
    OnBroken = nullptr;
    Break("");
    OnBroken = onBroken;
}

void THttpSession::Break(const AnsiString& why, bool login) {
    if (FState == TState::Broken) return;
    FState = TState::Broken;
    if (FLookupHandle) Winsock::WSACancelAsyncRequest(FLookupHandle);
    FLookupHandle = 0;
    CloseConnection();
    KillTimer(FWindow, kTickTimer);
    if (OnBroken) OnBroken(why, login);
}

void THttpSession::CloseConnection() {
    FreeTls();
    if (FSocket >= 0) Winsock::closesocket(FSocket);
    FSocket = -1;
    FOut.clear();
}
