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
        if (core.kick(*connId)) byAccount("KICK connId=" + std::to_string(*connId));
        replyJson(c, kOkReply);
        return;
    }
    bool stored = true;
    if (path == "/api/ban") {
        auto name = detail::stringMember(body, "name");
        auto ip = detail::stringMember(body, "ip");
        if (!name) {
            replyBadRequest(c, "name must be a string");
            return;
        }
        if (!ip) {
            replyBadRequest(c, "ip must be a string");
            return;
        }
        stored = core.ban(*ip, *name);
        if (!ip->empty()) byAccount("BAN ip=" + detail::logValue(*ip));
    } else {
        auto ip = detail::stringMember(body, "ip");
        if (!ip) {
            replyBadRequest(c, "ip must be a string");
            return;
        }
        const bool wasBanned = core.isBanned(*ip);
        stored = core.unban(*ip);
        if (wasBanned) byAccount("UNBAN ip=" + detail::logValue(*ip));
    }
    if (!stored) {
        replyFailure(c, 500,
                     "the change is in effect but config.json could not be written; the "
                     "relay keeps trying, and a restart before it succeeds loses the change");
        return;
    }
    replyJson(c, kOkReply);
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
    if (isModeration(path)) {
        if (access.session && !mayChange(c, hm, *access.session, true)) return;
        moderate(core, log, c, path, hm.body, access.session);
        return;
    }
    net::reply(c, 200, access.loginNeeded ? kSessionPageHeaders : kHtmlHeaders, page_);
}

} // namespace tnlrelay
