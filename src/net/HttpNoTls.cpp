// The TLS half of THttpSession for a build without OpenSSL (Windows: Debian
// has no Windows build of it). An https mirror is turned away at Open with
// the reason; nothing below runs, since no session ever holds a TLS state.
#include "HttpSession.h"

bool THttpSession::TlsAvailable(AnsiString& why) {
    why = "https is not available: this build of the updater has no TLS library (OpenSSL)";
    return false;
}

// A redirection to https on the way.
void THttpSession::StartTls() {
    AnsiString why;
    TlsAvailable(why);
    Break(why, !FOpened);
}

void THttpSession::Handshake() {}
AnsiString THttpSession::TlsWhy(int) { return "no TLS"; }
bool THttpSession::PullCipher(bool&) { return false; }
int THttpSession::ReceiveTls(char*, int) { return -2; }
bool THttpSession::TransmitTls(const AnsiString&) { return false; }
void THttpSession::DrainCipherOut() {}
void THttpSession::ShutdownTls() {}
void THttpSession::FreeTls() {}
void THttpSession::FreeTlsContext() {}
