// The TLS context and sessions on OpenSSL 3. Files are read into memory by us (so that any
// path the platform can open works) and parsed from there. Sessions use a small BIO of our own
// that reads the ciphertext the loop just received and appends what SSL writes to the
// session's output string: no copies through OpenSSL's memory BIOs, and nothing held by an
// idle connection but the SSL object (buffers are released while idle).
#include "Tls.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
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
        s->sink_->append(data, static_cast<std::size_t>(len));
        return len;
    }
    static int read(BIO* b, char* data, int len) {
        auto* s = static_cast<TlsSession*>(BIO_get_data(b));
        BIO_clear_retry_flags(b);
        if (s->inLen_ == 0) {
            BIO_set_retry_read(b);
            return -1;
        }
        const std::size_t n = std::min(s->inLen_, static_cast<std::size_t>(len));
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
}

TlsSession::~TlsSession() {
    SSL_free(ssl_);
}

// The error queue is emptied once per batch of input rather than before every call: calls that
// succeed leave nothing in it, and every failure below empties it again.
void TlsSession::startInput(const char* data, std::size_t n) {
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

bool TlsSession::encrypt(const char* data, std::size_t n, std::string& to) {
    if (failed_ || n == 0) return !failed_;
    sink_ = &to;
    const int put = SSL_write(ssl_, data, static_cast<int>(n));
    sink_ = &cipherOut;
    if (put == static_cast<int>(n)) return true;
    ERR_clear_error();
    failed_ = true;
    return false;
}

void TlsSession::shutdown(std::string& to) {
    if (shutdownSent_ || failed_ || !SSL_is_init_finished(ssl_)) return;
    shutdownSent_ = true;
    sink_ = &to;
    SSL_shutdown(ssl_);
    sink_ = &cipherOut;
    ERR_clear_error();
}

bool TlsSession::handshakeDone() const {
    return SSL_is_init_finished(ssl_) == 1;
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
