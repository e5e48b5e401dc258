// Moderation (kick, ban, unban) and the admin endpoint on the loopback listener: the state
// document, the live log, the moderation requests and the admin page.
#include "AdminAccess.hpp"
#include "AdminRequest.hpp"
#include "JsonText.hpp"
#include "RelayCore.hpp"
#include "Text.hpp"
#include "UrlQuery.hpp"

namespace tnlrelay {

namespace {

constexpr std::string_view kHtmlHeaders = "Content-Type: text/html; charset=utf-8\r\n";
constexpr std::string_view kMetricsHeaders = "Content-Type: text/plain; version=0.0.4; "
                                             "charset=utf-8\r\nCache-Control: no-store\r\n";
constexpr std::string_view kOkReply = "{\"ok\":true}";

/// The most log bytes one /api/log request reads.
constexpr std::uint64_t kLogReadLimit = 262144;

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

} // namespace

void RelayCore::kick(std::uint32_t connId) {
    auto it = connections.find(connId);
    if (it == connections.end() || it->second.conn == nullptr) return;
    // The entry stays until the close event: that is where the room and the tables let go.
    net::setDraining(it->second.conn);
    ++counters.kicks;
    log.info("KICK connId=" + std::to_string(connId) + " ip=" + detail::logValue(it->second.ip));
}

bool RelayCore::banHere(const std::string& ip, const std::string& name) {
    if (ip.empty()) return true;
    // The change is made to the newest version of the file, never over a hand edit.
    pickUpConfigChanges();
    std::string stored = name;
    if (stored.empty()) {
        for (const auto& [id, info] : connections) {
            if (info.ip == ip && !info.name.empty()) {
                stored = info.name;
                break;
            }
        }
    }
    store.config().bans[ip] = stored;
    ++counters.bans;
    // The file is written before the line, so a logged ban is one the next start knows unless
    // an ERROR line follows; a failed save keeps the ban for this run and is retried.
    const bool saved = store.save(counters);
    std::string line = "BAN ip=" + detail::logValue(ip);
    if (!stored.empty()) line += " name=" + detail::logValue(stored);
    log.info(line);
    if (!saved) store.logUnsaved(log, line);
    for (const auto& [id, info] : connections) {
        if (info.ip == ip && info.conn != nullptr) net::setDraining(info.conn);
    }
    return saved;
}

bool RelayCore::unbanHere(const std::string& ip) {
    pickUpConfigChanges();
    if (store.config().bans.erase(ip) == 0) return true;
    ++counters.unbans;
    const bool saved = store.save(counters);
    const std::string line = "UNBAN ip=" + detail::logValue(ip);
    log.info(line);
    if (!saved) store.logUnsaved(log, line);
    return saved;
}

bool RelayCore::isBanned(const std::string& ip) const {
    return store.config().bans.count(ip) != 0;
}

void RelayCore::adminHandler(net::Conn* c, net::Event ev, const void* eventData, void* userData) {
    if (userData == nullptr || ev != net::Event::httpMsg || eventData == nullptr) return;
    static_cast<RelayCore*>(userData)->onAdminHttp(
        c, *static_cast<const net::HttpMessage*>(eventData));
}

void RelayCore::onAdminHttp(net::Conn* c, const net::HttpMessage& hm) {
    if (!detail::adminRequestAllowed(hm.header("Host"), hm.header("Origin"))) {
        net::reply(c, 403, "Content-Type: text/plain; charset=utf-8\r\n",
                   "forbidden: the admin page answers only its own origin on this machine\n");
        return;
    }

    const std::string_view path = hm.uri;
    if (path == "/metrics") {
        net::reply(c, 200, kMetricsHeaders, metricsText());
        return;
    }
    if (path == "/healthz") {
        replyJson(c, healthJson());
        return;
    }
    if (path == "/api/stats") {
        replyJson(c, statsJson());
        return;
    }
    if (path == "/api/state") {
        replyJson(c, stateJson());
        return;
    }
    if (path == "/api/log") {
        auto since = detail::sinceOffset(detail::queryVar(hm.query, "since"));
        LogChunk chunk = log.readSince(since, kLogReadLimit);
        nlohmann::json body = {
            {"lines", chunk.lines}, {"offset", chunk.nextOffset}, {"reset", chunk.reset}};
        replyJson(c, detail::jsonText(body));
        return;
    }
    if (path == "/api/kick" || path == "/api/ban" || path == "/api/unban") {
        auto body = detail::parseBody(hm.body);
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
            kick(*connId);
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
            stored = ban(*ip, *name);
        } else {
            auto ip = detail::stringMember(body, "ip");
            if (!ip) {
                replyBadRequest(c, "ip must be a string");
                return;
            }
            stored = unban(*ip);
        }
        if (!stored) {
            replyFailure(c, 500,
                         "the change is in effect but config.json could not be written; the "
                         "relay keeps trying, and a restart before it succeeds loses the change");
            return;
        }
        replyJson(c, kOkReply);
        return;
    }
    net::reply(c, 200, kHtmlHeaders, adminHtml);
}

} // namespace tnlrelay
