#pragma once

#include "autoconfig/client_documents.h"
#include "autoconfig/http_request.h"
#include "engine/event_loop.h"
#include "engine/mail_session.h"

#include <span>
#include <string>
#include <string_view>

namespace brevin {

class UserDirectory;

/// One HTTP/1.1 connection to the settings responder. The head comes line by line through
/// the session cycle, a body as a literal; each request gets one response, and the connection
/// stays open for the next unless the client or an error closes it. Besides the engine's line
/// and idle timeouts, a whole request (head and body) must arrive within the command timeout,
/// so that a client trickling header lines cannot hold the session.
///
/// What it tells a stranger: the server's name, ports and certificate, which anyone on the LAN
/// can learn by connecting to them. The documents for an address name the login that address
/// would have without looking the user up, so they answer alike for every name; only the
/// Apple profile, which carries an account to install, is refused (404) for a name the server
/// does not know, as SMTP's RCPT already tells. No response lists the users.
class AutoconfigSession final : public MailSession {
public:
    AutoconfigSession(EventLoop& loop, const SessionOptions& options,
                      const ClientSettings& settings, const UserDirectory& users);

protected:
    [[nodiscard]] std::string_view Banner() const override { return {}; }
    void InterpretCommand(std::string_view line) override;
    void RejectLongLine() override;
    [[nodiscard]] std::size_t LineLimit() const override { return m_reader.Limit().maxLine; }
    [[nodiscard]] std::string CommandName(std::string_view line) const override;
    void ReceiveLiteral(std::span<const char> bytes, bool complete) override;
    [[nodiscard]] bool IsFailureReply(std::string_view reply) const override;

private:
    /// Answers the complete request `m_request` with its `m_body`.
    void Route();
    void Respond(int status, std::string_view type, std::string_view body,
                 std::string_view headers = {});
    /// The answer to a request that cannot be read on: the connection closes after it.
    void Refuse(int status);
    void ServeProfile(const ClientSettings& settings, std::string_view name);

    const ClientSettings& m_settings;
    const UserDirectory& m_users;
    http::RequestReader m_reader;
    http::Request m_request;
    std::string m_body;
    Timer m_requestTimer; // the whole request's deadline
};

} // namespace brevin
