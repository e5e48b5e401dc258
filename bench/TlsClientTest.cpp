// The generator's TLS client against an OpenSSL server over a non-blocking socket pair: reads
// that leave nothing behind for an edge-triggered caller, ends of stream, and writes into a full
// socket that arrive whole although the caller's buffer moves and grows between tries.
#include "TlsClient.hpp"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tnlrelay::bench {
namespace {

// A server context with a fresh self-signed P-256 certificate.
SSL_CTX* serverContext() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
}

struct Pair {
    int clientFd = -1, serverFd = -1;
    SSL_CTX* serverCtx = serverContext();
    SSL* server = nullptr;
    TlsClientContext clientCtx;
    std::unique_ptr<TlsClient> client;

    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) return;
        clientFd = fds[0];
        serverFd = fds[1];
        server = SSL_new(serverCtx);
        SSL_set_fd(server, serverFd);
        SSL_set_accept_state(server);
        client = std::make_unique<TlsClient>(clientCtx.get(), clientFd);
    }
    ~Pair() {
        client.reset();
        SSL_free(server);
        SSL_CTX_free(serverCtx);
        if (clientFd >= 0) close(clientFd);
        if (serverFd >= 0) close(serverFd);
    }

    bool handshake() {
        bool clientDone = false, serverDone = false;
        for (int i = 0; i < 100 && !(clientDone && serverDone); ++i) {
            if (!clientDone) {
                const TlsStep step = client->handshake();
                if (step == TlsStep::failed) return false;
                clientDone = step == TlsStep::done;
            }
            if (!serverDone) serverDone = SSL_do_handshake(server) == 1;
        }
        return clientDone && serverDone;
    }

    // Writes all of `text` from the server, in records of at most 16 KiB.
    void serverWrites(const std::string& text) {
        ASSERT_EQ(SSL_write(server, text.data(), static_cast<int>(text.size())),
                  static_cast<int>(text.size()));
    }
};

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

TEST(TlsClient, OffersCiphersInABrowsersOrder) {
    Pair p;
    ASSERT_TRUE(p.client && p.client->valid());
    ASSERT_TRUE(p.handshake());
    EXPECT_STREQ(SSL_CIPHER_get_name(SSL_get_current_cipher(p.server)), "TLS_AES_128_GCM_SHA256");
}

TEST(TlsClient, OneReadTakesEveryRecordTheSocketHoldsAndSaysItIsDrained) {
    Pair p;
    ASSERT_TRUE(p.client && p.client->valid());
    ASSERT_TRUE(p.handshake());
    // Three records' worth: a read that stopped after one would leave the rest unannounced.
    const std::string sent = pattern(40000);
    p.serverWrites(sent);
    std::string buf(256 * 1024, '\0');
    const ssize_t got = p.client->read(buf.data(), buf.size());
    ASSERT_EQ(got, static_cast<ssize_t>(sent.size()));
    EXPECT_EQ(buf.substr(0, sent.size()), sent);
    EXPECT_TRUE(p.client->drained());

    errno = 0;
    EXPECT_EQ(p.client->read(buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(p.client->drained());
}

TEST(TlsClient, ASmallBufferIsFilledAndNotCalledDrained) {
    Pair p;
    ASSERT_TRUE(p.handshake());
    const std::string sent = pattern(30000);
    p.serverWrites(sent);
    std::string got;
    char buf[10000];
    const ssize_t first = p.client->read(buf, sizeof buf);
    ASSERT_EQ(first, static_cast<ssize_t>(sizeof buf));
    EXPECT_FALSE(p.client->drained()) << "bytes are left: the caller must read again";
    got.append(buf, sizeof buf);
    for (ssize_t n; (n = p.client->read(buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(got, sent);
}

TEST(TlsClient, TheEndOfStreamComesAfterTheBytesBeforeIt) {
    {
        Pair p;
        ASSERT_TRUE(p.handshake());
        p.serverWrites("last words");
        SSL_shutdown(p.server);
        char buf[100];
        ASSERT_EQ(p.client->read(buf, sizeof buf), 10);
        EXPECT_EQ(std::string(buf, 10), "last words");
        EXPECT_FALSE(p.client->drained()) << "the closing alert is still to be reported";
        EXPECT_EQ(p.client->read(buf, sizeof buf), 0) << "closing alert";
    }
    {
        // A peer that just closes its socket ends the stream too, not with a fault.
        Pair p;
        ASSERT_TRUE(p.handshake());
        p.serverWrites("bye");
        ::shutdown(p.serverFd, SHUT_WR);
        char buf[100];
        ASSERT_EQ(p.client->read(buf, sizeof buf), 3);
        EXPECT_EQ(p.client->read(buf, sizeof buf), 0) << "closed socket";
    }
}

TEST(TlsClient, WritesIntoAFullSocketArriveWholeWhenRetriedFromAMovedAndGrownBuffer) {
    Pair p;
    ASSERT_TRUE(p.handshake());
    const int small = 4096;
    setsockopt(p.clientFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    // As the generator's output buffer does: bytes not taken stay first, more are appended
    // behind them, and the storage moves when it grows.
    const std::string sent = pattern(1 << 20);
    std::size_t queued = 0;
    std::string out;
    std::string received;
    int fullSocket = 0;
    char buf[65536];
    for (int turn = 0; turn < 100000 && received.size() < sent.size(); ++turn) {
        if (queued < sent.size()) {
            const std::size_t more = std::min<std::size_t>(50000, sent.size() - queued);
            std::string moved;
            moved.reserve(out.size() + more);
            moved = out;
            moved.append(sent, queued, more);
            out.swap(moved);
            queued += more;
        }
        if (!out.empty()) {
            const ssize_t n = p.client->send(out.data(), out.size());
            if (n > 0) {
                out.erase(0, static_cast<std::size_t>(n));
            } else {
                ASSERT_EQ(errno, EAGAIN);
                ++fullSocket;
            }
        }
        for (int r; (r = SSL_read(p.server, buf, sizeof buf)) > 0;)
            received.append(buf, static_cast<std::size_t>(r));
    }
    EXPECT_GT(fullSocket, 0) << "the socket never filled: the test proves nothing";
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

// Counts the key updates a server reads from its client.
void countClientUpdates(int written, int, int type, const void* buf, size_t len, SSL*, void* arg) {
    const auto* m = static_cast<const unsigned char*>(buf);
    if (!written && type == SSL3_RT_HANDSHAKE && len == 5 && m[0] == SSL3_MT_KEY_UPDATE)
        ++*static_cast<int*>(arg);
}

TEST(TlsClient, OpensTheServersRecordsItselfUnderEverySuiteAcrossKeyUpdates) {
    for (const char* suite :
         {"TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384", "TLS_CHACHA20_POLY1305_SHA256"}) {
        Pair p;
        ASSERT_EQ(SSL_set_ciphersuites(p.server, suite), 1);
        SSL_set_mode(p.server, SSL_MODE_ENABLE_PARTIAL_WRITE);
        int clientUpdates = 0;
        SSL_set_msg_callback(p.server, countClientUpdates);
        SSL_set_msg_callback_arg(p.server, &clientUpdates);
        ASSERT_TRUE(p.handshake());
        // The first read goes through the library, with the server's tickets, and leaves it
        // nothing: reading is the client's from there.
        p.serverWrites("hello");
        char first[100];
        ASSERT_EQ(p.client->read(first, sizeof first), 5);
        EXPECT_TRUE(p.client->ownReads()) << suite;

        // More than the client's input holds, in records cut across its reads, read into a
        // buffer of an odd size, with a key update of the server's on the way and then one it
        // asks the client to answer.
        const std::string sent = pattern(700000);
        std::string got;
        std::size_t at = 0;
        bool updated = false, asked = false;
        char buf[7001];
        for (int turn = 0; turn < 100000 && got.size() < sent.size(); ++turn) {
            if (!updated && at > sent.size() / 3)
                updated = SSL_key_update(p.server, SSL_KEY_UPDATE_NOT_REQUESTED) == 1;
            if (!asked && at > 2 * sent.size() / 3)
                asked = SSL_key_update(p.server, SSL_KEY_UPDATE_REQUESTED) == 1;
            if (at < sent.size()) {
                const int w =
                    SSL_write(p.server, sent.data() + at,
                              static_cast<int>(std::min<std::size_t>(50000, sent.size() - at)));
                if (w > 0) at += static_cast<std::size_t>(w);
                ERR_clear_error();
            }
            for (ssize_t n; (n = p.client->read(buf, sizeof buf)) > 0;)
                got.append(buf, static_cast<std::size_t>(n));
            ASSERT_EQ(errno, EAGAIN) << suite;
        }
        ASSERT_TRUE(updated && asked);
        ASSERT_EQ(got.size(), sent.size()) << suite;
        EXPECT_TRUE(got == sent) << suite;

        // The client's next write carries its answer to the request, then the data.
        ASSERT_EQ(p.client->send("ping", 4), 4);
        char back[16];
        EXPECT_EQ(SSL_read(p.server, back, sizeof back), 4);
        EXPECT_EQ(clientUpdates, 1) << suite;

        // The server's closing alert ends the stream.
        SSL_shutdown(p.server);
        EXPECT_EQ(p.client->read(buf, sizeof buf), 0) << suite;
    }
}

TEST(TlsClient, ARecordOfItsOwnThatDoesNotOpenIsAFaultAfterTheBytesBeforeIt) {
    // AES-GCM on the vector instructions where there are some, and the library's ChaCha20.
    for (const char* suite : {"TLS_AES_128_GCM_SHA256", "TLS_CHACHA20_POLY1305_SHA256"}) {
        Pair p;
        ASSERT_EQ(SSL_set_ciphersuites(p.server, suite), 1);
        ASSERT_TRUE(p.handshake());
        p.serverWrites("hello");
        char buf[100];
        ASSERT_EQ(p.client->read(buf, sizeof buf), 5);
        ASSERT_TRUE(p.client->ownReads());
        // The server's records go through memory from here, so that one can be spoilt on the way:
        // a genuine record, then one with a byte of its text flipped.
        BIO* mem = BIO_new(BIO_s_mem());
        SSL_set0_wbio(p.server, mem);
        p.serverWrites("fine");
        p.serverWrites("spoilt");
        std::string records(static_cast<std::size_t>(BIO_pending(mem)), '\0');
        ASSERT_EQ(BIO_read(mem, records.data(), static_cast<int>(records.size())),
                  static_cast<int>(records.size()));
        const std::size_t second =
            5 + (std::size_t(std::uint8_t(records[3])) << 8 | std::uint8_t(records[4]));
        records[second + 5 + 2] ^= 0x20;
        ASSERT_EQ(write(p.serverFd, records.data(), records.size()), ssize_t(records.size()));
        ASSERT_EQ(p.client->read(buf, sizeof buf), 4);
        EXPECT_EQ(std::string(buf, 4), "fine");
        errno = 0;
        EXPECT_EQ(p.client->read(buf, sizeof buf), -1) << suite;
        EXPECT_EQ(errno, EPROTO) << suite;
    }
}

TEST(TlsClient, AServerThatIsNotTlsFailsTheHandshake) {
    Pair p;
    const char notTls[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
    ASSERT_EQ(write(p.serverFd, notTls, sizeof notTls - 1), ssize_t(sizeof notTls - 1));
    TlsStep step = TlsStep::again;
    for (int i = 0; i < 10 && step == TlsStep::again; ++i)
        step = p.client->handshake();
    EXPECT_EQ(step, TlsStep::failed);
}

} // namespace
} // namespace tnlrelay::bench
