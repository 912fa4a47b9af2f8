#include "pop3/pop3_session.h"

#include "pop3/base64.h"
#include "pop3/pop3_command.h"
#include "store/registry.h"

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

Pop3Session::Pop3Session(EventLoop& loop, const SessionOptions& options, ProfileFile& profile)
    : MailSession(loop, ServiceKind::POP3, options), m_profile(profile) {}

Pop3Session::~Pop3Session() {
    CloseRetrieval();
    // Marks are worked off in DELE order. A file that is already gone (deleted by another
    // session, or marked twice) is skipped; the other marks are still done.
    for (const listas* node = m_deleteMarks; node != nullptr; node = node->Next()) {
        ::unlink(node->m_text.c_str());
    }
    FreeList(m_deleteMarks);
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
    m_folder = m_profile.Read("USERS", argument, "");
    m_authorised = false;
    m_folderPath.clear();
    m_messages.clear();
    ReplyLine(m_folder.empty() ? "-ERR Brevin had not such User" : "+OK Brevin server: continue");
}

void Pop3Session::Pass(const std::string& argument) {
    const std::string password = m_profile.Read("PWD", m_user, "");
    m_authorised = false;
    m_folderPath.clear();
    m_messages.clear();
    // An unknown user, or one without a password, opens nothing.
    if (m_folder.empty() || password.empty() || argument != password) {
        ReplyLineAfter("-ERR this is not the pwd!!!", kFailedPassDelay);
        return;
    }
    m_folderPath = ReadStoreRoot(m_profile) + "/" + m_folder;
    m_messages = ListMailbox(m_folderPath);
    m_authorised = true;
    ReplyLine("+OK pwd is correct");
}

const MailboxEntry* Pop3Session::Message(std::int32_t number, std::string_view noSuchReply) {
    if (!m_authorised) {
        ReplyLine(kNotAuthenticated);
        return nullptr;
    }
    if (number < 1 || static_cast<std::size_t>(number) > m_messages.size()) {
        ReplyLine(noSuchReply);
        return nullptr;
    }
    return &m_messages[static_cast<std::size_t>(number) - 1];
}

void Pop3Session::Stat() {
    if (!m_authorised) {
        ReplyLine(kNotAuthenticated);
        return;
    }
    // The second number is the first message's size, not the mailbox total.
    const std::uint64_t firstSize = m_messages.empty() ? 0 : m_messages.front().size;
    ReplyLine("+OK " + std::to_string(m_messages.size()) + " " + std::to_string(firstSize));
}

void Pop3Session::List(const std::string& argument) {
    if (!m_authorised) {
        ReplyLine(kNotAuthenticated);
        return;
    }
    const std::int32_t number = ParseNumber(argument);
    if (number == 0) {
        StartListing(Stream::List, "+OK " + std::to_string(m_messages.size()) + " msg");
        return;
    }
    if (const MailboxEntry* entry = Message(number, kNoSuchMessage)) {
        ReplyLine("+OK " + std::to_string(number) + " " + std::to_string(entry->size));
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
    if (const MailboxEntry* entry = Message(number, kNoSuchMessage)) {
        ReplyLine("+OK " + EncodeBase64(entry->name));
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
    const MailboxEntry& entry = m_messages[index];
    std::string line = std::to_string(index + 1) + " ";
    line += m_stream == Stream::List ? std::to_string(entry.size) : EncodeBase64(entry.name);
    line += "\r\n";
    return line;
}

void Pop3Session::FillListing(std::string& out, std::size_t room) {
    while (!m_listDone) {
        const std::string line = m_listNext < m_messages.size() ? ListingLine(m_listNext) : ".\r\n";
        if (out.size() + line.size() > room) {
            return;
        }
        out += line;
        if (m_listNext < m_messages.size()) {
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
    const MailboxEntry* entry = Message(ParseNumber(argument), kNoSuchFile);
    if (entry == nullptr) {
        return;
    }
    m_msgPath = m_folderPath + "/" + entry->name;
    // Opened now, so that a message removed since the listing is refused before any of the
    // multi-line reply has gone out.
    const int fd = ::open(m_msgPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) {
            ::close(fd);
        }
        ReplyLine(kNoSuchFile);
        return;
    }
    m_retrFd = fd;
    m_retrEnded = false;
    m_retrOffset = 0;
    HintStreaming();
    m_stream = Stream::Retrieval;
    StartStream();
    ReplyLine("+OK " + std::to_string(st.st_size) + " bytes");
}

void Pop3Session::Dele(const std::string& argument) {
    const MailboxEntry* entry = Message(ParseNumber(argument), kNoSuchMessage);
    if (entry == nullptr) {
        return;
    }
    // Nothing is deleted yet: the message stays listed and retrievable until the session ends.
    m_msgPath = m_folderPath + "/" + entry->name;
    AppendText(m_deleteMarks, m_msgPath);
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
        got = ::pread(m_retrFd, buffer.data(), buffer.size(), m_retrOffset);
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
    if (::pread(m_retrFd, last, have, m_retrOffset - static_cast<off_t>(have)) ==
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
        const ssize_t got = ::pread(m_retrFd, bulk, sizeof bulk, m_retrOffset);
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
    if (m_retrFd >= 0) {
        ::close(std::exchange(m_retrFd, -1));
    }
}

} // namespace brevin
