// The TLS context and sessions: loading PEM pairs made by the openssl command, replacing them
// while running, and a full handshake and exchange against an OpenSSL client over memory.
#include "net/Tls.hpp"
#include "net/FastGcm.hpp"

#include "TempDataDir.hpp"

#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <thread>
#include <vector>

using namespace tnlrelay::net;
namespace fs = std::filesystem;

namespace {

bool makePair(const fs::path& dir, const std::string& name, const std::string& cn, int days,
              const std::string& serial) {
    const std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
                            " -keyout '" +
                            (dir / (name + ".key")).string() + "' -out '" +
                            (dir / (name + ".crt")).string() + "' -days " + std::to_string(days) +
                            " -subj '/CN=" + cn + "' -set_serial " + serial + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

void replace(const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to.string() + ".new", fs::copy_options::overwrite_existing);
    fs::rename(to.string() + ".new", to);
}

// Runs `check` until it reports something other than unchanged, at most a few times.
TlsContext::Check settle(TlsContext& ctx, std::string& error) {
    for (int i = 0; i < 3; ++i) {
        const auto result = ctx.check(error);
        if (result != TlsContext::Check::unchanged) return result;
    }
    return TlsContext::Check::unchanged;
}

class TlsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tmp.base();
        if (!makePair(dir, "a", "relay.test", 365, "0x0A") ||
            !makePair(dir, "b", "renewed.test", 5, "0x0B"))
            GTEST_SKIP() << "the openssl command is not available";
        fs::copy_file(dir / "a.crt", dir / "live.crt");
        fs::copy_file(dir / "a.key", dir / "live.key");
        std::string error;
        ASSERT_TRUE(live.load(dir / "live.crt", dir / "live.key", error)) << error;
    }
    tnlrelay::test::TempDataDir tmp;
    fs::path dir;
    TlsContext live; ///< the pair the sessions' tests serve
};

} // namespace

TEST_F(TlsFiles, LoadsAPairAndDescribesTheCertificate) {
    TlsContext ctx;
    std::string error;
    ASSERT_TRUE(ctx.load(dir / "live.crt", dir / "live.key", error)) << error;
    EXPECT_TRUE(ctx.active());
    EXPECT_NE(ctx.info().subject.find("relay.test"), std::string::npos) << ctx.info().subject;
    EXPECT_EQ(ctx.info().serial, "0A");
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_NEAR(double(ctx.info().notAfter - now), 365.0 * 86400, 3600.0);

    // Mismatched, missing and malformed files load nothing and say why.
    TlsContext other;
    EXPECT_FALSE(other.load(dir / "a.crt", dir / "b.key", error));
    EXPECT_NE(error.find("does not match"), std::string::npos) << error;
    EXPECT_FALSE(other.load(dir / "missing.crt", dir / "a.key", error));
    EXPECT_FALSE(other.load(dir / "a.key", dir / "a.key", error));
    EXPECT_FALSE(other.active());
}

TEST_F(TlsFiles, AReplacedPairIsUsedAndABrokenOneKeepsTheOld) {
    TlsContext ctx;
    std::string error;
    ASSERT_TRUE(ctx.load(dir / "live.crt", dir / "live.key", error)) << error;
    EXPECT_EQ(ctx.check(error), TlsContext::Check::unchanged);

    // Only the certificate replaced: the pair does not match, the old one stays, one report.
    replace(dir / "b.crt", dir / "live.crt");
    EXPECT_EQ(settle(ctx, error), TlsContext::Check::failed);
    EXPECT_EQ(ctx.info().serial, "0A");
    EXPECT_TRUE(ctx.active());
    EXPECT_EQ(settle(ctx, error), TlsContext::Check::unchanged) << "reported once";

    // The key follows: the new pair is taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a distinct modification time
    replace(dir / "b.key", dir / "live.key");
    EXPECT_EQ(settle(ctx, error), TlsContext::Check::loaded) << error;
    EXPECT_EQ(ctx.info().serial, "0B");

    // Garbage in place of the certificate keeps the renewed pair.
    { std::ofstream(dir / "live.crt", std::ios::trunc) << "-----BEGIN CERTIFICATE-----\nxx\n"; }
    EXPECT_EQ(settle(ctx, error), TlsContext::Check::failed);
    EXPECT_EQ(ctx.info().serial, "0B");
}

TEST_F(TlsFiles, AChangeIsTakenOnlyOnceTheFilesStayTheSame) {
    TlsContext ctx;
    std::string error;
    ASSERT_TRUE(ctx.load(dir / "live.crt", dir / "live.key", error)) << error;
    replace(dir / "b.crt", dir / "live.crt");
    replace(dir / "b.key", dir / "live.key");
    // The first check sees the change, the next one takes it.
    EXPECT_EQ(ctx.check(error), TlsContext::Check::unchanged);
    EXPECT_EQ(ctx.check(error), TlsContext::Check::loaded) << error;
    EXPECT_EQ(ctx.info().serial, "0B");
}

namespace {

// The latest client's first traffic secrets, as its key log reports them: for records the
// test seals itself as the client would, with any content, and to look for in freed memory.
std::string g_clientSecretHex, g_serverSecretHex;
void logSecrets(const SSL*, const char* line) {
    const std::string_view text(line);
    if (text.starts_with("CLIENT_TRAFFIC_SECRET_0 "))
        g_clientSecretHex = std::string(text.substr(text.rfind(' ') + 1));
    if (text.starts_with("SERVER_TRAFFIC_SECRET_0 "))
        g_serverSecretHex = std::string(text.substr(text.rfind(' ') + 1));
}

// A client over memory BIOs: what it writes is handed to the session and back.
struct Client {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = nullptr;
    BIO* toServer = BIO_new(BIO_s_mem());
    BIO* fromServer = BIO_new(BIO_s_mem());
    explicit Client(const char* alpn = nullptr, int maxVersion = 0) {
        if (maxVersion) SSL_CTX_set_max_proto_version(ctx, maxVersion);
        SSL_CTX_set_keylog_callback(ctx, logSecrets);
        ssl = SSL_new(ctx);
        SSL_set_bio(ssl, fromServer, toServer);
        SSL_set_connect_state(ssl);
        if (alpn)
            SSL_set_alpn_protos(ssl, reinterpret_cast<const unsigned char*>(alpn), strlen(alpn));
    }
    ~Client() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
    std::string drain() {
        std::string out;
        char buf[4096];
        int n;
        while ((n = BIO_read(toServer, buf, sizeof buf)) > 0)
            out.append(buf, n);
        return out;
    }
};

// Hands the client's bytes to the session; returns what they decrypt to.
std::string openRecords(TlsSession& server, std::string up, bool& ok) {
    std::string plain;
    char buf[kTlsRecord];
    ok = server.decrypt(up.data(), up.size(), buf, sizeof buf, [&](const char* p, std::size_t n) {
        plain.append(p, n);
        return true;
    });
    return plain;
}

// Moves bytes both ways until neither side has anything to say; returns the server's plain.
std::string pump(Client& client, TlsSession& server, bool& ok) {
    std::string plain;
    ok = true;
    for (int round = 0; round < 10; ++round) {
        SSL_do_handshake(client.ssl);
        const std::string up = client.drain();
        if (!up.empty()) {
            plain += openRecords(server, up, ok);
            if (!ok) return plain;
        }
        const std::size_t down = server.pendingCipher();
        if (down) {
            BIO_write(client.fromServer, server.cipherOut.data() + server.cipherAt, int(down));
            server.consumeCipher(down);
        }
        if (up.empty() && !down) break;
    }
    return plain;
}

} // namespace

TEST_F(TlsFiles, ASessionHandshakesAndBatchesOutputIntoFullRecords) {
    TlsContext& ctx = live;

    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        Client client("\x02h2\x08http/1.1", version);
        TlsSession server(ctx.get());
        ASSERT_TRUE(server.valid());
        bool ok = false;
        pump(client, server, ok);
        ASSERT_TRUE(ok);
        ASSERT_TRUE(server.handshakeDone()) << version;
        const unsigned char* proto = nullptr;
        unsigned protoLen = 0;
        SSL_get0_alpn_selected(client.ssl, &proto, &protoLen);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(proto), protoLen), "http/1.1");

        // Request in, split at every byte boundary the network might choose.
        SSL_write(client.ssl, "GET /rooms HTTP/1.1\r\n\r\n", 23);
        const std::string up = client.drain();
        std::string plain;
        char buf[kTlsRecord];
        for (char ch : up)
            ASSERT_TRUE(server.decrypt(&ch, 1, buf, sizeof buf, [&](const char* p, std::size_t n) {
                plain.append(p, n);
                return true;
            }));
        EXPECT_EQ(plain, "GET /rooms HTTP/1.1\r\n\r\n");

        // One full record of plaintext costs one record header and tag, not one per frame.
        const std::string big(kTlsRecord, 'x');
        ASSERT_TRUE(server.encrypt(big.data(), big.size()));
        EXPECT_LE(server.pendingCipher(), kTlsRecord + 64);
        BIO_write(client.fromServer, server.cipherOut.data() + server.cipherAt,
                  int(server.pendingCipher()));
        server.consumeCipher(server.pendingCipher());
        EXPECT_EQ(server.pendingCipher(), 0u);
        std::string got(kTlsRecord + 16, '\0');
        int total = 0, n;
        while ((n = SSL_read(client.ssl, got.data() + total, int(got.size()) - total)) > 0)
            total += n;
        EXPECT_EQ(total, int(kTlsRecord));
    }
}

TEST_F(TlsFiles, RecordsMadeIntoAnotherBufferFollowTheSessionsOwnInOrder) {
    TlsContext& ctx = live;
    Client client;
    TlsSession server(ctx.get());
    bool ok = false;
    pump(client, server, ok);
    ASSERT_TRUE(ok && server.handshakeDone());

    // What the socket did not take stays in the session; the next records go to the loop's
    // shared buffer, and the client must read them after the first, whole and in order.
    ASSERT_TRUE(server.encrypt("first;", 6));
    const std::size_t kept = server.pendingCipher();
    std::string shared;
    ASSERT_TRUE(server.encrypt("second;", 7, shared));
    server.shutdown(shared);
    EXPECT_FALSE(shared.empty());
    EXPECT_EQ(server.pendingCipher(), kept) << "a later record went to the session";

    BIO_write(client.fromServer, server.cipherOut.data() + server.cipherAt,
              int(server.pendingCipher()));
    server.consumeCipher(server.pendingCipher());
    BIO_write(client.fromServer, shared.data(), int(shared.size()));
    std::string got(64, '\0');
    int total = 0, n;
    while ((n = SSL_read(client.ssl, got.data() + total, int(got.size()) - total)) > 0)
        total += n;
    EXPECT_EQ(got.substr(0, total), "first;second;");
    EXPECT_EQ(SSL_get_error(client.ssl, n), SSL_ERROR_ZERO_RETURN) << "the closing alert is lost";
    EXPECT_EQ(server.pendingCipher(), 0u);
    ERR_clear_error();
}

TEST_F(TlsFiles, Tls13TakesTheClientsOrderAndTls12OursOfEcdheWithAeadOnly) {
    TlsContext& ctx = live;
    struct Case {
        int version;
        const char* offer;
        const char* chosen;
    };
    const Case cases[] = {
        {TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384", "TLS_AES_128_GCM_SHA256"},
        {TLS1_3_VERSION, "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384"},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384",
         "ECDHE-ECDSA-AES128-GCM-SHA256"},
        // TLS 1.2 takes the server's order, ChaCha20 first only for a client that puts it first.
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256",
         "ECDHE-ECDSA-AES128-GCM-SHA256"},
        {TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256",
         "ECDHE-ECDSA-CHACHA20-POLY1305"},
    };
    for (const Case& c : cases) {
        Client client(nullptr, c.version);
        if (c.version == TLS1_3_VERSION)
            ASSERT_EQ(SSL_set_ciphersuites(client.ssl, c.offer), 1);
        else
            ASSERT_EQ(SSL_set_cipher_list(client.ssl, c.offer), 1);
        TlsSession server(ctx.get());
        bool ok = false;
        pump(client, server, ok);
        ASSERT_TRUE(ok && server.handshakeDone()) << c.offer;
        EXPECT_STREQ(SSL_CIPHER_get_name(SSL_get_current_cipher(client.ssl)), c.chosen);
    }
    // A cipher outside the library's recommended list is not taken, whatever the client wants;
    // nor, in TLS 1.2, CBC, SHA-1 MACs or a key exchange without ECDHE.
    for (const char* offer :
         {"ECDHE-ECDSA-NULL-SHA:@SECLEVEL=0", "ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES128-SHA256",
          "AES128-GCM-SHA256", "DHE-RSA-AES128-GCM-SHA256", "AES256-SHA"}) {
        Client weak(nullptr, TLS1_2_VERSION);
        ASSERT_EQ(SSL_set_cipher_list(weak.ssl, offer), 1) << offer;
        TlsSession server(ctx.get());
        bool ok = true;
        pump(weak, server, ok);
        EXPECT_FALSE(ok && server.handshakeDone()) << offer;
        ERR_clear_error();
    }
}

TEST_F(TlsFiles, GarbageAndOldProtocolsFailTheSession) {
    TlsContext& ctx = live;
    char buf[kTlsRecord];
    auto never = [](const char*, std::size_t) { return true; };

    TlsSession garbage(ctx.get());
    char record[] = "\x16\x03\x01\x00\x05hello";
    EXPECT_FALSE(garbage.decrypt(record, sizeof record - 1, buf, sizeof buf, never));

    Client old(nullptr, TLS1_1_VERSION);
    SSL_CTX_set_min_proto_version(old.ctx, TLS1_VERSION);
    SSL_set_min_proto_version(old.ssl, TLS1_VERSION);
    SSL_set_security_level(old.ssl, 0);
    TlsSession server(ctx.get());
    bool ok = true;
    pump(old, server, ok);
    EXPECT_FALSE(ok) << "a TLS 1.1 client must be refused";
    ERR_clear_error();
}

namespace {

// Counts the key updates a client receives from the server.
void countUpdates(int written, int, int type, const void* buf, size_t len, SSL*, void* arg) {
    const auto* m = static_cast<const unsigned char*>(buf);
    if (!written && type == SSL3_RT_HANDSHAKE && len == 5 && m[0] == SSL3_MT_KEY_UPDATE)
        ++*static_cast<int*>(arg);
}

void countUpdatesOf(Client& client, int& updates) {
    SSL_set_msg_callback(client.ssl, countUpdates);
    SSL_set_msg_callback_arg(client.ssl, &updates);
}

// The TLS 1.3 suites, each of which the session seals and opens itself.
constexpr const char* kTls13Suites[] = {"TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384",
                                        "TLS_CHACHA20_POLY1305_SHA256"};

// The AES-GCM code sessions may use here: OpenSSL's always, and the vector instructions' where
// this processor has them. Each test runs every suite under each.
std::vector<bool> aesEngines() {
    std::vector<bool> fast{false};
    if (fastgcm::available()) fast.push_back(true);
    return fast;
}

// Every TLS 1.3 suite under each AES-GCM code.
std::vector<std::pair<bool, const char*>> suitesUnderEachEngine() {
    std::vector<std::pair<bool, const char*>> all;
    for (bool fast : aesEngines())
        for (const char* suite : kTls13Suites)
            all.emplace_back(fast, suite);
    return all;
}

// Makes sessions keyed while it lives use the given AES-GCM code, and names it in any failure.
struct UseAesEngine {
    explicit UseAesEngine(bool fast)
        : before(fastgcm::enable(fast)),
          trace(__FILE__, __LINE__, fast ? "vector AES-GCM" : "OpenSSL's AES-GCM") {}
    ~UseAesEngine() { fastgcm::enable(before); }
    bool before;
    ::testing::ScopedTrace trace;
};

// Hands the session's pending records to the client and reads all the plain text there is.
std::string deliver(TlsSession& server, Client& client) {
    BIO_write(client.fromServer, server.cipherOut.data() + server.cipherAt,
              int(server.pendingCipher()));
    server.consumeCipher(server.pendingCipher());
    std::string got;
    char buf[kTlsRecord];
    int n;
    while ((n = SSL_read(client.ssl, buf, sizeof buf)) > 0)
        got.append(buf, n);
    return got;
}

// The client's records in, whatever they decrypt to out.
std::string upload(Client& client, TlsSession& server, const std::string& text, bool& ok) {
    if (!text.empty()) SSL_write(client.ssl, text.data(), int(text.size()));
    SSL_do_handshake(client.ssl); // sends a key update the client was asked for
    return openRecords(server, client.drain(), ok);
}

} // namespace

TEST_F(TlsFiles, SessionsSealTheirOwnRecordsUnderEveryTls13CipherAndMoveToNewKeys) {
    TlsContext& ctx = live;
    for (const auto& [fast, suite] : suitesUnderEachEngine()) {
        const UseAesEngine engine(fast);
        Client client;
        ASSERT_EQ(SSL_set_ciphersuites(client.ssl, suite), 1);
        int updates = 0;
        countUpdatesOf(client, updates);
        TlsSession server(ctx.get());
        server.setRecordsPerKey(3);
        bool ok = false;
        pump(client, server, ok);
        ASSERT_TRUE(ok && server.handshakeDone()) << suite;

        // Ten records across three keys after the one the hand-over starts: every one opens
        // under the key and record number the client expects, in order. Each is sealed from
        // pieces, as the loop's queue holds them: split at odd places, one of them empty.
        std::string sent;
        for (int i = 0; i < 10; ++i) {
            const std::string part = "record " + std::to_string(i) + std::string(i * 300, 'x');
            const std::size_t cut = part.size() / 3 + i;
            const TlsSession::Piece pieces[] = {
                {part.data(), cut}, {part.data() + cut, 0}, {part.data() + cut, part.size() - cut}};
            ASSERT_TRUE(server.encrypt(pieces, 3, server.cipherOut, nullptr));
            sent += part;
        }
        EXPECT_TRUE(server.ownRecords()) << suite;
        EXPECT_EQ(deliver(server, client), sent) << suite;
        EXPECT_EQ(updates, 4) << suite << ": the hand-over's update and one every three records";

        // What the client sends still reads, and the close is the client's to see.
        EXPECT_EQ(upload(client, server, "pong", ok), "pong");
        EXPECT_TRUE(ok);
        server.shutdown();
        EXPECT_EQ(deliver(server, client), "");
        EXPECT_EQ(SSL_get_shutdown(client.ssl) & SSL_RECEIVED_SHUTDOWN, SSL_RECEIVED_SHUTDOWN)
            << suite;
        ERR_clear_error();
    }

    // TLS 1.2 stays with the library's records; pieces are joined for it first.
    Client old(nullptr, TLS1_2_VERSION);
    TlsSession server(ctx.get());
    bool ok = false;
    pump(old, server, ok);
    ASSERT_TRUE(ok && server.handshakeDone());
    char join[kTlsRecord];
    const TlsSession::Piece pieces[] = {{"hel", 3}, {"", 0}, {"lo", 2}};
    ASSERT_TRUE(server.encrypt(pieces, 3, server.cipherOut, join));
    EXPECT_FALSE(server.ownRecords());
    EXPECT_EQ(deliver(server, old), "hello");
}

TEST_F(TlsFiles, AClientsRequestForANewKeyIsAnsweredBeforeAndAfterTheHandOver) {
    TlsContext& ctx = live;
    Client client;
    int updates = 0;
    countUpdatesOf(client, updates);
    TlsSession server(ctx.get());
    bool ok = false;
    pump(client, server, ok);
    ASSERT_TRUE(ok && server.handshakeDone());

    // Asked before the session writes anything: the library's answer is the hand-over's key
    // update, and the session's own key must start from the generation after it.
    ASSERT_EQ(SSL_key_update(client.ssl, SSL_KEY_UPDATE_REQUESTED), 1);
    EXPECT_EQ(upload(client, server, "GET / HTTP/1.1\r\n\r\n", ok), "GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(ok);
    ASSERT_TRUE(server.encrypt("one;", 4));
    ASSERT_TRUE(server.ownRecords());
    EXPECT_EQ(deliver(server, client), "one;");
    EXPECT_EQ(updates, 1);

    // Asked after it: the session answers with a key update of its own, then the next key.
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(SSL_key_update(client.ssl, SSL_KEY_UPDATE_REQUESTED), 1);
        EXPECT_EQ(upload(client, server, "again", ok), "again");
        ASSERT_TRUE(ok);
        EXPECT_TRUE(server.ownReads()) << "reading moved with the hand-over";
        ASSERT_TRUE(server.encrypt("two;", 4));
        EXPECT_EQ(deliver(server, client), "two;");
        EXPECT_EQ(updates, 2 + round);
    }
    ERR_clear_error();
}

namespace {

// Feeds `up` to the session in pieces of `piece` bytes; returns what it decrypts to.
std::string openInPieces(TlsSession& server, std::string up, std::size_t piece, bool& ok) {
    std::string plain;
    char buf[kTlsRecord];
    ok = true;
    for (std::size_t at = 0; at < up.size() && ok; at += piece)
        ok = server.decrypt(up.data() + at, std::min(piece, up.size() - at), buf, sizeof buf,
                            [&](const char* p, std::size_t n) {
                                plain.append(p, n);
                                return true;
                            });
    return plain;
}

// What the client's SSL_write of `text` puts on the wire, with any key update it owes first.
std::string clientRecords(Client& client, const std::string& text) {
    SSL_write(client.ssl, text.data(), int(text.size()));
    return client.drain();
}

// A session past the hand-over: nothing of the client's was half read, so it reads and writes
// its records itself from its first write on.
void handOver(Client& client, TlsSession& server) {
    bool ok = false;
    pump(client, server, ok);
    ASSERT_TRUE(ok && server.handshakeDone());
    ASSERT_TRUE(server.encrypt("hi", 2));
    ASSERT_EQ(deliver(server, client), "hi");
    ASSERT_TRUE(server.ownReads());
}

} // namespace

TEST_F(TlsFiles, SessionsOpenTheClientsRecordsThemselvesFromTheHandOverOn) {
    TlsContext& ctx = live;
    for (const auto& [fast, suite] : suitesUnderEachEngine()) {
        const UseAesEngine engine(fast);
        // Given whole, and a byte at a time.
        for (std::size_t piece : {std::size_t(1) << 20, std::size_t(1)}) {
            Client client;
            ASSERT_EQ(SSL_set_ciphersuites(client.ssl, suite), 1);
            int updates = 0;
            countUpdatesOf(client, updates);
            TlsSession server(ctx.get());
            bool ok = false;
            pump(client, server, ok);
            ASSERT_TRUE(ok && server.handshakeDone());

            // Records the library reads first: the session goes on from their number.
            std::string up = clientRecords(client, "one;");
            up += clientRecords(client, "two;");
            EXPECT_EQ(openInPieces(server, up, piece, ok), "one;two;") << suite;
            ASSERT_TRUE(ok);
            // The hand-over comes with a record half read: the library finishes it, and stops.
            const std::string half = clientRecords(client, "half;");
            EXPECT_EQ(openInPieces(server, half.substr(0, 9), piece, ok), "");
            ASSERT_TRUE(server.encrypt("hi", 2));
            EXPECT_FALSE(server.ownReads()) << suite;
            EXPECT_EQ(deliver(server, client), "hi");
            up = half.substr(9);
            up += clientRecords(client, "after;");
            EXPECT_EQ(openInPieces(server, up, piece, ok), "half;after;") << suite;
            ASSERT_TRUE(ok);
            EXPECT_TRUE(server.ownReads()) << suite;

            // Records of every size, across reads of an odd size.
            std::string big;
            for (int i = 0; big.size() < 3 * kTlsRecord; ++i)
                big += "line " + std::to_string(i) + ";";
            EXPECT_EQ(openInPieces(server, clientRecords(client, big), 7001, ok), big) << suite;
            ASSERT_TRUE(ok);

            // The client moves to new keys of its own accord, and asks the session to.
            ASSERT_EQ(SSL_key_update(client.ssl, SSL_KEY_UPDATE_NOT_REQUESTED), 1);
            EXPECT_EQ(openInPieces(server, clientRecords(client, "third;"), piece, ok), "third;");
            ASSERT_TRUE(ok) << suite;
            ASSERT_EQ(SSL_key_update(client.ssl, SSL_KEY_UPDATE_REQUESTED), 1);
            EXPECT_EQ(openInPieces(server, clientRecords(client, "fourth;"), piece, ok), "fourth;");
            ASSERT_TRUE(ok) << suite;
            ASSERT_TRUE(server.encrypt("answer", 6));
            EXPECT_EQ(deliver(server, client), "answer");
            EXPECT_EQ(updates, 2) << suite << ": the hand-over's and the answer to the request";
            server.shutdown();
            EXPECT_EQ(deliver(server, client), "");
            EXPECT_EQ(SSL_get_shutdown(client.ssl) & SSL_RECEIVED_SHUTDOWN, SSL_RECEIVED_SHUTDOWN);
            ERR_clear_error();
        }
    }
}

TEST_F(TlsFiles, RecordsThatDoNotOpenEndTheSessionWithAnAlert) {
    TlsContext& ctx = live;
    // Each case spoils what the client sends once the session reads for itself.
    struct Case {
        const char* what;
        std::function<void(std::string&)> spoil;
        bool alert; // the session tells the client why
    };
    const std::vector<Case> cases = {
        {"a flipped byte", [](std::string& r) { r[r.size() - 20] ^= 1; }, true},
        {"a flipped header", [](std::string& r) { r[2] = 1; }, true},
        {"a record in the clear",
         [](std::string& r) { r = std::string("\x16\x03\x03\x00\x01\x01", 6); }, true},
        {"a record too long", [](std::string& r) { r = std::string("\x17\x03\x03\x48\x01", 5); },
         true},
        {"a record too short for its tag",
         [](std::string& r) { r = std::string("\x17\x03\x03\x00\x02hi", 7); }, true},
        {"the client's closing alert, answered with the session's", nullptr, true},
    };
    for (bool fast : aesEngines()) {
        for (const Case& c : cases) {
            const UseAesEngine engine(fast);
            Client client;
            TlsSession server(ctx.get());
            handOver(client, server);
            bool ok = false;
            EXPECT_EQ(openRecords(server, clientRecords(client, "fine"), ok), "fine");
            ASSERT_TRUE(ok && server.ownReads()) << c.what;
            std::string up;
            if (c.spoil) {
                up = clientRecords(client, "spoilt");
                c.spoil(up);
            } else {
                SSL_shutdown(client.ssl);
                up = client.drain();
            }
            EXPECT_EQ(openRecords(server, up, ok), "") << c.what;
            EXPECT_FALSE(ok) << c.what;
            EXPECT_EQ(server.pendingCipher() > 0, c.alert) << c.what;
            if (!c.spoil) {
                EXPECT_EQ(deliver(server, client), "");
                EXPECT_EQ(SSL_get_shutdown(client.ssl) & SSL_RECEIVED_SHUTDOWN,
                          SSL_RECEIVED_SHUTDOWN);
            }
            // Nothing more is read or written once it failed.
            EXPECT_EQ(openRecords(server, clientRecords(client, "more"), ok), "") << c.what;
            EXPECT_FALSE(ok) << c.what;
            EXPECT_FALSE(server.encrypt("more", 4)) << c.what;
            ERR_clear_error();
        }
    }
}

namespace {

// The alerts a client receives.
struct AlertsSeen {
    std::vector<int> descriptions;
    static void hook(int written, int, int type, const void* buf, size_t len, SSL*, void* arg) {
        const auto* m = static_cast<const unsigned char*>(buf);
        if (!written && type == SSL3_RT_ALERT && len == 2)
            static_cast<AlertsSeen*>(arg)->descriptions.push_back(m[1]);
    }
    explicit AlertsSeen(Client& client) {
        SSL_set_msg_callback(client.ssl, hook);
        SSL_set_msg_callback_arg(client.ssl, this);
    }
};

struct ClientForger {
    TlsKeys keys;
    explicit ClientForger(Client& client) {
        TlsSecret first;
        EXPECT_TRUE(first.fromHex(g_clientSecretHex));
        EXPECT_TRUE(keys.forSuite(client.ssl, true));
        EXPECT_TRUE(keys.start(first, 0));
    }
    std::string record(unsigned char type, std::string_view content) {
        std::string out;
        keys.seal(type, content.data(), content.size(), out);
        return out;
    }
};

} // namespace

TEST_F(TlsFiles, KeyUpdatesAndEmptyRecordsAreCheckedAndBoundedAfterTheHandOver) {
    TlsContext& ctx = live;
    const std::string kUpdate("\x18\x00\x00\x01\x00", 5);
    struct Case {
        const char* what;
        std::function<std::string(ClientForger&)> send;
        int alert; // 0: the session goes on
    };
    const std::vector<Case> cases = {
        {"a key update asking for neither answer nor none",
         [](ClientForger& f) { return f.record(22, std::string("\x18\x00\x00\x01\x02", 5)); }, 47},
        {"a key update split over two records",
         [](ClientForger& f) {
             std::string up = f.record(22, std::string("\x18\x00\x00", 3));
             return up + f.record(22, std::string("\x01\x00", 2));
         },
         10},
        {"a key update with more behind it in its record",
         [&](ClientForger& f) { return f.record(22, kUpdate + "x"); }, 10},
        {"4,096 empty records, then data",
         [](ClientForger& f) {
             std::string up;
             for (int i = 0; i < 4096; ++i)
                 up += f.record(23, "");
             return up + f.record(23, "data");
         },
         0},
        {"4,097 empty records",
         [](ClientForger& f) {
             std::string up;
             for (int i = 0; i < 4097; ++i)
                 up += f.record(23, "");
             return up;
         },
         10},
        {"4,097 key updates in a row",
         [&](ClientForger& f) {
             std::string up;
             for (int i = 0; i < 4097; ++i) {
                 up += f.record(22, kUpdate);
                 f.keys.nextSecret();
             }
             return up;
         },
         10},
    };
    for (const Case& c : cases) {
        Client client;
        TlsSession server(ctx.get());
        handOver(client, server);
        AlertsSeen alerts(client);
        ClientForger forger(client);
        bool ok = false;
        const std::string plain = openRecords(server, c.send(forger), ok);
        EXPECT_EQ(ok, c.alert == 0) << c.what;
        EXPECT_EQ(plain, c.alert == 0 ? "data" : "") << c.what;
        deliver(server, client);
        EXPECT_EQ(alerts.descriptions, c.alert ? std::vector<int>{c.alert} : std::vector<int>{})
            << c.what;
        ERR_clear_error();
    }
}

namespace {

// Counts, from now on, the connections declined for `why`.
struct Declines {
    TlsDecline why;
    std::uint64_t before = tlsDeclined(why);
    std::uint64_t now() const { return tlsDeclined(why) - before; }
};

} // namespace

TEST_F(TlsFiles, TheHandOverIsDeclinedWhenAnythingItReliesOnDoesNotHold) {
    TlsContext& ctx = live;
    const std::string message(3000, 'm');
    auto sendAndCheck = [&](Client& client, TlsSession& server, const char* what) {
        bool ok = false;
        pump(client, server, ok);
        ASSERT_TRUE(ok && server.handshakeDone()) << what;
        char join[kTlsRecord];
        const TlsSession::Piece piece{message.data(), message.size()};
        ASSERT_TRUE(server.encrypt(&piece, 1, server.cipherOut, join)) << what;
        EXPECT_FALSE(server.ownRecords()) << what << ": stays with the library";
        EXPECT_EQ(deliver(server, client), message) << what;
        EXPECT_EQ(upload(client, server, "up", ok), "up") << what;
        EXPECT_TRUE(ok) << what;
    };

    // A client that limits the size of records gets the library's, which keep to its limit.
    {
        const Declines declines{TlsDecline::recordSize};
        Client client;
        ASSERT_EQ(SSL_set_tlsext_max_fragment_length(client.ssl, TLSEXT_max_fragment_length_512),
                  1);
        TlsSession server(ctx.get());
        sendAndCheck(client, server, "max_fragment_length 512");
        EXPECT_EQ(declines.now(), 1u);
    }
    // The library reports a key generation that did not move by one: the library's records.
    {
        const Declines declines{TlsDecline::keyGeneration};
        Client client;
        TlsSession server(ctx.get());
        server.handOverSeam = [](std::string&, std::size_t, std::uint32_t& updates) { ++updates; };
        sendAndCheck(client, server, "a key generation skipped");
        EXPECT_EQ(declines.now(), 1u);
    }
    // The library wrote more, or less, than one record for its key update.
    for (int variant = 0; variant < 2; ++variant) {
        const Declines declines{TlsDecline::keyUpdateRecord};
        Client client;
        TlsSession server(ctx.get());
        bool ok = false;
        pump(client, server, ok);
        server.handOverSeam =
            variant == 0
                ? [](std::string& to, std::size_t,
                     std::uint32_t&) { to.append("\x17\x03\x03\x00\x00", 5); }
                : [](std::string& to, std::size_t from, std::uint32_t&) { to.resize(from + 3); };
        ASSERT_TRUE(server.encrypt("x", 1));
        EXPECT_FALSE(server.ownRecords());
        EXPECT_EQ(declines.now(), 1u) << variant;
    }
    // Switched off, nothing is taken over and nothing is declined.
    {
        setTlsOwnRecords(false);
        const Declines declines{TlsDecline::keyGeneration};
        Client client;
        TlsSession server(ctx.get());
        sendAndCheck(client, server, "own records off");
        setTlsOwnRecords(true);
        EXPECT_EQ(declines.now(), 0u);
    }
    // Only the series of library versions the tests run on.
    EXPECT_TRUE(tlsOwnRecordsTested(OpenSSL_version_num()));
    EXPECT_FALSE(tlsOwnRecordsTested(0x30100000UL));
    EXPECT_FALSE(tlsOwnRecordsTested(0x40000000UL));
    EXPECT_FALSE(tlsOwnRecordsTested(0x1010100fUL));
    ERR_clear_error();
}

namespace {
std::int64_t g_ticketClock = 0;
} // namespace

TEST_F(TlsFiles, TicketKeysRotateAndTheOneBeforeStillResumesForOnePeriod) {
    TlsContext& ctx = live;
    setTlsTicketClock([] { return g_ticketClock; });
    g_ticketClock = 1000000;
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        // A full handshake that leaves the client a ticket, then resumptions with it.
        auto connect = [&](SSL_SESSION* resume, bool& resumed) -> SSL_SESSION* {
            Client client(nullptr, version);
            if (resume) SSL_set_session(client.ssl, resume);
            TlsSession server(ctx.get());
            bool ok = false;
            pump(client, server, ok);
            EXPECT_TRUE(ok && server.handshakeDone()) << version;
            if (version == TLS1_3_VERSION) { // tickets come after the handshake
                SSL_write(client.ssl, "x", 1);
                openRecords(server, client.drain(), ok);
                deliver(server, client);
            }
            resumed = SSL_session_reused(client.ssl) == 1;
            SSL_set_shutdown(client.ssl, SSL_SENT_SHUTDOWN); // a clean end keeps it resumable
            return SSL_get1_session(client.ssl);
        };
        bool resumed = false;
        g_ticketClock += 3 * kTlsTicketKeyPeriod; // a fresh key for this round
        SSL_SESSION* first = connect(nullptr, resumed);
        SSL_SESSION* again = connect(first, resumed);
        EXPECT_TRUE(resumed) << version << ": the current key";
        SSL_SESSION_free(again);
        g_ticketClock += kTlsTicketKeyPeriod + 1;
        again = connect(first, resumed);
        EXPECT_TRUE(resumed) << version << ": the key before the current one";
        SSL_SESSION_free(again);
        g_ticketClock += kTlsTicketKeyPeriod;
        again = connect(first, resumed);
        EXPECT_FALSE(resumed) << version << ": a key two periods old";
        SSL_SESSION_free(again);
        SSL_SESSION_free(first);
    }
    setTlsTicketClock(nullptr);
    ERR_clear_error();
}

// Freed memory is searched for the traffic secrets while a probe is armed: every block given
// back through operator delete (what sessions, their keys and any string hold), as it was when
// it was given back. Builds with a sanitizer keep their own allocator and skip this.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {
struct FreedMemoryProbe {
    std::atomic<bool> armed{false};
    std::vector<std::string> needles;
    std::size_t blocks = 0, found = 0;
    void look(void* p) {
        if (!p || !armed.load(std::memory_order_relaxed)) return;
        ++blocks;
        const auto* bytes = static_cast<const char*>(p);
        const std::string_view block(bytes, malloc_usable_size(p));
        for (const std::string& needle : needles)
            if (block.find(needle) != std::string_view::npos) ++found;
    }
};
FreedMemoryProbe g_probe;

std::string fromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}
} // namespace

// The replacements pair malloc with free, which the compiler cannot see through inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    g_probe.look(p);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    g_probe.look(p);
    std::free(p);
}

TEST_F(TlsFiles, TrafficSecretsAreWipedFromEveryBufferThatHeldThem) {
    TlsContext& ctx = live;
    for (const auto& [fast, suite] : suitesUnderEachEngine()) {
        const UseAesEngine engine(fast);
        for (bool handOverFirst : {false, true}) {
            Client client;
            ASSERT_EQ(SSL_set_ciphersuites(client.ssl, suite), 1);
            auto server = std::make_unique<TlsSession>(ctx.get());
            bool ok = false;
            pump(client, *server, ok);
            ASSERT_TRUE(ok && server->handshakeDone());
            g_probe.needles = {fromHex(g_clientSecretHex), fromHex(g_serverSecretHex)};
            ASSERT_EQ(g_probe.needles[0].size(), g_probe.needles[1].size());
            g_probe.blocks = g_probe.found = 0;
            g_probe.armed = true;
            if (handOverFirst) { // both directions the session's, then a few new keys
                server->setRecordsPerKey(1);
                for (int i = 0; i < 3; ++i) {
                    ASSERT_TRUE(server->encrypt("hi", 2));
                    deliver(*server, client);
                    SSL_key_update(client.ssl, SSL_KEY_UPDATE_NOT_REQUESTED);
                    EXPECT_EQ(upload(client, *server, "up", ok), "up");
                }
                EXPECT_TRUE(server->ownReads()) << suite;
            }
            server.reset(); // a session that never handed over, or one that did
            g_probe.armed = false;
            EXPECT_GT(g_probe.blocks, 0u) << suite << " " << handOverFirst;
            EXPECT_EQ(g_probe.found, 0u) << suite << " " << handOverFirst;
            g_probe.needles.clear();
        }
    }
    ERR_clear_error();
}
#endif
