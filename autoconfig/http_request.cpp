#include "autoconfig/http_request.h"

#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace brevin::http {

namespace {

// RFC 9110 §5.6.2: the characters of a token (method, header name).
constexpr bool IsTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
    return !text.empty() && std::ranges::all_of(text, IsTokenChar);
}

// A field value may hold visible characters, blanks, tabs and (obsolete) bytes above 0x7F; no
// other control character, and above all no lone CR that a lenient reader might take for a
// line end.
bool IsFieldValue(std::string_view text) {
    return std::ranges::all_of(text, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= 0x20 && u != 0x7F);
    });
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

/// The line without its LF and the CR before it; nothing when it has no LF or a CR elsewhere.
std::optional<std::string_view> LineContent(std::string_view line) {
    if (!line.ends_with('\n')) {
        return std::nullopt;
    }
    line.remove_suffix(1);
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    if (line.find('\r') != std::string_view::npos || line.find('\n') != std::string_view::npos) {
        return std::nullopt;
    }
    return line;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

/// Whether a decoded path names something above or beside itself ("..", ".", "\"): nothing
/// here serves files, but a path that a file server would resolve differently is refused
/// rather than routed.
bool HasDotSegment(std::string_view path) {
    if (path.find('\\') != std::string_view::npos) {
        return true;
    }
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view segment = path.substr(start, end - start);
        if (segment == "." || segment == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            const bool whole = i + 2 < text.size();
            const int high = whole ? HexValue(text[i + 1]) : -1;
            const int low = whole ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0 || (high == 0 && low == 0)) {
                return std::nullopt;
            }
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += plusIsSpace && c == '+' ? ' ' : c;
        }
    }
    return decoded;
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view name,
                                      bool plusIsSpace) {
    while (!query.empty()) {
        const std::size_t amp = std::min(query.find('&'), query.size());
        const std::string_view field = query.substr(0, amp);
        if (field.size() > name.size() && field.starts_with(name) && field[name.size()] == '=') {
            return PercentDecode(field.substr(name.size() + 1), plusIsSpace);
        }
        if (field == name) {
            return std::string();
        }
        query.remove_prefix(std::min(amp + 1, query.size()));
    }
    return std::nullopt;
}

std::string_view ReasonPhrase(int status) {
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Content Too Large";
    case 414:
        return "URI Too Long";
    case 417:
        return "Expectation Failed";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Error";
    }
}

RequestReader::Step RequestReader::Refuse(int status) {
    m_status = status;
    return Step::Refused;
}

RequestReader::Step RequestReader::AddLine(std::string_view line) {
    if (m_status != 0) {
        return Step::Refused;
    }
    if (line.size() > m_limits.maxLine || !line.ends_with('\n')) {
        return Refuse(m_started ? 431 : 414);
    }
    const auto content = LineContent(line);
    if (!content) {
        return Refuse(400);
    }
    if (!m_started) {
        if (content->empty()) {
            // RFC 9112 §2.2: blank lines before a request (after a body, say) are skipped, a
            // few of them.
            return ++m_leadingBlanks > 4 ? Refuse(400) : Step::More;
        }
        m_started = true;
        m_headBytes = line.size();
        return RequestLine(*content);
    }
    m_headBytes += line.size();
    if (m_headBytes > m_limits.maxHead) {
        return Refuse(431);
    }
    return content->empty() ? Finish() : HeaderLine(*content);
}

RequestReader::Step RequestReader::RequestLine(std::string_view line) {
    const std::size_t firstBlank = line.find(' ');
    const std::size_t lastBlank = line.rfind(' ');
    if (firstBlank == std::string_view::npos || lastBlank == firstBlank) {
        return Refuse(400);
    }
    const std::string_view method = line.substr(0, firstBlank);
    std::string_view target = line.substr(firstBlank + 1, lastBlank - firstBlank - 1);
    const std::string_view version = line.substr(lastBlank + 1);
    if (!IsToken(method) || target.empty()) {
        return Refuse(400);
    }
    if (!std::ranges::all_of(target, [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u > 0x20 && u < 0x7F;
        })) {
        return Refuse(400);
    }
    if (version == "HTTP/1.1" || version == "HTTP/1.0") {
        m_request.http10 = version == "HTTP/1.0";
    } else if (version.size() == 8 && version.starts_with("HTTP/") && version[6] == '.' &&
               std::isdigit(static_cast<unsigned char>(version[5])) != 0 &&
               std::isdigit(static_cast<unsigned char>(version[7])) != 0) {
        return Refuse(505);
    } else {
        return Refuse(400);
    }
    m_request.methodName.assign(method);
    m_request.method = method == "GET"    ? Method::Get
                       : method == "HEAD" ? Method::Head
                       : method == "POST" ? Method::Post
                                          : Method::Other;
    // The absolute form ("http://host/path") is what a proxy gets, but a server must take it
    // too (RFC 9112 §3.2.2); only the path counts here.
    if (StartsWithIgnoringCase(target, "http://")) {
        target.remove_prefix(7);
        const std::size_t slash = target.find_first_of("/?");
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
    if (!target.starts_with('/') || target.find('#') != std::string_view::npos) {
        return Refuse(400);
    }
    const std::size_t question = target.find('?');
    if (question != std::string_view::npos) {
        m_request.query.assign(target.substr(question + 1));
        target = target.substr(0, question);
    }
    const auto path = PercentDecode(target);
    if (!path || path->empty() || HasDotSegment(*path)) {
        return Refuse(400);
    }
    m_request.path = *path;
    return Step::More;
}

RequestReader::Step RequestReader::HeaderLine(std::string_view line) {
    if (++m_headerCount > m_limits.maxHeaders) {
        return Refuse(431);
    }
    // A line that starts with a blank continues the one before (obsolete folding): refused,
    // as RFC 9112 §5.2 allows, since readers disagree on what it means.
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
        return Refuse(400);
    }
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (!IsFieldValue(value)) {
        return Refuse(400);
    }
    if (EqualsIgnoringCase(name, "Host")) {
        ++m_hostCount;
        m_request.host.assign(value);
    } else if (EqualsIgnoringCase(name, "Content-Length")) {
        std::uint64_t length = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
        if (value.empty() || ec != std::errc{} || end != value.data() + value.size() ||
            (m_sawLength && length != m_request.contentLength)) {
            return Refuse(400); // also "+5", "5, 5", or two lengths that disagree
        }
        m_sawLength = true;
        m_request.contentLength = length;
    } else if (EqualsIgnoringCase(name, "Transfer-Encoding")) {
        m_sawTransferEncoding = true;
    } else if (EqualsIgnoringCase(name, "Connection")) {
        std::string_view rest = value;
        while (!rest.empty()) {
            const std::size_t comma = std::min(rest.find(','), rest.size());
            const std::string_view option = TrimBlanks(rest.substr(0, comma));
            m_connectionClose = m_connectionClose || EqualsIgnoringCase(option, "close");
            m_connectionKeepAlive =
                m_connectionKeepAlive || EqualsIgnoringCase(option, "keep-alive");
            rest.remove_prefix(std::min(comma + 1, rest.size()));
        }
    } else if (EqualsIgnoringCase(name, "Expect")) {
        if (!EqualsIgnoringCase(value, "100-continue")) {
            return Refuse(417);
        }
        m_request.expectContinue = true;
    } else if (EqualsIgnoringCase(name, "Content-Type")) {
        m_request.contentType.assign(value);
    }
    return Step::More;
}

RequestReader::Step RequestReader::Finish() {
    // Two hosts, or none in HTTP/1.1, leave the target ambiguous (RFC 9112 §3.2).
    if (m_hostCount > 1 || (m_hostCount == 0 && !m_request.http10)) {
        return Refuse(400);
    }
    if (m_sawTransferEncoding) {
        // With a length beside it, the two would frame the body differently: a smuggling try.
        // Alone, it is chunked uploading, which no settings client needs.
        return Refuse(m_sawLength ? 400 : 501);
    }
    if (m_request.contentLength > m_limits.maxBody) {
        return Refuse(413);
    }
    m_request.keepAlive = !m_connectionClose && (!m_request.http10 || m_connectionKeepAlive);
    return Step::Complete;
}

Request RequestReader::Take() {
    Request taken = std::move(m_request);
    *this = RequestReader(m_limits);
    return taken;
}

} // namespace brevin::http
