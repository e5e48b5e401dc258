// Routing the admin port's requests: only its own origin on this machine is answered; the
// documents come from the core, and moderation requests are read here and carried out there.
#include "AdminEndpoint.hpp"

#include "AdminAccess.hpp"
#include "AdminRequest.hpp"
#include "RelayCore.hpp"
#include "text/JsonText.hpp"
#include "text/UrlQuery.hpp"

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
        LaterReply answer(core, c);
        core.kickAnywhere(
            *connId, [answer](bool asked) { answer(500, asked ? nullptr : kKickUnreachable); });
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
    if (name)
        core.banAnywhere(*ip, *name, done);
    else
        core.unbanAnywhere(*ip, done);
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
    if (path == "/api/log") {
        auto since = detail::sinceOffset(detail::queryVar(hm.query, "since"));
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
    if (path == "/api/kick" || path == "/api/ban" || path == "/api/unban") {
        moderate(core, c, path, hm.body);
        return;
    }
    net::reply(c, 200, kHtmlHeaders, page_);
}

} // namespace tnlrelay
