#pragma once

// A strict HTTP/1.1 request head reader (RFC 9112 §2-§6), fed one line at a time as the
// session cycle hands them over. It takes only what a mail client's set-up or a browser sends
// to a settings server: origin-form targets, a Content-Length body, no chunked uploads, no
// folded header lines. Anything it does not understand ends in a status code, never in a guess,
// so that no two readers of the same bytes can disagree on where a request ends.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevin::http {

/// The limits a request head must keep; beyond them it is refused.
struct Limits {
    std::size_t maxLine = 8 * 1024;    ///< one line, its line end included
    std::size_t maxHead = 16 * 1024;   ///< request line and every header line together
    std::size_t maxHeaders = 64;       ///< header lines
    std::uint64_t maxBody = 16 * 1024; ///< a request body (an Autodiscover query is ~400 bytes)
};

enum class Method : std::uint8_t { Get, Head, Post, Other };

struct Request {
    Method method = Method::Other;
    std::string methodName; ///< as sent, for the log
    std::string path;       ///< percent-decoded, always starting with "/"
    std::string query;      ///< as sent, after "?" (still encoded)
    bool http10 = false;
    bool keepAlive = true; ///< false: the connection closes after the response
    bool expectContinue = false;
    std::uint64_t contentLength = 0;
    std::string host;
    std::string contentType;
};

/// Feeds a request head line by line. `Step` says what the line did: the head goes on, it is
/// complete (then `Take` gives it), or it is refused with `Status()`; a refused head leaves the
/// connection in an unknown state, so the caller answers and closes.
class RequestReader {
public:
    enum class Step : std::uint8_t { More, Complete, Refused };

    explicit RequestReader(Limits limits = {}) : m_limits(limits) {}

    /// One line, its LF included (a line without one counts as too long).
    Step AddLine(std::string_view line);
    /// The status a refused head gets: 400, 413, 431, 501 or 505.
    [[nodiscard]] int Status() const { return m_status; }
    /// Whether a line of this head has arrived (blank lines before one do not count).
    [[nodiscard]] bool Started() const { return m_started; }
    /// The complete head; the reader starts over for the next request.
    Request Take();

    [[nodiscard]] const Limits& Limit() const { return m_limits; }

private:
    Step Refuse(int status);
    Step RequestLine(std::string_view line);
    Step HeaderLine(std::string_view line);
    Step Finish();

    Limits m_limits;
    Request m_request;
    std::size_t m_headBytes = 0;
    std::size_t m_headerCount = 0;
    int m_leadingBlanks = 0;
    int m_status = 0;
    int m_hostCount = 0;
    bool m_started = false;
    bool m_sawLength = false;
    bool m_sawTransferEncoding = false;
    bool m_connectionClose = false;
    bool m_connectionKeepAlive = false;
};

/// The text a status code carries on the status line ("Not Found").
std::string_view ReasonPhrase(int status);

/// `text` with every %XX replaced by its byte; with `plusIsSpace` (form fields) "+" is a
/// blank. Nothing for a broken escape or an encoded NUL.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace = false);

/// The decoded value of the first `name=` field of a query ("a=1&b=2"); nothing when absent
/// or badly encoded.
std::optional<std::string> QueryValue(std::string_view query, std::string_view name,
                                      bool plusIsSpace = false);

} // namespace brevin::http
