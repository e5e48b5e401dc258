// The client side of TLS on OpenSSL, over two memory BIOs: what the server sent goes in, what the
// session writes comes out, and the caller's socket carries both.
#include "TlsClient.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>

namespace tnlrelay::net {

namespace {

/// The library's last error as text, or `fallback` when it left none.
std::string libraryError(const char* fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool isAddress(const std::string& host) {
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(host.c_str());
    ASN1_OCTET_STRING_free(ip);
    return ip != nullptr;
}

} // namespace

struct TlsClientContext::Impl {
    SSL_CTX* ctx = nullptr;
    ~Impl() { SSL_CTX_free(ctx); }
};

TlsClientContext::TlsClientContext() : impl_(std::make_unique<Impl>()) {}
TlsClientContext::~TlsClientContext() = default;

bool TlsClientContext::active() const {
    return impl_->ctx != nullptr;
}

bool TlsClientContext::load(const std::string& caFile, std::string& error) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        error = libraryError("cannot make a TLS context");
        return false;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const bool loaded = caFile.empty()
                            ? SSL_CTX_set_default_verify_paths(ctx) == 1
                            : SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) == 1;
    if (!loaded) {
        error = "cannot read the CA file " + caFile + " (" + libraryError("no certificates") + ")";
        SSL_CTX_free(ctx);
        return false;
    }
    SSL_CTX_free(impl_->ctx);
    impl_->ctx = ctx;
    return true;
}

struct TlsClient::Impl {
    SSL* ssl = nullptr;
    BIO* in = nullptr;         ///< the server's bytes, read by the session
    BIO* out = nullptr;        ///< the session's bytes, for the socket
    ~Impl() { SSL_free(ssl); } // frees both BIOs too

    void drain(std::string& cipher) const {
        char buf[16384];
        while (BIO_ctrl_pending(out) > 0) {
            const int n = BIO_read(out, buf, sizeof buf);
            if (n <= 0) break;
            cipher.append(buf, static_cast<std::size_t>(n));
        }
    }
};

TlsClient::TlsClient(const TlsClientContext& context, const std::string& server)
    : impl_(std::make_unique<Impl>()) {
    if (!context.active()) return;
    ERR_clear_error();
    SSL* ssl = SSL_new(context.impl_->ctx);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!ssl || !in || !out) {
        SSL_free(ssl);
        BIO_free(in);
        BIO_free(out);
        error_ = libraryError("out of memory for TLS");
        return;
    }
    BIO_set_mem_eof_return(in, -1); // an empty input means "more to come", not the end
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);
    // The certificate must name what the socket was connected to: an address as an IP entry,
    // a host name as a DNS entry (and as the name the server is asked for).
    bool named = isAddress(server)
                     ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), server.c_str()) == 1
                     : SSL_set1_host(ssl, server.c_str()) == 1 &&
                           SSL_set_tlsext_host_name(ssl, server.c_str()) == 1;
    if (!named) {
        SSL_free(ssl);
        error_ = "cannot check a certificate for " + server;
        return;
    }
    impl_->ssl = ssl;
    impl_->in = in;
    impl_->out = out;
}

TlsClient::~TlsClient() = default;

bool TlsClient::start(std::string& cipher) {
    if (!impl_->ssl) return false;
    std::string plain;
    return receive(nullptr, 0, plain, cipher);
}

bool TlsClient::receive(const char* data, std::size_t n, std::string& plain, std::string& cipher) {
    Impl& s = *impl_;
    if (!s.ssl) return false;
    ERR_clear_error();
    if (n > 0 && BIO_write(s.in, data, static_cast<int>(n)) != static_cast<int>(n)) {
        error_ = "out of memory for TLS";
        return false;
    }
    if (!done_) {
        const int rc = SSL_do_handshake(s.ssl);
        if (rc == 1) {
            done_ = true;
        } else {
            const int why = SSL_get_error(s.ssl, rc);
            s.drain(cipher);
            if (why == SSL_ERROR_WANT_READ) return true;
            const long verified = SSL_get_verify_result(s.ssl);
            error_ = verified != X509_V_OK
                         ? std::string("the server's certificate is not trusted (") +
                               X509_verify_cert_error_string(verified) + ")"
                         : "TLS handshake failed (" + libraryError("closed") + ")";
            return false;
        }
    }
    char buf[16384];
    for (;;) {
        const int got = SSL_read(s.ssl, buf, sizeof buf);
        if (got > 0) {
            plain.append(buf, static_cast<std::size_t>(got));
            continue;
        }
        const int why = SSL_get_error(s.ssl, got);
        if (why == SSL_ERROR_WANT_READ) break;
        error_ = why == SSL_ERROR_ZERO_RETURN ? "the server closed TLS"
                                              : "TLS failed (" + libraryError("broken") + ")";
        return false;
    }
    s.drain(cipher);
    return true;
}

bool TlsClient::send(std::string_view plain, std::string& cipher) {
    Impl& s = *impl_;
    if (!s.ssl || !done_) return false;
    ERR_clear_error();
    // A memory BIO takes everything: each call writes all of its piece as whole records.
    while (!plain.empty()) {
        const int piece = static_cast<int>(std::min<std::size_t>(plain.size(), 1 << 30));
        if (SSL_write(s.ssl, plain.data(), piece) != piece) {
            error_ = "TLS failed (" + libraryError("cannot write") + ")";
            return false;
        }
        plain.remove_prefix(static_cast<std::size_t>(piece));
    }
    s.drain(cipher);
    return true;
}

} // namespace tnlrelay::net
