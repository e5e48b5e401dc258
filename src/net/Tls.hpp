// TLS for the adapter, on OpenSSL: the server context built from a PEM certificate chain and
// key (loaded again when the files change), and one session per TLS connection that works on
// memory only, so that the loop keeps its own reads and gathered writes for the ciphertext.
#pragma once

#include "Net.hpp"
#include "TlsRecords.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;
typedef struct x509_st X509;

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
    static bool applyPolicy(SSL_CTX* ctx);
    static bool useCertificates(SSL_CTX* ctx, const std::string& pem, X509*& leaf,
                                std::string& error);
    static bool useKey(SSL_CTX* ctx, const std::string& pem, std::string& error);
    static TlsCertInfo describe(X509* leaf);

    std::filesystem::path cert_, key_;
    SSL_CTX* ctx_ = nullptr;
    TlsCertInfo info_;
    Stamp loaded_, seen_, failed_;
    bool haveFailed_ = false;
};

/// One TLS connection over memory. Ciphertext comes in through `decrypt` and goes out through
/// `cipherOut`, which the loop writes like any other output. After a TLS 1.3 handshake the
/// session takes the records over from the library (see TlsRecords.hpp), but only when every
/// assumption that hand-over rests on holds; otherwise the connection stays with the library.
class TlsSession {
public:
    explicit TlsSession(SSL_CTX* ctx);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    bool valid() const { return ssl_ != nullptr || released_; }

    /// Takes `n` bytes of ciphertext and calls `sink(plain, len)` for what they decrypt to
    /// (`sink` returns false to stop). False when the peer broke the protocol or closed TLS.
    /// Once the session opens its own records, it decrypts them where they lie in `data`.
    template <class Sink>
    bool decrypt(char* data, std::size_t n, char* plain, std::size_t room, Sink&& sink) {
        if (!ownRead_) {
            startInput(data, n);
            while (true) {
                const long got = readPlain(plain, room);
                if (got < 0) return dropInput(), false;
                if (got == 0) break;
                if (!sink(plain, static_cast<std::size_t>(got))) return dropInput(), !failed_;
            }
            // Once the library has read to the end of a record, the rest is ours to open.
            data = in_, n = inLen_;
            dropInput();
            if (!handingOver_ || !readsCanMove()) return !failed_;
            if (!takeOverReads()) return !failed_;
        }
        while (true) {
            char* text = nullptr;
            std::size_t len = 0;
            const Opened got = openRecord(data, n, text, len);
            if (got == Opened::more) return true;
            if (got == Opened::failed) return false;
            if (got == Opened::data && !sink(static_cast<const char*>(text), len)) return !failed_;
        }
    }

    /// Part of one record's plaintext.
    using Piece = TlsKeys::Piece;
    /// Encrypts `n` bytes (at most 16 KiB: one record) onto `to`, by default `cipherOut`. The
    /// loop encrypts into one buffer it shares among connections, which stays in the cache,
    /// and keeps in `cipherOut` only what the socket did not take.
    bool encrypt(const char* data, std::size_t n) { return encrypt(data, n, cipherOut); }
    bool encrypt(const char* data, std::size_t n, std::string& to) {
        const Piece one{data, n};
        return encrypt(&one, 1, to, nullptr);
    }
    /// Encrypts `count` pieces as one record (together at most 16 KiB) onto `to`. Records this
    /// session seals itself are sealed from the pieces where they lie; for the library's, more
    /// than one piece is first joined in `join`, which has room for a record.
    bool encrypt(const Piece* pieces, std::size_t count, std::string& to, char* join);
    /// Queues the closing alert once, onto `to`.
    void shutdown() { shutdown(cipherOut); }
    void shutdown(std::string& to);

    bool handshakeDone() const;
    /// True once this session writes its records itself (TLS 1.3, after the handshake).
    bool ownRecords() const { return own_ != nullptr; }
    /// True once it also opens the peer's records itself (from the first record boundary on).
    bool ownReads() const { return ownRead_ != nullptr; }
    /// How many records one key seals before the session moves to the next; lowered by tests.
    void setRecordsPerKey(std::uint64_t n) { recordsPerKey_ = n; }
    /// A seam for tests: sees, and may change, what the library wrote for the hand-over's key
    /// update (from `from` on) and how many key updates it reported, before they are checked.
    void (*handOverSeam)(std::string& written, std::size_t from, std::uint32_t& updates) = nullptr;
    /// Ciphertext not yet written, from `cipherAt`.
    std::string cipherOut;
    std::size_t cipherAt = 0;
    std::size_t pendingCipher() const { return cipherOut.size() - cipherAt; }
    void consumeCipher(std::size_t n);

    /// Sets the library's hooks every session relies on into a new context.
    static void hook(SSL_CTX* ctx);

private:
    friend struct TlsBio;
    friend struct TlsHooks;
    enum class Opened { more, data, control, failed };
    void startInput(char* data, std::size_t n);
    long readPlain(char* plain, std::size_t room);
    void dropInput() { in_ = nullptr, inLen_ = 0; }
    bool takeOverWrites(std::string& to);
    bool keyUpdateWritten(std::string& to, std::size_t from);
    bool takeOverReads();
    bool readsCanMove() const;
    bool decline(TlsDecline why);
    std::size_t passToLibrary(std::size_t n);
    /// The next whole record of the input, opened in place: its content for `data`. Parts of a
    /// record split across reads wait in `partial_`.
    Opened openRecord(char*& data, std::size_t& n, char*& text, std::size_t& len);
    Opened openWhole(unsigned char* rec, std::size_t size, char*& text, std::size_t& len);
    Opened peerAlert(bool closeNotify);
    Opened fail(unsigned char alert);
    static void clearErrors();

    SSL* ssl_ = nullptr;
    std::unique_ptr<TlsKeys> own_;     ///< our own record writer, once taken over
    std::unique_ptr<TlsKeys> ownRead_; ///< our own record reader, once taken over
    TlsSecret secret_;                 ///< the first server traffic secret, until then
    TlsSecret clientSecret_;           ///< the first client traffic secret, until then
    std::string partial_;              ///< a record split across reads, once ours
    std::uint64_t recordsPerKey_ = std::uint64_t(1) << 23;
    std::uint64_t recordsGiven_ = 0; ///< whole records given to the library
    std::uint64_t recordsSeen_ = 0;  ///< record headers its message hook reported
    std::uint32_t updatesSent_ = 0;  ///< key updates the library wrote before that
    std::uint32_t peerUpdates_ = 0;  ///< key updates of the peer's the library read
    std::uint64_t peerRecords_ = 0;  ///< records the library read under the peer's current key
    std::uint32_t recordsWithoutData_ = 0; ///< records in a row that carried no data
    bool peerAskedUpdate_ = false;
    bool noTakeOver_ = false;  ///< the hand-over was tried, or is not to be
    bool handingOver_ = false; ///< reading moves to the session at the next record's end
    bool partialDone_ = false; ///< `partial_` held the record last opened
    bool released_ = false;    ///< both directions are ours: the library's state is freed
    // Where the records given to the library begin and end, so that it can be stopped exactly
    // at the end of one.
    std::uint8_t headerHave_ = 0;
    std::uint8_t lengthHigh_ = 0;
    std::uint16_t bodyLeft_ = 0;
    bool inBody_ = false;
    std::string* sink_ = &cipherOut; ///< where the records SSL writes go
    char* in_ = nullptr;
    std::size_t inLen_ = 0;
    bool failed_ = false;
    bool shutdownSent_ = false;
};

/// The largest plaintext one record carries.
constexpr std::size_t kTlsRecord = 16 * 1024;

/// How long one session ticket key seals new tickets; it opens them for one period more.
constexpr std::int64_t kTlsTicketKeyPeriod = 12 * 3600;
/// The clock, in seconds, by which ticket keys age; tests replace it (null: the real one).
void setTlsTicketClock(std::int64_t (*now)());
/// Whether the relay's own records may run on the library of this version number (as
/// `OpenSSL_version_num` gives it): only on the series the tests cover.
bool tlsOwnRecordsTested(unsigned long version);

} // namespace tnlrelay::net
