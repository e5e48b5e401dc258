// The first bytes of a connection at the adapter: a TLS handshake that trickles in still ends
// at the HTTP timeout, and PROXY headers are believed from trusted peers only, once.
#include "net/Net.hpp"

#include "FreePort.hpp"
#include "LoopbackSocket.hpp"
#include "NetHelpers.hpp"
#include "TempDataDir.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using namespace tnlrelay::net;
using namespace std::chrono_literals;
using tnlrelay::test::LoopbackClient;
using tnlrelay::test::pumpUntil;

namespace {

struct Seen {
    std::vector<std::string> requests; ///< "<peer> <uri>"
    int closes = 0;
    static void handler(Conn* c, Event ev, const void* data, void* user) {
        auto* s = static_cast<Seen*>(user);
        if (ev == Event::close) {
            ++s->closes;
            return;
        }
        if (ev != Event::httpMsg) return;
        const auto& hm = *static_cast<const HttpMessage*>(data);
        s->requests.push_back(std::string(peerAddress(c)) + " " + std::string(hm.uri));
        reply(c, 200, "", "ok\n");
    }
};

} // namespace

TEST(NetOpening, AHandshakeThatTricklesInIsClosedAtTheHttpTimeout) {
    tnlrelay::test::TempDataDir tmp;
    const auto dir = tmp.base();
    const std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                            "-keyout '" +
                            (dir / "k.pem").string() + "' -out '" + (dir / "c.pem").string() +
                            "' -days 2 -subj /CN=t >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "the openssl command is not available";
    Limits limits;
    limits.httpIdle = 300ms;
    limits.sweepInterval = 20ms;
    Loop loop(limits);
    std::string error;
    ASSERT_TRUE(loop.setTlsFiles(dir / "c.pem", dir / "k.pem", error)) << error;
    Seen seen;
    const int port = tnlrelay::test::freePort();
    ListenOptions options;
    options.tls = true;
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Seen::handler, &seen, options));

    // A record header announcing a long ClientHello, then one byte every 50 ms.
    LoopbackClient slow(port);
    slow.send(std::string("\x16\x03\x01\x02\x00", 5));
    const auto start = std::chrono::steady_clock::now();
    std::string heard;
    ASSERT_TRUE(pumpUntil(
        loop,
        [&] {
            slow.send(std::string(1, '\x01'));
            loop.poll(50ms);
            return !slow.pull(heard);
        },
        3s))
        << "a trickling handshake must not hold the connection open";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);

    // Plain requests on the same port are answered all the while.
    LoopbackClient plain(port);
    plain.send("GET /plain HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string answer;
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return (plain.pull(answer), answer.find("ok\n") != std::string::npos); }));
    EXPECT_EQ(seen.requests, std::vector<std::string>{"127.0.0.1 /plain"});
}

TEST(NetOpening, ProxyHeadersCountFromTrustedPeersOnly) {
    for (const bool trusted : {true, false}) {
        Loop loop;
        AddressList list;
        ASSERT_TRUE(list.add(trusted ? "127.0.0.0/8" : "10.0.0.1"));
        loop.setTrustedProxies(list);
        Seen seen;
        const int port = tnlrelay::test::freePort();
        ListenOptions options;
        options.proxyHeader = true;
        ASSERT_TRUE(loop.listen("127.0.0.1", port, &Seen::handler, &seen, options));

        LoopbackClient proxied(port);
        // Split inside the header: the adapter waits for the rest.
        proxied.send("PROXY TCP6 2001:db8::7 ::1 4");
        loop.poll(20ms);
        proxied.send("000 80\r\nGET /via HTTP/1.1\r\nHost: x\r\n\r\n");
        // A request that merely begins like a header is an ordinary one.
        LoopbackClient post(port);
        post.send("P");
        loop.poll(20ms);
        post.send("OST /post HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");

        std::string a, b;
        if (trusted) {
            ASSERT_TRUE(pumpUntil(loop, [&] { return seen.requests.size() == 2; }))
                << seen.requests.size();
            EXPECT_NE(std::find(seen.requests.begin(), seen.requests.end(), "2001:db8::7 /via"),
                      seen.requests.end());
        } else {
            ASSERT_TRUE(pumpUntil(loop, [&] { return !proxied.pull(a); }))
                << "untrusted header kept";
            EXPECT_EQ(a, "");
            ASSERT_TRUE(pumpUntil(loop, [&] { return seen.requests.size() == 1; }));
        }
        EXPECT_NE(std::find(seen.requests.begin(), seen.requests.end(), "127.0.0.1 /post"),
                  seen.requests.end());
        if (!trusted) continue;

        // After one header, whatever it said (nobody, with UNKNOWN or a v2 LOCAL command), a
        // second one is refused, never believed.
        const std::string local("\r\n\r\n\0\r\nQUIT\n\x20\x00\x00\x00", 16);
        for (const std::string& first : {std::string("PROXY UNKNOWN\r\n"), local}) {
            LoopbackClient twice(port);
            twice.send(first);
            loop.poll(20ms);
            twice.send("PROXY TCP4 6.6.6.6 127.0.0.1 1 80\r\nGET /second HTTP/1.1\r\n\r\n");
            std::string got;
            ASSERT_TRUE(pumpUntil(loop, [&] { return !twice.pull(got); })) << "still open";
            EXPECT_EQ(got, "");
        }
        for (const std::string& r : seen.requests)
            EXPECT_EQ(r.find("/second"), std::string::npos) << r;
    }
}
