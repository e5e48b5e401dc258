// The server's TLS context: the certificate chain and key read from PEM files (and read again
// when they change), the protocol policy every handshake follows, session ticket keys that
// rotate, and which library versions a session may take its records over on.
#include "FastGcm.hpp"
#include "Tls.hpp"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
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

// Reads a whole file into a buffer sized once, so that a private key leaves no copies behind
// in buffers that grew.
bool readFile(const std::filesystem::path& path, std::string& out) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > (std::uintmax_t(1) << 24)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.resize(static_cast<std::size_t>(size));
    in.read(out.data(), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<std::size_t>(in.gcount()));
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

// TLS 1.2 takes the server's order of its suites (every one ECDHE with an AEAD cipher), with
// ChaCha20 first only for a client that puts it first (one without AES in hardware). TLS 1.3
// keeps the client's order among the library's suites: browsers put AES-128-GCM first, which
// costs less per byte than the library's own first choice.
constexpr const char* kTls12Suites = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                     "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                     "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

bool offersTls13(SSL* ssl) {
    const unsigned char* ext = nullptr;
    std::size_t len = 0;
    if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_supported_versions, &ext, &len) != 1 || len < 1)
        return false;
    const std::size_t listLen = std::min<std::size_t>(ext[0], len - 1);
    for (std::size_t i = 1; i + 1 <= listLen; i += 2)
        if (ext[i] == 0x03 && ext[i + 1] == 0x04) return true;
    return false;
}

int onClientHello(SSL* ssl, int*, void*) {
    if (!offersTls13(ssl))
        SSL_set_options(ssl, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_PRIORITIZE_CHACHA);
    return SSL_CLIENT_HELLO_SUCCESS;
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

std::int64_t steadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// ---- session ticket keys ----

// One key for the tickets of every context (a certificate reload keeps tickets valid): a new
// one every 12 hours, the one before it still opening tickets (and asking for a new ticket)
// for one more period. Keys live in memory only; a restart makes every ticket useless.
struct TlsTicketKeys {
    struct Key {
        unsigned char name[16], aes[32], hmac[32];
        std::int64_t born = 0;
        bool present = false;
        void wipeAll() { wipe(this, sizeof *this); }
    };
    std::mutex mutex;
    Key current, previous;
    std::atomic<std::int64_t (*)()> clock{steadySeconds};

    static TlsTicketKeys& get() {
        static TlsTicketKeys keys;
        return keys;
    }
    ~TlsTicketKeys() {
        current.wipeAll();
        previous.wipeAll();
    }

    bool rotateIfDue(std::int64_t now) {
        if (current.present && now - current.born < kTlsTicketKeyPeriod) return true;
        previous = current;
        Key fresh;
        if (RAND_bytes(fresh.name, sizeof fresh.name) != 1 ||
            RAND_priv_bytes(fresh.aes, sizeof fresh.aes) != 1 ||
            RAND_priv_bytes(fresh.hmac, sizeof fresh.hmac) != 1)
            return fresh.wipeAll(), false;
        fresh.born = now, fresh.present = true;
        current = fresh;
        fresh.wipeAll();
        if (now - previous.born >= 2 * kTlsTicketKeyPeriod) previous.wipeAll();
        return true;
    }

    /// AES-256-CBC, fetched once rather than looked up by name for every ticket.
    static const EVP_CIPHER* ticketCipher() {
        static const EVP_CIPHER* const cipher = [] {
            const EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
            ERR_clear_error();
            return fetched ? fetched : EVP_aes_256_cbc();
        }();
        return cipher;
    }

    static bool useKey(const Key& k, unsigned char* iv, EVP_CIPHER_CTX* cctx, EVP_MAC_CTX* hctx,
                       int enc) {
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
            OSSL_PARAM_construct_end()};
        return EVP_CipherInit_ex(cctx, ticketCipher(), nullptr, k.aes, iv, enc) == 1 &&
               EVP_MAC_init(hctx, k.hmac, sizeof k.hmac, params) == 1;
    }

    // The library asks for a key to seal a new ticket (enc 1) or to open one it received.
    static int callback(SSL*, unsigned char* name, unsigned char* iv, EVP_CIPHER_CTX* cctx,
                        EVP_MAC_CTX* hctx, int enc) {
        TlsTicketKeys& keys = get();
        const std::lock_guard lock(keys.mutex);
        if (!keys.rotateIfDue(keys.clock.load()())) return enc ? -1 : 0;
        if (enc) {
            if (RAND_bytes(iv, EVP_CIPHER_get_iv_length(ticketCipher())) != 1) return -1;
            std::memcpy(name, keys.current.name, sizeof keys.current.name);
            return useKey(keys.current, iv, cctx, hctx, 1) ? 1 : -1;
        }
        for (const Key* k : {&keys.current, &keys.previous}) {
            if (!k->present || CRYPTO_memcmp(name, k->name, sizeof k->name) != 0) continue;
            if (!useKey(*k, iv, cctx, hctx, 0)) return -1;
            return k == &keys.current ? 1 : 2; // 2: good, and the client gets a new ticket
        }
        return 0; // unknown or too old: a full handshake
    }
};

void setTlsTicketClock(std::int64_t (*now)()) {
    TlsTicketKeys::get().clock.store(now ? now : steadySeconds);
}

// ---- which library versions the relay's own records run on ----

namespace {
std::atomic<bool> g_ownRecords{true};
} // namespace

bool tlsOwnRecordsTested(unsigned long version) {
    // The series the tests run on (major, minor; patch releases of a series change no
    // behaviour the hand-over depends on, and every such behaviour is checked where it is used
    // anyway). A different series than the build's headers is not trusted either.
    const auto series = [](unsigned long v) { return v >> 20; };
    return series(version) == series(0x30000000UL) &&
           series(version) == series(OPENSSL_VERSION_NUMBER);
}

void setTlsOwnRecords(bool on) {
    g_ownRecords.store(on);
}

bool tlsOwnRecordsInUse() {
    return g_ownRecords.load(std::memory_order_relaxed) &&
           tlsOwnRecordsTested(OpenSSL_version_num());
}

bool tlsVectorAesGcm() {
    return fastgcm::inUse();
}

std::string tlsLibraryVersion() {
    return OpenSSL_version(OPENSSL_VERSION);
}

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

// The protocol policy, the same for every certificate.
bool TlsContext::applyPolicy(SSL_CTX* ctx) {
    bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
              SSL_CTX_set_cipher_list(ctx, kTls12Suites) == 1;
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_client_hello_cb(ctx, onClientHello, nullptr);
    ok = ok && SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx, TlsTicketKeys::callback) == 1;
    // The chain is the certificate file's own (useCertificates): without this the library
    // would build one from its empty store on every handshake, for nothing.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_NO_AUTO_CHAIN);
    // Key exchange on X25519 first, the cheapest; P-256 for clients without it.
    ok = ok && SSL_CTX_set1_groups_list(ctx, "X25519:P-256:P-384:X448:P-521") == 1;
    // One TLS 1.3 ticket per connection, not the library's two: a client resumes with one,
    // and each costs the handshake a sealed copy of the session.
    ok = ok && SSL_CTX_set_num_tickets(ctx, 1) == 1;
    // Clients send a record per message or two: reading ahead takes a buffer's worth of records
    // (one record's size, so a stalled peer holds no more than without) in one call instead of
    // two calls (header, body) per record.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_alpn_select_cb(ctx, selectAlpn, nullptr);
    TlsSession::hook(ctx);
    return ok;
}

// Reads the leaf certificate and the chain after it (a full chain file) into `ctx`.
bool TlsContext::useCertificates(SSL_CTX* ctx, const std::string& pem, X509*& leaf,
                                 std::string& error) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    leaf = bio ? PEM_read_bio_X509_AUX(bio, nullptr, nullptr, nullptr) : nullptr;
    bool ok = true;
    if (!leaf) {
        error = lastError("no certificate in the certificate file");
        ok = false;
    } else if (SSL_CTX_use_certificate(ctx, leaf) != 1) {
        error = lastError("the certificate is not usable");
        ok = false;
    }
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
    return ok;
}

bool TlsContext::useKey(SSL_CTX* ctx, const std::string& pem, std::string& error) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* pkey = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!pkey) {
        error = lastError("no private key in the key file");
        return false;
    }
    const bool ok = SSL_CTX_use_PrivateKey(ctx, pkey) == 1 && SSL_CTX_check_private_key(ctx) == 1;
    if (!ok) error = lastError("the private key does not match the certificate");
    EVP_PKEY_free(pkey);
    return ok;
}

TlsCertInfo TlsContext::describe(X509* leaf) {
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
    return info;
}

bool TlsContext::build(std::string& error) {
    std::string certPem, keyPem;
    // The private key's text is wiped however this ends.
    struct WipeOnExit {
        std::string& text;
        ~WipeOnExit() { wipe(text.data(), text.size()); }
    } wipeKey{keyPem};
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
    X509* leaf = nullptr;
    bool ok = applyPolicy(ctx);
    if (!ok) error = lastError("the TLS policy cannot be set");
    ok = ok && useCertificates(ctx, certPem, leaf, error);
    ok = ok && useKey(ctx, keyPem, error);
    if (!ok) {
        X509_free(leaf);
        SSL_CTX_free(ctx);
        return false;
    }
    info_ = describe(leaf);
    X509_free(leaf);
    SSL_CTX_free(ctx_);
    ctx_ = ctx;
    return true;
}

} // namespace tnlrelay::net
