// Beast's request parser behind a reader that owns the connection's unconsumed bytes. Beast
// wants the whole header in one piece (it consumes nothing until then), so the bytes are kept
// here until a request is complete; a body is consumed as it arrives. A chunked body is decoded
// here rather than by Beast, whose chunk parser can be driven into an inconsistent state by a
// malformed body that arrives in pieces.
#include "HttpParse.hpp"
#include "text/Text.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <optional>

namespace tnlrelay::net {

namespace http = boost::beast::http;
using RequestParser = http::request_parser<http::string_body>;

namespace {

// A chunked body (RFC 9112 §7.1), decoded as its bytes arrive: sizes in hex, extensions
// skipped, trailer fields read and dropped. The decoded body counts against the body limit and
// the chunk lines and trailer against the header limit.
class ChunkedBody {
public:
    ChunkedBody(std::size_t maxBodyBytes, std::size_t maxLineBytes)
        : maxBody_(maxBodyBytes), maxLines_(maxLineBytes) {}

    /// Decodes from `in` what can be decoded; `used` is how much of it was consumed.
    HttpParse feed(std::string_view in, std::size_t& used);
    std::string& body() { return body_; }

private:
    enum class State { size, data, dataEnd, trailer, complete };
    HttpParse sizeLine(std::string_view line);

    State state_ = State::size;
    std::size_t left_ = 0; ///< bytes of the current chunk still to come
    std::size_t maxBody_;
    std::size_t maxLines_;
    std::size_t lineBytes_ = 0; ///< bytes of chunk lines and trailer so far
    std::string body_;
};

// A trailer field: a token, a colon, and any value.
bool isFieldLine(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    constexpr std::string_view kTokenPunctuation = "!#$%&'*+-.^_`|~";
    for (const char ch : line.substr(0, colon)) {
        const bool alnum =
            (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
        if (!alnum && kTokenPunctuation.find(ch) == std::string_view::npos) return false;
    }
    return true;
}

HttpParse ChunkedBody::sizeLine(std::string_view line) {
    std::size_t size = 0;
    std::size_t i = 0;
    for (; i < line.size(); ++i) {
        const int digit = hexDigit(line[i]);
        if (digit < 0) break;
        if (size > (maxBody_ >> 4)) return HttpParse::bodyTooLarge;
        size = size * 16 + static_cast<std::size_t>(digit);
    }
    if (i == 0) return HttpParse::bad;
    // What may follow the size: optional whitespace, then extensions after ';'.
    std::size_t j = i;
    while (j < line.size() && (line[j] == ' ' || line[j] == '\t'))
        ++j;
    if (j < line.size() && line[j] != ';') return HttpParse::bad;
    if (size > maxBody_ - body_.size()) return HttpParse::bodyTooLarge;
    left_ = size;
    state_ = size == 0 ? State::trailer : State::data;
    return HttpParse::needMore;
}

HttpParse ChunkedBody::feed(std::string_view in, std::size_t& used) {
    used = 0;
    while (state_ != State::complete) {
        const std::string_view rest = in.substr(used);
        switch (state_) {
        case State::size:
        case State::trailer: {
            const std::size_t eol = rest.find("\r\n");
            const std::size_t lineLength = eol == std::string_view::npos ? rest.size() : eol + 2;
            if (lineBytes_ + lineLength > maxLines_) return HttpParse::headerTooLarge;
            if (eol == std::string_view::npos) return HttpParse::needMore;
            const std::string_view line = rest.substr(0, eol);
            if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
                return HttpParse::bad;
            lineBytes_ += lineLength;
            used += lineLength;
            if (state_ == State::trailer) {
                if (line.empty())
                    state_ = State::complete;
                else if (!isFieldLine(line))
                    return HttpParse::bad;
                break;
            }
            const HttpParse outcome = sizeLine(line);
            if (outcome != HttpParse::needMore) return outcome;
            break;
        }
        case State::data: {
            if (rest.empty()) return HttpParse::needMore;
            const std::size_t n = std::min(left_, rest.size());
            body_.append(rest.data(), n);
            used += n;
            left_ -= n;
            if (left_ == 0) state_ = State::dataEnd;
            break;
        }
        case State::dataEnd:
            if (rest.size() < 2) {
                if (!rest.empty() && rest[0] != '\r') return HttpParse::bad;
                return HttpParse::needMore;
            }
            if (rest[0] != '\r' || rest[1] != '\n') return HttpParse::bad;
            used += 2;
            state_ = State::size;
            break;
        case State::complete:
            break;
        }
    }
    return HttpParse::complete;
}

} // namespace

struct HttpRequestReader::Impl {
    std::size_t maxHeaderBytes;
    std::size_t maxBodyBytes;
    std::string in;                      ///< bytes not yet consumed by the parser
    std::optional<RequestParser> parser; ///< the request being read, or the one just read
    bool done = false;                   ///< the parser holds a complete request
    HttpMessage message;                 ///< views into `parser`, after `complete`
    std::optional<ChunkedBody> chunked;  ///< the body of a chunked request, decoded here

    RequestParser& freshParser();
    bool headerTooLarge();
    std::size_t headerTaken = 0; ///< header bytes the parser took already (the request line)
    std::size_t scanned = 0;     ///< bytes of `in` known to hold no blank line
    HttpParse feed();
    HttpParse feedChunked();
    void describe();
};

RequestParser& HttpRequestReader::Impl::freshParser() {
    if (!parser || done) {
        done = false;
        headerTaken = 0;
        scanned = 0;
        chunked.reset();
        parser.emplace();
        parser->header_limit(static_cast<std::uint32_t>(maxHeaderBytes));
        parser->body_limit(maxBodyBytes);
        // Stop after the header, so that a chunked body can be taken from here on.
        parser->eager(false);
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
    if (chunked) return feedChunked();
    if (!p.is_header_done() && headerTooLarge()) return HttpParse::headerTooLarge;
    boost::system::error_code ec;
    std::size_t used = 0;
    while (!p.is_done() && used < in.size()) {
        const std::size_t n = p.put(boost::asio::buffer(in.data() + used, in.size() - used), ec);
        used += n;
        if (ec) break;
        if (p.is_header_done() && p.chunked()) {
            in.erase(0, used);
            chunked.emplace(maxBodyBytes, maxHeaderBytes);
            return feedChunked();
        }
        if (n == 0) break;
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

HttpParse HttpRequestReader::Impl::feedChunked() {
    std::size_t used = 0;
    const HttpParse outcome = chunked->feed(in, used);
    in.erase(0, used);
    return outcome;
}

// Fills the message with views into the parsed request.
void HttpRequestReader::Impl::describe() {
    const auto& req = parser->get();
    message.method = req.method_string();
    const std::string_view target = req.target();
    const auto q = target.find('?');
    message.uri = target.substr(0, q);
    message.query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    message.body = chunked ? std::string_view(chunked->body()) : std::string_view(req.body());
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
