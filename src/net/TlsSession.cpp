// A TLS session's work with the library: the handshake over a BIO of our own that reads the
// ciphertext the loop just received and appends what the library writes to the session's
// output (no copies through memory BIOs, nothing held by an idle connection but the SSL
// object), and the hand-over of a TLS 1.3 connection's records to the session itself, which
// checks every assumption it rests on and leaves the connection with the library when one fails.
#include "Tls.hpp"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/tls1.h>

#include <array>
#include <atomic>
#include <cstring>

namespace tnlrelay::net {

namespace {

std::array<std::atomic<std::uint64_t>, kTlsDeclineReasons> g_declined{};

constexpr const char* kDeclineNames[kTlsDeclineReasons] = {
    "key_log",           "cipher",         "record_size", "key_update",
    "key_update_record", "key_generation", "read_records"};

} // namespace

const char* tlsDeclineName(TlsDecline why) {
    return kDeclineNames[static_cast<std::size_t>(why)];
}

std::uint64_t tlsDeclined(TlsDecline why) {
    return g_declined[static_cast<std::size_t>(why)].load(std::memory_order_relaxed);
}

/// The library's hooks into a session: the key log lines with the first traffic secrets, and
/// the records and key updates that pass.
struct TlsHooks {
    // "<label> <client random> <secret>", one line per secret.
    static void keyLog(const SSL* ssl, const char* line) {
        static constexpr std::string_view kServer = "SERVER_TRAFFIC_SECRET_0 ";
        static constexpr std::string_view kClient = "CLIENT_TRAFFIC_SECRET_0 ";
        const std::string_view text(line);
        auto* s = static_cast<TlsSession*>(SSL_get_app_data(ssl));
        const bool server = text.substr(0, kServer.size()) == kServer;
        const bool client = text.substr(0, kClient.size()) == kClient;
        if (!s || (!server && !client)) return;
        const std::size_t space = text.find(' ', kServer.size());
        if (space == std::string_view::npos) return;
        (server ? s->secret_ : s->clientSecret_).fromHex(text.substr(space + 1));
    }

    // Counts the records the library reads under the client's current key: from the client's
    // Finished on, and again from 0 after each of its key updates (a handshake message of type
    // 24 with one byte: whether an answer is asked). Each record's header is reported before
    // the messages in it.
    static void message(int written, int, int type, const void* buf, std::size_t len, SSL*,
                        void* arg) {
        auto* s = static_cast<TlsSession*>(arg);
        const auto* m = static_cast<const unsigned char*>(buf);
        if (type == SSL3_RT_HEADER) {
            if (!written) ++s->peerRecords_, ++s->recordsSeen_;
            return;
        }
        if (type != SSL3_RT_HANDSHAKE || len < 4) return;
        if (m[0] == SSL3_MT_FINISHED && !written) s->peerRecords_ = 0;
        if (m[0] != SSL3_MT_KEY_UPDATE || len != 5) return;
        if (written) {
            ++s->updatesSent_;
            return;
        }
        ++s->peerUpdates_;
        s->peerRecords_ = 0;
        if (m[4] == SSL_KEY_UPDATE_REQUESTED && s->own_) s->peerAskedUpdate_ = true;
    }
};

void TlsSession::hook(SSL_CTX* ctx) {
    SSL_CTX_set_keylog_callback(ctx, TlsHooks::keyLog);
}

/// The BIO between a session and the loop's buffers.
struct TlsBio {
    static BIO_METHOD* method() {
        static BIO_METHOD* m = [] {
            BIO_METHOD* bm = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "relay");
            BIO_meth_set_write(bm, write);
            BIO_meth_set_read(bm, read);
            BIO_meth_set_ctrl(bm, ctrl);
            BIO_meth_set_create(bm, [](BIO* b) {
                BIO_set_init(b, 1);
                return 1;
            });
            return bm;
        }();
        return m;
    }
    static int write(BIO* b, const char* data, int len) {
        auto* s = static_cast<TlsSession*>(BIO_get_data(b));
        // Once the session seals its own records, the library's writes would use a key the
        // peer no longer expects: they go nowhere.
        if (!s->own_) s->sink_->append(data, static_cast<std::size_t>(len));
        return len;
    }
    static int read(BIO* b, char* data, int len) {
        auto* s = static_cast<TlsSession*>(BIO_get_data(b));
        BIO_clear_retry_flags(b);
        // Once reading moves to the session, the library gets nothing past a record's end.
        const bool stopped = s->handingOver_ && !s->inBody_ && s->headerHave_ == 0;
        if (s->inLen_ == 0 || stopped) {
            BIO_set_retry_read(b);
            return -1;
        }
        const std::size_t n = s->passToLibrary(std::min(s->inLen_, static_cast<std::size_t>(len)));
        std::memcpy(data, s->in_, n);
        s->in_ += n;
        s->inLen_ -= n;
        return static_cast<int>(n);
    }
    static long ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }
};

TlsSession::TlsSession(SSL_CTX* ctx) {
    noTakeOver_ = !tlsOwnRecordsInUse();
    ssl_ = SSL_new(ctx);
    if (!ssl_) return;
    BIO* bio = BIO_new(TlsBio::method());
    if (!bio) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        return;
    }
    BIO_set_data(bio, this);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_accept_state(ssl_);
    SSL_set_app_data(ssl_, this);
    SSL_set_msg_callback(ssl_, TlsHooks::message);
    SSL_set_msg_callback_arg(ssl_, this);
}

TlsSession::~TlsSession() {
    SSL_free(ssl_);
}

void TlsSession::clearErrors() {
    ERR_clear_error();
}

// The error queue is emptied once per batch of input rather than before every call: calls that
// succeed leave nothing in it, and every failure below empties it again.
void TlsSession::startInput(char* data, std::size_t n) {
    in_ = data;
    inLen_ = n;
    ERR_clear_error();
}

long TlsSession::readPlain(char* plain, std::size_t room) {
    if (failed_) return -1;
    const int got = SSL_read(ssl_, plain, static_cast<int>(std::min<std::size_t>(room, 1 << 30)));
    if (got > 0) return got;
    switch (SSL_get_error(ssl_, got)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return 0;
    case SSL_ERROR_ZERO_RETURN: // the peer's close, answered with ours
        shutdown(cipherOut);
        [[fallthrough]];
    default: // a protocol error, a failed handshake, or the peer's fatal alert
        ERR_clear_error();
        failed_ = true;
        return -1;
    }
}

// Follows the record boundaries in the next `n` bytes for the library, counting whole records;
// once reading is to move to the session, gives no more than the rest of the current record.
// Returns how many bytes to give.
std::size_t TlsSession::passToLibrary(std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(in_);
    std::size_t at = 0;
    while (at < n) {
        if (!inBody_) {
            const unsigned char byte = p[at++];
            if (headerHave_ == 3) lengthHigh_ = byte;
            if (++headerHave_ < 5) continue;
            headerHave_ = 0;
            bodyLeft_ = static_cast<std::uint16_t>(lengthHigh_ << 8 | byte);
            inBody_ = bodyLeft_ != 0;
        } else {
            const std::size_t take = std::min<std::size_t>(n - at, bodyLeft_);
            at += take;
            bodyLeft_ = static_cast<std::uint16_t>(bodyLeft_ - take);
            inBody_ = bodyLeft_ != 0;
        }
        if (!inBody_ && headerHave_ == 0) {
            ++recordsGiven_;
            if (handingOver_) break; // a record's end
        }
    }
    return at;
}

// Counted once per connection and reason; the connection goes on with the library.
bool TlsSession::decline(TlsDecline why) {
    g_declined[static_cast<std::size_t>(why)].fetch_add(1, std::memory_order_relaxed);
    return false;
}

// Hands the writing of records over from the library to the session, when the connection is
// TLS 1.3 with a cipher we seal, the library reported its secrets and wrote the hand-over's key
// update as expected. False leaves the connection with the library for good.
bool TlsSession::takeOverWrites(std::string& to) {
    noTakeOver_ = true;                                    // one try
    if (SSL_version(ssl_) != TLS1_3_VERSION) return false; // TLS 1.2 stays with the library
    auto keys = std::make_unique<TlsKeys>();
    if (!keys->forSuite(ssl_, true)) return decline(TlsDecline::cipher);
    if (secret_.len != keys->hashLen()) return decline(TlsDecline::keyLog);
    // Our records are always full size; a client that asked for smaller ones keeps the
    // library's, which honours its limit.
    if (SSL_SESSION_get_max_fragment_length(SSL_get_session(ssl_)) !=
        TLSEXT_max_fragment_length_DISABLED)
        return decline(TlsDecline::recordSize);
    // The library's key update moves its write key on and starts it at record 0.
    const std::size_t from = to.size();
    const std::uint32_t updatesBefore = updatesSent_;
    sink_ = &to;
    const bool asked = SSL_key_update(ssl_, SSL_KEY_UPDATE_NOT_REQUESTED) == 1;
    const int done = SSL_do_handshake(ssl_);
    sink_ = &cipherOut;
    // The library keeps the write buffer it took for that message; nothing of ours needs it.
    (void)SSL_free_buffers(ssl_);
    if (!asked || done != 1) {
        ERR_clear_error();
        return decline(TlsDecline::keyUpdate);
    }
    if (handOverSeam) handOverSeam(to, from, updatesSent_);
    if (!keyUpdateWritten(to, from)) return decline(TlsDecline::keyUpdateRecord);
    if (updatesSent_ != updatesBefore + 1) return decline(TlsDecline::keyGeneration);
    if (!keys->start(secret_, updatesSent_)) return failed_ = true, false;
    own_ = std::move(keys);
    // Reading follows at the end of the record the library is in, which is mostly now.
    if (clientSecret_.len != own_->hashLen()) return decline(TlsDecline::keyLog), true;
    handingOver_ = true;
    if (readsCanMove()) takeOverReads();
    return true;
}

// What the library wrote from `from` on is exactly one protected record: the key update.
bool TlsSession::keyUpdateWritten(std::string& to, std::size_t from) {
    if (to.size() < from + 5) return false;
    const auto* h = reinterpret_cast<const unsigned char*>(to.data() + from);
    const std::size_t body = std::size_t(h[3]) << 8 | h[4];
    return h[0] == 23 && h[1] == 3 && h[2] == 3 && to.size() - from == 5 + body;
}

// The library holds nothing of the client's that it has not read: no part of a record, no
// record or plaintext waiting.
bool TlsSession::readsCanMove() const {
    return !inBody_ && headerHave_ == 0 && SSL_has_pending(ssl_) == 0;
}

// Reading moves from the library to the session, at a record's end, when the library read
// every record it was given (its hook counts them, and so the key's record number is known).
// False leaves reading with the library for good.
bool TlsSession::takeOverReads() {
    handingOver_ = false;
    if (recordsSeen_ != recordsGiven_) return decline(TlsDecline::readRecords);
    auto keys = std::make_unique<TlsKeys>();
    if (!keys->forSuite(ssl_, false) || !keys->start(clientSecret_, peerUpdates_))
        return failed_ = true, false;
    keys->seq = peerRecords_;
    ownRead_ = std::move(keys);
    // Nothing is left for the library to do: its state (some 14 KB with the handshake's
    // session) goes, and the connection keeps only its two sets of keys.
    SSL_free(ssl_);
    ssl_ = nullptr;
    released_ = true;
    return true;
}

bool TlsSession::encrypt(const Piece* pieces, std::size_t count, std::string& to, char* join) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < count; ++i)
        n += pieces[i].len;
    if (failed_ || n == 0) return !failed_;
    if (!own_ && !noTakeOver_ && handshakeDone()) takeOverWrites(to);
    if (failed_) return false;
    if (own_) {
        // Our key update: a handshake message saying no answer is asked, then the next key.
        if (peerAskedUpdate_ || own_->seq >= recordsPerKey_) {
            static const char kUpdate[] = {24, 0, 0, 1, 0};
            peerAskedUpdate_ = false;
            if (!own_->seal(22, kUpdate, sizeof kUpdate, to) || !own_->nextSecret())
                return failed_ = true, false;
        }
        if (own_->seal(23, pieces, count, n, to)) return true;
        ERR_clear_error();
        return failed_ = true, false;
    }
    const char* data = pieces[0].data;
    if (count > 1) {
        for (std::size_t i = 0, at = 0; i < count; at += pieces[i++].len)
            std::memcpy(join + at, pieces[i].data, pieces[i].len);
        data = join;
    }
    sink_ = &to;
    const int put = SSL_write(ssl_, data, static_cast<int>(n));
    sink_ = &cipherOut;
    if (put == static_cast<int>(n)) return true;
    ERR_clear_error();
    failed_ = true;
    return false;
}

void TlsSession::shutdown(std::string& to) {
    if (shutdownSent_ || failed_ || !handshakeDone()) return;
    shutdownSent_ = true;
    if (own_) {
        static const char kCloseNotify[] = {1, 0}; // warning, close_notify
        own_->seal(21, kCloseNotify, sizeof kCloseNotify, to);
        if (ssl_) SSL_set_shutdown(ssl_, SSL_get_shutdown(ssl_) | SSL_SENT_SHUTDOWN);
        ERR_clear_error();
        return;
    }
    sink_ = &to;
    SSL_shutdown(ssl_);
    sink_ = &cipherOut;
    ERR_clear_error();
}

bool TlsSession::handshakeDone() const {
    return released_ || SSL_is_init_finished(ssl_) == 1;
}

void TlsSession::consumeCipher(std::size_t n) {
    cipherAt += n;
    if (cipherAt >= cipherOut.size()) {
        cipherAt = 0;
        // An idle connection keeps no output buffer.
        if (cipherOut.capacity() > 4096)
            std::string().swap(cipherOut);
        else
            cipherOut.clear();
    }
}

} // namespace tnlrelay::net
