#include "autoconfig/autoconfig_session.h"

#include "autoconfig/autoconfig_service.h"
#include "base/log.h"
#include "base/text.h"
#include "store/users.h"

#include <arpa/inet.h>
#include <array>
#include <ctime>

namespace brevin {

namespace {

constexpr std::string_view kXml = "text/xml; charset=utf-8";
constexpr std::string_view kText = "text/plain; charset=utf-8";

/// An IMF-fixdate (RFC 9110 §5.6.7), in English whatever the locale.
std::string HttpDate() {
    static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                  kDays.at(static_cast<std::size_t>(utc.tm_wday) % 7), utc.tm_mday,
                  kMonths.at(static_cast<std::size_t>(utc.tm_mon) % 12), utc.tm_year + 1900,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string PercentEncode(std::string_view text) {
    static constexpr std::string_view kHex = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[u >> 4];
            encoded += kHex[u & 15];
        }
    }
    return encoded;
}

bool IsThunderbirdPath(std::string_view path) {
    return path == "/mail/config-v1.1.xml" ||
           path == "/.well-known/autoconfig/mail/config-v1.1.xml";
}

/// The address in a Host header ("192.0.2.1:80", "[2001:db8::1]"); empty for a name.
std::string AddressLiteral(std::string_view host) {
    if (host.starts_with('[')) {
        host = host.substr(1, host.find(']') - 1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        host = host.substr(0, colon);
    }
    const std::string text(host);
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1
               ? text
               : std::string();
}

} // namespace

AutoconfigSession::AutoconfigSession(EventLoop& loop, const SessionOptions& options,
                                     const ClientSettings& settings, const UserDirectory& users)
    : MailSession(loop, kAutoconfigTraits, options), m_settings(settings), m_users(users),
      m_requestTimer(loop, [this] { EndSession(); }) {}

std::string AutoconfigSession::CommandName(std::string_view line) const {
    return LeadingWord(line, 16);
}

bool AutoconfigSession::IsFailureReply(std::string_view reply) const {
    // "HTTP/1.1 4xx" and "HTTP/1.1 5xx"; the 100 Continue and the documents are not.
    return reply.size() > 9 && (reply[9] == '4' || reply[9] == '5');
}

void AutoconfigSession::InterpretCommand(std::string_view line) {
    if (!m_requestTimer.Pending() && Options().commandTimeout.count() > 0) {
        m_requestTimer.Start(Options().commandTimeout);
    }
    switch (m_reader.AddLine(line)) {
    case http::RequestReader::Step::More:
        return;
    case http::RequestReader::Step::Refused:
        Refuse(m_reader.Status());
        return;
    case http::RequestReader::Step::Complete:
        break;
    }
    m_request = m_reader.Take();
    m_body.clear();
    if (m_request.contentLength > 0) {
        // A client that asked waits for this line before it sends the body.
        ExpectLiteral(m_request.contentLength,
                      m_request.expectContinue ? "HTTP/1.1 100 Continue\r\n" : "");
        return;
    }
    Route();
}

void AutoconfigSession::RejectLongLine() {
    Refuse(m_reader.Started() ? 431 : 414);
}

void AutoconfigSession::ReceiveLiteral(std::span<const char> bytes, bool complete) {
    m_body.append(bytes.data(), bytes.size());
    if (complete) {
        Route();
    }
}

void AutoconfigSession::Refuse(int status) {
    m_request = {};
    m_request.keepAlive = false;
    m_reader = http::RequestReader(m_reader.Limit());
    Respond(status, kText, std::string(http::ReasonPhrase(status)) + "\n");
}

void AutoconfigSession::Respond(int status, std::string_view type, std::string_view body,
                                std::string_view headers) {
    m_requestTimer.Cancel();
    std::string response = "HTTP/1.1 " + std::to_string(status) + " ";
    response += http::ReasonPhrase(status);
    response += "\r\nDate: " + HttpDate() + "\r\nServer: Brevin\r\n";
    if (!type.empty()) {
        response += "Content-Type: ";
        response += type;
        response += "\r\n";
    }
    response += "Content-Length: " + std::to_string(body.size()) +
                "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    response += headers;
    if (!m_request.keepAlive) {
        response += "Connection: close\r\n";
    }
    response += "\r\n";
    if (m_request.method != http::Method::Head) {
        response += body;
    }
    LogEvent(ServiceName(), "request")
        .Add("client", ClientEndpoint())
        .Add("session", Id())
        .Add("method", m_request.methodName.empty() ? std::string("-") : m_request.methodName)
        .Add("path", m_request.path.empty() ? std::string("-") : m_request.path)
        .Add("status", static_cast<std::uint64_t>(status));
    Reply(response);
    if (!m_request.keepAlive) {
        CloseAfterReply();
    }
}

void AutoconfigSession::Route() {
    // A client that came by address (a phone opening the page from its QR code) may have no
    // name service for the host's name; the address it used reaches the server, and the
    // certificate names it too.
    ClientSettings settings = m_settings;
    if (std::string literal = AddressLiteral(m_request.host); !literal.empty()) {
        settings.host = std::move(literal);
    }
    const std::string& path = m_request.path;
    const http::Method method = m_request.method;
    const bool read = method == http::Method::Get || method == http::Method::Head;
    const std::string lower = AsciiLower(path);
    if (method == http::Method::Other) {
        Respond(501, kText, "Not Implemented\n");
        return;
    }
    // Outlook writes the path in either letter case.
    if (lower == "/autodiscover/autodiscover.xml") {
        if (method != http::Method::Post) {
            Respond(405, kText, "Method Not Allowed\n", "Allow: POST\r\n");
            return;
        }
        const auto address = AutodiscoverAddress(m_body);
        if (!address) {
            Respond(400, kText, "Bad Request: no EMailAddress\n");
            return;
        }
        Respond(200, kXml, AutodiscoverResponse(settings, *address));
        return;
    }
    const bool known = path == "/" || IsThunderbirdPath(path) || path == "/brevin-ca.pem" ||
                       path == "/profile" || path.starts_with("/profile/");
    if (known && !read) {
        Respond(405, kText, "Method Not Allowed\n", "Allow: GET, HEAD\r\n");
        return;
    }
    if (path == "/") {
        Respond(200, "text/html; charset=utf-8", SettingsPage(settings),
                "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
                "form-action 'self'\r\n");
    } else if (IsThunderbirdPath(path)) {
        const auto address = http::QueryValue(m_request.query, "emailaddress");
        if (address && !address->empty() && !LoginNameOf(*address)) {
            Respond(400, kText, "Bad Request: emailaddress\n");
            return;
        }
        Respond(200, kXml,
                ThunderbirdConfig(settings, address && !address->empty()
                                                ? std::optional<std::string_view>(*address)
                                                : std::nullopt));
    } else if (path == "/brevin-ca.pem" && !settings.caCertificatePem.empty()) {
        Respond(200, "application/x-x509-ca-cert", settings.caCertificatePem,
                "Content-Disposition: attachment; filename=\"brevin-ca.pem\"\r\n");
    } else if (path == "/profile") {
        // The page's form: on to the profile's own address, which a device can fetch again.
        const auto typed = http::QueryValue(m_request.query, "user", true);
        if (!typed || typed->empty()) {
            Respond(400, kText, "Bad Request: no user\n");
            return;
        }
        Respond(303, kText, "",
                "Location: /profile/" + PercentEncode(NormaliseUserName(*typed)) +
                    ".mobileconfig\r\n");
    } else if (path.starts_with("/profile/") && path.ends_with(".mobileconfig")) {
        ServeProfile(settings, std::string_view(path).substr(9, path.size() - 9 - 13));
    } else {
        Respond(404, kText, "Not Found\n");
    }
}

void AutoconfigSession::ServeProfile(const ClientSettings& settings, std::string_view name) {
    const auto user = name.empty() || name.find('/') != std::string_view::npos ? std::nullopt
                                                                               : m_users.Find(name);
    if (!user) {
        Respond(404, kText, "Not Found\n");
        return;
    }
    Respond(200, "application/x-apple-aspen-config", AppleProfile(settings, user->name),
            "Content-Disposition: attachment; filename=\"" + PercentEncode(user->name) +
                ".mobileconfig\"\r\n");
}

} // namespace brevin
