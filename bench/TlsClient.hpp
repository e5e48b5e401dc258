// TLS for the generator's clients, on OpenSSL over each client's own non-blocking socket. The
// calls are shaped like send and read, so that the generator's write and read paths stay the
// same for plain and TLS connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

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

/// A session a client may resume on its next connection: the newest ticket the server gave it.
class TlsTicket {
public:
    TlsTicket() = default;
    explicit TlsTicket(SSL_SESSION* s) : session_(s) {}
    ~TlsTicket();
    TlsTicket(TlsTicket&& o) noexcept : session_(o.session_) { o.session_ = nullptr; }
    TlsTicket& operator=(TlsTicket&& o) noexcept;
    explicit operator bool() const { return session_ != nullptr; }
    SSL_SESSION* get() const { return session_; }

private:
    SSL_SESSION* session_ = nullptr;
};

/// One client's TLS on a connected socket. The socket stays the caller's to close.
class TlsClient {
public:
    /// With a ticket, the handshake offers to resume its session.
    TlsClient(SSL_CTX* ctx, int fd, const TlsTicket* resume = nullptr);
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

    /// True once the client opens the server's records itself (TLS 1.3, after the first read
    /// that left the library nothing buffered): the generator measures the relay, and the
    /// library's read path and, on processors with VAES and AVX-512, its slower AES-GCM would
    /// otherwise make the generator the limit over TLS.
    bool ownReads() const { return own_ != nullptr; }
    /// For tests: never take reading over.
    void keepLibraryReads() { noTakeOver_ = true; }

    /// Whether the handshake resumed a session (no certificate, no signature).
    bool resumed() const;
    /// The newest ticket the server sent, if any; taken out of the client.
    TlsTicket takeTicket() { return std::move(ticket_); }

    // Called by the library's hooks.
    void noteTicket(SSL_SESSION* s) { ticket_ = TlsTicket(s); }
    void noteSecret(const std::string& line);
    void noteRecord() { ++records_; }
    void noteNewKey() { ++updates_, records_ = 0; }
    void noteFinished() { records_ = 0; }

private:
    struct Reader;
    ssize_t readLibrary(char* buf, std::size_t n);
    ssize_t readOwn(char* buf, std::size_t n);
    void takeOverReads();

    SSL* ssl_ = nullptr;
    int fd_ = -1;
    bool drained_ = false;
    bool noTakeOver_ = false;
    std::string serverSecret_;  ///< the server's first traffic secret, from the key log
    std::uint32_t updates_ = 0; ///< the server's key updates the library read
    std::uint64_t records_ = 0; ///< records the library read under the server's current key
    std::unique_ptr<Reader> own_;
    TlsTicket ticket_;
};

} // namespace tnlrelay::bench
