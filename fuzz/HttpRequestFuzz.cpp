// Fuzz target: the HTTP request path of both listeners. Bytes arrive in pieces; each complete
// request goes through what the game and admin endpoints read of it (query variables, the
// loopback and origin checks, which peers are local, the admin and login bodies and their
// members, the log offset).
#include "net/HttpParse.hpp"
#include "relay/AdminAccess.hpp"
#include "relay/AdminRequest.hpp"
#include "text/JsonText.hpp"
#include "text/UrlQuery.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace tnlrelay;

namespace {

void handleLikeBothListeners(const net::HttpMessage& request) {
    for (const char* name : {"room", "player", "name", "max", "pid", "game", "listed", "owner",
                             "cat", "thumb", "project", "since"}) {
        std::string value = detail::queryVar(request.query, name);
        if (value.size() >= 256) std::abort();
    }
    (void)detail::sinceOffset(detail::queryVar(request.query, "since"));
    (void)detail::adminRequestAllowed(request.header("Host"), request.header("Origin"));
    (void)detail::sameOrigin(request.header("Host"), request.header("Origin"), true);
    if (const std::string_view* host = request.header("Host")) (void)LocalPeers().isLocal(*host);
    nlohmann::json body = detail::parseBody(request.body);
    if (body.is_object()) {
        (void)detail::connIdMember(body);
        (void)detail::stringMember(body, "ip");
        (void)detail::stringMember(body, "name");
        (void)detail::stringMember(body, "password");
    }
    (void)detail::jsonText(body);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t piece = 1 + data[0] % 200;
    // Small limits, so that the refusals for size are reached as well.
    net::HttpRequestReader reader(512, 1024);
    std::size_t pos = 1;
    int requests = 0;
    while (pos < size && requests < 64) {
        const std::size_t n = std::min(piece, size - pos);
        reader.append(reinterpret_cast<const char*>(data) + pos, n);
        pos += n;
        for (;;) {
            net::HttpParse outcome = reader.parse();
            if (outcome == net::HttpParse::needMore) break;
            if (outcome != net::HttpParse::complete) {
                const int status = net::refusalStatus(outcome);
                if (status < 400 || status > 499 || net::refusalBody(outcome).empty()) std::abort();
                return 0;
            }
            handleLikeBothListeners(reader.request());
            if (++requests >= 64 || !reader.hasInput()) break;
        }
    }
    return 0;
}
