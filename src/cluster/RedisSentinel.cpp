// Asking Sentinels where the master is, and following their fail-overs.
#include "RedisSentinel.hpp"

#include <hiredis/hiredis.h>

namespace tnlrelay::cluster {

namespace {

/// Sentinels are asked without a login (theirs is not the master's).
RedisAddress noLogin() {
    return {};
}

} // namespace

RedisSentinel::RedisSentinel(net::Loop& loop, const RedisAddress& address,
                             const net::TlsClientContext* tls)
    : sentinels_(address.servers), name_(address.master),
      link_(loop, address.servers.front(), noLogin(), tls) {
    link_.onState([this](bool up, const std::string& reason) { onLink(up, reason); });
    link_.onPush([this](const redisReply& r) { onPush(r); });
}

void RedisSentinel::onLink(bool up, const std::string& reason) {
    if (!up) {
        const std::string which = link_.target().text();
        if (!quiet_ && trouble_) trouble_("Sentinel " + which + ": " + reason);
        quiet_ = false;
        // The next Sentinel, in turn.
        current_ = (current_ + 1) % sentinels_.size();
        link_.retarget(sentinels_[current_], false);
        return;
    }
    asked_ = Clock::now();
    link_.command({"SENTINEL", "get-master-addr-by-name", name_}, [this](const redisReply* r) {
        if (r == nullptr) return;
        if (r->type == REDIS_REPLY_ARRAY && r->elements == 2 &&
            r->element[0]->type == REDIS_REPLY_STRING &&
            r->element[1]->type == REDIS_REPLY_STRING) {
            found(replyText(*r->element[0]), replyText(*r->element[1]));
            return;
        }
        link_.fail(r->type == REDIS_REPLY_ERROR ? errorText(r)
                                                : "it knows no master called " + name_);
    });
    // Announcements only: a subscribed connection takes no other commands, so asking again
    // means connecting again.
    link_.send({"SUBSCRIBE", "+switch-master"});
}

void RedisSentinel::onPush(const redisReply& r) {
    // "message", "+switch-master", "<name> <old ip> <old port> <new ip> <new port>"
    if (r.type != REDIS_REPLY_ARRAY || r.elements != 3 || replyText(*r.element[0]) != "message")
        return;
    std::string_view text = replyText(*r.element[2]);
    std::vector<std::string_view> words;
    while (!text.empty() && words.size() < 6) {
        const auto blank = text.find(' ');
        words.push_back(text.substr(0, blank));
        text = blank == std::string_view::npos ? std::string_view{} : text.substr(blank + 1);
    }
    if (words.size() == 5 && words[0] == name_) found(words[3], words[4]);
}

void RedisSentinel::found(std::string_view host, std::string_view port) {
    const bool v6 = host.find(':') != std::string_view::npos;
    std::string text;
    if (v6) text += '[';
    text += host;
    if (v6) text += ']';
    text += ':';
    text += port;
    auto master = parseRedisEndpoint(text);
    if (!master) {
        link_.fail("it names an unusable master address");
        return;
    }
    if (master_) master_(*master);
}

void RedisSentinel::askAgain(Clock::time_point now) {
    if (!link_.up() || now - asked_ < kAskInterval) return;
    asked_ = now;
    quiet_ = true;
    link_.fail("asking again");
}

} // namespace tnlrelay::cluster
