// Routing the admin port's requests: only its own origin on this machine is answered; the
// documents come from the core, and moderation requests are read here and carried out there.
#include "AdminEndpoint.hpp"

#include "AdminAccess.hpp"
#include "AdminRequest.hpp"
#include "RelayCore.hpp"
#include "text/JsonText.hpp"
#include "text/Text.hpp"
#include "text/UrlQuery.hpp"

#include <algorithm>

namespace tnlrelay {

namespace {

constexpr std::string_view kHtmlHeaders = "Content-Type: text/html; charset=utf-8\r\n";
constexpr std::string_view kMetricsHeaders = "Content-Type: text/plain; version=0.0.4; "
                                             "charset=utf-8\r\nCache-Control: no-store\r\n";
constexpr std::string_view kOkReply = "{\"ok\":true}";

/// The most log bytes one /api/log request reads.
constexpr std::uint64_t kLogReadLimit = 262144;
/// The most log bytes a request with "max" reads on (the page asks again while more is pending).
constexpr std::uint64_t kLogPageLimit = 65536;

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

/// /api/kick, /api/ban and /api/unban.
void moderate(RelayCore& core, net::Conn* c, std::string_view path, std::string_view text) {
    auto body = detail::parseBody(text);
    if (!body.is_object()) {
        replyBadRequest(c, "the body must be a JSON object");
        return;
    }
    if (path == "/api/kick") {
        auto connId = detail::connIdMember(body);
        if (!connId) {
            replyBadRequest(c, "connId must be a number or a boolean");
            return;
        }
        core.kick(*connId);
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
    } else {
        auto ip = detail::stringMember(body, "ip");
        if (!ip) {
            replyBadRequest(c, "ip must be a string");
            return;
        }
        stored = core.unban(*ip);
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

void AdminEndpoint::onRequest(RelayCore& core, const RelayLog& log, net::Conn* c,
                              const net::HttpMessage& hm) const {
    if (!detail::adminRequestAllowed(hm.header("Host"), hm.header("Origin"))) {
        net::reply(c, 403, "Content-Type: text/plain; charset=utf-8\r\n",
                   "forbidden: the admin page answers only its own origin on this machine\n");
        return;
    }

    const std::string_view path = hm.uri;
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
    if (path == "/api/kick" || path == "/api/ban" || path == "/api/unban") {
        moderate(core, c, path, hm.body);
        return;
    }
    net::reply(c, 200, kHtmlHeaders, page_);
}

} // namespace tnlrelay
