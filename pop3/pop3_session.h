#pragma once

#include "engine/mail_session.h"
#include "store/profile_file.h"

namespace brevin {

/// A POP3 conversation.
class Pop3Session final : public MailSession {
public:
    Pop3Session(EventLoop& loop, const SessionOptions& options, ProfileFile& profile)
        : MailSession(loop, ServiceKind::POP3, options), m_profile(profile) {}

private:
    void InterpretCommand(std::string_view /*line*/) override {}
    void RejectLongLine() override { ReplyLine("-ERR Brevin server: line too long"); }

    ProfileFile& m_profile;
};

} // namespace brevin
