// Reading HTTP requests from received bytes, without sockets: the bytes of one connection go
// in, complete requests or the status that refuses them come out. The event loop drives it,
// and a fuzz target can drive it alone.
#pragma once

#include "Net.hpp"

#include <cstddef>
#include <memory>
#include <string>

namespace tnlrelay::net {

/// What `HttpRequestReader::parse` found.
enum class HttpParse {
    needMore,       ///< no complete request yet
    complete,       ///< `request()` holds one
    bad,            ///< malformed: 400
    headerTooLarge, ///< 431
    bodyTooLarge,   ///< 413
};

/// The status code and plain-text body that refuse a request for `outcome` (one of the errors).
int refusalStatus(HttpParse outcome);
std::string_view refusalBody(HttpParse outcome);

/// The requests of one connection, read one after the other from its bytes.
class HttpRequestReader {
public:
    HttpRequestReader(std::size_t maxHeaderBytes, std::size_t maxBodyBytes);
    ~HttpRequestReader();
    HttpRequestReader(const HttpRequestReader&) = delete;
    HttpRequestReader& operator=(const HttpRequestReader&) = delete;

    /// Bytes received from the peer, kept until a `parse` consumes them.
    void append(const char* data, std::size_t n);
    bool hasInput() const;

    /// Reads the next request from what has arrived. After `complete`, `request()` and
    /// `keepAlive()` describe it until the next call; the bytes after it stay as input. After an
    /// error, call no more.
    HttpParse parse();

    const HttpMessage& request() const;
    bool keepAlive() const;

    /// The bytes not consumed yet: after an upgrade request, the peer's first frames.
    std::string& input();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tnlrelay::net
