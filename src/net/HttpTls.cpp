// The half of THttpSession that speaks TLS, through OpenSSL: the handshake
// (the system's trusted certificates, or SSL_CERT_FILE and SSL_CERT_DIR;
// SNI and the name or address checked against the certificate) and the
// ciphertext between OpenSSL's memory buffers and the socket.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "HttpSession.h"
#include "platform/Winsock.h"

bool THttpSession::TlsAvailable(AnsiString&) { return true; }

void THttpSession::StartTls() {
    if (!FContext) {
        FContext = SSL_CTX_new(TLS_client_method());
        if (!FContext) return Break("TLS cannot be set up: " + TlsWhy(0), !FOpened);
        SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
        // The system's trusted certificates, or SSL_CERT_FILE and SSL_CERT_DIR.
        SSL_CTX_set_default_verify_paths(FContext);
        SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
    }
    FSsl = SSL_new(FContext);
    FCipherIn = BIO_new(BIO_s_mem());
    FCipherOut = BIO_new(BIO_s_mem());
    if (!FSsl || !FCipherIn || !FCipherOut) return Break("TLS cannot be set up: " + TlsWhy(0), !FOpened);
    BIO_set_mem_eof_return(FCipherIn, -1);  // empty means "more to come", until the socket ends
    SSL_set_bio(FSsl, FCipherIn, FCipherOut);
    SSL_set_connect_state(FSsl);
    const char* host = FOrigin.Host.c_str();
    if (Winsock::inet_addr(host) != INADDR_NONE) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), host);
    } else {
        SSL_set_tlsext_host_name(FSsl, host);
        SSL_set1_host(FSsl, host);
    }
    FState = TState::Handshaking;
    Handshake();
}

void THttpSession::Handshake() {
    ERR_clear_error();
    const int r = SSL_do_handshake(FSsl);
    if (!FlushOut()) return Break("the TLS handshake with " + FOrigin.Authority() + " was cut", !FOpened);
    if (r == 1) {
        if (FRequestPending) return SendRequest();
        FState = TState::Ready;
        FOpened = true;
        if (OnReady) OnReady();
        return;
    }
    const int e = SSL_get_error(FSsl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return;
    const long verify = SSL_get_verify_result(FSsl);
    if (verify != X509_V_OK)
        return Break("the certificate of " + FOrigin.Host + " is not trusted: " + X509_verify_cert_error_string(verify),
                     true);
    Break("the TLS handshake with " + FOrigin.Authority() + " failed: " + TlsWhy(r), true);
}

AnsiString THttpSession::TlsWhy(int) {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (!e) return "the connection ended";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

// Ciphertext from the socket for OpenSSL: false on a socket error; `ended`
// once the socket has nothing more.
bool THttpSession::PullCipher(bool& ended) {
    char chunk[16384];
    const int n = Winsock::recv(FSocket, chunk, sizeof chunk, 0);
    if (n > 0) {
        BIO_write(FCipherIn, chunk, n);
        return true;
    }
    if (n == 0) {
        ended = true;
        BIO_set_mem_eof_return(FCipherIn, 0);
        return true;
    }
    const int error = Winsock::WSAGetLastError();
    if (error == Winsock::WSAEWOULDBLOCK) return true;
    FTransportWhy = "socket error " + IntToStr(error);
    return false;
}

int THttpSession::ReceiveTls(char* buf, int cap) {
    bool ended = false;
    for (int round = 0; round < 8; ++round) {
        ERR_clear_error();
        const int r = SSL_read(FSsl, buf, cap);
        if (r > 0) {
            if (!FlushOut()) return -2;
            return r;
        }
        const int e = SSL_get_error(FSsl, r);
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            // Many servers close without TLS's close_notify; the framing of
            // the answer tells whether anything is missing.
            if (ended) return 0;
            FTransportWhy = TlsWhy(r);
            return -2;
        }
        if (!FlushOut()) return -2;
        if (ended) return 0;
        const size_t before = BIO_ctrl_pending(FCipherIn);
        if (!PullCipher(ended)) return -2;
        if (!ended && BIO_ctrl_pending(FCipherIn) == before) return -1;  // nothing arrived yet
    }
    return -1;
}

bool THttpSession::TransmitTls(const AnsiString& bytes) {
    if (SSL_write(FSsl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size())) return true;
    FTransportWhy = TlsWhy(0);
    return false;
}

void THttpSession::DrainCipherOut() {
    char chunk[16384];
    int n;
    while ((n = BIO_read(FCipherOut, chunk, sizeof chunk)) > 0) FOut.append(chunk, static_cast<size_t>(n));
}

void THttpSession::ShutdownTls() { SSL_shutdown(FSsl); }

void THttpSession::FreeTls() {
    if (FSsl) SSL_free(FSsl);  // and its two BIOs
    FSsl = nullptr;
    FCipherIn = FCipherOut = nullptr;
}

void THttpSession::FreeTlsContext() {
    if (FContext) SSL_CTX_free(FContext);
    FContext = nullptr;
}
