#include "pop3/pop3_session.h"

#include "pop3/base64.h"
#include "pop3/pop3_command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace brevin {

namespace {

// Slows down password guessing; a timer, so other sessions go on meanwhile.
constexpr std::chrono::milliseconds kFailedPassDelay{1000};

// The end of a multi-line reply.
constexpr std::string_view kEnd = "\r\n.\r\n";

constexpr std::string_view kNotAuthenticated = "-ERR Brevin server: not authenticated";
constexpr std::string_view kNoSuchFile = "-ERR Brevin server: no such file";
constexpr std::string_view kNoSuchMessage = "-ERR Brevin server: no such message";

/// What must follow `tail` (the last bytes sent) so that the reply ends with CR LF "." CR LF,
/// reusing as much of that end as the bytes already hold.
std::string_view MissingEnd(std::string_view tail) {
    for (std::size_t have = std::min(tail.size(), kEnd.size()); have > 0; --have) {
        if (tail.ends_with(kEnd.substr(0, have))) {
            return kEnd.substr(have);
        }
    }
    return kEnd;
}

} // namespace

Pop3Session::Pop3Session(EventLoop& loop, const SessionOptions& options, UserDirectory& users)
    : MailSession(loop, ServiceKind::POP3, options), m_users(users) {}

Pop3Session::~Pop3Session() {
    CloseRetrieval();
    // A file that is already gone (deleted by another session, or marked twice) is skipped;
    // the other marks are still done.
    m_mailbox.Expunge();
}

void Pop3Session::InterpretCommand(std::string_view line) {
    ProcessPop3Command(line);
}

void Pop3Session::RejectLongLine() {
    ReplyLine("-ERR Brevin server: line too long");
}

void Pop3Session::ProcessPop3Command(std::string_view line) {
    const std::string argument = ExtractArgument(line);
    switch (CommandWord(line)) {
    case Word("user"):
        User(argument);
        break;
    case Word("pass"):
        Pass(argument);
        break;
    case Word("stat"):
        Stat();
        break;
    case Word("list"):
        List(argument);
        break;
    case Word("uidl"):
        Uidl(argument);
        break;
    case Word("retr"):
        Retr(argument);
        break;
    case Word("dele"):
        Dele(argument);
        break;
    case Word("quit"):
        // The connection stays open; marks are worked off only when the session ends.
        ReplyLine("+OK Brevin server is closeing");
        break;
    default:
        // Clients probe with CAPA and the like and go on when it is refused.
        ReplyLine("-ERR Brevin server: command not recognised");
        break;
    }
}

void Pop3Session::User(const std::string& argument) {
    m_user = argument;
    m_authorised = false;
    m_mailbox = Mailbox();
    ReplyLine(m_users.MailboxPath(m_user) ? "+OK Brevin server: continue"
                                          : "-ERR Brevin had not such User");
}

void Pop3Session::Pass(const std::string& argument) {
    m_authorised = false;
    m_mailbox = Mailbox();
    // An unknown user, or one without a password, opens nothing.
    const auto folder = m_users.MailboxPath(m_user);
    if (!folder || !m_users.CheckPassword(m_user, argument)) {
        ReplyLineAfter("-ERR this is not the pwd!!!", kFailedPassDelay);
        return;
    }
    m_mailbox = Mailbox(*folder);
    m_authorised = true;
    ReplyLine("+OK pwd is correct");
}

std::optional<std::size_t> Pop3Session::Message(std::int32_t number, std::string_view noSuchReply) {
    if (!m_authorised) {
        ReplyLine(kNotAuthenticated);
        return std::nullopt;
    }
    if (number < 1 || static_cast<std::size_t>(number) > m_mailbox.Count()) {
        ReplyLine(noSuchReply);
        return std::nullopt;
    }
    return static_cast<std::size_t>(number) - 1;
}

void Pop3Session::Stat() {
    if (!m_authorised) {
        ReplyLine(kNotAuthenticated);
        return;
    }
    // The second number is the first message's size, not the mailbox total.
    const std::uint64_t firstSize = m_mailbox.Count() == 0 ? 0 : m_mailbox.Entry(0).size;
    ReplyLine("+OK " + std::to_string(m_mailbox.Count()) + " " + std::to_string(firstSize));
}

void Pop3Session::List(const std::string& argument) {
    if (!m_authorised) {
        ReplyLine(kNotAuthenticated);
        return;
    }
    const std::int32_t number = ParseNumber(argument);
    if (number == 0) {
        StartListing(Stream::List, "+OK " + std::to_string(m_mailbox.Count()) + " msg");
        return;
    }
    if (const auto index = Message(number, kNoSuchMessage)) {
        ReplyLine("+OK " + std::to_string(number) + " " +
                  std::to_string(m_mailbox.Entry(*index).size));
    }
}

void Pop3Session::Uidl(const std::string& argument) {
    if (!m_authorised) {
        ReplyLine(kNotAuthenticated);
        return;
    }
    const std::int32_t number = ParseNumber(argument);
    if (number == 0) {
        StartListing(Stream::Uidl, "+OK list follow");
        return;
    }
    if (const auto index = Message(number, kNoSuchMessage)) {
        ReplyLine("+OK " + EncodeBase64(m_mailbox.Entry(*index).name));
    }
}

void Pop3Session::StartListing(Stream kind, std::string status) {
    HintStreaming();
    m_stream = kind;
    m_listNext = 0;
    m_listDone = false;
    status += "\r\n";
    FillListing(status, kBufferSize);
    Reply(status);
    if (m_listDone) {
        m_stream = Stream::None;
    } else {
        StartStream();
    }
}

std::string Pop3Session::ListingLine(std::size_t index) const {
    const MailboxEntry& entry = m_mailbox.Entry(index);
    std::string line = std::to_string(index + 1) + " ";
    line += m_stream == Stream::List ? std::to_string(entry.size) : EncodeBase64(entry.name);
    line += "\r\n";
    return line;
}

void Pop3Session::FillListing(std::string& out, std::size_t room) {
    while (!m_listDone) {
        const std::string line = m_listNext < m_mailbox.Count() ? ListingLine(m_listNext) : ".\r\n";
        if (out.size() + line.size() > room) {
            return;
        }
        out += line;
        if (m_listNext < m_mailbox.Count()) {
            ++m_listNext;
        } else {
            m_listDone = true;
        }
    }
}

bool Pop3Session::NextChunk() {
    switch (m_stream) {
    case Stream::Retrieval:
        return SendRetrievalChunk();
    case Stream::List:
    case Stream::Uidl:
        if (!m_listDone) {
            std::string piece;
            FillListing(piece, kBufferSize);
            const auto buffer = ChunkBuffer();
            std::memcpy(buffer.data(), piece.data(), piece.size());
            SetChunk(piece.size());
            return true;
        }
        break;
    case Stream::None:
        break;
    }
    m_stream = Stream::None;
    return false;
}

void Pop3Session::Retr(const std::string& argument) {
    const auto index = Message(ParseNumber(argument), kNoSuchFile);
    if (!index) {
        return;
    }
    // Opened now, so that a message removed since the listing is refused before any of the
    // multi-line reply has gone out.
    Mailbox::OpenedMessage message = m_mailbox.Open(*index);
    if (!message.fd) {
        ReplyLine(kNoSuchFile);
        return;
    }
    m_retrFd = std::move(message.fd);
    m_retrEnded = false;
    m_retrOffset = 0;
    HintStreaming();
    m_stream = Stream::Retrieval;
    StartStream();
    ReplyLine("+OK " + std::to_string(message.size) + " bytes");
}

void Pop3Session::Dele(const std::string& argument) {
    const auto index = Message(ParseNumber(argument), kNoSuchMessage);
    if (!index) {
        return;
    }
    // Nothing is deleted yet: the message stays listed and retrievable until the session ends.
    m_mailbox.Mark(*index);
    ReplyLine("+OK message deleted");
}

bool Pop3Session::SendRetrievalChunk() {
    if (m_retrEnded) {
        m_stream = Stream::None;
        return false;
    }
    if (Options().pause.count() == 0) {
        SendWhatTheSocketTakes();
    }
    const auto buffer = ChunkBuffer();
    ssize_t got = 0;
    do {
        got = ::pread(m_retrFd.Get(), buffer.data(), buffer.size(), m_retrOffset);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        m_retrOffset += got;
        SetChunk(static_cast<std::size_t>(got));
        return true;
    }
    m_retrEnded = true;
    if (got < 0) {
        CloseRetrieval();
        // Ending the reply here would hand the client a cut message that looks whole (and
        // that it may then delete): end the connection instead.
        EndSession();
        m_stream = Stream::None;
        return false;
    }
    // A file put into the folder by hand may lack the final "." line; the client's multi-line
    // reply must end all the same. The status line's CR LF counts for an empty file.
    char last[kEnd.size()];
    const auto have = static_cast<std::size_t>(std::min<off_t>(m_retrOffset, kEnd.size()));
    std::string tail = "\r\n";
    if (::pread(m_retrFd.Get(), last, have, m_retrOffset - static_cast<off_t>(have)) ==
        static_cast<ssize_t>(have)) {
        tail.append(last, have);
    }
    CloseRetrieval();
    const std::string_view missing = MissingEnd(tail);
    if (missing.empty()) {
        m_stream = Stream::None;
        return false;
    }
    std::memcpy(buffer.data(), missing.data(), missing.size());
    SetChunk(missing.size());
    return true;
}

void Pop3Session::SendWhatTheSocketTakes() {
    // Shared by the sessions of this thread: nothing stays in it between steps, since what
    // the socket does not take is read from the file again.
    thread_local char bulk[64 * 1024];
    for (;;) {
        const ssize_t got = ::pread(m_retrFd.Get(), bulk, sizeof bulk, m_retrOffset);
        if (got <= 0) {
            return; // the end, or an error, is dealt with piece by piece
        }
        const std::size_t sent = SendNow({bulk, static_cast<std::size_t>(got)});
        m_retrOffset += static_cast<off_t>(sent);
        if (sent < static_cast<std::size_t>(got)) {
            return; // full (or failed, which the next piece's send reports)
        }
    }
}

void Pop3Session::CloseRetrieval() {
    m_retrFd.Reset();
}

} // namespace brevin
