// The relay's own TLS 1.3 records: the key schedule (HKDF-Expand-Label from the traffic secrets
// the library reports), sealing with AES-GCM or ChaCha20-Poly1305, and opening the client's
// records in place once a session reads for itself.
#include "TlsRecords.hpp"
#include "Tls.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/tls1.h>

#include <cstring>
#include <memory>

namespace tnlrelay::net {

void wipe(void* p, std::size_t n) {
    OPENSSL_cleanse(p, n);
}

bool TlsSecret::fromHex(std::string_view hex) {
    wipe(bytes, sizeof bytes);
    len = 0;
    if (hex.size() % 2 || hex.size() / 2 > sizeof bytes) return false;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = OPENSSL_hexchar2int(static_cast<unsigned char>(hex[i]));
        const int lo = OPENSSL_hexchar2int(static_cast<unsigned char>(hex[i + 1]));
        if (hi < 0 || lo < 0) return wipe(bytes, sizeof bytes), false;
        bytes[i / 2] = static_cast<unsigned char>(hi * 16 + lo);
    }
    len = static_cast<std::uint8_t>(hex.size() / 2);
    return true;
}

void TlsSecret::take(TlsSecret& other) {
    std::memcpy(bytes, other.bytes, sizeof bytes);
    len = other.len;
    wipe(other.bytes, sizeof other.bytes);
    other.len = 0;
}

namespace {

// The suites' algorithms, fetched from the library once. Its built-in objects (EVP_sha256()
// and the like) are looked up by name again on every use, which a handshake would pay for a
// dozen times; where a fetch fails, the built-in object serves.
struct Algorithms {
    const EVP_MD* sha256 = EVP_sha256();
    const EVP_MD* sha384 = EVP_sha384();
    const EVP_CIPHER* aes128gcm = EVP_aes_128_gcm();
    const EVP_CIPHER* aes256gcm = EVP_aes_256_gcm();
    const EVP_CIPHER* chacha20poly1305 = EVP_chacha20_poly1305();
};

const Algorithms& algorithms() {
    static const Algorithms fetched = [] {
        Algorithms a;
        auto md = [](const EVP_MD*& slot, const char* name) {
            if (EVP_MD* m = EVP_MD_fetch(nullptr, name, nullptr)) slot = m; // kept for good
        };
        auto cipher = [](const EVP_CIPHER*& slot, const char* name) {
            if (EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr)) slot = c;
        };
        md(a.sha256, "SHA256");
        md(a.sha384, "SHA384");
        cipher(a.aes128gcm, "AES-128-GCM");
        cipher(a.aes256gcm, "AES-256-GCM");
        cipher(a.chacha20poly1305, "ChaCha20-Poly1305");
        ERR_clear_error();
        return a;
    }();
    return fetched;
}

// HMAC (RFC 2104) over the digest as fetched, for keys no longer than its block, as traffic
// secrets are.
bool hmac(const EVP_MD* md, const unsigned char* key, std::size_t keyLen, const unsigned char* msg,
          std::size_t msgLen, unsigned char* out, unsigned& outLen) {
    thread_local const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(
        EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    const int block = EVP_MD_get_block_size(md);
    if (!ctx || block <= 0 || block > 128 || keyLen > static_cast<std::size_t>(block)) return false;
    unsigned char pad[128] = {};
    unsigned char inner[EVP_MAX_MD_SIZE];
    unsigned innerLen = 0;
    std::memcpy(pad, key, keyLen);
    for (int i = 0; i < block; ++i)
        pad[i] ^= 0x36;
    bool ok = EVP_DigestInit_ex2(ctx.get(), md, nullptr) == 1 &&
              EVP_DigestUpdate(ctx.get(), pad, static_cast<std::size_t>(block)) == 1 &&
              EVP_DigestUpdate(ctx.get(), msg, msgLen) == 1 &&
              EVP_DigestFinal_ex(ctx.get(), inner, &innerLen) == 1;
    for (int i = 0; i < block; ++i)
        pad[i] ^= 0x36 ^ 0x5c;
    ok = ok && EVP_DigestInit_ex2(ctx.get(), md, nullptr) == 1 &&
         EVP_DigestUpdate(ctx.get(), pad, static_cast<std::size_t>(block)) == 1 &&
         EVP_DigestUpdate(ctx.get(), inner, innerLen) == 1 &&
         EVP_DigestFinal_ex(ctx.get(), out, &outLen) == 1;
    wipe(pad, sizeof pad);
    wipe(inner, sizeof inner);
    return ok;
}

// HKDF-Expand-Label with an empty context, for outputs no longer than the hash.
bool expandLabel(const EVP_MD* md, const TlsSecret& secret, const char* label, std::size_t len,
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
    const bool ok =
        hmac(md, secret.bytes, secret.len, info, at, block, blockLen) && blockLen >= len;
    if (ok) std::memcpy(out, block, len);
    wipe(block, sizeof block);
    return ok;
}

} // namespace

TlsKeys::~TlsKeys() {
    EVP_CIPHER_CTX_free(ctx); // the library wipes its key schedule
    wipe(iv, sizeof iv);
}

bool TlsKeys::forSuite(SSL* ssl, bool forSealing) {
    sealing = forSealing;
    switch (SSL_CIPHER_get_id(SSL_get_current_cipher(ssl))) {
    case TLS1_3_CK_AES_128_GCM_SHA256:
        md = algorithms().sha256, cipher = algorithms().aes128gcm, keyLen = 16;
        useFast = fastgcm::inUse();
        return true;
    case TLS1_3_CK_AES_256_GCM_SHA384:
        md = algorithms().sha384, cipher = algorithms().aes256gcm, keyLen = 32;
        useFast = fastgcm::inUse();
        return true;
    case TLS1_3_CK_CHACHA20_POLY1305_SHA256:
        md = algorithms().sha256, cipher = algorithms().chacha20poly1305, keyLen = 32;
        return true;
    default:
        return false;
    }
}

std::size_t TlsKeys::hashLen() const {
    return md ? static_cast<std::size_t>(EVP_MD_get_size(md)) : 0;
}

bool TlsKeys::start(TlsSecret& first, std::uint32_t updates) {
    if (first.len != hashLen()) return false;
    secret.take(first);
    if (!useSecret()) return false;
    for (std::uint32_t i = 0; i < updates; ++i)
        if (!nextSecret()) return false;
    return true;
}

// Takes the secret as the current one: its key and nonce base, from record 0.
bool TlsKeys::useSecret() {
    unsigned char key[32];
    bool ok =
        expandLabel(md, secret, "key", keyLen, key) && expandLabel(md, secret, "iv", sizeof iv, iv);
    if (ok && useFast) {
        fast = fastgcm::makeKey(key, keyLen, sealing);
        ok = fast != nullptr;
    } else if (ok) {
        if (!ctx) ctx = EVP_CIPHER_CTX_new();
        ok = ctx && EVP_CipherInit_ex(ctx, cipher, nullptr, key, nullptr, sealing ? 1 : 0) == 1;
    }
    wipe(key, sizeof key);
    seq = 0;
    return ok;
}

bool TlsKeys::nextSecret() {
    TlsSecret next;
    next.len = secret.len;
    if (!expandLabel(md, secret, "traffic upd", next.len, next.bytes)) return false;
    secret.take(next);
    return useSecret();
}

// The nonce of the next record: the base, its last eight bytes XORed with the number.
void TlsKeys::nonce(unsigned char out[12]) const {
    std::memcpy(out, iv, sizeof iv);
    for (int i = 0; i < 8; ++i)
        out[11 - i] ^= static_cast<unsigned char>(seq >> (8 * i));
}

bool TlsKeys::seal(unsigned char type, const Piece* pieces, std::size_t count, std::size_t n,
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
            fastgcm::update(*fast, g, out, reinterpret_cast<const unsigned char*>(pieces[i].data),
                            pieces[i].len);
            out += pieces[i].len;
        }
        fastgcm::update(*fast, g, out, &type, 1);
        fastgcm::finish(*fast, g, out + 1);
        wipe(&g, sizeof g); // the running state holds a block of key stream
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

bool TlsKeys::open(unsigned char* rec, std::size_t size) {
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
        wipe(&g, sizeof g);
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

// ---- a session's reading of its client's records ----

namespace {
constexpr std::size_t kMaxBody = kTlsRecord + 256; // as TLS 1.3 bounds a protected record
// Records in a row that carry no data (empty ones, key updates): a client that sends more is
// not playing, it is spending our time.
constexpr std::uint32_t kMaxRecordsWithoutData = 4096;
constexpr unsigned char kUnexpectedMessage = 10, kBadRecordMac = 20, kRecordOverflow = 22,
                        kIllegalParameter = 47, kInternalError = 80;
} // namespace

TlsSession::Opened TlsSession::fail(unsigned char alert) {
    // The peer learns why, if we still write: a fatal alert, then nothing more.
    if (own_ && !shutdownSent_) {
        const char fatal[] = {2, static_cast<char>(alert)};
        own_->seal(21, fatal, sizeof fatal, cipherOut);
        shutdownSent_ = true;
    }
    clearErrors();
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
        if (bodyOf(partial_.data()) > kMaxBody) return fail(kRecordOverflow);
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
    if (rec[0] != 23) return fail(kUnexpectedMessage);
    if (body > kMaxBody) return fail(kRecordOverflow);
    if (body < 17 || !ownRead_->open(rec, size)) return fail(kBadRecordMac);
    // The content, then its type, then any padding of zeros.
    std::size_t n = body - 16;
    unsigned char* content = rec + 5;
    while (n && content[n - 1] == 0)
        --n;
    if (n == 0) return fail(kUnexpectedMessage);
    const unsigned char type = content[--n];
    if (n > kTlsRecord) return fail(kRecordOverflow);
    if (type == 23 && n) {
        recordsWithoutData_ = 0;
        text = reinterpret_cast<char*>(content);
        len = n;
        return Opened::data;
    }
    if (++recordsWithoutData_ > kMaxRecordsWithoutData) return fail(kUnexpectedMessage);
    if (type == 23) return Opened::control; // empty
    if (type == 21) return peerAlert(n == 2 && content[1] == 0);
    // Of the handshake messages only a key update may come now, and it ends its record: a
    // handshake message must not span a change of keys.
    if (type != 22 || n != 5 || content[0] != SSL3_MT_KEY_UPDATE || content[1] != 0 ||
        content[2] != 0 || content[3] != 1)
        return fail(kUnexpectedMessage);
    if (content[4] > 1) return fail(kIllegalParameter);
    if (content[4] == 1) peerAskedUpdate_ = true;
    if (!ownRead_->nextSecret()) return fail(kInternalError);
    return Opened::control;
}

// The peer closes (close_notify) or gives up (any other alert). A close is answered with one;
// after that nothing more is read or written.
TlsSession::Opened TlsSession::peerAlert(bool closeNotify) {
    if (closeNotify) shutdown(cipherOut);
    failed_ = true;
    return Opened::failed;
}

} // namespace tnlrelay::net
