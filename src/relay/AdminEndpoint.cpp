// Routing the admin port's requests: who may ask (this machine, or another one over TLS with a
// session), which paths need a session, and the moderation requests, read here and carried out
// by the core, with one line naming the account that asked.
#include "AdminEndpoint.hpp"

#include "AdminRequest.hpp"
#include "RelayCore.hpp"
#include "text/JsonText.hpp"
#include "text/Text.hpp"
#include "text/UrlQuery.hpp"

#include <algorithm>

namespace tnlrelay {

namespace {

constexpr std::string_view kHtmlHeaders = "Content-Type: text/html; charset=utf-8\r\n";
constexpr std::string_view kTextHeaders = "Content-Type: text/plain; charset=utf-8\r\n";
constexpr std::string_view kMetricsHeaders = "Content-Type: text/plain; version=0.0.4; "
                                             "charset=utf-8\r\nCache-Control: no-store\r\n";
/// The page served to sessions: never framed by another site's page.
constexpr std::string_view kSessionPageHeaders =
    "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nX-Frame-Options: "
    "DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n";
constexpr std::string_view kOkReply = "{\"ok\":true}";

/// The most log bytes one /api/log request reads.
constexpr std::uint64_t kLogReadLimit = 262144;
/// The most log bytes a request with "max" reads on (the page asks again while more is pending).
constexpr std::uint64_t kLogPageLimit = 65536;

/// Another machine asked without TLS: nothing of the API, only how to ask instead.
constexpr std::string_view kTlsRequiredPage =
    "<!doctype html><meta charset=\"utf-8\"><title>TLS required</title><body style=\"font-family:"
    "system-ui,sans-serif;padding:24px\"><h2>This admin page needs TLS</h2><p>The relay answers "
    "other machines over TLS only, so that passwords and sessions never cross the network in "
    "clear text. Open this address with <b>https://</b> instead of http://.</p></body>\n";

void replyJson(net::Conn* c, std::string_view body) {
    net::reply(c, 200, detail::kJsonHeaders, body);
}

/// A request we cannot act on (400) or could not carry out in full (500): the reason, in the
/// JSON the page already reads.
void replyFailure(net::Conn* c, int status, const char* reason) {
    nlohmann::json body = {{"error", reason}, {"ok", false}};
    net::reply(c, status, detail::kJsonHeaders, detail::jsonText(body));
}

void replyBadRequest(net::Conn* c, const char* reason) {
    replyFailure(c, 400, reason);
}

bool isModeration(std::string_view path) {
    return path == "/api/kick" || path == "/api/ban" || path == "/api/unban";
}

constexpr const char* kNotSaved =
    "the change is in effect but config.json could not be written; the relay keeps trying, and "
    "a restart before it succeeds loses the change";
constexpr const char* kNotShared =
    "the change is in effect on this node and saved, but Redis could not store it, so the other "
    "nodes do not have it yet; this node keeps trying until Redis takes it";
constexpr const char* kKickUnreachable =
    "connId is not on this node, and the other nodes cannot be asked while the link to Redis is "
    "down";

/// Answers a request whose outcome may come after its handler returned (from the other nodes
/// of a cluster): the answer goes to the connection if it is still open.
class LaterReply {
public:
    LaterReply(RelayCore& core, net::Conn* c) : core_(&core), id_(net::connId(c)) {
        core.holdAdminReply(c);
    }
    void operator()(int status, const char* error) const {
        net::Conn* c = core_->takeAdminReply(id_);
        if (c == nullptr) return;
        if (error)
            replyFailure(c, status, error);
        else
            replyJson(c, kOkReply);
    }
    /// After the call that may have answered at once: otherwise the answer comes later.
    static void deferUnlessAnswered(RelayCore& core, net::Conn* c) {
        if (net::Conn* held = core.takeAdminReply(net::connId(c))) {
            core.holdAdminReply(held);
            net::deferReply(c);
        }
    }

private:
    RelayCore* core_;
    net::ConnId id_;
};

/// /api/kick, /api/ban and /api/unban; `account`, when a session asked, is named in one line
/// beside each moderation line the core writes.
void moderate(RelayCore& core, RelayLog& log, net::Conn* c, std::string_view path,
              std::string_view text, const AdminSession* session) {
    auto body = detail::parseBody(text);
    if (!body.is_object()) {
        replyBadRequest(c, "the body must be a JSON object");
        return;
    }
    auto byAccount = [&](const std::string& what) {
        if (session) log.info("ADMIN account=" + detail::logValue(session->name) + " " + what);
    };
    if (path == "/api/kick") {
        auto connId = detail::connIdMember(body);
        if (!connId) {
            replyBadRequest(c, "connId must be a number or a boolean");
            return;
        }
        LaterReply answer(core, c);
        const bool here = core.kickAnywhere(
            *connId, [answer](bool asked) { answer(500, asked ? nullptr : kKickUnreachable); });
        if (here || core.clusterActive()) byAccount("KICK connId=" + std::to_string(*connId));
        LaterReply::deferUnlessAnswered(core, c);
        return;
    }
    std::optional<std::string> ip = detail::stringMember(body, "ip");
    std::optional<std::string> name;
    if (path == "/api/ban") {
        name = detail::stringMember(body, "name");
        if (!name) {
            replyBadRequest(c, "name must be a string");
            return;
        }
    }
    if (!ip) {
        replyBadRequest(c, "ip must be a string");
        return;
    }
    LaterReply answer(core, c);
    auto done = [answer](bool saved, bool shared) {
        answer(500, !saved ? kNotSaved : !shared ? kNotShared : nullptr);
    };
    if (name) {
        core.banAnywhere(*ip, *name, done);
        if (!ip->empty()) byAccount("BAN ip=" + detail::logValue(*ip));
    } else {
        const bool wasBanned = core.isBanned(*ip);
        core.unbanAnywhere(*ip, done);
        if (wasBanned) byAccount("UNBAN ip=" + detail::logValue(*ip));
    }
    LaterReply::deferUnlessAnswered(core, c);
}

/// A paging number of the query: `fallback` when absent or not a plain decimal, at most `most`.
std::size_t pageVar(std::string_view query, const char* name, std::size_t fallback,
                    std::size_t most) {
    const std::string text = detail::queryVar(query, name);
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    return std::min<std::size_t>(std::stoul(text), most);
}

/// /api/cluster: one page of the whole cluster, answered once the other nodes have sent their
/// part of it.
void clusterPage(RelayCore& core, net::Conn* c, std::string_view query) {
    constexpr std::size_t kDefaultLimit = 100, kMostLimit = 1000, kMostOffset = 100000000;
    const std::size_t offset = pageVar(query, "offset", 0, kMostOffset);
    const std::size_t limit = pageVar(query, "limit", kDefaultLimit, kMostLimit);
    const std::size_t roomOffset = pageVar(query, "roomOffset", 0, kMostOffset);
    const std::size_t roomLimit = pageVar(query, "roomLimit", kDefaultLimit, kMostLimit);
    const net::ConnId id = net::connId(c);
    core.holdAdminReply(c);
    core.clusterView(offset, limit, roomOffset, roomLimit, [&core, id](std::string page) {
        net::Conn* held = core.takeAdminReply(id);
        if (held == nullptr) return;
        if (page.empty())
            replyFailure(held, 404, "this relay is not a node of a cluster (no clusterRedis)");
        else
            replyJson(held, page);
    });
    LaterReply::deferUnlessAnswered(core, c);
}

} // namespace

void AdminEndpoint::onRequest(RelayCore& core, RelayLog& log, net::Conn* c,
                              const net::HttpMessage& hm) {
    Access access;
    access.local = peers_.isLocal(net::peerAddress(c));
    access.tls = net::isTls(c);
    const std::string_view* host = hm.header("Host");
    const std::string_view* origin = hm.header("Origin");
    if (!access.local) {
        // Only a listener opened to other machines meets them; one that was not is refused
        // whatever it is asked.
        if (!remote_) {
            net::reply(c, 403, kTextHeaders,
                       "forbidden: the admin port answers only this machine\n");
            return;
        }
        if (!access.tls) {
            net::reply(c, 403, kHtmlHeaders, kTlsRequiredPage);
            return;
        }
        // Any name may reach the relay from afar: the session and its token guard the API.
        if (!detail::sameOrigin(host, origin, true)) {
            net::reply(c, 403, kTextHeaders,
                       "forbidden: the admin page answers only requests from its own origin\n");
            return;
        }
    } else if (!detail::adminRequestAllowed(host, origin, access.tls)) {
        net::reply(c, 403, kTextHeaders,
                   "forbidden: the admin page answers only its own origin on this machine\n");
        return;
    }
    access.loginNeeded = !access.local || settings_.loginOnLoopback;
    if (access.loginNeeded) {
        access.token = AdminSessions::tokenOf(hm.header("Cookie"));
        if (!access.token.empty()) access.session = sessions_.find(access.token, Clock::now());
    }
    route(core, log, c, hm, access);
}

void AdminEndpoint::route(RelayCore& core, RelayLog& log, net::Conn* c, const net::HttpMessage& hm,
                          const Access& access) {
    const std::string_view path = hm.uri;
    if (path == "/api/session") {
        answerSession(c, access);
        return;
    }
    if (path == "/api/login") {
        if (!access.loginNeeded)
            replyBadRequest(c, "this connection needs no login");
        else if (hm.method != "POST")
            replyFailure(c, 405, "log in with a POST of a JSON body");
        else
            login(c, hm);
        return;
    }
    if (path == "/api/logout") {
        logout(log, c, hm, access);
        return;
    }
    // Monitoring stays open to this machine, where scrapers and health checks cannot log in.
    const bool monitoring = path == "/metrics" || path == "/healthz";
    const bool api = monitoring || path.starts_with("/api/");
    if (access.loginNeeded && !access.session && api && !(monitoring && access.local)) {
        replyFailure(c, 401, "log in first");
        return;
    }
    if (path == "/metrics") {
        net::reply(c, 200, kMetricsHeaders, core.metricsText());
        return;
    }
    if (path == "/healthz") {
        bool draining = false;
        const std::string health = core.healthJson(&draining);
        net::reply(c, draining ? 503 : 200, detail::kJsonHeaders, health);
        return;
    }
    if (path == "/api/stats") {
        replyJson(c, core.statsJson());
        return;
    }
    if (path == "/api/state") {
        replyJson(c, core.stateJson());
        return;
    }
    if (path == "/api/summary") {
        replyJson(c, core.summaryJson());
        return;
    }
    if (path == "/api/players" || path == "/api/rooms") {
        detail::PageRequest request;
        if (const char* bad = detail::readPageRequest(hm.query, request)) {
            replyBadRequest(c, bad);
            return;
        }
        replyJson(c,
                  path == "/api/players" ? core.playersJson(request) : core.roomPageJson(request));
        return;
    }
    if (path == "/api/log") {
        auto since = detail::sinceOffset(detail::queryVar(hm.query, "since"));
        if (const std::string max = detail::queryVar(hm.query, "max"); !max.empty()) {
            // Reading on from "since", a page at a time, never skipping ahead.
            const std::uint64_t bytes = detail::sinceOffset(max);
            if (!allDigits(max) || bytes == 0) {
                replyBadRequest(c, "max must be a whole number of 1 or more");
                return;
            }
            LogChunk chunk = log.readOn(since, std::min(bytes, kLogPageLimit));
            nlohmann::json body = {{"lines", chunk.lines},
                                   {"offset", chunk.nextOffset},
                                   {"pending", chunk.pending},
                                   {"reset", chunk.reset}};
            replyJson(c, detail::jsonText(body));
            return;
        }
        LogChunk chunk = log.readSince(since, kLogReadLimit);
        nlohmann::json body = {
            {"lines", chunk.lines}, {"offset", chunk.nextOffset}, {"reset", chunk.reset}};
        replyJson(c, detail::jsonText(body));
        return;
    }
    if (path == "/api/cluster") {
        clusterPage(core, c, hm.query);
        return;
    }
    if (isModeration(path)) {
        if (access.session && !mayChange(c, hm, *access.session, true)) return;
        moderate(core, log, c, path, hm.body, access.session);
        return;
    }
    net::reply(c, 200, access.loginNeeded ? kSessionPageHeaders : kHtmlHeaders, page_);
}

} // namespace tnlrelay
