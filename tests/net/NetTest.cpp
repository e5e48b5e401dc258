// The network adapter against plain client sockets: keep-alive requests, replies, limits,
// draining, close events (also when the loop is destroyed), timeouts, ids, slow readers.
#include "net/Net.hpp"
#include "net/ConnIds.hpp"
#include "net/WsFrames.hpp"

#include "FreePort.hpp"
#include "LoopbackSocket.hpp"
#include "NetHelpers.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace tnlrelay::net;
using namespace std::chrono_literals;
using tnlrelay::test::clientFrame;
using tnlrelay::test::freePort;
using tnlrelay::test::getRequest;
using tnlrelay::test::LoopbackClient;
using tnlrelay::test::pumpUntil;
using tnlrelay::test::upgradeRequest;

namespace {

/// What the test server saw, and how it answers.
struct Server {
    std::vector<std::string> events; ///< "http <id> <method> <uri> <query> <body>", "close <id>"
    std::map<ConnId, Conn*> open;
    std::function<void(Conn*, const HttpMessage&)> onHttp;
    std::function<void(Conn*, const WsMessage&)> onWs;
    std::vector<ConnId> closed;
    std::vector<CloseCause> causes; ///< of each close, in the order of `closed`

    static void handler(Conn* c, Event ev, const void* data, void* user) {
        auto* s = static_cast<Server*>(user);
        if (ev == Event::httpMsg) {
            const auto& hm = *static_cast<const HttpMessage*>(data);
            s->open[connId(c)] = c;
            s->events.push_back("http " + std::to_string(connId(c)) + " " + std::string(hm.method) +
                                " " + std::string(hm.uri) + " " + std::string(hm.query) + " " +
                                std::string(hm.body));
            if (s->onHttp) s->onHttp(c, hm);
        } else if (ev == Event::wsMsg) {
            if (s->onWs) s->onWs(c, *static_cast<const WsMessage*>(data));
        } else {
            s->open.erase(connId(c));
            s->closed.push_back(connId(c));
            s->causes.push_back(closeCause(c));
        }
    }
};

std::size_t count(const std::string& hay, const std::string& needle) {
    std::size_t n = 0;
    for (auto p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

} // namespace

TEST(Net, KeepAliveRequestsAreAnsweredInOrderOnOneConnection) {
    Server srv;
    Loop loop;
    srv.onHttp = [](Conn* c, const HttpMessage& hm) {
        reply(c, 200, "X-Test: 1\r\n", "you asked " + std::string(hm.uri));
    };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    LoopbackClient cl(port);
    // Three requests in one write: each is read only after the previous reply was written.
    cl.send(getRequest("/a?x=1") + "POST /b HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello" +
            getRequest("/c"));
    std::string in;
    ASSERT_TRUE(pumpUntil(loop, [&] { return cl.pull(in) && count(in, "HTTP/1.1 200 OK") == 3; }));
    EXPECT_NE(in.find("X-Test: 1\r\nContent-Length: 12\r\n\r\nyou asked /a"), std::string::npos)
        << in;
    EXPECT_LT(in.find("/a"), in.find("/b"));
    EXPECT_LT(in.find("/b"), in.find("/c"));
    ASSERT_EQ(srv.events.size(), 3u);
    EXPECT_EQ(srv.events[0].substr(0, 6), "http 2") << "the listener took id 1";
    EXPECT_NE(srv.events[0].find("GET /a x=1"), std::string::npos);
    EXPECT_NE(srv.events[1].find("POST /b  hello"), std::string::npos);
    EXPECT_TRUE(srv.closed.empty()) << "keep-alive: the connection stays open";
}

TEST(Net, APipeliningClientThatDoesNotReadIsAnsweredOneRequestAtATime) {
    Server srv;
    Loop loop;
    const std::string big(24 * 1024 * 1024, 'r'); // more than both sockets' buffers hold
    srv.onHttp = [&](Conn* c, const HttpMessage&) { reply(c, 200, "", big); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    LoopbackClient cl(port, 4096);
    cl.send(getRequest("/1") + getRequest("/2") + getRequest("/3"));
    pumpUntil(
        loop, [] { return false; }, 300ms);
    EXPECT_EQ(srv.events.size(), 1u) << "requests read before the reply ahead was written";
    std::string in;
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return cl.pull(in) && in.size() >= 3 * big.size(); }, 20s));
    EXPECT_EQ(srv.events.size(), 3u);
}

TEST(Net, OversizedHeadersAndBodiesAndGarbageAreRefused) {
    Limits limits;
    limits.maxBodyBytes = 100;
    Server srv;
    Loop loop(limits);
    srv.onHttp = [](Conn* c, const HttpMessage&) { reply(c, 200, "", "ok"); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {getRequest("/", "X-Big: " + std::string(17000, 'a') + "\r\n"), "HTTP/1.1 431 "},
        {"POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n" + std::string(101, 'b'), "HTTP/1.1 413 "},
        {"this is not http\r\n\r\n", "HTTP/1.1 400 "},
    };
    for (const auto& [request, status] : cases) {
        LoopbackClient cl(port);
        cl.send(request);
        std::string in;
        ASSERT_TRUE(pumpUntil(loop, [&] { return !cl.pull(in); })) << status << " not closed";
        EXPECT_EQ(in.substr(0, status.size()), status) << in.substr(0, 80);
    }
    EXPECT_TRUE(srv.events.empty()) << "no request reached the handler";
    EXPECT_EQ(loop.stats().refusedLimits, 2u) << "the 431 and the 413, not the 400";
}

TEST(Net, RequestHeadersUpToTheLimitPassAndOneByteMoreIsRefused) {
    Server srv;
    Loop loop; // the relay's limit: 16 KiB of request line and headers, blank line included
    srv.onHttp = [](Conn* c, const HttpMessage&) { reply(c, 200, "", "ok"); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    const auto request = [](std::size_t total) {
        const std::string bare = getRequest("/", "X-Pad: \r\n");
        return getRequest("/", "X-Pad: " + std::string(total - bare.size(), 'p') + "\r\n");
    };
    const std::size_t limit = Limits().maxHeaderBytes;
    for (const bool inPieces : {false, true}) {
        for (const auto& [size, status] :
             {std::pair{limit - 100, "HTTP/1.1 200 "}, std::pair{limit, "HTTP/1.1 200 "},
              std::pair{limit + 1, "HTTP/1.1 431 "}}) {
            LoopbackClient cl(port);
            const std::string req = request(size);
            ASSERT_EQ(req.size(), size);
            // In pieces, the request line arrives first, on its own.
            const std::size_t first = inPieces ? 100 : req.size();
            cl.send(req.substr(0, first));
            pumpUntil(
                loop, [] { return false; }, 20ms);
            cl.send(req.substr(first));
            std::string in;
            ASSERT_TRUE(pumpUntil(
                loop, [&] { return !cl.pull(in) || in.find("\r\n\r\n") != std::string::npos; }));
            EXPECT_EQ(in.substr(0, 13), status) << size << " bytes, in pieces: " << inPieces;
        }
    }
}

TEST(Net, DrainingSendsWhatIsQueuedThenCloses) {
    Server srv;
    Loop loop;
    const std::string big(3 * 1024 * 1024, 'z');
    srv.onHttp = [&](Conn* c, const HttpMessage&) {
        reply(c, 200, "", big);
        setDraining(c);
    };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    LoopbackClient cl(port);
    cl.send(getRequest("/"));
    std::string in;
    ASSERT_TRUE(pumpUntil(loop, [&] { return !cl.pull(in); }));
    ASSERT_GE(in.size(), big.size());
    EXPECT_EQ(in.substr(in.size() - big.size()), big) << "the whole body came before the close";
    EXPECT_TRUE(srv.closed.empty()) << "the relay waits for the peer's end";
    cl.end();
    EXPECT_TRUE(pumpUntil(loop, [&] { return srv.closed.size() == 1; }));
}

TEST(Net, ADrainingPeerThatKeepsSendingReceivesEverythingWithoutAReset) {
    // A refused HTTP client and a kicked WebSocket that both go on sending while their queue
    // drains: reading them on keeps the kernel from resetting away what was queued for them.
    Limits limits;
    limits.sweepInterval = 20ms;
    Server srv;
    Loop loop(limits);
    const std::string body(6 * 1024 * 1024, 'b');
    const std::string chunk(400, 'k');
    std::size_t fromKicked = 0;
    srv.onHttp = [&](Conn* c, const HttpMessage& hm) {
        if (hm.uri == "/ws") {
            wsUpgrade(c, hm);
            return;
        }
        reply(c, 403, "", body); // refused: the body, then the close
        setDraining(c);
    };
    srv.onWs = [&](Conn* c, const WsMessage& wm) {
        if (wm.payload.size() == 4) { // "kick": fill its queue, then drain
            for (int i = 0; i < 6 * 1024 * 1024 / 400; ++i)
                wsSend(c, Payload(chunk.data(), chunk.size(), nullptr), kOpBinary);
            setDraining(c);
        } else {
            ++fromKicked;
        }
    };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    for (const bool ws : {false, true}) {
        SCOPED_TRACE(ws ? "kicked WebSocket" : "refused HTTP client");
        srv.closed.clear();
        fromKicked = 0;
        LoopbackClient cl(port);
        cl.send(ws ? upgradeRequest("/ws") + clientFrame(kOpBinary, "kick") : getRequest("/"));
        const std::string more = ws ? clientFrame(kOpBinary, "still here") : std::string(512, 'x');
        std::string in;
        bool ended = false, reset = false;
        ASSERT_TRUE(pumpUntil(
            loop,
            [&] {
                ::send(cl.fd, more.data(), more.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                char buf[65536];
                const ssize_t n = ::recv(cl.fd, buf, sizeof buf, 0);
                if (n > 0) in.append(buf, std::size_t(n));
                if (n == 0) ended = true;
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) reset = true;
                return ended || reset;
            },
            10s));
        EXPECT_FALSE(reset) << "reset after " << in.size() << " bytes";
        const std::size_t expected = ws ? 6 * 1024 * 1024 / 400 * (4 + 400) : body.size();
        EXPECT_GE(in.size(), expected) << "what was queued arrived whole";
        if (ws) {
            EXPECT_GT(fromKicked, 0u) << "what the kicked player sent went on arriving";
        }
        cl.end();
        EXPECT_TRUE(pumpUntil(loop, [&] { return srv.closed.size() == 1; }));
    }
}

TEST(Net, DestroyingTheLoopClosesEveryConnectionOnceInIdOrder) {
    Server srv;
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    const int port = freePort();
    {
        Limits limits;
        limits.stopDrain = 300ms; // these peers never answer
        Loop loop(limits);
        srv.onHttp = [](Conn* c, const HttpMessage& hm) {
            if (hm.uri == "/ws") wsUpgrade(c, hm);
        };
        ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
        for (int i = 0; i < 8; ++i) {
            clients.push_back(std::make_unique<LoopbackClient>(port));
            clients.back()->send(i % 2 ? getRequest("/") : upgradeRequest("/ws"));
        }
        ASSERT_TRUE(pumpUntil(loop, [&] { return srv.open.size() == 8; }));
        EXPECT_TRUE(srv.closed.empty());
    }
    EXPECT_EQ(srv.closed.size(), 8u);
    EXPECT_TRUE(std::is_sorted(srv.closed.begin(), srv.closed.end())) << "in ascending id order";
    EXPECT_TRUE(srv.open.empty());
    const std::string goingAway("\x88\x02\x03\xE9", 4);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        std::string in;
        EXPECT_FALSE(clients[i]->pull(in)) << "the socket is closed";
        const bool ws = i % 2 == 0;
        EXPECT_EQ(in.size() >= 4 && in.substr(in.size() - 4) == goingAway, ws)
            << (ws ? "a WebSocket is told 1001" : "HTTP gets no close frame");
    }
}

// Connections still in the loop's lists when it ends are freed with it (a leak shows in the
// sanitizer build), on either poller.
TEST(Net, DestroyingTheLoopFreesConnectionsQueuedToBeFlushedOrReadAgain) {
    Server srv;
    const int port = freePort();
    std::unique_ptr<LoopbackClient> idle, uploader;
    {
        Limits limits;
        limits.stopDrain = 0ms; // no turn after the stop: each connection stays queued to flush
        limits.maxBodyBytes = 64 << 20;
        Loop loop(limits);
        srv.onHttp = [](Conn* c, const HttpMessage&) { reply(c, 200, "", "ok\n"); };
        ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
        idle = std::make_unique<LoopbackClient>(port);
        uploader = std::make_unique<LoopbackClient>(port);
        idle->send(getRequest("/"));
        uploader->send(getRequest("/"));
        ASSERT_TRUE(pumpUntil(loop, [&] { return srv.events.size() == 2; }));
        // More of a body waiting than one wake-up reads: the uploader is queued to be read again.
        // Sent with the loop running first, so that the kernel's receive buffer grows to hold it.
        uploader->send("POST /up HTTP/1.1\r\nContent-Length: 33554432\r\n\r\n");
        const std::string chunk(1 << 20, 'u');
        for (int i = 0; i < 16; ++i)
            uploader->send(chunk, &loop);
        while (::send(uploader->fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
        }
        loop.poll(0ms); // one turn: it reads its share, and the rest waits for the next
    }
    EXPECT_EQ(srv.closed.size(), 2u);
}

TEST(Net, ListenFailsForPortsInUseAndOutOfRange) {
    Server srv;
    Loop loop;
    const int port = freePort();
    EXPECT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    Loop other;
    EXPECT_FALSE(other.listen("127.0.0.1", port, &Server::handler, &srv));
    EXPECT_FALSE(other.listen("127.0.0.1", 0, &Server::handler, &srv));
    EXPECT_FALSE(other.listen("127.0.0.1", -5, &Server::handler, &srv));
    EXPECT_FALSE(other.listen("127.0.0.1", 65536, &Server::handler, &srv));
    EXPECT_FALSE(other.listen("not an address", freePort(), &Server::handler, &srv));
}

// Work on another thread hands its results over by waking the loop: a poll waiting for an hour
// returns for it, and so does the next poll after a wake that came between two. (Without the
// wake, this test hangs until the test runner's time limit.)
TEST(Net, AWakeFromAnotherThreadEndsThePoll) {
    Loop loop;
    for (int round = 0; round < 3; ++round) {
        std::atomic<bool> woken{false};
        std::thread other([&] {
            woken = true;
            loop.wake();
        });
        while (!woken.load())
            loop.poll(std::chrono::hours(1));
        other.join();
    }
    loop.wake();
    loop.poll(std::chrono::hours(1));
}

TEST(Net, SlowAndSilentConnectionsAreClosed) {
    Limits limits;
    limits.httpIdle = 150ms;
    limits.wsIdle = 150ms;
    limits.drainTimeout = 150ms;
    limits.sweepInterval = 20ms;
    Server srv;
    Loop loop(limits);
    srv.onHttp = [](Conn* c, const HttpMessage& hm) {
        if (hm.uri == "/ws") wsUpgrade(c, hm);
    };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));

    LoopbackClient idle(port); // never completes a request
    idle.send("GET / HTTP/1.1\r\n");
    LoopbackClient ws(port);
    ws.send(upgradeRequest("/ws", "dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13\r\n"));
    std::string in, wsIn;
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return !idle.pull(in); }, 3s))
        << "slow HTTP client closed";

    // The silent WebSocket is pinged first, then closed when it stays silent.
    ASSERT_TRUE(pumpUntil(
        loop,
        [&] {
            ws.pull(wsIn);
            return wsIn.find(std::string("\x89\x00", 2)) != std::string::npos;
        },
        3s))
        << "no ping";
    EXPECT_NE(wsIn.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos);
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return !ws.pull(wsIn); }, 3s))
        << "silent peer not closed";
    EXPECT_EQ(srv.closed.size(), 2u);
    EXPECT_EQ(loop.stats().silentPeersClosed, 1u) << "the WebSocket, not the slow HTTP client";
}

TEST(Net, AnsweringPeersStayAndPingsArePonged) {
    Limits limits;
    limits.wsIdle = 100ms;
    limits.sweepInterval = 10ms;
    Server srv;
    Loop loop(limits);
    srv.onHttp = [](Conn* c, const HttpMessage& hm) { wsUpgrade(c, hm); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    LoopbackClient ws(port);
    ws.send(
        upgradeRequest("/", "dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Protocol: game, chat\r\n"));
    std::string in;
    ASSERT_TRUE(
        pumpUntil(loop, [&] { return ws.pull(in) && in.find("\r\n\r\n") != std::string::npos; }));
    EXPECT_NE(in.find("Sec-WebSocket-Protocol: game\r\n"), std::string::npos) << in;
    in.clear();
    ws.send(clientFrame(kOpPing, "are you there"));
    ASSERT_TRUE(pumpUntil(loop, [&] {
        return ws.pull(in) && in.find("\x8A\x0D"
                                      "are you there") != std::string::npos;
    })) << "pong with the same payload";
    // Keep answering pings for several idle periods: the connection stays.
    const auto end = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < end) {
        loop.poll(5ms);
        in.clear();
        ASSERT_TRUE(ws.pull(in));
        if (in.find(std::string("\x89\x00", 2)) != std::string::npos)
            ws.send(clientFrame(kOpPong, ""));
    }
    EXPECT_TRUE(srv.closed.empty());
}

// The sweep looks only at connections something may be due for: a quiet crowd whose idle
// limits are far off costs it nothing, however many turns pass.
TEST(Net, TheSweepVisitsOnlyWhatIsDue) {
    Limits limits;
    limits.wsIdle = 60s;
    limits.sweepInterval = 5ms;
    Server srv;
    Loop loop(limits);
    srv.onHttp = [](Conn* c, const HttpMessage& hm) { wsUpgrade(c, hm); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    std::vector<std::unique_ptr<LoopbackClient>> crowd;
    for (int i = 0; i < 100; ++i) {
        crowd.push_back(std::make_unique<LoopbackClient>(port));
        crowd.back()->send(upgradeRequest());
    }
    std::vector<std::string> in(crowd.size());
    ASSERT_TRUE(pumpUntil(loop, [&] {
        for (std::size_t i = 0; i < crowd.size(); ++i)
            if (crowd[i]->pull(in[i]), in[i].find("\r\n\r\n") == std::string::npos) return false;
        return true;
    }));
    const auto end = std::chrono::steady_clock::now() + 300ms; // some 60 turns
    while (std::chrono::steady_clock::now() < end)
        loop.poll(5ms);
    EXPECT_EQ(loop.stats().sweepVisits, 0u);
    EXPECT_TRUE(srv.closed.empty());
}

TEST(Net, ProtocolErrorsAndOversizedMessagesCloseWithTheirStatus) {
    Limits limits;
    limits.maxMessageBytes = 1000;
    Server srv;
    Loop loop(limits);
    srv.onHttp = [](Conn* c, const HttpMessage& hm) { wsUpgrade(c, hm); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    const std::string upgrade = upgradeRequest();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {clientFrame(3, "x"), std::string("\x88\x02\x03\xEA", 4)}, // 1002
        {clientFrame(kOpBinary, std::string(1001, 'x')),
         std::string("\x88\x02\x03\xF1", 4)}, // 1009
    };
    for (const auto& [bytes, close] : cases) {
        LoopbackClient ws(port);
        ws.send(upgrade + bytes); // frames right behind the request are kept for the parser
        std::string in;
        ASSERT_TRUE(pumpUntil(loop, [&] { return !ws.pull(in); }));
        EXPECT_NE(in.find(close), std::string::npos);
    }
    // Without a key the upgrade is refused.
    LoopbackClient nokey(port);
    nokey.send(getRequest("/", "Upgrade: websocket\r\n"));
    std::string in;
    ASSERT_TRUE(pumpUntil(loop, [&] { return !nokey.pull(in); }));
    EXPECT_EQ(in.substr(0, 13), "HTTP/1.1 426 ");
    EXPECT_EQ(loop.stats().protocolErrorCloses, 1u);
    EXPECT_EQ(loop.stats().tooBigCloses, 1u);
    EXPECT_EQ(loop.stats().refusedNoKey, 1u);
    EXPECT_EQ(loop.stats().messagesIn, 0u) << "no message was complete";
}

TEST(Net, SharedPayloadsReachEveryReceiverAndSlowReadersAreCutOff) {
    // Large payloads are shared between queues, small ones copied into them: the cap on a
    // queue holds for both.
    for (const std::size_t size : {std::size_t(200000), std::size_t(400)}) {
        SCOPED_TRACE("payloads of " + std::to_string(size) + " bytes");
        Limits limits;
        limits.maxQueuedBytes = 4 * 1024 * 1024;
        Server srv;
        Loop loop(limits);
        std::vector<ConnId> members; // in join order; srv.open holds the live ones
        srv.onHttp = [&](Conn* c, const HttpMessage& hm) {
            wsUpgrade(c, hm);
            members.push_back(connId(c));
        };
        srv.onWs = [&](Conn* from, const WsMessage& wm) {
            for (auto& [id, m] : srv.open)
                if (m != from) wsSend(m, wm.payload, wm.opcode);
        };
        const int port = freePort();
        ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
        const std::string upgrade = upgradeRequest();
        // The sleeper's receive buffer is small so that its queue grows in the server.
        LoopbackClient sender(port), reader(port), sleeper(port, 4096);
        for (LoopbackClient* c : {&sender, &reader, &sleeper})
            c->send(upgrade);
        ASSERT_TRUE(pumpUntil(loop, [&] { return members.size() == 3; }));
        std::string readerIn;
        reader.pull(readerIn);
        readerIn.clear();
        // A zero mask leaves the payload as it is; the relayed frame is the client's without
        // the mask bit and key.
        const std::string payload(size, 'p');
        const std::string relayed = clientFrame(kOpBinary, payload, {.masked = false});
        const std::string frame = clientFrame(kOpBinary, payload, {.mask = {0, 0, 0, 0}});
        const std::size_t perBatch = std::max<std::size_t>(1, 400000 / size);
        std::string batch;
        for (std::size_t i = 0; i < perBatch; ++i)
            batch += frame;
        std::size_t sent = 0; // 12 MB at most: the cap and both sockets' buffers
        ASSERT_TRUE(pumpUntil(
            loop,
            [&] {
                if (sent * size < 12'000'000) {
                    sender.send(batch, &loop);
                    sent += perBatch;
                }
                reader.pull(readerIn);
                return !srv.closed.empty();
            },
            20s))
            << "the reader that never reads was not cut off";
        EXPECT_EQ(srv.closed.front(), members[2]);
        EXPECT_EQ(srv.causes.front(), CloseCause::unsentOutput);
        ASSERT_TRUE(pumpUntil(
            loop,
            [&] {
                reader.pull(readerIn);
                return readerIn.size() >= sent * relayed.size();
            },
            20s))
            << "the reading member got " << readerIn.size() << " bytes";
        EXPECT_EQ(count(readerIn, relayed), sent);
        const LoopStats& stats = loop.stats();
        EXPECT_EQ(stats.slowReadersCut, 1u);
        EXPECT_EQ(stats.messagesIn, sent);
        EXPECT_EQ(stats.bytesIn, sent * size);
        // Every message reached the reader; the sleeper got some until it was cut off.
        EXPECT_GT(stats.messagesOut, sent);
        EXPECT_LT(stats.messagesOut, 2 * sent);
        EXPECT_EQ(stats.bytesOut, stats.messagesOut * size);
        std::uint64_t turns = 0;
        for (std::uint64_t n : stats.turns)
            turns += n;
        EXPECT_GT(turns, 0u);
        EXPECT_GT(stats.longestTurnNanos, 0u);
        EXPECT_LE(stats.longestTurnNanos, stats.turnNanos);
        const LoopGauges gauges = loop.gauges();
        EXPECT_EQ(gauges.webSockets, 2u) << "the sender and the reader";
        EXPECT_EQ(gauges.httpConnections, 0u);
        EXPECT_EQ(gauges.queuedBytes, 0u) << "everything was written or dropped with the sleeper";
    }
}

TEST(Net, IdsWrapAroundSkippingZeroAndIdsInUse) {
    Limits limits;
    limits.lastId = 4294967293u;
    Server srv;
    Loop loop(limits);
    srv.onHttp = [](Conn* c, const HttpMessage&) { reply(c, 200, "", "ok"); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv)); // takes 4294967294
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    auto connect = [&] {
        clients.push_back(std::make_unique<LoopbackClient>(port));
        clients.back()->send(getRequest("/"));
        const std::size_t before = srv.events.size();
        EXPECT_TRUE(pumpUntil(loop, [&] { return srv.events.size() > before; }));
        return std::stoul(srv.events.back().substr(5));
    };
    EXPECT_EQ(connect(), 4294967295u);
    EXPECT_EQ(connect(), 1u) << "0 is never an id";
    EXPECT_EQ(connect(), 2u);
    // When the counter comes round again, ids still held are skipped.
    const std::set<ConnId> held = {4294967295u, 1u, 2u, 4u};
    const auto inUse = [&](ConnId id) { return held.count(id) > 0; };
    EXPECT_EQ(nextFreeId(4294967294u, inUse), 3u);
    EXPECT_EQ(nextFreeId(3u, inUse), 5u);
}

TEST(Net, AKickedPeerThatStopsReadingIsClosedAfterTheDrainTimeout) {
    Limits limits;
    limits.drainTimeout = 200ms;
    limits.sweepInterval = 20ms;
    Server srv;
    Loop loop(limits);
    srv.onHttp = [](Conn* c, const HttpMessage&) {
        reply(c, 200, "", std::string(64 * 1024 * 1024, 'k')); // more than the socket takes
        setDraining(c);
    };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    LoopbackClient cl(port);
    cl.send(getRequest("/"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return srv.closed.size() == 1; }, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms) << "not before its deadline";
}

TEST(Net, AcceptingGoesOnAfterRunningOutOfDescriptors) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers probe memory through a pipe of their own, which this test leaves no
    // descriptors for; the plain build runs it.
    GTEST_SKIP() << "needs descriptors that the sanitizer runtime would take";
#endif
    Server srv;
    Loop loop;
    srv.onHttp = [](Conn* c, const HttpMessage&) { reply(c, 200, "", "ok"); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));

    // Room for three more descriptors: two clients and the socket accepted for the first.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    int limit = 0;
    for (int free = 0; free < 3; ++limit) // new descriptors take the lowest free numbers
        if (::fcntl(limit, F_GETFD) == -1) ++free;
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(limit);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

    auto first = std::make_unique<LoopbackClient>(port);
    first->send(getRequest("/"));
    std::string in, in2;
    const bool firstServed = pumpUntil(loop, [&] { return first->pull(in) && !in.empty(); });
    LoopbackClient second(port); // connected by the kernel, but the relay has no descriptor for it
    second.send(getRequest("/"));
    pumpUntil(
        loop, [] { return false; }, 300ms);
    second.pull(in2);
    const bool waited = in2.empty();
    first.reset(); // its accepted socket closes, and accepting resumes
    const bool secondServed = pumpUntil(loop, [&] { return second.pull(in2) && !in2.empty(); });
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(firstServed);
    EXPECT_TRUE(waited) << "the second was served without a descriptor?";
    EXPECT_TRUE(secondServed) << "the listener stopped accepting";
}

TEST(Net, ClosingWithAStatusSendsWhatIsQueuedThenTheCloseFrame) {
    Server srv;
    Loop loop;
    srv.onHttp = [](Conn* c, const HttpMessage& hm) { wsUpgrade(c, hm); };
    srv.onWs = [](Conn* c, const WsMessage& wm) {
        wsSend(c, wm.payload, wm.opcode); // echoed first, then the close behind it
        wsClose(c, 1008);
        wsSend(c, wm.payload, wm.opcode); // nothing goes out after the close
    };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    LoopbackClient ws(port);
    ws.send(upgradeRequest() + clientFrame(kOpText, "too fast"));
    std::string in;
    ASSERT_TRUE(pumpUntil(loop, [&] { return !ws.pull(in); }));
    const std::string tail =
        std::string("\x81\x08too fast", 10) + std::string("\x88\x02\x03\xF0", 4);
    ASSERT_GE(in.size(), tail.size());
    EXPECT_EQ(in.substr(in.size() - tail.size()), tail);
    ws.end();
    EXPECT_TRUE(pumpUntil(loop, [&] { return srv.closed.size() == 1; }));
}

TEST(Net, TheInboundCapOverAllConnectionsClosesTheOneThatWouldPassIt) {
    Limits limits;
    limits.maxInboundBytes = 300000; // the relay's is 1 GiB
    Server srv;
    Loop loop(limits);
    std::vector<std::size_t> delivered;
    srv.onHttp = [](Conn* c, const HttpMessage& hm) { wsUpgrade(c, hm); };
    srv.onWs = [&](Conn*, const WsMessage& wm) { delivered.push_back(wm.payload.size()); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    const std::string upgrade = upgradeRequest();
    const std::string frame = clientFrame(kOpBinary, std::string(200000, 'i'));
    LoopbackClient first(port), second(port);
    first.send(upgrade + frame.substr(0, 150000), &loop); // held, incomplete
    std::string in1, in2;
    ASSERT_TRUE(pumpUntil(loop, [&] { return first.pull(in1) && !in1.empty(); }));
    pumpUntil(
        loop, [] { return false; }, 50ms);
    second.send(upgrade, &loop);
    second.send(frame, &loop); // within the per-message limit, but past the shared cap
    ASSERT_TRUE(pumpUntil(loop, [&] { return !second.pull(in2); }));
    EXPECT_NE(in2.find(std::string("\x88\x02\x03\xF1", 4)), std::string::npos) << "1009";
    first.send(frame.substr(150000), &loop);
    ASSERT_TRUE(pumpUntil(loop, [&] { return delivered.size() == 1; }));
    EXPECT_EQ(delivered[0], 200000u) << "the first message, held within the cap, arrives";
    second.end();
    EXPECT_TRUE(pumpUntil(loop, [&] { return srv.closed.size() == 1; }));
}

TEST(Net, ACloseFromThePeerIsAnsweredWithItsOwnCode) {
    Server srv;
    Loop loop;
    srv.onHttp = [](Conn* c, const HttpMessage& hm) { wsUpgrade(c, hm); };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    const std::string upgrade = upgradeRequest();
    // Codes that may not be sent are answered with 1002, and so is a one-byte payload.
    const std::uint16_t invalid[] = {0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535};
    std::vector<std::pair<std::string, std::string>> cases; // payload sent, close payload back
    for (const std::uint16_t code : {1000, 1001, 1011, 1012, 1014, 3000, 4321, 4999}) {
        const std::string status{char(code >> 8), char(code & 0xFF)};
        cases.emplace_back(status + "bye", status);
    }
    for (const std::uint16_t code : invalid)
        cases.emplace_back(std::string{char(code >> 8), char(code & 0xFF)}, "\x03\xEA");
    cases.emplace_back("\x03", "\x03\xEA");
    cases.emplace_back("", "");
    for (const auto& [sent, back] : cases) {
        LoopbackClient ws(port);
        ws.send(upgrade + clientFrame(kOpClose, sent));
        std::string in;
        ASSERT_TRUE(pumpUntil(loop, [&] { return !ws.pull(in); }));
        const std::string answer = std::string{'\x88', char(back.size())} + back;
        ASSERT_GE(in.size(), answer.size());
        EXPECT_EQ(in.substr(in.size() - answer.size()), answer)
            << "close payload of " << sent.size() << " bytes";
    }
}

// The close event comes with the close frame, before the answer leaves, while the socket
// lingers on; once, and never from inside a call: a frame that came with the upgrade request
// is read when a later event answers it.
TEST(Net, APeerThatSendsItsCloseHasLeftWhileItsSocketStillLingers) {
    Limits limits; // long enough that only the peer's end closes the socket
    limits.linger = limits.drainTimeout = std::chrono::minutes(1);
    Server srv;
    Loop loop(limits);
    Conn* waiting = nullptr;
    srv.onHttp = [&](Conn* c, const HttpMessage& hm) {
        if (hm.uri == "/later") {
            deferReply(c);
            waiting = c;
        } else {
            wsUpgrade(c, hm);
        }
    };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    const std::string close = clientFrame(kOpClose, "\x03\xE8");
    for (const bool withUpgrade : {false, true}) {
        SCOPED_TRACE(withUpgrade ? "close frame with the upgrade" : "close frame later");
        srv.closed.clear();
        srv.causes.clear();
        LoopbackClient ws(port);
        std::string in;
        if (withUpgrade) {
            ws.send(upgradeRequest("/later") + close);
            ASSERT_TRUE(pumpUntil(loop, [&] { return waiting != nullptr; }));
            HttpMessage request;
            request.headers = {{"Sec-WebSocket-Key", "abc"}};
            wsUpgrade(waiting, request);
            EXPECT_TRUE(srv.closed.empty()) << "a close event inside the call that upgrades";
        } else {
            ws.send(upgradeRequest());
            ASSERT_TRUE(pumpUntil(loop, [&] { return ws.pull(in) && !in.empty(); }));
            ws.send(close);
        }
        ASSERT_TRUE(pumpUntil(loop, [&] {
            ws.pull(in);
            return in.find("\x88\x02\x03\xE8") != std::string::npos;
        })) << "the close was not answered";
        ASSERT_EQ(srv.closed.size(), 1u) << "no close event before the answer left";
        EXPECT_EQ(srv.causes.front(), CloseCause::peerClosed);
        EXPECT_EQ(loop.gauges().webSockets, 1u) << "the socket lingers, waiting for the end";
        ws.end();
        ASSERT_TRUE(pumpUntil(loop, [&] { return loop.gauges().webSockets == 0; }));
        EXPECT_EQ(srv.closed.size(), 1u) << "a second close event";
    }
}

TEST(Net, DataFramesWaitTheFlushIntervalForCompanyButControlFramesDoNot) {
    using Steady = std::chrono::steady_clock;
    // The second loop's interval is longer than any wait here: only a flush that does not wait
    // for it gets its frames out.
    for (const auto interval : {std::chrono::microseconds(400ms), std::chrono::microseconds(60s)}) {
        SCOPED_TRACE("interval " + std::to_string(interval.count()) + " us");
        Limits limits;
        limits.flushInterval = interval;
        Server srv;
        Loop loop(limits);
        srv.onHttp = [](Conn* c, const HttpMessage& hm) { wsUpgrade(c, hm); };
        srv.onWs = [](Conn* c, const WsMessage& wm) { wsSend(c, wm.payload, wm.opcode); };
        const int port = freePort();
        ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
        LoopbackClient ws(port);
        ws.send(upgradeRequest());
        std::string in;
        ASSERT_TRUE(pumpUntil(loop, [&] {
            return ws.pull(in) && in.find("\r\n\r\n") != std::string::npos;
        })) << "the handshake answer does not wait";
        in.clear();

        if (interval == 400ms) {
            const auto sent = Steady::now();
            ws.send(clientFrame(kOpText, "one"));
            pumpUntil(
                loop, [] { return false; }, 150ms);
            ASSERT_TRUE(ws.pull(in));
            EXPECT_EQ(in, "") << "a data frame left before the interval was over";
            ws.send(clientFrame(kOpText, "two"));
            const std::string both = std::string("\x81\x03one\x81\x03two", 10);
            ASSERT_TRUE(pumpUntil(loop, [&] { return ws.pull(in) && in.size() >= both.size(); }))
                << "the waiting frames never left";
            EXPECT_GE(Steady::now() - sent, 400ms);
            EXPECT_EQ(in, both) << "both echoes leave together, in order";
        } else {
            // A ping is answered at once, and the data frame queued before it leaves with it.
            ws.send(clientFrame(kOpText, "three") + clientFrame(kOpPing, "p"));
            const std::string echoAndPong = std::string("\x81\x05three\x8A\x01p", 10);
            ASSERT_TRUE(pumpUntil(loop, [&] {
                return ws.pull(in) && in.size() >= echoAndPong.size();
            })) << "the pong waited for the interval";
            EXPECT_EQ(in, echoAndPong);
        }
    }
}

TEST(Net, EveryDeliveryIsCountedOnceWhetherItsFrameIsCopiedOrShared) {
    Server srv;
    Loop loop;
    std::vector<Conn*> members;
    srv.onHttp = [&](Conn* c, const HttpMessage& hm) {
        wsUpgrade(c, hm);
        members.push_back(c);
    };
    srv.onWs = [&](Conn* from, const WsMessage& wm) {
        for (Conn* m : members)
            if (m != from) wsSend(m, wm.payload, wm.opcode);
    };
    const int port = freePort();
    ASSERT_TRUE(loop.listen("127.0.0.1", port, &Server::handler, &srv));
    LoopbackClient a(port), b(port), c(port);
    for (LoopbackClient* cl : {&a, &b, &c})
        cl->send(upgradeRequest("/", "k"));
    ASSERT_TRUE(pumpUntil(loop, [&] { return members.size() == 3; }));
    std::string inB, inC;
    ASSERT_TRUE(pumpUntil(loop, [&] {
        b.pull(inB), c.pull(inC);
        return count(inB, "\r\n\r\n") == 1 && count(inC, "\r\n\r\n") == 1;
    }));
    const std::string small(100, 's'), large(3000, 'L');
    std::string burst;
    for (int i = 0; i < 5; ++i)
        burst += clientFrame(kOpBinary, small);
    burst += clientFrame(kOpBinary, large);
    a.send(burst);
    ASSERT_TRUE(pumpUntil(loop, [&] {
        b.pull(inB), c.pull(inC);
        return count(inB, small) == 5 && count(inC, small) == 5 && count(inB, large) == 1 &&
               count(inC, large) == 1;
    }));
    const LoopStats& stats = loop.stats();
    EXPECT_EQ(stats.messagesIn, 6u);
    EXPECT_EQ(stats.messagesOut, 12u) << "two receivers of six messages";
    EXPECT_EQ(stats.bytesOut, 2u * (5 * small.size() + large.size()));
}

namespace {

/// One end of a socket pair watched by the loop; the handler reads what came and counts.
struct WatchedEnd {
    int fds[2] = {-1, -1};
    FdWatch* watch = nullptr;
    int reads = 0, writes = 0;
    WatchedEnd* other = nullptr;
    bool stopOther = false; ///< the handler lets the other end's watch go

    WatchedEnd() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds); }
    ~WatchedEnd() {
        if (watch) unwatchFd(watch);
        ::close(fds[0]);
        ::close(fds[1]);
    }
    static void handler(bool readable, bool writable, void* user) {
        auto* e = static_cast<WatchedEnd*>(user);
        if (readable) {
            ++e->reads;
            char buf[64];
            while (::recv(e->fds[0], buf, sizeof buf, 0) > 0) {
            }
        }
        if (writable) ++e->writes;
        if (e->stopOther && e->other->watch) {
            unwatchFd(e->other->watch);
            e->other->watch = nullptr;
        }
    }
};

} // namespace

TEST(NetWatch, WatchedDescriptorsReportReadinessAndAWatchLetGoIsNotCalledAgain) {
    Loop loop;
    WatchedEnd a, b;
    a.other = &b;
    b.other = &a;
    a.watch = watchFd(loop, a.fds[0], &WatchedEnd::handler, &a);
    b.watch = watchFd(loop, b.fds[0], &WatchedEnd::handler, &b);
    ASSERT_TRUE(a.watch && b.watch);

    ASSERT_EQ(::send(a.fds[1], "x", 1, 0), 1);
    ASSERT_TRUE(pumpUntil(loop, [&] { return a.reads == 1; })) << "input was not reported";
    loop.poll(50ms);
    EXPECT_EQ(a.reads, 1) << "reported again with nothing new to read";
    EXPECT_EQ(b.reads, 0);
    EXPECT_EQ(a.writes, 0) << "writability reported without being asked for";

    watchWrite(a.watch, true);
    ASSERT_TRUE(pumpUntil(loop, [&] { return a.writes >= 1; })) << "room to write not reported";
    watchWrite(a.watch, false);
    loop.poll(20ms);
    const int writes = a.writes;
    loop.poll(50ms);
    EXPECT_EQ(a.writes, writes) << "writability still reported after it was no longer wanted";

    // Both ends readable in one wake-up: whichever handler runs first lets the other go.
    a.stopOther = b.stopOther = true;
    ASSERT_EQ(::send(a.fds[1], "y", 1, 0), 1);
    ASSERT_EQ(::send(b.fds[1], "z", 1, 0), 1);
    ASSERT_TRUE(pumpUntil(loop, [&] { return a.reads + b.reads >= 2; }));
    loop.poll(50ms);
    EXPECT_EQ(a.reads + b.reads, 2) << "a watch let go was called after all";
    EXPECT_TRUE((a.watch == nullptr) != (b.watch == nullptr));
}
