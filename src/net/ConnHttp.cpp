// HTTP on a connection: pipelined requests read and handed over one at a time, replies, and the
// upgrade that turns the connection into a WebSocket.
#include "LoopInternals.hpp"
#include "text/Text.hpp"

#include <boost/beast/http/status.hpp>

namespace tnlrelay::net {

namespace http = boost::beast::http;

// Reads and answers the requests that have arrived, one at a time: a pipelined request waits
// until the reply before it has been written.
void Loop::Impl::processHttp(Conn* c) {
    while (canReadRequest(c)) {
        const HttpParse outcome = c->http->parse();
        if (outcome == HttpParse::needMore) return;
        if (outcome != HttpParse::complete) {
            refuseRequest(c, outcome);
            return;
        }
        if (!deliverRequest(c)) return;
    }
}

bool Loop::Impl::canReadRequest(const Conn* c) const {
    return !c->closed && !c->draining && !stopping && !c->paused && c->kind == Kind::http &&
           c->http->hasInput();
}

// A request that cannot be read is answered with its status, and the connection ends.
void Loop::Impl::refuseRequest(Conn* c, HttpParse outcome) {
    if (outcome == HttpParse::headerTooLarge || outcome == HttpParse::bodyTooLarge)
        ++stats.refusedLimits;
    c->keepAlive = false;
    reply(c, refusalStatus(outcome), "", refusalBody(outcome));
    setDraining(c);
}

// Hands a complete request to the handler; false when the connection reads no more requests
// (it upgraded, closes, or waits for its reply to be written).
bool Loop::Impl::deliverRequest(Conn* c) {
    c->keepAlive = c->http->keepAlive();
    // The handler may upgrade the connection, which ends its HTTP state: keep the request and
    // the bytes after it alive until the handler returns.
    std::unique_ptr<HttpRequestReader> reader = std::move(c->http);
    dispatch(c, Event::httpMsg, &reader->request());
    if (c->closed || c->draining) return false;
    if (c->kind == Kind::ws) {
        // Bytes that followed the upgrade request are the first frames.
        std::string& early = reader->input();
        if (!early.empty()) feedFrames(c, early.data(), early.size());
        return false;
    }
    c->http = std::move(reader);
    if (!c->out.empty()) c->paused = true;
    return !c->paused;
}

void reply(Conn* c, int status, std::string_view extraHeaders, std::string_view body) {
    if (c->closed || c->sendShut) return;
    Loop::Impl& m = *c->loop;
    const auto reason = http::obsolete_reason(http::int_to_status(static_cast<unsigned>(status)));
    std::string head;
    head.reserve(64 + extraHeaders.size());
    head += "HTTP/1.1 ";
    head += std::to_string(status);
    head += ' ';
    head.append(reason.data(), reason.size());
    head += "\r\n";
    head.append(extraHeaders.data(), extraHeaders.size());
    head += "Content-Length: ";
    head += std::to_string(body.size());
    head += "\r\n\r\n";
    c->out.append(head.data(), head.size());
    c->out.append(body.data(), body.size());
    c->lastHeard = m.now = Clock::now(); // the next request has its own time from now
    m.markDirty(c);
    if (!c->keepAlive) setDraining(c);
}

void deferReply(Conn* c) {
    // Like a reply being written: the next request waits, and so does reading.
    if (!c->closed && c->kind == Kind::http && !c->draining) c->paused = true;
}

namespace {

// The 101 answer to an upgrade request with a key, echoing the first sub-protocol offered.
std::string upgradeAnswer(std::string_view key, const HttpMessage& request) {
    std::string answer =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: ";
    answer += wsAcceptKey(key);
    answer += "\r\n";
    if (const std::string_view* offered = request.header("Sec-WebSocket-Protocol")) {
        const std::string_view first = trimBlanks(offered->substr(0, offered->find(',')));
        if (!first.empty()) {
            answer += "Sec-WebSocket-Protocol: ";
            answer.append(first.data(), first.size());
            answer += "\r\n";
        }
    }
    answer += "\r\n";
    return answer;
}

} // namespace

void wsUpgrade(Conn* c, const HttpMessage& request) {
    if (c->closed || c->kind != Kind::http) return;
    Loop::Impl& m = *c->loop;
    // Answered after the handler that got the request (see deferReply): the reader holds the
    // bytes that followed the request, the first frames.
    std::unique_ptr<HttpRequestReader> deferred = std::move(c->http);
    if (deferred) c->paused = false;
    const std::string_view* key = request.header("Sec-WebSocket-Key");
    if (!key || trimBlanks(*key).empty()) {
        if (deferred) c->http = std::move(deferred);
        ++m.stats.refusedNoKey;
        c->keepAlive = false;
        reply(c, 426, "", "expected websocket\n");
        setDraining(c);
        return;
    }
    const std::string answer = upgradeAnswer(trimBlanks(*key), request);
    c->out.append(answer.data(), answer.size());
    c->kind = Kind::ws;
    ++m.webSockets;
    c->sendable = true;
    c->frames.emplace(&m.budget);
    c->lastHeard = m.now;
    m.markDirty(c);
    if (deferred) {
        std::string& early = deferred->input();
        if (!early.empty()) m.feedFrames(c, early.data(), early.size());
        m.armRead(c);
    }
}

} // namespace tnlrelay::net
