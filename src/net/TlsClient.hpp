// TLS as a client, over memory: the relay's outgoing connections to another service (the
// cluster's link to Redis) keep their own sockets and pass ciphertext in and out through here.
// Plain types only, so that the layers above never see OpenSSL.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace tnlrelay::net {

/// What a client trusts: the certificates of a CA file (PEM), or the system's when none is named.
class TlsClientContext {
public:
    TlsClientContext();
    ~TlsClientContext();
    TlsClientContext(const TlsClientContext&) = delete;
    TlsClientContext& operator=(const TlsClientContext&) = delete;

    /// Loads the trusted certificates; on failure `error` says why and no context is active.
    bool load(const std::string& caFile, std::string& error);
    bool active() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    friend class TlsClient;
};

/// One client connection's TLS: the handshake checks the server's certificate against the
/// context and the name (or address) the connection was made to.
class TlsClient {
public:
    /// `server` is the host name or IP address the socket was connected to.
    TlsClient(const TlsClientContext& context, const std::string& server);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    /// Starts the handshake: its first bytes go onto `cipher`. False when it cannot start.
    bool start(std::string& cipher);
    /// Takes ciphertext from the server: its plaintext is appended to `plain`, and anything the
    /// session has to answer (the handshake) to `cipher`. False on a failed handshake or a broken
    /// or closed session, with `error()` saying why.
    bool receive(const char* data, std::size_t n, std::string& plain, std::string& cipher);
    /// Encrypts `plain` onto `cipher`; only once the handshake is done.
    bool send(std::string_view plain, std::string& cipher);
    bool handshakeDone() const { return done_; }
    const std::string& error() const { return error_; }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    bool done_ = false;
    std::string error_;
};

} // namespace tnlrelay::net
