#include "smtp/smtp_session.h"

#include "engine/command_word.h"
#include "smtp/address.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace brevin {

namespace {

constexpr std::string_view kEndOfData = "\r\n.\r\n";

/// The position of the first ':', when it stands where an argument can follow a command word
/// and a blank ("MAIL FROM:", "RCPT TO:"); npos otherwise.
std::size_t ArgumentColon(std::string_view text) {
    const auto colon = text.find(':');
    return colon != std::string_view::npos && colon >= 5 ? colon : std::string_view::npos;
}

} // namespace

SmtpSession::SmtpSession(EventLoop& loop, const SessionOptions& options, DeliveryQueue& deliveries)
    : MailSession(loop, ServiceKind::SMTP, options), m_deliveries(deliveries),
      m_users(deliveries.Users()) {}

// A message still being received, or waiting to be filed, goes with the session: its temporary
// file is removed with `m_delivery`, so a client that closes before hearing 250 leaves nothing a
// mailbox would show.
SmtpSession::~SmtpSession() {
    m_deliveries.Withdraw(m_delivery);
}

void SmtpSession::HandleSmtpCommand(std::string_view line) {
    // The line is read as text: a zero byte ends it.
    const std::string_view text = line.substr(0, line.find('\0'));
    switch (CommandWord(text)) {
    case Word("helo"):
        ReplyLine(kOk);
        return;
    case Word("mail"):
        EndTransaction(); // a new transaction: earlier recipients get nothing of it
        TakeSender(text);
        ReplyLine(kOk); // whatever the sender was; nothing reads it
        return;
    case Word("rcpt"):
        ReplyLine(AddRecipient(text) ? kOk : kNoSuchUser);
        return;
    case Word("data"):
        if (m_recipients.empty()) {
            ReplyLine(kNoRecipients); // nothing is stored and no number is taken
            return;
        }
        Hold();
        m_deliveries.TakeNumber(m_delivery,
                                [this](std::uint32_t number) { OpenMessageFile(number); });
        return;
    case Word("rset"):
        m_recipients.clear();
        ReplyLine(kOk);
        return;
    case Word("quit"):
        ReplyLine(kClosing); // the client closes; the session waits for that
        return;
    default:
        // Answered, so that clients opening with EHLO fall back to HELO, and discarded.
        ReplyLine(kUnknown);
        return;
    }
}

bool SmtpSession::TakeSender(std::string_view line) {
    if (ArgumentColon(line) == std::string_view::npos) {
        return false;
    }
    return AddressToUserName(line, m_from);
}

bool SmtpSession::AddRecipient(std::string_view line) {
    const auto colon = ArgumentColon(line);
    if (colon == std::string_view::npos) {
        return false;
    }
    // A failed reduction leaves the whole argument, line end included, which names no user.
    std::string name;
    AddressToUserName(line.substr(colon + 1), name);
    auto folder = m_users.MailboxPath(name);
    if (!folder) {
        return false;
    }
    m_folder = std::move(*folder);
    m_recipients.push_back(std::move(name));
    return true;
}

void SmtpSession::OpenMessageFile(std::uint32_t number) {
    m_delivery = Delivery();
    if (!m_delivery.message.Open(m_folder, number)) {
        ResumeAfterPause(kNoFile);
        return;
    }
    // The CR LF that ended DATA counts, so a message of only "." CR LF ends at once.
    std::memcpy(m_tail, "\r\n", 2);
    m_tailLength = 2;
    EnterDataPhase();
    ResumeAfterPause(kStartData);
}

MailSession::DataResult SmtpSession::ReceiveMessageData(std::span<const char> bytes) {
    const std::string_view data(bytes.data(), bytes.size());
    std::size_t used = data.size();
    bool ended = false;

    // An end sequence begun in earlier reads ends within the first four bytes of this one;
    // one that lies wholly in this read ends later. So the seam is searched first.
    char seamBytes[sizeof m_tail + 4];
    const std::size_t head = std::min<std::size_t>(data.size(), 4);
    std::memcpy(seamBytes, m_tail, m_tailLength);
    std::memcpy(seamBytes + m_tailLength, data.data(), head);
    const std::string_view seam(seamBytes, m_tailLength + head);
    if (const auto at = seam.find(kEndOfData); at != std::string_view::npos) {
        used = at + kEndOfData.size() - m_tailLength;
        ended = true;
    } else if (const auto in = data.find(kEndOfData); in != std::string_view::npos) {
        used = in + kEndOfData.size();
        ended = true;
    }

    // After a failed write the message takes no more, but the rest of the data is still read,
    // so that the reply comes where the client expects it and what follows is read as commands
    // again. Filing then refuses the message: 500.
    m_delivery.message.Append(bytes.first(used));

    const std::string_view taken = data.substr(0, used);
    if (taken.size() >= sizeof m_tail) {
        std::memcpy(m_tail, taken.data() + taken.size() - sizeof m_tail, sizeof m_tail);
        m_tailLength = sizeof m_tail;
    } else {
        char joined[2 * sizeof m_tail];
        std::memcpy(joined, m_tail, m_tailLength);
        std::memcpy(joined + m_tailLength, taken.data(), taken.size());
        const std::size_t total = m_tailLength + taken.size();
        m_tailLength = std::min(total, sizeof m_tail);
        std::memcpy(m_tail, joined + total - m_tailLength, m_tailLength);
    }

    if (ended) {
        FinishMessage();
    }
    return {used, ended};
}

void SmtpSession::FinishMessage() {
    const bool complete = CopyToRecipients();
    EndTransaction();
    if (!complete) {
        m_delivery = Delivery(); // removes the message file
        ReplyLineNow(kFailed);
        return;
    }
    Hold();
    m_deliveries.Submit(m_delivery, [this](bool filed) { MessageFiled(filed); });
}

void SmtpSession::MessageFiled(bool filed) {
    // Filed: nothing of it is removed any more. Failed: nothing of it is left.
    m_delivery = Delivery();
    // Everything is on disk (or nothing is): the client may hear it without waiting.
    Resume(filed ? kOk : kFailed);
}

bool SmtpSession::CopyToRecipients() {
    for (std::size_t i = 0; i + 1 < m_recipients.size(); ++i) {
        // Looked up again now: the administrator may have moved the folder since RCPT.
        auto folder = m_users.MailboxPath(m_recipients[i]);
        if (!folder) {
            // The user was removed since RCPT: the copy would land in the store root itself.
            // The sender hears 500 and keeps the message; its retry will be refused at RCPT.
            return false;
        }
        m_delivery.copyFolders.push_back(std::move(*folder));
    }
    return true;
}

void SmtpSession::EndTransaction() {
    m_recipients.clear();
    m_folder.clear();
}

} // namespace brevin
