// TLS for the generator's clients, on OpenSSL over each client's own non-blocking socket. The
// calls are shaped like send and read, so that the generator's write and read paths stay the
// same for plain and TLS connections.
#pragma once

#include <cstddef>
#include <sys/types.h>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace tnlrelay::bench {

/// What every client shares: TLS 1.2 or later, ALPN http/1.1, and no check of the server's
/// certificate (the relay under measure runs on loopback with a throwaway one).
class TlsClientContext {
public:
    TlsClientContext();
    ~TlsClientContext();
    TlsClientContext(const TlsClientContext&) = delete;
    TlsClientContext& operator=(const TlsClientContext&) = delete;

    bool valid() const { return ctx_ != nullptr; }
    SSL_CTX* get() const { return ctx_; }

private:
    SSL_CTX* ctx_ = nullptr;
};

enum class TlsStep { done, again, failed };

/// One client's TLS on a connected socket. The socket stays the caller's to close.
class TlsClient {
public:
    TlsClient(SSL_CTX* ctx, int fd);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    bool valid() const { return ssl_ != nullptr; }

    /// Advances the handshake; `again` until the socket has moved what it needs.
    TlsStep handshake();

    /// Like send(2): the bytes taken (at least one record's worth, or all), or -1 with errno
    /// EAGAIN (call again, with the same bytes first, once the socket is writable) or EPROTO.
    ssize_t send(const char* data, std::size_t n);

    /// Like read(2), but fills `buf` with whatever decrypts now: 0 at the end of the stream,
    /// -1 with errno EAGAIN (nothing yet) or EPROTO.
    ssize_t read(char* buf, std::size_t n);

    /// True when the last read stopped because the socket had nothing more: with
    /// edge-triggered readiness, the next data brings a new event.
    bool drained() const { return drained_; }

private:
    SSL* ssl_ = nullptr;
    bool drained_ = false;
};

} // namespace tnlrelay::bench
