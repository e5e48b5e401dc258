// The Redis connection: look up, connect, write, read, parse, reconnect.
#include "RedisLink.hpp"

#include <hiredis/hiredis.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace tnlrelay::cluster {

namespace {
constexpr auto kMaxBackoff = std::chrono::milliseconds(1000);
constexpr std::size_t kReadChunk = 65536;

/// The addresses of `host`, IPv4 and IPv6, in the order the resolver gives them.
std::vector<RedisLink::Endpoint> resolve(const std::string& host, int port, bool numericOnly) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    std::vector<RedisLink::Endpoint> out;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return out;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        RedisLink::Endpoint e;
        if (a->ai_addrlen > e.addr.size()) continue;
        std::memcpy(e.addr.data(), a->ai_addr, a->ai_addrlen);
        e.len = static_cast<unsigned>(a->ai_addrlen);
        out.push_back(e);
    }
    freeaddrinfo(found);
    return out;
}

bool numericHost(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

} // namespace

std::string_view replyText(const redisReply& r) {
    if (r.type != REDIS_REPLY_STRING && r.type != REDIS_REPLY_STATUS) return {};
    return {r.str, r.len};
}

bool isError(const redisReply* r) {
    return r == nullptr || r->type == REDIS_REPLY_ERROR;
}

std::string errorText(const redisReply* r) {
    if (r == nullptr) return "no answer";
    return std::string(r->str, r->len);
}

/// What a lookup thread hands back. The thread keeps its share, so a link that is destroyed or
/// gives up waiting never leaves it writing into freed memory.
struct RedisLink::Lookup {
    std::mutex mutex;
    bool done = false;
    std::vector<Endpoint> endpoints;
};

RedisLink::RedisLink(net::Loop& loop, RedisAddress address)
    : loop_(loop), address_(std::move(address)) {}

RedisLink::~RedisLink() {
    reset();
}

void RedisLink::reset() {
    if (watch_) net::unwatchFd(watch_);
    watch_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_ = false;
    ready_ = false;
    if (reader_) redisReaderFree(reader_);
    reader_ = nullptr;
    out_.clear();
    outSent_ = 0;
    ++generation_;
}

void RedisLink::close() {
    pending_.clear();
    lookup_.reset();
    reset();
}

void RedisLink::drop(const std::string& reason) {
    const bool wasConnected = connected_;
    reset();
    // Whoever waits for an answer learns that none will come, in the order they asked.
    std::deque<Pending> failed;
    failed.swap(pending_);
    for (Pending& p : failed)
        if (p.reply) p.reply(nullptr);
    if (wasConnected) nextEndpoint_ = endpoints_.size(); // looked up again before reconnecting
    if (!wasConnected && nextEndpoint_ < endpoints_.size()) {
        nextAttempt_ = Clock::now(); // the host's next address, at once
    } else {
        nextAttempt_ = Clock::now() + backoff_;
        backoff_ = std::min(kMaxBackoff, backoff_ * 2);
    }
    if (state_) state_(false, wasConnected ? reason : "connect failed: " + reason);
}

void RedisLink::tick(Clock::time_point now) {
    if (fd_ < 0) {
        if (lookup_)
            pollLookup(now);
        else if (now >= nextAttempt_)
            nextEndpoint_ < endpoints_.size() ? startConnect(now) : startLookup(now);
        return;
    }
    if (!connected_ && now - connectStarted_ > kAnswerTimeout) {
        drop("connect timed out");
        return;
    }
    if (!pending_.empty() && now - pending_.front().sent > kAnswerTimeout)
        drop("Redis does not answer");
}

void RedisLink::startLookup(Clock::time_point now) {
    // Looked up anew once every address was tried: a fail-over may have moved the name.
    endpoints_.clear();
    nextEndpoint_ = 0;
    if (numericHost(address_.host)) {
        endpoints_ = resolve(address_.host, address_.port, true);
        if (endpoints_.empty()) {
            drop("cannot use the address " + address_.host);
            return;
        }
        startConnect(now);
        return;
    }
    lookup_ = std::make_shared<Lookup>();
    lookupStarted_ = now;
    try {
        std::thread([lookup = lookup_, host = address_.host, port = address_.port] {
            std::vector<Endpoint> found = resolve(host, port, false);
            const std::lock_guard<std::mutex> lock(lookup->mutex);
            lookup->endpoints = std::move(found);
            lookup->done = true;
        }).detach();
    } catch (const std::system_error&) {
        lookup_.reset(); // out of threads for now: tried again after the usual delay
        drop("cannot look up " + address_.host + " now");
    }
}

void RedisLink::pollLookup(Clock::time_point now) {
    bool done = false;
    {
        const std::lock_guard<std::mutex> lock(lookup_->mutex);
        done = lookup_->done;
        if (done) endpoints_ = std::move(lookup_->endpoints);
    }
    if (!done && now - lookupStarted_ <= kAnswerTimeout) return;
    lookup_.reset(); // an answer that comes later goes nowhere
    if (endpoints_.empty()) {
        drop(done ? "cannot resolve " + address_.host
                  : "the name service does not answer for " + address_.host);
        return;
    }
    startConnect(now);
}

void RedisLink::startConnect(Clock::time_point now) {
    connectStarted_ = now;
    const Endpoint& to = endpoints_[nextEndpoint_++];
    const auto* sa = reinterpret_cast<const sockaddr*>(to.addr.data());
    fd_ = ::socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        drop(std::strerror(errno));
        return;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int rc = ::connect(fd_, sa, to.len);
    const int err = errno;
    if (rc != 0 && err != EINPROGRESS) {
        drop(std::strerror(err));
        return;
    }
    reader_ = redisReaderCreate();
    watch_ = net::watchFd(loop_, fd_, &RedisLink::watchHandler, this);
    if (!watch_ || !reader_) {
        drop("cannot watch the socket");
        return;
    }
    net::watchWrite(watch_, true);
}

void RedisLink::onConnected() {
    if (address_.password.empty()) {
        onReady();
        return;
    }
    // The login goes first; nothing else is asked before it has succeeded.
    std::vector<std::string_view> args = {"AUTH"};
    if (!address_.user.empty()) args.push_back(address_.user);
    args.push_back(address_.password);
    appendCommand(out_, args);
    const std::uint64_t generation = generation_;
    pending_.push_back({[this, generation](const redisReply* r) {
                            if (r == nullptr || generation != generation_) return;
                            if (r->type == REDIS_REPLY_ERROR) {
                                // Redis's answer names the user at most, never the password.
                                drop("authentication failed (" + std::string(r->str, r->len) + ")");
                                return;
                            }
                            onReady();
                        },
                        Clock::now()});
    net::watchWrite(watch_, true);
}

void RedisLink::onReady() {
    ready_ = true;
    backoff_ = std::chrono::milliseconds(100);
    if (state_) state_(true, {});
}

void RedisLink::watchHandler(bool readable, bool writable, void* user) {
    auto* self = static_cast<RedisLink*>(user);
    if (writable) self->onWritable();
    if (readable && self->fd_ >= 0) self->onReadable();
}

bool RedisLink::command(const std::vector<std::string_view>& args, ReplyHandler reply) {
    if (!up()) return false;
    appendCommand(out_, args);
    pending_.push_back({std::move(reply), Clock::now()});
    // Written when the socket is next found writable: after this turn's other commands.
    net::watchWrite(watch_, true);
    return true;
}

bool RedisLink::send(const std::vector<std::string_view>& args) {
    if (!up()) return false;
    appendCommand(out_, args);
    net::watchWrite(watch_, true);
    return true;
}

void RedisLink::onWritable() {
    if (fd_ < 0) return;
    if (!connected_) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            drop(std::strerror(err));
            return;
        }
        connected_ = true;
        onConnected();
        if (fd_ < 0) return;
    }
    while (outSent_ < out_.size()) {
        const ssize_t n = ::send(fd_, out_.data() + outSent_, out_.size() - outSent_, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            drop(std::strerror(errno));
            return;
        }
        outSent_ += static_cast<std::size_t>(n);
    }
    if (outSent_ == out_.size()) {
        out_.clear();
        outSent_ = 0;
        net::watchWrite(watch_, false);
    }
}

void RedisLink::onReadable() {
    char buf[kReadChunk];
    bool closed = false;
    std::string error;
    for (;;) {
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            if (redisReaderFeed(reader_, buf, static_cast<std::size_t>(n)) != REDIS_OK) {
                error = "unreadable reply";
                break;
            }
            if (static_cast<std::size_t>(n) < sizeof buf) break;
            continue;
        }
        if (n == 0) {
            closed = true;
            error = "Redis closed the connection";
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            closed = true;
            error = std::strerror(errno);
        }
        break;
    }
    // Every reply is handled before any is freed: payloads delivered from one reply must not
    // share an address with the next one while the turn's sends still refer to them.
    std::vector<redisReply*> replies;
    for (;;) {
        void* r = nullptr;
        if (redisReaderGetReply(reader_, &r) != REDIS_OK) {
            error = "unreadable reply";
            break;
        }
        if (!r) break;
        replies.push_back(static_cast<redisReply*>(r));
    }
    const std::uint64_t generation = generation_;
    for (redisReply* r : replies) {
        if (generation != generation_) break; // the link dropped while handling an earlier one
        if (!pending_.empty()) {
            Pending p = std::move(pending_.front());
            pending_.pop_front();
            if (p.reply) p.reply(r);
        } else if (push_) {
            push_(*r);
        } else {
            error = "a reply nobody asked for";
            break;
        }
    }
    for (redisReply* r : replies)
        freeReplyObject(r);
    if (generation != generation_) return;
    if (!error.empty() || closed) drop(error.empty() ? "closed" : error);
}

void RedisLink::flushBlocking(std::chrono::milliseconds limit) {
    if (!up()) return;
    const auto deadline = Clock::now() + limit;
    while (outSent_ < out_.size() && Clock::now() < deadline) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::send(fd_, out_.data() + outSent_, out_.size() - outSent_, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        if (n > 0) outSent_ += static_cast<std::size_t>(n);
    }
}

} // namespace tnlrelay::cluster
