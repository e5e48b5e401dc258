// TLS for the adapter, on OpenSSL: the server context built from a PEM certificate chain and
// key (loaded again when the files change), and one session per TLS connection that works on
// memory only, so that the loop keeps its own reads and gathered writes for the ciphertext.
#pragma once

#include "Net.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace tnlrelay::net {

/// The certificate and key that new handshakes use. Connections hold their own reference to
/// the context they started with, so a replacement never disturbs them.
class TlsContext {
public:
    using Check = TlsCheck;

    TlsContext() = default;
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    /// Loads the pair now. On failure `error` says why and no context is active.
    bool load(const std::filesystem::path& cert, const std::filesystem::path& key,
              std::string& error);
    /// Loads the pair again once either file changed (time or size) and has stayed the same
    /// for one further check, so that a renewal writing the two files one after the other is
    /// not caught half-way. A pair that fails keeps the old context; each failing version of
    /// the files is reported once.
    Check check(std::string& error);

    SSL_CTX* get() const { return ctx_; }
    bool active() const { return ctx_ != nullptr; }
    const TlsCertInfo& info() const { return info_; }

private:
    struct Stamp {
        std::int64_t certTime = 0, keyTime = 0;
        std::uintmax_t certSize = 0, keySize = 0;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stampOf(const std::filesystem::path& cert, const std::filesystem::path& key);
    bool build(std::string& error);

    std::filesystem::path cert_, key_;
    SSL_CTX* ctx_ = nullptr;
    TlsCertInfo info_;
    Stamp loaded_, seen_, failed_;
    bool haveFailed_ = false;
};

/// One TLS connection over memory. Ciphertext comes in through `decrypt` and goes out through
/// `cipherOut`, which the loop writes like any other output.
class TlsSession {
public:
    explicit TlsSession(SSL_CTX* ctx);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    bool valid() const { return ssl_ != nullptr; }

    /// Takes `n` bytes of ciphertext and calls `sink(plain, len)` for what they decrypt to
    /// (`sink` returns false to stop). False when the peer broke the protocol or closed TLS.
    template <class Sink>
    bool decrypt(const char* data, std::size_t n, char* plain, std::size_t room, Sink&& sink) {
        startInput(data, n);
        while (true) {
            const long got = readPlain(plain, room);
            if (got < 0) return dropInput(), false;
            if (got == 0) break;
            if (!sink(plain, static_cast<std::size_t>(got))) break;
        }
        return dropInput(), !failed_;
    }

    /// Encrypts `n` bytes (at most 16 KiB: one record) onto `to`, by default `cipherOut`. The
    /// loop encrypts into one buffer it shares among connections, which stays in the cache,
    /// and keeps in `cipherOut` only what the socket did not take.
    bool encrypt(const char* data, std::size_t n) { return encrypt(data, n, cipherOut); }
    bool encrypt(const char* data, std::size_t n, std::string& to);
    /// Queues the closing alert once, onto `to`.
    void shutdown() { shutdown(cipherOut); }
    void shutdown(std::string& to);

    bool handshakeDone() const;
    /// True once this session writes its records itself (TLS 1.3, after the handshake).
    bool ownRecords() const { return own_ != nullptr; }
    /// How many records one key seals before the session moves to the next; lowered by tests.
    void setRecordsPerKey(std::uint64_t n) { recordsPerKey_ = n; }
    /// Ciphertext not yet written, from `cipherAt`.
    std::string cipherOut;
    std::size_t cipherAt = 0;
    std::size_t pendingCipher() const { return cipherOut.size() - cipherAt; }
    void consumeCipher(std::size_t n);

private:
    friend struct TlsBio;
    friend struct TlsHooks;
    struct Sealer;
    void startInput(const char* data, std::size_t n);
    long readPlain(char* plain, std::size_t room);
    void dropInput() { in_ = nullptr, inLen_ = 0; }
    bool takeOverWrites(std::string& to);

    SSL* ssl_ = nullptr;
    std::unique_ptr<Sealer> own_;         ///< our own record writer, once taken over
    std::unique_ptr<std::string> secret_; ///< the first server traffic secret, until then
    std::uint64_t recordsPerKey_ = std::uint64_t(1) << 23;
    std::uint8_t updatesSent_ = 0; ///< key updates the library wrote before that
    bool peerAskedUpdate_ = false;
    bool noTakeOver_ = false;
    std::string* sink_ = &cipherOut; ///< where the records SSL writes go
    const char* in_ = nullptr;
    std::size_t inLen_ = 0;
    bool failed_ = false;
    bool shutdownSent_ = false;
};

/// The largest plaintext one record carries.
constexpr std::size_t kTlsRecord = 16 * 1024;

} // namespace tnlrelay::net
