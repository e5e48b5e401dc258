// The TLS context and sessions on OpenSSL 3. Files are read into memory by us (so that any
// path the platform can open works) and parsed from there. Sessions use a small BIO of our own
// that reads the ciphertext the loop just received and appends what SSL writes to the
// session's output string: no copies through OpenSSL's memory BIOs, and nothing held by an
// idle connection but the SSL object (buffers are released while idle).
//
// Once a TLS 1.3 handshake is done, a session seals its application records itself: the
// library's write path costs about a microsecond more per record than the cipher (its own
// buffer, a copy into it and one out of it, and its bookkeeping), and a busy connection writes
// thousands of records a second. To hand over at a point both sides agree on, the session asks
// the library for a key update; the new key starts at record 0 by definition, and is derived
// from the first server traffic secret (which the library reports through its key log hook),
// moved on once for every key update the library wrote. Afterwards the session answers a
// client's request for a key update itself, and moves to a new key on its own after
// `recordsPerKey_` records, well inside what AES-GCM allows one key to seal.
//
// Reading is handed over at the first end of a record after that: the library is given no byte
// past it, and the session opens the client's records from there on, in place, under the
// client's traffic secret of the moment (the first one, moved on for every key update of the
// client's that the library read) and the number of records the library read under it, which
// its message hook counts. Every record is authenticated before anything in it is looked at; a
// record that does not open, is too long, or holds anything but data, a key update or an alert
// ends the connection with an alert. With both directions the session's, the library's state
// for the connection is freed. TLS 1.2 connections stay with the library both ways.
//
// The records a session seals and opens itself go through the library's cipher calls, except
// AES-GCM on processors with VAES and AVX-512, where fastgcm does the same work at a few times
// the speed of this library's version.
#include "Tls.hpp"

#include "FastGcm.hpp"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/tls1.h>
#include <openssl/x509.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

namespace tnlrelay::net {

namespace {

std::string lastError(const char* what) {
    std::string text = what;
    if (const unsigned long code = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        text += ": ";
        text += buf;
    }
    ERR_clear_error();
    return text;
}

bool readFile(const std::filesystem::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Only http/1.1 is spoken; a client offering something else alone goes on without ALPN.
int selectAlpn(SSL*, const unsigned char** out, unsigned char* outLen, const unsigned char* in,
               unsigned int inLen, void*) {
    static const unsigned char kOurs[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char* selected = nullptr;
    if (SSL_select_next_proto(&selected, outLen, kOurs, sizeof kOurs, in, inLen) ==
        OPENSSL_NPN_NEGOTIATED) {
        *out = selected;
        return SSL_TLSEXT_ERR_OK;
    }
    return SSL_TLSEXT_ERR_NOACK;
}

std::int64_t asnTimeToUnix(const ASN1_TIME* t) {
    struct tm tm {};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
    // timegm without depending on the platform: days from the civil date.
    const int y = tm.tm_year + 1900 - (tm.tm_mon < 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned mp = static_cast<unsigned>((tm.tm_mon + 10) % 12); // March is 0
    const unsigned doy = (153 * mp + 2) / 5 + static_cast<unsigned>(tm.tm_mday) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = std::int64_t(era) * 146097 + std::int64_t(doe) - 719468;
    return days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

} // namespace

/// The library's hooks into a session: the key log line with the first server traffic secret,
/// and the key updates that pass.
struct TlsHooks {
    static std::unique_ptr<std::string> secretOf(std::string_view hex) {
        auto secret = std::make_unique<std::string>();
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            const int hi = OPENSSL_hexchar2int(static_cast<unsigned char>(hex[i]));
            const int lo = OPENSSL_hexchar2int(static_cast<unsigned char>(hex[i + 1]));
            if (hi < 0 || lo < 0) return nullptr;
            secret->push_back(static_cast<char>(hi * 16 + lo));
        }
        return secret;
    }

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
        (server ? s->secret_ : s->clientSecret_) = secretOf(text.substr(space + 1));
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
            if (!written) ++s->peerRecords_;
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

// ---- the context ----

TlsContext::~TlsContext() {
    SSL_CTX_free(ctx_);
}

TlsContext::Stamp TlsContext::stampOf(const std::filesystem::path& cert,
                                      const std::filesystem::path& key) {
    Stamp s;
    std::error_code ec;
    auto timeOf = [&](const std::filesystem::path& p) -> std::int64_t {
        const auto t = std::filesystem::last_write_time(p, ec);
        return ec ? -1 : static_cast<std::int64_t>(t.time_since_epoch().count());
    };
    s.certTime = timeOf(cert);
    s.certSize = std::filesystem::file_size(cert, ec);
    if (ec) s.certSize = 0;
    s.keyTime = timeOf(key);
    s.keySize = std::filesystem::file_size(key, ec);
    if (ec) s.keySize = 0;
    return s;
}

bool TlsContext::load(const std::filesystem::path& cert, const std::filesystem::path& key,
                      std::string& error) {
    cert_ = cert;
    key_ = key;
    loaded_ = seen_ = stampOf(cert, key);
    haveFailed_ = false;
    if (build(error)) return true;
    failed_ = loaded_;
    haveFailed_ = true;
    return false;
}

TlsContext::Check TlsContext::check(std::string& error) {
    if (cert_.empty()) return Check::unchanged;
    const Stamp now = stampOf(cert_, key_);
    const Stamp previous = seen_;
    seen_ = now;
    if (now == loaded_ || !(now == previous)) return Check::unchanged;
    if (haveFailed_ && now == failed_) return Check::unchanged;
    if (build(error)) {
        loaded_ = now;
        haveFailed_ = false;
        return Check::loaded;
    }
    failed_ = now;
    haveFailed_ = true;
    return Check::failed;
}

bool TlsContext::build(std::string& error) {
    std::string certPem, keyPem;
    if (!readFile(cert_, certPem)) {
        error = "cannot read the certificate file";
        return false;
    }
    if (!readFile(key_, keyPem)) {
        error = "cannot read the private key file";
        return false;
    }
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        error = lastError("cannot create a TLS context");
        return false;
    }
    bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1;
    // The library's recommended ciphers, in the order the client prefers: browsers put
    // AES-128-GCM first, which costs less per byte than the library's own first choice.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    // Clients send a record per message or two: reading ahead takes a buffer's worth of records
    // (one record's size, so a stalled peer holds no more than without) in one call instead of
    // two calls (header, body) per record.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_alpn_select_cb(ctx, selectAlpn, nullptr);
    SSL_CTX_set_keylog_callback(ctx, TlsHooks::keyLog);

    X509* leaf = nullptr;
    BIO* bio = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
    if (ok && bio) leaf = PEM_read_bio_X509_AUX(bio, nullptr, nullptr, nullptr);
    if (!leaf) {
        error = lastError("no certificate in the certificate file");
        ok = false;
    } else if (SSL_CTX_use_certificate(ctx, leaf) != 1) {
        error = lastError("the certificate is not usable");
        ok = false;
    }
    // The rest of the file is the chain (Let's Encrypt's fullchain.pem).
    while (ok) {
        X509* extra = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        if (!extra) {
            ERR_clear_error();
            break;
        }
        if (SSL_CTX_add0_chain_cert(ctx, extra) != 1) {
            X509_free(extra);
            error = lastError("a chain certificate is not usable");
            ok = false;
        }
    }
    BIO_free(bio);

    if (ok) {
        BIO* keyBio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
        EVP_PKEY* pkey =
            keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(keyBio);
        if (!pkey) {
            error = lastError("no private key in the key file");
            ok = false;
        } else {
            if (SSL_CTX_use_PrivateKey(ctx, pkey) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
                error = lastError("the private key does not match the certificate");
                ok = false;
            }
            EVP_PKEY_free(pkey);
        }
    }
    if (!ok) {
        X509_free(leaf);
        SSL_CTX_free(ctx);
        return false;
    }

    TlsCertInfo info;
    if (BIO* out = BIO_new(BIO_s_mem())) {
        X509_NAME_print_ex(out, X509_get_subject_name(leaf), 0,
                           XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
        char* text = nullptr;
        const long len = BIO_get_mem_data(out, &text);
        if (len > 0) info.subject.assign(text, static_cast<std::size_t>(len));
        BIO_free(out);
    }
    info.notAfter = asnTimeToUnix(X509_get0_notAfter(leaf));
    if (BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(leaf), nullptr)) {
        if (char* hex = BN_bn2hex(bn)) {
            info.serial = hex;
            OPENSSL_free(hex);
        }
        BN_free(bn);
    }
    X509_free(leaf);
    SSL_CTX_free(ctx_);
    ctx_ = ctx;
    info_ = std::move(info);
    return true;
}

// ---- sessions ----

namespace {

// HKDF-Expand-Label with an empty context, for outputs no longer than the hash.
bool expandLabel(const EVP_MD* md, const std::string& secret, const char* label, std::size_t len,
                 unsigned char* out) {
    unsigned char info[64];
    const std::size_t labelLen = std::strlen(label);
    std::size_t at = 0;
    info[at++] = static_cast<unsigned char>(len >> 8);
    info[at++] = static_cast<unsigned char>(len);
    info[at++] = static_cast<unsigned char>(6 + labelLen);
    std::memcpy(info + at, "tls13 ", 6);
    at += 6;
    std::memcpy(info + at, label, labelLen);
    at += labelLen;
    info[at++] = 0; // no context
    info[at++] = 1; // the first (and only) block
    unsigned char block[EVP_MAX_MD_SIZE];
    unsigned blockLen = 0;
    if (!HMAC(md, secret.data(), static_cast<int>(secret.size()), info, at, block, &blockLen) ||
        blockLen < len)
        return false;
    std::memcpy(out, block, len);
    OPENSSL_cleanse(block, sizeof block);
    return true;
}

} // namespace

/// One direction's TLS 1.3 record protection: the current traffic secret, its key in the
/// cipher, its nonce base and the number of records it has sealed or opened.
struct TlsSession::Keys {
    const EVP_MD* md = nullptr;
    const EVP_CIPHER* cipher = nullptr;
    std::size_t keyLen = 0;
    bool sealing = true;
    bool useFast = false; ///< AES-GCM through fastgcm, chosen when the keys are made
    std::string secret;
    EVP_CIPHER_CTX* ctx = nullptr; ///< the library's cipher, when fastgcm is not used
    fastgcm::KeyPtr fast; ///< AES-GCM on the vector instructions, where the processor has them
    unsigned char iv[12]{};
    std::uint64_t seq = 0;

    /// The suite's hash and cipher, for the suites this session protects itself.
    static std::unique_ptr<Keys> forSuite(SSL* ssl, bool sealing) {
        auto k = std::make_unique<Keys>();
        k->sealing = sealing;
        switch (SSL_CIPHER_get_id(SSL_get_current_cipher(ssl))) {
        case TLS1_3_CK_AES_128_GCM_SHA256:
            k->md = EVP_sha256(), k->cipher = EVP_aes_128_gcm(), k->keyLen = 16;
            k->useFast = fastgcm::inUse();
            break;
        case TLS1_3_CK_AES_256_GCM_SHA384:
            k->md = EVP_sha384(), k->cipher = EVP_aes_256_gcm(), k->keyLen = 32;
            k->useFast = fastgcm::inUse();
            break;
        case TLS1_3_CK_CHACHA20_POLY1305_SHA256:
            k->md = EVP_sha256(), k->cipher = EVP_chacha20_poly1305(), k->keyLen = 32;
            break;
        default:
            return nullptr;
        }
        return k;
    }

    ~Keys() {
        EVP_CIPHER_CTX_free(ctx);
        OPENSSL_cleanse(secret.data(), secret.size());
        OPENSSL_cleanse(iv, sizeof iv);
    }

    /// Takes `first`, moved on `updates` times, as the current secret.
    bool start(std::string& first, std::uint32_t updates) {
        if (first.size() != static_cast<std::size_t>(EVP_MD_get_size(md))) return false;
        secret.swap(first);
        OPENSSL_cleanse(first.data(), first.size());
        if (!useSecret()) return false;
        for (std::uint32_t i = 0; i < updates; ++i)
            if (!nextSecret()) return false;
        return true;
    }

    /// Takes the secret as the current one: its key and nonce base, from record 0.
    bool useSecret() {
        unsigned char key[32];
        bool ok = expandLabel(md, secret, "key", keyLen, key) &&
                  expandLabel(md, secret, "iv", sizeof iv, iv);
        if (ok && useFast) {
            fast = fastgcm::makeKey(key, keyLen, sealing);
            ok = fast != nullptr;
        } else if (ok) {
            if (!ctx) ctx = EVP_CIPHER_CTX_new();
            ok = ctx && EVP_CipherInit_ex(ctx, cipher, nullptr, key, nullptr, sealing ? 1 : 0) == 1;
        }
        OPENSSL_cleanse(key, sizeof key);
        seq = 0;
        return ok;
    }

    /// The next generation of the secret, as a key update makes it.
    bool nextSecret() {
        std::string next(secret.size(), '\0');
        if (!expandLabel(md, secret, "traffic upd", next.size(),
                         reinterpret_cast<unsigned char*>(next.data())))
            return false;
        OPENSSL_cleanse(secret.data(), secret.size());
        secret.swap(next);
        return useSecret();
    }

    /// The nonce of the next record: the base, its last eight bytes XORed with the number.
    void nonce(unsigned char out[12]) const {
        std::memcpy(out, iv, sizeof iv);
        for (int i = 0; i < 8; ++i)
            out[11 - i] ^= static_cast<unsigned char>(seq >> (8 * i));
    }

    /// Appends one record: `n` bytes of content of type `type`, sealed.
    bool seal(unsigned char type, const char* data, std::size_t n, std::string& to) {
        const TlsSession::Piece one{data, n};
        return seal(type, &one, 1, n, to);
    }
    /// Appends one record whose content is `count` pieces, `n` bytes in all.
    bool seal(unsigned char type, const TlsSession::Piece* pieces, std::size_t count, std::size_t n,
              std::string& to) {
        const std::size_t body = n + 1 + 16;
        const std::size_t at = to.size();
        to.resize(at + 5 + body);
        auto* rec = reinterpret_cast<unsigned char*>(to.data() + at);
        rec[0] = 23; // every protected record says application data outside
        rec[1] = 3;
        rec[2] = 3;
        rec[3] = static_cast<unsigned char>(body >> 8);
        rec[4] = static_cast<unsigned char>(body);
        unsigned char iv12[12];
        nonce(iv12);
        unsigned char* out = rec + 5;
        if (fast) {
            fastgcm::Context g;
            fastgcm::start(*fast, g, iv12, rec, 5);
            for (std::size_t i = 0; i < count; ++i) {
                fastgcm::update(*fast, g, out,
                                reinterpret_cast<const unsigned char*>(pieces[i].data),
                                pieces[i].len);
                out += pieces[i].len;
            }
            fastgcm::update(*fast, g, out, &type, 1);
            fastgcm::finish(*fast, g, out + 1);
            ++seq;
            return true;
        }
        int len = 0;
        bool ok = EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv12) == 1 &&
                  EVP_EncryptUpdate(ctx, nullptr, &len, rec, 5) == 1;
        for (std::size_t i = 0; ok && i < count; ++i) {
            ok = EVP_EncryptUpdate(ctx, out, &len,
                                   reinterpret_cast<const unsigned char*>(pieces[i].data),
                                   static_cast<int>(pieces[i].len)) == 1;
            out += pieces[i].len;
        }
        ok = ok && EVP_EncryptUpdate(ctx, out, &len, &type, 1) == 1 &&
             EVP_EncryptFinal_ex(ctx, out + 1, &len) == 1 &&
             EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out + 1) == 1;
        ++seq;
        if (!ok) to.resize(at);
        return ok;
    }

    /// Opens a record of `size` bytes (header, body, tag) in place. False when it does not
    /// authenticate; its plaintext, padding and inner type then follow the header.
    bool open(unsigned char* rec, std::size_t size) {
        unsigned char iv12[12];
        nonce(iv12);
        const std::size_t n = size - 5 - 16;
        unsigned char* body = rec + 5;
        if (fast) {
            fastgcm::Context g;
            unsigned char tag[16];
            fastgcm::start(*fast, g, iv12, rec, 5);
            fastgcm::update(*fast, g, body, body, n);
            fastgcm::finish(*fast, g, tag);
            ++seq;
            return CRYPTO_memcmp(tag, body + n, sizeof tag) == 0;
        }
        int len = 0;
        const bool ok = EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv12) == 1 &&
                        EVP_DecryptUpdate(ctx, nullptr, &len, rec, 5) == 1 &&
                        EVP_DecryptUpdate(ctx, body, &len, body, static_cast<int>(n)) == 1 &&
                        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, body + n) == 1 &&
                        EVP_DecryptFinal_ex(ctx, body + n, &len) == 1;
        ++seq;
        return ok;
    }
};

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
        // peer no longer expects: only a failing connection's alert comes here then.
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
    default: // a protocol error, a failed handshake, or the peer's closing alert
        ERR_clear_error();
        failed_ = true;
        return -1;
    }
}

// Follows the record boundaries in the next `n` bytes for the library; once reading is to move
// to the session, gives no more than the rest of the current record. Returns how many bytes
// to give.
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
        if (handingOver_ && !inBody_ && headerHave_ == 0) break; // a record's end
    }
    return at;
}

// Hands the writing of records over from the library to the session, when the connection is
// TLS 1.3 with a cipher we seal and the library reported its secret. False leaves it as it was.
bool TlsSession::takeOverWrites(std::string& to) {
    noTakeOver_ = true; // one try
    if (!secret_ || SSL_version(ssl_) != TLS1_3_VERSION) return false;
    auto keys = Keys::forSuite(ssl_, true);
    const auto hashLen = keys ? static_cast<std::size_t>(EVP_MD_get_size(keys->md)) : 0;
    if (!keys || secret_->size() != hashLen) return false;
    // The library's key update moves its write key on and starts it at record 0.
    sink_ = &to;
    SSL_key_update(ssl_, SSL_KEY_UPDATE_NOT_REQUESTED); // fails only if one is pending already
    const int done = SSL_do_handshake(ssl_);
    sink_ = &cipherOut;
    // The library keeps the write buffer it took for that message; nothing of ours needs it.
    (void)SSL_free_buffers(ssl_);
    if (done != 1) {
        ERR_clear_error();
        return false;
    }
    if (!keys->start(*secret_, updatesSent_)) return failed_ = true, false;
    secret_.reset();
    own_ = std::move(keys);
    // Reading follows at the end of the record the library is in, which is mostly now.
    if (!clientSecret_ || clientSecret_->size() != hashLen) return true;
    handingOver_ = true;
    if (readsCanMove()) takeOverReads();
    return true;
}

// The library holds nothing of the client's that it has not read: no part of a record, no
// record or plaintext waiting.
bool TlsSession::readsCanMove() const {
    return !inBody_ && headerHave_ == 0 && SSL_has_pending(ssl_) == 0;
}

// Reading moves from the library to the session, at a record's end.
bool TlsSession::takeOverReads() {
    handingOver_ = false;
    auto keys = Keys::forSuite(ssl_, false);
    if (!clientSecret_ || !keys || !keys->start(*clientSecret_, peerUpdates_))
        return failed_ = true, false;
    keys->seq = peerRecords_;
    clientSecret_.reset();
    ownRead_ = std::move(keys);
    // Nothing is left for the library to do: its state (some 14 KB with the handshake's
    // session) goes, and the connection keeps only its two sets of keys.
    SSL_free(ssl_);
    ssl_ = nullptr;
    released_ = true;
    return true;
}

namespace {
constexpr std::size_t kMaxBody = kTlsRecord + 256; // as TLS 1.3 bounds a protected record
} // namespace

TlsSession::Opened TlsSession::fail(unsigned char alert) {
    // The peer learns why, if we still write: a fatal alert, then nothing more.
    if (own_ && !shutdownSent_) {
        const char fatal[] = {2, static_cast<char>(alert)};
        own_->seal(21, fatal, sizeof fatal, cipherOut);
        shutdownSent_ = true;
    }
    ERR_clear_error();
    failed_ = true;
    return Opened::failed;
}

TlsSession::Opened TlsSession::openRecord(char*& data, std::size_t& n, char*& text,
                                          std::size_t& len) {
    if (failed_) return Opened::failed;
    if (partialDone_) {
        partialDone_ = false;
        if (partial_.capacity() > 1024)
            std::string().swap(partial_); // an idle connection keeps no record buffer
        else
            partial_.clear();
    }
    auto bodyOf = [](const char* h) {
        return std::size_t(static_cast<unsigned char>(h[3])) << 8 |
               static_cast<unsigned char>(h[4]);
    };
    if (partial_.empty() && n >= 5 && n >= 5 + bodyOf(data)) { // the usual case: whole in the input
        const std::size_t size = 5 + bodyOf(data);
        auto* rec = reinterpret_cast<unsigned char*>(data);
        data += size, n -= size;
        return openWhole(rec, size, text, len);
    }
    if (n == 0) return Opened::more;
    // A record across reads: its header first, then as much of it as there is.
    if (partial_.size() < 5) {
        const std::size_t take = std::min(n, 5 - partial_.size());
        partial_.append(data, take);
        data += take, n -= take;
        if (partial_.size() < 5) return Opened::more;
        if (bodyOf(partial_.data()) > kMaxBody) return fail(22); // record_overflow
        partial_.reserve(5 + bodyOf(partial_.data()));
    }
    const std::size_t size = 5 + bodyOf(partial_.data());
    const std::size_t take = std::min(n, size - partial_.size());
    partial_.append(data, take);
    data += take, n -= take;
    if (partial_.size() < size) return Opened::more;
    partialDone_ = true;
    return openWhole(reinterpret_cast<unsigned char*>(partial_.data()), size, text, len);
}

TlsSession::Opened TlsSession::openWhole(unsigned char* rec, std::size_t size, char*& text,
                                         std::size_t& len) {
    const std::size_t body = size - 5;
    // After the handshake every record is protected, and says application data outside.
    if (rec[0] != 23) return fail(10); // unexpected_message
    if (body > kMaxBody) return fail(22);
    if (body < 17 || !ownRead_->open(rec, size)) return fail(20); // bad_record_mac
    // The content, then its type, then any padding of zeros.
    std::size_t n = body - 16;
    unsigned char* content = rec + 5;
    while (n && content[n - 1] == 0)
        --n;
    if (n == 0) return fail(10);
    const unsigned char type = content[--n];
    if (n > kTlsRecord) return fail(22);
    if (type == 23) {
        text = reinterpret_cast<char*>(content);
        len = n;
        return Opened::data;
    }
    if (type == 21) { // an alert: the peer closes, or gives up
        failed_ = true;
        return Opened::failed;
    }
    // Of the handshake messages only a key update may come now, and it ends its record.
    if (type != 22 || n != 5 || content[0] != SSL3_MT_KEY_UPDATE || content[1] != 0 ||
        content[2] != 0 || content[3] != 1 || content[4] > 1)
        return fail(10);
    if (content[4] == 1) peerAskedUpdate_ = true;
    if (!ownRead_->nextSecret()) return fail(80); // internal_error
    return Opened::control;
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
