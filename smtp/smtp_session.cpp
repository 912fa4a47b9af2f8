#include "smtp/smtp_session.h"

#include "engine/command_word.h"
#include "smtp/address.h"

namespace brevin {

namespace {

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
// file is removed with the transaction, so a client that closes before hearing 250 leaves
// nothing a mailbox would show.
SmtpSession::~SmtpSession() {
    if (m_transaction) {
        m_deliveries.Withdraw(m_transaction->delivery);
    }
}

SmtpTransaction& SmtpSession::Transaction() {
    if (!m_transaction) {
        m_transaction.emplace();
    }
    return *m_transaction;
}

void SmtpSession::InterpretCommand(std::string_view line) {
    // The line is read as text: a zero byte ends it.
    const std::string_view text = line.substr(0, line.find('\0'));
    switch (CommandWord(text)) {
    case Word("helo"):
        ReplyLine(kOk);
        return;
    case Word("mail"):
        Mail(text);
        return;
    case Word("rcpt"):
        Rcpt(text);
        return;
    case Word("data"):
        Data();
        return;
    case Word("rset"):
        m_transaction.reset();
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

void SmtpSession::Mail(std::string_view line) {
    // A new transaction: earlier recipients get nothing of it.
    m_transaction.reset();
    if (ArgumentColon(line) != std::string_view::npos) {
        AddressToUserName(line, Transaction().sender);
    }
    ReplyLine(kOk); // whatever the sender was; nothing reads it
}

void SmtpSession::Rcpt(std::string_view line) {
    const auto colon = ArgumentColon(line);
    if (colon == std::string_view::npos) {
        ReplyLine(kNoSuchUser);
        return;
    }
    // A failed reduction leaves the whole argument, line end included, which names no user.
    std::string name;
    AddressToUserName(line.substr(colon + 1), name);
    auto folder = m_users.MailboxPath(name);
    if (!folder) {
        ReplyLine(kNoSuchUser);
        return;
    }
    SmtpTransaction& transaction = Transaction();
    transaction.lastFolder = std::move(*folder);
    transaction.recipients.push_back(std::move(name));
    ReplyLine(kOk);
}

void SmtpSession::Data() {
    if (!m_transaction || m_transaction->recipients.empty()) {
        ReplyLine(kNoRecipients); // nothing is stored and no number is taken
        return;
    }
    Hold();
    m_deliveries.TakeNumber(m_transaction->delivery,
                            [this](std::uint32_t number) { OpenMessageFile(number); });
}

void SmtpSession::OpenMessageFile(std::uint32_t number) {
    SmtpTransaction& transaction = *m_transaction;
    transaction.delivery = Delivery();
    if (!transaction.delivery.message.Open(transaction.lastFolder, number)) {
        ResumeAfterPause(kNoFile); // the recipients stay: the client may try DATA again
        return;
    }
    m_endOfData.Reset();
    EnterDataPhase();
    ResumeAfterPause(kStartData);
}

MailSession::DataResult SmtpSession::ReceiveMessageData(std::span<const char> bytes) {
    const std::string_view data(bytes.data(), bytes.size());
    const auto end = m_endOfData.Feed(data);
    const std::size_t used = end.value_or(data.size());
    // After a failed write the message takes no more, but the rest of the data is still read,
    // so that the reply comes where the client expects it and what follows is read as commands
    // again. Filing then refuses the message: 500.
    m_transaction->delivery.message.Append(bytes.first(used));
    if (end) {
        FinishMessage();
    }
    return {used, end.has_value()};
}

void SmtpSession::FinishMessage() {
    SmtpTransaction& transaction = *m_transaction;
    // The message itself lies in the last recipient's folder; every other gets a copy, its
    // folder looked up again now, as the administrator may have moved it since RCPT.
    for (std::size_t i = 0; i + 1 < transaction.recipients.size(); ++i) {
        auto folder = m_users.MailboxPath(transaction.recipients[i]);
        if (!folder) {
            // The user was removed since RCPT: the copy would land in the store root itself.
            // The sender hears 500 and keeps the message; its retry will be refused at RCPT.
            m_transaction.reset(); // removes the message file
            ReplyLineNow(kFailed);
            return;
        }
        transaction.delivery.copyFolders.push_back(std::move(*folder));
    }
    Hold();
    m_deliveries.Submit(transaction.delivery, [this](bool filed) { MessageFiled(filed); });
}

void SmtpSession::MessageFiled(bool filed) {
    // Filed: nothing of it is removed any more. Failed: nothing of it is left.
    m_transaction.reset();
    // Everything is on disk (or nothing is): the client may hear it without waiting.
    Resume(filed ? kOk : kFailed);
}

} // namespace brevin
