// The generator's TLS clients on OpenSSL 3: sessions on the sockets themselves (the generator
// measures the relay, not its own copies), partial writes so that a full socket behaves as it
// does for plain clients, and reads that run until the socket is empty.
#include "TlsClient.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <climits>

namespace tnlrelay::bench {

namespace {

int clampInt(std::size_t n) {
    return n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// A failure's errno: the socket's own where the system reported one, EPROTO otherwise.
int failureErrno(int sslError) {
    if (sslError == SSL_ERROR_SYSCALL && errno != 0 && errno != EAGAIN) return errno;
    return EPROTO;
}

} // namespace

TlsClientContext::TlsClientContext() {
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_) return;
    static const unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    if (SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_alpn_protos(ctx_, kAlpn, sizeof kAlpn) != 0) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
        return;
    }
    // The cipher order a browser offers, so that the relay picks what it would pick for players.
    static const char kSuites13[] =
        "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
    static const char kSuites12[] =
        "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
        "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
    if (SSL_CTX_set_ciphersuites(ctx_, kSuites13) != 1 ||
        SSL_CTX_set_cipher_list(ctx_, kSuites12) != 1) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
        return;
    }
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    // A peer that closes without the closing alert is an end of stream like any other.
    SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Ten thousand idle clients would otherwise hold two record buffers each.
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                               SSL_MODE_RELEASE_BUFFERS);
    // A read system call takes what the socket holds, up to a few records, rather than one for
    // each record's header and another for its body: the generator measures the relay, and
    // its own system calls would otherwise make it the limit over TLS.
    SSL_CTX_set_read_ahead(ctx_, 1);
    SSL_CTX_set_default_read_buffer_len(ctx_, 64 * 1024);
}

TlsClientContext::~TlsClientContext() {
    SSL_CTX_free(ctx_);
}

TlsClient::TlsClient(SSL_CTX* ctx, int fd) {
    ssl_ = ctx ? SSL_new(ctx) : nullptr;
    if (!ssl_) return;
    if (SSL_set_fd(ssl_, fd) != 1) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        return;
    }
    SSL_set_connect_state(ssl_);
}

TlsClient::~TlsClient() {
    SSL_free(ssl_);
}

TlsStep TlsClient::handshake() {
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) return TlsStep::done;
    const int e = SSL_get_error(ssl_, r);
    ERR_clear_error();
    return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? TlsStep::again : TlsStep::failed;
}

ssize_t TlsClient::send(const char* data, std::size_t n) {
    if (n == 0) return 0;
    ERR_clear_error();
    errno = 0;
    const int r = SSL_write(ssl_, data, clampInt(n));
    if (r > 0) return r;
    const int e = SSL_get_error(ssl_, r);
    ERR_clear_error();
    errno = e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ ? EAGAIN : failureErrno(e);
    return -1;
}

ssize_t TlsClient::read(char* buf, std::size_t n) {
    drained_ = false;
    std::size_t got = 0;
    while (got < n) {
        ERR_clear_error();
        errno = 0;
        const int r = SSL_read(ssl_, buf + got, clampInt(n - got));
        if (r > 0) {
            got += static_cast<std::size_t>(r);
            continue;
        }
        const int e = SSL_get_error(ssl_, r);
        ERR_clear_error();
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            drained_ = true;
            break;
        }
        // The end or the fault is reported by the next call, after the bytes before it.
        if (got) break;
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        errno = failureErrno(e);
        return -1;
    }
    if (got) return static_cast<ssize_t>(got);
    errno = EAGAIN;
    return -1;
}

} // namespace tnlrelay::bench
