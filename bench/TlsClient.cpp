// The generator's TLS clients on OpenSSL 3: sessions on the sockets themselves (the generator
// measures the relay, not its own copies), partial writes so that a full socket behaves as it
// does for plain clients, and reads that run until the socket is empty.
#include "TlsClient.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>
#include <openssl/tls1.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>
#include <vector>

#ifdef TNLRELAY_BENCH_FAST_GCM
#define LINUX 1 // gcm_key_data is declared 64-byte aligned only then
#include <intel-ipsec-mb.h>
#endif

namespace tnlrelay::bench {

namespace {

// Ciphertext read at once, once reads are the client's: the library's read-ahead buffer's size.
// Like the library's, the buffer is held only while it holds something, so that ten thousand
// idle clients hold none.
constexpr std::size_t kOwnInput = 64 * 1024;
constexpr std::size_t kMaxBody = 16 * 1024 + 256; // the longest protected record TLS 1.3 allows

// The library's hooks: the server's first traffic secret, and the records and key updates read
// under it, which is all the client needs to go on opening the server's records itself.
void keyLog(const SSL* ssl, const char* line) {
    if (auto* c = static_cast<TlsClient*>(SSL_get_app_data(ssl))) c->noteSecret(line);
}

void message(int written, int, int type, const void* buf, size_t len, SSL* ssl, void*) {
    auto* c = static_cast<TlsClient*>(SSL_get_app_data(ssl));
    if (!c || written) return;
    const auto* m = static_cast<const unsigned char*>(buf);
    if (type == SSL3_RT_HEADER)
        c->noteRecord();
    else if (type == SSL3_RT_HANDSHAKE && len >= 1 && m[0] == SSL3_MT_FINISHED)
        c->noteFinished();
    else if (type == SSL3_RT_HANDSHAKE && len >= 1 && m[0] == SSL3_MT_KEY_UPDATE)
        c->noteNewKey();
}

// A ticket from the server: a copy is kept by its client for a later connection. Not the
// session itself, which the library marks as not to be resumed when the connection is reset
// without a closing alert, as the generator's connections are.
int newSession(SSL* ssl, SSL_SESSION* session) {
    if (auto* c = static_cast<TlsClient*>(SSL_get_app_data(ssl)))
        c->noteTicket(SSL_SESSION_dup(session));
    return 0;
}

// HKDF-Expand-Label with an empty context (RFC 8446, 7.1), through the library's HKDF.
bool expandLabel(const EVP_MD* md, const std::string& secret, const std::string& label,
                 unsigned char* out, std::size_t len) {
    const std::string full = "tls13 " + label;
    std::string info{static_cast<char>(len >> 8), static_cast<char>(len),
                     static_cast<char>(full.size())};
    info += full;
    info += '\0';
    EVP_PKEY_CTX* kdf = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    std::size_t outLen = len;
    const bool ok =
        kdf && EVP_PKEY_derive_init(kdf) > 0 &&
        EVP_PKEY_CTX_set_hkdf_mode(kdf, EVP_PKEY_HKDEF_MODE_EXPAND_ONLY) > 0 &&
        EVP_PKEY_CTX_set_hkdf_md(kdf, md) > 0 &&
        EVP_PKEY_CTX_set1_hkdf_key(kdf, reinterpret_cast<const unsigned char*>(secret.data()),
                                   static_cast<int>(secret.size())) > 0 &&
        EVP_PKEY_CTX_add1_hkdf_info(kdf, reinterpret_cast<const unsigned char*>(info.data()),
                                    static_cast<int>(info.size())) > 0 &&
        EVP_PKEY_derive(kdf, out, &outLen) > 0 && outLen == len;
    EVP_PKEY_CTX_free(kdf);
    return ok;
}

#ifdef TNLRELAY_BENCH_FAST_GCM
// The multi-buffer library's functions where the processor has VAES and AVX-512; null elsewhere,
// where the library's own AES-GCM is as fast.
IMB_MGR* vectorAes() {
    static IMB_MGR* const table = []() -> IMB_MGR* {
        IMB_MGR* m = alloc_mb_mgr(0);
        IMB_ARCH arch = IMB_ARCH_NONE;
        if (m) init_mb_mgr_auto(m, &arch);
        if (m && arch == IMB_ARCH_AVX512 && (m->features & IMB_FEATURE_VAES)) return m;
        if (m) free_mb_mgr(m);
        return nullptr;
    }();
    return table;
}
#endif

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
    SSL_CTX_set_keylog_callback(ctx_, keyLog);
    SSL_CTX_set_msg_callback(ctx_, message);
    // Tickets go to their own client, which may resume with it on its next connection.
    SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx_, newSession);
}

TlsTicket::~TlsTicket() {
    SSL_SESSION_free(session_);
}

TlsTicket& TlsTicket::operator=(TlsTicket&& o) noexcept {
    if (this != &o) {
        SSL_SESSION_free(session_);
        session_ = o.session_;
        o.session_ = nullptr;
    }
    return *this;
}

TlsClientContext::~TlsClientContext() {
    SSL_CTX_free(ctx_);
}

/// The server's records, opened by the client itself: the key and nonce base of the server's
/// current traffic secret, the next record's number, and the input read from the socket.
struct TlsClient::Reader {
    const EVP_MD* md = nullptr;
    const EVP_CIPHER* cipher = nullptr;
    std::size_t keyLen = 0;
    std::string secret;
    unsigned char iv[12]{};
    std::uint64_t seq = 0;
    EVP_CIPHER_CTX* ctx = nullptr;
#ifdef TNLRELAY_BENCH_FAST_GCM
    std::unique_ptr<gcm_key_data> vector; // AES-GCM on VAES and AVX-512, where there is one
#endif
    std::unique_ptr<unsigned char[]> in;
    std::size_t from = 0, to = 0;         ///< ciphertext read and not opened yet
    std::size_t textFrom = 0, textTo = 0; ///< opened text not handed out yet
    bool ended = false;                   ///< the server's closing alert came
    bool failed = false;                  ///< reported by the next read

    ~Reader() {
        EVP_CIPHER_CTX_free(ctx);
        OPENSSL_cleanse(secret.data(), secret.size());
#ifdef TNLRELAY_BENCH_FAST_GCM
        if (vector) OPENSSL_cleanse(vector.get(), sizeof *vector);
#endif
    }

    bool start(const SSL_CIPHER* suite, const std::string& first, std::uint32_t updates) {
        switch (SSL_CIPHER_get_id(suite)) {
        case TLS1_3_CK_AES_128_GCM_SHA256:
            md = EVP_sha256(), cipher = EVP_aes_128_gcm(), keyLen = 16;
            break;
        case TLS1_3_CK_AES_256_GCM_SHA384:
            md = EVP_sha384(), cipher = EVP_aes_256_gcm(), keyLen = 32;
            break;
        case TLS1_3_CK_CHACHA20_POLY1305_SHA256:
            md = EVP_sha256(), cipher = EVP_chacha20_poly1305(), keyLen = 32;
            break;
        default:
            return false;
        }
        secret = first;
        for (std::uint32_t i = 0; i < updates; ++i)
            if (!advance()) return false;
        return useSecret();
    }

    /// The secret's next generation, as a key update of the server's makes it.
    bool advance() {
        std::string next(secret.size(), '\0');
        if (!expandLabel(md, secret, "traffic upd", reinterpret_cast<unsigned char*>(next.data()),
                         next.size()))
            return false;
        OPENSSL_cleanse(secret.data(), secret.size());
        secret.swap(next);
        return true;
    }

    bool useSecret() {
        unsigned char key[32];
        bool ok = expandLabel(md, secret, "key", key, keyLen) &&
                  expandLabel(md, secret, "iv", iv, sizeof iv);
#ifdef TNLRELAY_BENCH_FAST_GCM
        if (ok && vectorAes() && cipher != EVP_chacha20_poly1305()) {
            if (!vector) vector.reset(new gcm_key_data);
            if (keyLen == 16)
                IMB_AES128_GCM_PRE(vectorAes(), key, vector.get());
            else
                IMB_AES256_GCM_PRE(vectorAes(), key, vector.get());
            OPENSSL_cleanse(key, sizeof key);
            seq = 0;
            return true;
        }
#endif
        if (ok && !ctx) ctx = EVP_CIPHER_CTX_new();
        ok = ok && ctx && EVP_DecryptInit_ex(ctx, cipher, nullptr, key, nullptr) == 1;
        OPENSSL_cleanse(key, sizeof key);
        seq = 0;
        return ok;
    }

    /// Opens the record of `size` bytes at `rec` in place; false when it does not authenticate.
    bool open(unsigned char* rec, std::size_t size) {
        unsigned char nonce[12];
        std::memcpy(nonce, iv, sizeof nonce);
        for (int i = 0; i < 8; ++i)
            nonce[11 - i] ^= static_cast<unsigned char>(seq >> (8 * i));
        ++seq;
        unsigned char* body = rec + 5;
        const std::size_t n = size - 5 - 16;
#ifdef TNLRELAY_BENCH_FAST_GCM
        if (vector) {
            gcm_context_data state;
            unsigned char tag[16];
            if (keyLen == 16)
                IMB_AES128_GCM_DEC(vectorAes(), vector.get(), &state, body, body, n, nonce, rec, 5,
                                   tag, sizeof tag);
            else
                IMB_AES256_GCM_DEC(vectorAes(), vector.get(), &state, body, body, n, nonce, rec, 5,
                                   tag, sizeof tag);
            return CRYPTO_memcmp(tag, body + n, sizeof tag) == 0;
        }
#endif
        int len = 0;
        return EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) == 1 &&
               EVP_DecryptUpdate(ctx, nullptr, &len, rec, 5) == 1 &&
               EVP_DecryptUpdate(ctx, body, &len, body, static_cast<int>(n)) == 1 &&
               EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, body + n) == 1 &&
               EVP_DecryptFinal_ex(ctx, body + n, &len) == 1;
    }
};

TlsClient::TlsClient(SSL_CTX* ctx, int fd, const TlsTicket* resume) : fd_(fd) {
    ssl_ = ctx ? SSL_new(ctx) : nullptr;
    if (!ssl_) return;
    if (SSL_set_fd(ssl_, fd) != 1 ||
        (resume && *resume && SSL_set_session(ssl_, resume->get()) != 1)) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        return;
    }
    SSL_set_app_data(ssl_, this);
    SSL_set_connect_state(ssl_);
}

TlsClient::~TlsClient() {
    SSL_free(ssl_);
    OPENSSL_cleanse(serverSecret_.data(), serverSecret_.size());
}

void TlsClient::noteSecret(const std::string& line) {
    static const std::string kLabel = "SERVER_TRAFFIC_SECRET_0 ";
    if (line.compare(0, kLabel.size(), kLabel) != 0) return;
    const std::size_t at = line.find(' ', kLabel.size());
    if (at == std::string::npos) return;
    auto nibble = [](char h) { return h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10; };
    std::string secret;
    for (std::size_t i = at + 1; i + 1 < line.size(); i += 2)
        secret += static_cast<char>(nibble(line[i]) << 4 | nibble(line[i + 1]));
    serverSecret_.swap(secret);
    OPENSSL_cleanse(secret.data(), secret.size());
}

void TlsClient::takeOverReads() {
    noTakeOver_ = true; // one try
    if (SSL_version(ssl_) != TLS1_3_VERSION || serverSecret_.empty()) return;
    auto reader = std::make_unique<Reader>();
    if (!reader->start(SSL_get_current_cipher(ssl_), serverSecret_, updates_)) return;
    reader->seq = records_;
    OPENSSL_cleanse(serverSecret_.data(), serverSecret_.size());
    own_ = std::move(reader);
}

bool TlsClient::resumed() const {
    return SSL_session_reused(ssl_) == 1;
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
    if (own_) return readOwn(buf, n);
    const ssize_t got = readLibrary(buf, n);
    // Reading moves to the client once the library holds nothing it has read (the next record
    // then starts the client's input) and has read the server's ticket, which the client keeps
    // for its next connection.
    if (drained_ && !noTakeOver_ && ticket_ && SSL_is_init_finished(ssl_) &&
        !SSL_has_pending(ssl_))
        takeOverReads();
    return got;
}

ssize_t TlsClient::readLibrary(char* buf, std::size_t n) {
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

ssize_t TlsClient::readOwn(char* buf, std::size_t n) {
    Reader& r = *own_;
    drained_ = false;
    std::size_t got = 0;
    auto fault = [&]() -> ssize_t {
        r.failed = true;
        if (got) return static_cast<ssize_t>(got); // the fault comes with the next call
        errno = EPROTO;
        return -1;
    };
    if (r.failed) return fault();
    if (!r.in) r.in.reset(new unsigned char[kOwnInput]);
    while (got < n) {
        if (r.textFrom < r.textTo) {
            const std::size_t take = std::min(n - got, r.textTo - r.textFrom);
            std::memcpy(buf + got, r.in.get() + r.textFrom, take);
            r.textFrom += take;
            got += take;
            continue;
        }
        if (r.ended) break;
        // The next record, once the input holds all of it.
        const std::size_t held = r.to - r.from;
        if (held >= 5) {
            unsigned char* rec = r.in.get() + r.from;
            const std::size_t body = std::size_t(rec[3]) << 8 | rec[4];
            if (rec[0] != 23 || body < 17 || body > kMaxBody) return fault();
            if (held >= 5 + body) {
                r.from += 5 + body;
                if (!r.open(rec, 5 + body)) return fault();
                // The content, then its type, then any padding of zeros.
                std::size_t len = body - 16;
                while (len && rec[5 + len - 1] == 0)
                    --len;
                if (len == 0) return fault();
                const unsigned char type = rec[5 + --len];
                const unsigned char* content = rec + 5;
                if (type == 23) {
                    r.textFrom = static_cast<std::size_t>(content - r.in.get());
                    r.textTo = r.textFrom + len;
                } else if (type == 21) { // the server closes, or gives up
                    if (len != 2 || content[1] != 0) return fault();
                    r.ended = true;
                } else if (type == 22) { // after the handshake: tickets and key updates
                    for (std::size_t at = 0; at < len;) {
                        if (len - at < 4) return fault();
                        const std::size_t size = std::size_t(content[at + 1]) << 16 |
                                                 std::size_t(content[at + 2]) << 8 |
                                                 content[at + 3];
                        if (len - at - 4 < size) return fault();
                        if (content[at] == SSL3_MT_KEY_UPDATE) {
                            if (size != 1 || content[at + 4] > 1) return fault();
                            if (!r.advance() || !r.useSecret()) return fault();
                            // Asked for ours: the library sends it with the next write.
                            if (content[at + 4] == 1)
                                SSL_key_update(ssl_, SSL_KEY_UPDATE_NOT_REQUESTED);
                        } else if (content[at] != SSL3_MT_NEWSESSION_TICKET) {
                            return fault();
                        }
                        at += 4 + size;
                    }
                } else {
                    return fault();
                }
                continue;
            }
        }
        // More input: what is held moves to the front, and the socket fills the rest.
        if (r.from) {
            std::memmove(r.in.get(), r.in.get() + r.from, held);
            r.from = 0;
            r.to = held;
        }
        const ssize_t k = ::read(fd_, r.in.get() + r.to, kOwnInput - r.to);
        if (k > 0) {
            r.to += static_cast<std::size_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            drained_ = true;
            break;
        }
        if (k == 0) { // a close without the alert is an end like any other
            r.ended = true;
            break;
        }
        if (got) break; // the fault comes with the next call
        return -1;
    }
    if (r.from == r.to && r.textFrom == r.textTo) { // nothing held: the buffer goes
        r.in.reset();
        r.from = r.to = r.textFrom = r.textTo = 0;
    }
    if (got) return static_cast<ssize_t>(got);
    if (r.ended) return 0;
    errno = EAGAIN;
    return -1;
}

} // namespace tnlrelay::bench
