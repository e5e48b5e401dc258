// Fuzz target: a TLS session once it opens its client's records itself. Each input is a script
// for a real client on the other side: records it seals (data, new keys, a closing alert), with
// bytes flipped or made up among them, handed to the session in pieces whose size the script
// chooses. Every input starts from a fresh handshake and hand-over.
#include "net/Tls.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace tnlrelay::net;

namespace {

// A self-signed P-256 pair, written where the context can load it.
TlsContext& serverContext() {
    static TlsContext ctx;
    static bool made = [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        if (!key || !cert) return false;
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        if (!X509_sign(cert, key, EVP_sha256())) return false;
        const auto dir = std::filesystem::temp_directory_path() /
                         ("tnlrelay-fuzz-tls-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        FILE* c = std::fopen((dir / "cert.pem").c_str(), "w");
        FILE* k = std::fopen((dir / "key.pem").c_str(), "w");
        const bool written = c && k && PEM_write_X509(c, cert) &&
                             PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr);
        if (c) std::fclose(c);
        if (k) std::fclose(k);
        X509_free(cert);
        EVP_PKEY_free(key);
        std::string error;
        const bool loaded = written && ctx.load(dir / "cert.pem", dir / "key.pem", error);
        std::filesystem::remove_all(dir);
        return loaded;
    }();
    if (!made) std::abort();
    return ctx;
}

SSL_CTX* clientContext() {
    static SSL_CTX* ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION);
        return c;
    }();
    return ctx;
}

struct Client {
    SSL* ssl = SSL_new(clientContext());
    BIO* toServer = BIO_new(BIO_s_mem());
    BIO* fromServer = BIO_new(BIO_s_mem());
    Client() {
        SSL_set_bio(ssl, fromServer, toServer);
        SSL_set_connect_state(ssl);
    }
    ~Client() { SSL_free(ssl); }
    std::string drain() {
        std::string out;
        char buf[4096];
        int n;
        while ((n = BIO_read(toServer, buf, sizeof buf)) > 0)
            out.append(buf, n);
        return out;
    }
    // Takes what the session wrote, and reads it (the session's new keys, its alerts).
    void hear(TlsSession& server) {
        if (const std::size_t n = server.pendingCipher()) {
            BIO_write(fromServer, server.cipherOut.data() + server.cipherAt, int(n));
            server.consumeCipher(n);
        }
        char buf[4096];
        while (SSL_read(ssl, buf, sizeof buf) > 0) {
        }
    }
};

// Hands `stream` to the session in pieces; false once it has failed.
bool feed(TlsSession& server, std::string& stream, std::size_t piece, std::size_t& plainBytes) {
    static char plain[kTlsRecord];
    bool ok = true;
    for (std::size_t at = 0; at < stream.size() && ok; at += piece)
        ok = server.decrypt(stream.data() + at, std::min(piece, stream.size() - at), plain,
                            sizeof plain, [&](const char* p, std::size_t n) {
                                // Touch every byte, so that a wrong length is caught.
                                static volatile unsigned char seen;
                                for (std::size_t i = 0; i < n; ++i)
                                    seen = static_cast<unsigned char>(seen ^ p[i]);
                                plainBytes += n;
                                return true;
                            });
    stream.clear();
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TlsSession server(serverContext().get());
    Client client;
    // The handshake, then one record from the session, which asks the client for a new key.
    std::size_t plainBytes = 0;
    for (int round = 0; round < 10; ++round) {
        SSL_do_handshake(client.ssl);
        std::string up = client.drain();
        if (!up.empty() && !feed(server, up, up.size(), plainBytes)) std::abort();
        const bool quiet = up.empty() && server.pendingCipher() == 0;
        client.hear(server);
        if (quiet) break;
    }
    if (!server.handshakeDone() || !server.encrypt("x", 1)) std::abort();
    client.hear(server);

    std::string stream;
    std::size_t written = 0;
    std::size_t at = 0;
    auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    bool failed = false;
    while (at < size && !failed) {
        switch (next() % 7) {
        case 0: { // the client writes
            const std::size_t n = std::min<std::size_t>(next() * 64 + next(), size - at);
            if (n) SSL_write(client.ssl, data + at, int(n));
            at += n;
            written += n;
            stream += client.drain();
            break;
        }
        case 1:
            SSL_key_update(client.ssl, SSL_KEY_UPDATE_NOT_REQUESTED);
            break;
        case 2:
            SSL_key_update(client.ssl, SSL_KEY_UPDATE_REQUESTED);
            break;
        case 3: // a flipped byte
            if (!stream.empty()) {
                const std::size_t pos = (std::size_t(next()) << 8 | next()) % stream.size();
                stream[pos] = static_cast<char>(stream[pos] ^ (next() | 1));
            }
            break;
        case 4: { // bytes of the fuzzer's own
            const std::size_t n = std::min<std::size_t>(next(), size - at);
            stream.append(reinterpret_cast<const char*>(data + at), n);
            at += n;
            break;
        }
        case 5:
            SSL_shutdown(client.ssl);
            stream += client.drain();
            break;
        default: { // what has been sent so far arrives, in pieces of a chosen size
            const std::size_t piece = 1 + next() * 67;
            failed = !feed(server, stream, piece, plainBytes);
            client.hear(server);
            break;
        }
        }
    }
    if (!failed) failed = !feed(server, stream, stream.size() + 1, plainBytes);
    // Nothing comes out that the client did not put in.
    if (plainBytes > written) std::abort();
    ERR_clear_error();
    return 0;
}
