// One connection to Redis: look up, connect, TLS, log in, write, read, parse, reconnect.
#include "RedisConnection.hpp"

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
std::vector<RedisConnection::Endpoint> resolve(const std::string& host, int port,
                                               bool numericOnly) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    std::vector<RedisConnection::Endpoint> out;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return out;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        RedisConnection::Endpoint e;
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
struct RedisConnection::Lookup {
    std::mutex mutex;
    bool done = false;
    std::vector<Endpoint> endpoints;
};

RedisConnection::RedisConnection(net::Loop& loop, RedisEndpoint target, const RedisAddress& login,
                                 const net::TlsClientContext* tls)
    : loop_(loop), target_(std::move(target)), user_(login.user), password_(login.password),
      tlsContext_(tls) {}

void RedisConnection::retarget(const RedisEndpoint& target, bool atOnce) {
    if (target == target_) return;
    target_ = target;
    endpoints_.clear();
    nextEndpoint_ = 0;
    lookup_.reset();
    if (fd_ >= 0) drop("moved to " + target.text());
    if (!atOnce) return;
    backoff_ = std::chrono::milliseconds(100);
    nextAttempt_ = Clock::now();
}

RedisConnection::~RedisConnection() {
    reset();
}

void RedisConnection::reset() {
    if (watch_) net::unwatchFd(watch_);
    watch_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_ = false;
    ready_ = false;
    if (reader_) redisReaderFree(reader_);
    reader_ = nullptr;
    tls_.reset();
    out_.clear();
    outSent_ = 0;
    cipher_.clear();
    cipherSent_ = 0;
    ++generation_;
}

void RedisConnection::close() {
    pending_.clear();
    lookup_.reset();
    reset();
}

void RedisConnection::drop(const std::string& reason) {
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

void RedisConnection::tick(Clock::time_point now) {
    if (fd_ < 0) {
        if (target_.host.empty()) return; // told where to later
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
    if (tls_ && !tls_->handshakeDone() && now - connectStarted_ > kAnswerTimeout) {
        drop("the TLS handshake timed out");
        return;
    }
    if (!pending_.empty() && now - pending_.front().sent > kAnswerTimeout)
        drop("Redis does not answer");
}

void RedisConnection::startLookup(Clock::time_point now) {
    // Looked up anew once every address was tried: a fail-over may have moved the name.
    endpoints_.clear();
    nextEndpoint_ = 0;
    if (numericHost(target_.host)) {
        endpoints_ = resolve(target_.host, target_.port, true);
        if (endpoints_.empty()) {
            drop("cannot use the address " + target_.host);
            return;
        }
        startConnect(now);
        return;
    }
    lookup_ = std::make_shared<Lookup>();
    lookupStarted_ = now;
    try {
        std::thread([lookup = lookup_, host = target_.host, port = target_.port] {
            std::vector<Endpoint> found = resolve(host, port, false);
            const std::lock_guard<std::mutex> lock(lookup->mutex);
            lookup->endpoints = std::move(found);
            lookup->done = true;
        }).detach();
    } catch (const std::system_error&) {
        lookup_.reset(); // out of threads for now: tried again after the usual delay
        drop("cannot look up " + target_.host + " now");
    }
}

void RedisConnection::pollLookup(Clock::time_point now) {
    bool done = false;
    {
        const std::lock_guard<std::mutex> lock(lookup_->mutex);
        done = lookup_->done;
        if (done) endpoints_ = std::move(lookup_->endpoints);
    }
    if (!done && now - lookupStarted_ <= kAnswerTimeout) return;
    lookup_.reset(); // an answer that comes later goes nowhere
    if (endpoints_.empty()) {
        drop(done ? "cannot resolve " + target_.host
                  : "the name service does not answer for " + target_.host);
        return;
    }
    startConnect(now);
}

void RedisConnection::startConnect(Clock::time_point now) {
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
    watch_ = net::watchFd(loop_, fd_, &RedisConnection::watchHandler, this);
    if (!watch_ || !reader_) {
        drop("cannot watch the socket");
        return;
    }
    net::watchWrite(watch_, true);
}

void RedisConnection::onConnected() {
    if (!tlsContext_) {
        login();
        return;
    }
    tls_ = std::make_unique<net::TlsClient>(*tlsContext_, target_.host);
    if (!tls_->start(cipher_)) {
        drop("TLS: " + (tls_->error().empty() ? std::string("cannot start") : tls_->error()));
        return;
    }
    net::watchWrite(watch_, true);
}

void RedisConnection::login() {
    if (password_.empty()) {
        onReady();
        return;
    }
    // The login goes first; nothing else is asked before it has succeeded.
    std::vector<std::string_view> args = {"AUTH"};
    if (!user_.empty()) args.push_back(user_);
    args.push_back(password_);
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

void RedisConnection::onReady() {
    ready_ = true;
    backoff_ = std::chrono::milliseconds(100);
    if (state_) state_(true, {});
}

void RedisConnection::watchHandler(bool readable, bool writable, void* user) {
    auto* self = static_cast<RedisConnection*>(user);
    if (writable) self->onWritable();
    if (readable && self->fd_ >= 0) self->onReadable();
}

bool RedisConnection::command(const std::vector<std::string_view>& args, ReplyHandler reply) {
    if (!up()) return false;
    appendCommand(out_, args);
    pending_.push_back({std::move(reply), Clock::now()});
    // Written when the socket is next found writable: after this turn's other commands.
    net::watchWrite(watch_, true);
    return true;
}

bool RedisConnection::send(const std::vector<std::string_view>& args) {
    if (!up()) return false;
    appendCommand(out_, args);
    net::watchWrite(watch_, true);
    return true;
}

void RedisConnection::onWritable() {
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
    bool done = false;
    if (tls_) {
        if (tls_->handshakeDone() && !out_.empty()) {
            if (!tls_->send(out_, cipher_)) {
                drop("TLS: " + tls_->error());
                return;
            }
            out_.clear();
        }
        done = writeOut(cipher_, cipherSent_) && cipherSent_ == cipher_.size();
    } else {
        done = writeOut(out_, outSent_) && outSent_ == out_.size();
    }
    if (done) net::watchWrite(watch_, false);
}

bool RedisConnection::writeOut(std::string& buf, std::size_t& sent) {
    while (sent < buf.size()) {
        const ssize_t n = ::send(fd_, buf.data() + sent, buf.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            drop(std::strerror(errno));
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    if (sent == buf.size()) {
        buf.clear();
        sent = 0;
    }
    return true;
}

bool RedisConnection::take(const char* data, std::size_t n) {
    if (!tls_) return redisReaderFeed(reader_, data, n) == REDIS_OK;
    const bool wasDone = tls_->handshakeDone();
    std::string plain;
    const std::size_t cipherBefore = cipher_.size();
    if (!tls_->receive(data, n, plain, cipher_)) return false;
    if (cipher_.size() != cipherBefore) net::watchWrite(watch_, true);
    if (!plain.empty() && redisReaderFeed(reader_, plain.data(), plain.size()) != REDIS_OK)
        return false;
    if (!wasDone && tls_->handshakeDone()) login();
    return true;
}

void RedisConnection::onReadable() {
    char buf[kReadChunk];
    bool closed = false;
    std::string error;
    for (;;) {
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            if (!take(buf, static_cast<std::size_t>(n))) {
                error =
                    tls_ && !tls_->error().empty() ? "TLS: " + tls_->error() : "unreadable reply";
                break;
            }
            if (fd_ < 0) return; // the login found the link unusable
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
        if (r->type == REDIS_REPLY_ERROR && error_) {
            error_(std::string_view(r->str, r->len));
            if (generation != generation_) break;
        }
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

void RedisConnection::flushBlocking(std::chrono::milliseconds limit) {
    if (!up()) return;
    if (tls_) {
        if (!out_.empty() && !tls_->send(out_, cipher_)) return;
        out_.clear();
    }
    std::string& buf = tls_ ? cipher_ : out_;
    std::size_t& sent = tls_ ? cipherSent_ : outSent_;
    const auto deadline = Clock::now() + limit;
    while (sent < buf.size() && Clock::now() < deadline) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::send(fd_, buf.data() + sent, buf.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
}

} // namespace tnlrelay::cluster
