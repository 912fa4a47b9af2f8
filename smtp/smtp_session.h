#pragma once

#include "engine/mail_session.h"
#include "store/profile_file.h"

namespace brevin {

/// An SMTP conversation.
class SmtpSession final : public MailSession {
public:
    SmtpSession(EventLoop& loop, const SessionOptions& options, ProfileFile& profile)
        : MailSession(loop, ServiceKind::SMTP, options), m_profile(profile) {}

private:
    void InterpretCommand(std::string_view /*line*/) override {}
    void RejectLongLine() override { ReplyLine("500 Brevin Server : line too long"); }

    ProfileFile& m_profile;
};

} // namespace brevin
