#include "smtp/smtp_session.h"

#include "engine/command_word.h"
#include "smtp/address.h"
#include "store/file_util.h"
#include "store/registry.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <unistd.h>

namespace brevin {

namespace {

constexpr std::string_view kEndOfData = "\r\n.\r\n";

/// The position of the first ':', when it stands where an argument can follow a command word
/// and a blank ("MAIL FROM:", "RCPT TO:"); npos otherwise.
std::size_t ArgumentColon(std::string_view text) {
    const auto colon = text.find(':');
    return colon != std::string_view::npos && colon >= 5 ? colon : std::string_view::npos;
}

std::string WorkingDirectory() {
    std::error_code ec;
    return std::filesystem::current_path(ec).string();
}

} // namespace

SmtpSession::SmtpSession(EventLoop& loop, const SessionOptions& options, ProfileFile& profile)
    : MailSession(loop, ServiceKind::SMTP, options), m_profile(profile) {}

// A message still being received goes with the session: its temporary file is removed by
// `m_message`, so a client that closes mid-data leaves nothing a mailbox would show.
SmtpSession::~SmtpSession() {
    FreeList(m_recipients);
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
        if (m_recipients == nullptr) {
            ReplyLine(kNoRecipients); // nothing is stored and no number is taken
            return;
        }
        if (!OpenMessageFile()) {
            ReplyLine(kNoFile);
            return;
        }
        // The CR LF that ended DATA counts, so a message of only "." CR LF ends at once.
        std::memcpy(m_tail, "\r\n", 2);
        m_tailLength = 2;
        m_dataPhase = true;
        ReplyLine(kStartData);
        return;
    case Word("rset"):
        FreeList(m_recipients);
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
    std::string folder = m_profile.Read("USERS", name, "");
    if (folder.empty()) {
        return false;
    }
    m_folder = std::move(folder);
    AppendText(m_recipients, std::move(name));
    return true;
}

bool SmtpSession::OpenMessageFile() {
    m_copies.clear();
    m_writeFailed = false;
    const bool created = m_message.Open(m_profile, ReadStoreRoot(m_profile) + "/" + m_folder);
    m_msgPath = m_message.Path();
    return created;
}

std::size_t SmtpSession::ReceiveMessageData(std::span<const char> bytes) {
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

    // After a failed write the rest of the data is still read, so that the reply comes where
    // the client expects it and what follows is read as commands again.
    if (!m_writeFailed && !m_message.Append(bytes.first(used))) {
        m_writeFailed = true;
    }

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
        m_dataPhase = false;
        FinishMessage();
    }
    return used;
}

void SmtpSession::FinishMessage() {
    bool ok = !m_writeFailed && m_message.Commit(m_profile);
    if (ok) {
        m_msgPath = m_message.Path(); // a name found taken moves the message to the next number
        ok = CopyToRecipients();
    }
    if (ok) {
        m_message = IncomingMessage(); // filed: nothing of it is removed any more
        m_copies.clear();
    } else {
        DiscardMessage();
    }
    m_writeFailed = false;
    EndTransaction();
    // Everything is on disk (or nothing is): the client may hear it without waiting.
    ReplyLineNow(ok ? kOk : kFailed);
}

bool SmtpSession::CopyToRecipients() {
    const std::string workingDirectory = WorkingDirectory();
    for (const listas* node = m_recipients; node != nullptr && node->Next() != nullptr;
         node = node->Next()) {
        // Looked up again now: the administrator may have moved the folder since RCPT.
        const std::string userFolder = m_profile.Read("USERS", node->m_text, "");
        if (userFolder.empty()) {
            // The user was removed since RCPT: the copy would land in the store root itself.
            // The sender hears 500 and keeps the message; its retry will be refused at RCPT.
            return false;
        }
        const std::string root = ReadStoreRoot(m_profile, workingDirectory);
        auto copy = CopyMessage(m_profile, m_msgPath, root + "/" + userFolder);
        if (!copy) {
            return false;
        }
        m_copies.push_back(std::move(*copy));
    }
    return true;
}

void SmtpSession::DiscardMessage() {
    std::set<std::string> folders;
    if (!m_msgPath.empty()) {
        folders.insert(file_util::FolderOf(m_msgPath));
    }
    m_message.Discard();
    for (const std::string& path : m_copies) {
        ::unlink(path.c_str());
        folders.insert(file_util::FolderOf(path));
    }
    m_copies.clear();
    // So that a crash now does not bring back files whose sender was told to try again.
    for (const std::string& folder : folders) {
        file_util::SyncFolder(folder);
    }
}

void SmtpSession::EndTransaction() {
    FreeList(m_recipients);
    m_folder.clear();
}

} // namespace brevin
