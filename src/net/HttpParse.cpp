// Beast's request parser behind a reader that owns the connection's unconsumed bytes. Beast
// wants the whole header in one piece (it consumes nothing until then), so the bytes are kept
// here until a request is complete; a body is consumed as it arrives.
#include "HttpParse.hpp"
#include "NetText.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <optional>

namespace tnlrelay::net {

namespace http = boost::beast::http;
using RequestParser = http::request_parser<http::string_body>;

struct HttpRequestReader::Impl {
    std::size_t maxHeaderBytes;
    std::size_t maxBodyBytes;
    std::string in;                      ///< bytes not yet consumed by the parser
    std::optional<RequestParser> parser; ///< the request being read, or the one just read
    bool done = false;                   ///< the parser holds a complete request
    HttpMessage message;                 ///< views into `parser`, after `complete`

    RequestParser& freshParser();
    bool headerTooLarge();
    std::size_t headerTaken = 0; ///< header bytes the parser took already (the request line)
    std::size_t scanned = 0;     ///< bytes of `in` known to hold no blank line
    HttpParse feed();
    void describe();
};

RequestParser& HttpRequestReader::Impl::freshParser() {
    if (!parser || done) {
        done = false;
        headerTaken = 0;
        scanned = 0;
        parser.emplace();
        parser->header_limit(static_cast<std::uint32_t>(maxHeaderBytes));
        parser->body_limit(maxBodyBytes);
        parser->eager(true);
    }
    return *parser;
}

// The limit holds for the whole header, request line and blank line included; the parser's own
// limit leaves the request line out, which it may take before the rest has arrived.
bool HttpRequestReader::Impl::headerTooLarge() {
    const std::size_t end = std::string_view(in).find("\r\n\r\n", scanned);
    if (end == std::string_view::npos) {
        scanned = in.size() < 3 ? 0 : in.size() - 3; // a blank line may span the next bytes
        return headerTaken + in.size() > maxHeaderBytes;
    }
    return headerTaken + end + 4 > maxHeaderBytes;
}

// Puts what has arrived into the parser; the consumed bytes leave `in`.
HttpParse HttpRequestReader::Impl::feed() {
    RequestParser& p = freshParser();
    if (!p.is_header_done() && headerTooLarge()) return HttpParse::headerTooLarge;
    boost::system::error_code ec;
    std::size_t used = 0;
    while (!p.is_done() && used < in.size()) {
        const std::size_t n = p.put(boost::asio::buffer(in.data() + used, in.size() - used), ec);
        used += n;
        if (ec || n == 0) break;
    }
    in.erase(0, used);
    if (!p.is_header_done()) {
        headerTaken += used;
        scanned -= std::min(scanned, used);
    }
    if (ec == http::error::need_more) ec = {};
    if (ec == http::error::header_limit) return HttpParse::headerTooLarge;
    if (ec == http::error::body_limit) return HttpParse::bodyTooLarge;
    if (ec) return HttpParse::bad;
    return p.is_done() ? HttpParse::complete : HttpParse::needMore;
}

// Fills the message with views into the parsed request.
void HttpRequestReader::Impl::describe() {
    const auto& req = parser->get();
    message.method = req.method_string();
    const std::string_view target = req.target();
    const auto q = target.find('?');
    message.uri = target.substr(0, q);
    message.query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    message.body = req.body();
    message.headers.clear();
    message.headers.reserve(16);
    for (const auto& field : req)
        message.headers.emplace_back(field.name_string(), field.value());
}

HttpRequestReader::HttpRequestReader(std::size_t maxHeaderBytes, std::size_t maxBodyBytes)
    : impl_(std::make_unique<Impl>()) {
    impl_->maxHeaderBytes = maxHeaderBytes;
    impl_->maxBodyBytes = maxBodyBytes;
}

HttpRequestReader::~HttpRequestReader() = default;

void HttpRequestReader::append(const char* data, std::size_t n) {
    impl_->in.append(data, n);
}

bool HttpRequestReader::hasInput() const {
    return !impl_->in.empty();
}

HttpParse HttpRequestReader::parse() {
    const HttpParse outcome = impl_->feed();
    if (outcome == HttpParse::complete) {
        impl_->done = true;
        impl_->describe();
    }
    return outcome;
}

const HttpMessage& HttpRequestReader::request() const {
    return impl_->message;
}

bool HttpRequestReader::keepAlive() const {
    return impl_->parser->get().keep_alive();
}

std::string& HttpRequestReader::input() {
    return impl_->in;
}

int refusalStatus(HttpParse outcome) {
    switch (outcome) {
    case HttpParse::headerTooLarge:
        return 431;
    case HttpParse::bodyTooLarge:
        return 413;
    default:
        return 400;
    }
}

std::string_view refusalBody(HttpParse outcome) {
    switch (outcome) {
    case HttpParse::headerTooLarge:
        return "request header too large\n";
    case HttpParse::bodyTooLarge:
        return "request body too large\n";
    default:
        return "bad request\n";
    }
}

const std::string_view* HttpMessage::header(std::string_view name) const {
    for (const auto& h : headers)
        if (equalsNoCase(h.first, name)) return &h.second;
    return nullptr;
}

} // namespace tnlrelay::net
