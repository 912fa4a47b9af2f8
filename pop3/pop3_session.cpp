#include "pop3/pop3_session.h"

#include "base/base64.h"
#include "base/log.h"
#include "pop3/pop3_command.h"
#include "pop3/pop3_service.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <unistd.h>
#include <utility>

namespace brevin {

namespace {

constexpr std::string_view kPassOk = "+OK pwd is correct";
constexpr std::string_view kPassWrong = "-ERR this is not the pwd!!!";
// Read from a message file at a time while the socket takes all it is given.
constexpr std::size_t kBulkRead = 64 * 1024;

constexpr std::string_view kNotAuthenticated = "-ERR Brevin server: not authenticated";
constexpr std::string_view kNoSuchFile = "-ERR Brevin server: no such file";
constexpr std::string_view kNoSuchMessage = "-ERR Brevin server: no such message";
constexpr std::string_view kAlreadyDeleted = "-ERR Brevin server: message already deleted";
constexpr std::string_view kClosing = "+OK Brevin server is closeing";

/// The argument after the first number of `argument` ("TOP 3 10" gives "10"); empty when
/// there is none.
std::string_view SecondArgument(std::string_view argument) {
    const auto first = argument.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto gap = argument.find_first_of(" \t", first);
    if (gap == std::string_view::npos) {
        return {};
    }
    const auto second = argument.find_first_not_of(" \t", gap);
    return second == std::string_view::npos ? std::string_view{} : argument.substr(second);
}

} // namespace

// A failed PASS has its own event (`pop3 login … failed=yes`), which fail2ban reads.
bool Pop3Session::IsFailureReply(std::string_view reply) const {
    return reply.starts_with("-ERR") && reply != kPassWrong;
}

const Pop3Session::Command Pop3Session::kCommands[] = {
    {Word("user"), false, &Pop3Session::User}, {Word("pass"), false, &Pop3Session::Pass},
    {Word("quit"), false, &Pop3Session::Quit}, {Word("capa"), false, &Pop3Session::Capa},
    {Word("stls"), false, &Pop3Session::Stls}, {Word("noop"), true, &Pop3Session::Noop},
    {Word("stat"), true, &Pop3Session::Stat},  {Word("list"), true, &Pop3Session::List},
    {Word("uidl"), true, &Pop3Session::Uidl},  {Word("retr"), true, &Pop3Session::Retr},
    {Word("top "), true, &Pop3Session::Top},   {Word("dele"), true, &Pop3Session::Dele},
    {Word("rset"), true, &Pop3Session::Rset},
};

Pop3Session::Pop3Session(EventLoop& loop, const SessionOptions& options, LoginGuard& logins,
                         FolderService& folders)
    : MailSession(loop, kPop3Traits, options), m_logins(logins), m_folders(folders) {}

// Only QUIT deletes: a session that ends in any other way leaves every message in place, so
// a client that gives up halfway finds its mail again next time.
Pop3Session::~Pop3Session() = default;

// The first four letters name a command, as they choose the handler.
std::string Pop3Session::CommandName(std::string_view line) const {
    return LeadingWord(line, 4);
}

// A password never reaches the log, whichever service a client sends it to.
std::string Pop3Session::LineForLog(std::string_view line) const {
    const std::string word = LeadingWord(line, 4);
    return word == "PASS" || word == "AUTH" || word == "APOP" ? word + " ***" : std::string(line);
}

void Pop3Session::InterpretCommand(std::string_view line) {
    std::uint32_t word = CommandWord(line);
    // TOP is the one command of three letters: its word ends in the blank or the line end.
    const char fourth = static_cast<char>(word & 0xFF);
    const bool threeLetters = fourth == ' ' || fourth == '\r' || fourth == '\n' || fourth == 0;
    if (threeLetters) {
        word = (word & ~std::uint32_t{0xFF}) | ' ';
    }
    const std::string argument = ExtractArgument(line, threeLetters ? 3 : 4);
    for (const Command& command : kCommands) {
        if (command.word != word) {
            continue;
        }
        if (command.needsLogin && !m_authorised) {
            ReplyLine(kNotAuthenticated);
        } else {
            (this->*command.handler)(argument);
        }
        return;
    }
    ReplyLine("-ERR Brevin server: command not recognised");
}

void Pop3Session::RejectLongLine() {
    ReplyLine("-ERR Brevin server: line too long");
}

bool Pop3Session::RefusedInTheClear() {
    if (Options().requireTls && !IsEncrypted()) {
        ReplyLine("-ERR Brevin server: encryption required, send STLS first");
        return true;
    }
    return false;
}

void Pop3Session::User(std::string_view argument) {
    if (RefusedInTheClear()) {
        return;
    }
    m_user = argument;
    m_authorised = false;
    m_mailbox = Mailbox();
    // Every name is taken here: telling unknown names apart would let a guesser collect them.
    // PASS refuses.
    ReplyLine("+OK Brevin server: continue");
}

// A client that hangs up while its password is checked hears nothing; its guess still counts.
void Pop3Session::OnInputEnded() {
    if (m_login.Pending() || m_folderWork.Pending()) {
        EndSession();
    }
}

void Pop3Session::Pass(std::string_view argument) {
    if (RefusedInTheClear()) {
        return;
    }
    m_authorised = false;
    m_mailbox = Mailbox();
    Hold();
    m_login = m_logins.Check("pop3", PeerAddress(), m_user, argument,
                             [this](const LoginResult& result) { PasswordChecked(result); });
}

// An unknown user, or one without a password, opens nothing.
void Pop3Session::PasswordChecked(const LoginResult& result) {
    if (result.verdict != LoginVerdict::Accepted) {
        LoginRefused(result);
        return;
    }
    m_folderWork = m_folders.Open(result.mailbox,
                                  [this, folder = result.mailbox, penalised = result.penalised](
                                      const FolderService::Snapshot& snapshot) {
                                      MailboxOpened(folder, snapshot, penalised);
                                  });
}

void Pop3Session::MailboxOpened(const std::string& folder, const FolderService::Snapshot& snapshot,
                                bool penalised) {
    m_mailbox = Mailbox(folder, snapshot);
    m_authorised = true;
    m_retrieved = 0;
    LogEvent("pop3", "login")
        .Add("user", m_user)
        .Add("client", ClientEndpoint())
        .Add("session", Id())
        .Add("messages", m_mailbox.Count());
    if (penalised) {
        Resume(kPassOk);
    } else {
        ResumeAfterPause(kPassOk);
    }
}

void Pop3Session::LoginRefused(const LoginResult& result) {
    {
        LogEvent login("pop3", "login");
        login.Add("user", m_user).Add("client", ClientEndpoint()).Add("session", Id());
        if (result.verdict == LoginVerdict::Unavailable) {
            login.Add("reason", "profile unreadable"); // not the client's fault: no ban
        }
        login.Failed();
    }
    const std::string_view reply =
        result.verdict == LoginVerdict::Unavailable
            ? "-ERR Brevin server: cannot check the password now, try again later"
            : kPassWrong;
    if (result.penalised) {
        Resume(reply);
    } else {
        ResumeAfterPause(reply);
    }
}

// The deletions happen on the worker, and happen even when the client hangs up meanwhile: it
// asked for them.
void Pop3Session::Quit(std::string_view /*argument*/) {
    if (!m_authorised) {
        ReplyLine(kClosing);
        CloseAfterReply();
        return;
    }
    auto names = m_mailbox.MarkedNames();
    const std::size_t marked = names.size();
    auto failed = std::make_shared<std::vector<std::string>>();
    Hold();
    m_folderWork = m_folders.Change(
        m_mailbox.Folder(),
        [names = std::move(names), failed](FolderIndex& index) {
            *failed = RemoveMessages(index, names);
        },
        [this, marked, failed](const FolderService::Snapshot&) {
            std::string reply(kClosing);
            if (!failed->empty()) {
                reply = "-ERR Brevin server: could not delete";
                for (const std::string& name : *failed) {
                    reply += " " + name;
                }
            }
            LogEvent("pop3", "quit")
                .Add("user", m_user)
                .Add("session", Id())
                .Add("retrieved", m_retrieved)
                .Add("deleted", marked - failed->size())
                .Add("kept", failed->size());
            m_authorised = false;
            CloseAfterReply();
            ResumeAfterPause(reply); // may end the session
        });
}

// RFC 2449. Replies carry no response codes, so RESP-CODES is not named; where encryption is
// required, USER is offered only once the session is encrypted.
void Pop3Session::Capa(std::string_view /*argument*/) {
    std::string reply = "+OK Capability list follows\r\nTOP\r\nUIDL\r\n";
    if (!Options().requireTls || IsEncrypted()) {
        reply += "USER\r\n";
    }
    if (CanStartTls() && !m_authorised) {
        reply += "STLS\r\n";
    }
    reply += "PIPELINING\r\nIMPLEMENTATION Brevin\r\n.\r\n";
    Reply(reply);
}

void Pop3Session::Stls(std::string_view /*argument*/) {
    if (m_authorised || !CanStartTls()) {
        ReplyLine(IsEncrypted() ? "-ERR Brevin server: already encrypted"
                                : "-ERR Brevin server: STLS not available now");
        return;
    }
    MailSession::StartTls("+OK Begin TLS negotiation");
}

// A USER given in the clear is forgotten (RFC 2595).
void Pop3Session::OnEncrypted() {
    m_user.clear();
    m_authorised = false;
    m_mailbox = Mailbox();
}

void Pop3Session::Noop(std::string_view /*argument*/) {
    ReplyLine("+OK");
}

void Pop3Session::Rset(std::string_view /*argument*/) {
    m_mailbox.UnmarkAll();
    ReplyLine("+OK");
}

std::optional<std::size_t> Pop3Session::Message(std::string_view argument,
                                                std::string_view noSuchReply) {
    const std::int32_t number = ParseNumber(argument);
    if (number < 1 || static_cast<std::size_t>(number) > m_mailbox.Count()) {
        ReplyLine(noSuchReply);
        return std::nullopt;
    }
    const auto index = static_cast<std::size_t>(number) - 1;
    if (m_mailbox.IsMarked(index)) {
        ReplyLine(kAlreadyDeleted);
        return std::nullopt;
    }
    return index;
}

void Pop3Session::Stat(std::string_view /*argument*/) {
    ReplyLine("+OK " + std::to_string(m_mailbox.LiveCount()) + " " +
              std::to_string(m_mailbox.LiveSize()));
}

void Pop3Session::List(std::string_view argument) {
    if (ParseNumber(argument) == 0) {
        StartListing(Stream::List, "+OK " + std::to_string(m_mailbox.LiveCount()) + " msg");
        return;
    }
    if (const auto index = Message(argument, kNoSuchMessage)) {
        ReplyLine("+OK " + std::to_string(*index + 1) + " " +
                  std::to_string(m_mailbox.ClientSize(*index)));
    }
}

void Pop3Session::Uidl(std::string_view argument) {
    if (ParseNumber(argument) == 0) {
        StartListing(Stream::Uidl, "+OK list follow");
        return;
    }
    if (const auto index = Message(argument, kNoSuchMessage)) {
        ReplyLine("+OK " + std::to_string(*index + 1) + " " +
                  EncodeBase64(m_mailbox.Entry(*index).name));
    }
}

void Pop3Session::Dele(std::string_view argument) {
    if (const auto index = Message(argument, kNoSuchMessage)) {
        // Nothing is deleted yet: that waits for QUIT, and RSET can still take it back.
        m_mailbox.Mark(*index);
        ReplyLine("+OK message deleted");
    }
}

void Pop3Session::StartListing(Stream kind, std::string status) {
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
    std::string line = std::to_string(index + 1) + " ";
    line += m_stream == Stream::List ? std::to_string(m_mailbox.ClientSize(index))
                                     : EncodeBase64(m_mailbox.Entry(index).name);
    line += "\r\n";
    return line;
}

void Pop3Session::FillListing(std::string& out, std::size_t room) {
    while (!m_listDone) {
        while (m_listNext < m_mailbox.Count() && m_mailbox.IsMarked(m_listNext)) {
            ++m_listNext;
        }
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
        if (SendRetrievalChunk()) {
            return true;
        }
        break;
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

void Pop3Session::Retr(std::string_view argument) {
    if (const auto index = Message(argument, kNoSuchFile)) {
        if (StartRetrieval(*index, std::nullopt,
                           "+OK " + std::to_string(m_mailbox.ClientSize(*index)) + " bytes")) {
            ++m_retrieved;
            LogEvent("pop3", "retrieve")
                .Add("user", m_user)
                .Add("session", Id())
                .Add("message", m_mailbox.Entry(*index).name)
                .Add("size", m_mailbox.ClientSize(*index));
        }
    }
}

void Pop3Session::Top(std::string_view argument) {
    const std::string_view lines = SecondArgument(argument);
    const std::int32_t count = ParseNumber(lines);
    if (lines.empty() || count < 0) {
        ReplyLine("-ERR Brevin server: TOP needs a message number and a line count");
        return;
    }
    if (const auto index = Message(argument, kNoSuchMessage)) {
        StartRetrieval(*index, static_cast<std::uint64_t>(count), "+OK top of message follows");
    }
}

bool Pop3Session::StartRetrieval(std::size_t index, std::optional<std::uint64_t> bodyLines,
                                 const std::string& status) {
    // Opened now, so that a message removed since the listing is refused before any of the
    // multi-line reply has gone out.
    Mailbox::OpenedMessage message = m_mailbox.Open(index);
    if (!message.fd) {
        ReplyLine(kNoSuchFile);
        return false;
    }
    char tail[5];
    const auto tailLength = static_cast<std::size_t>(std::min<std::uint64_t>(message.size, 5));
    const ssize_t got =
        ::pread(message.fd.Get(), tail, tailLength, static_cast<off_t>(message.size - tailLength));
    if (got != static_cast<ssize_t>(tailLength)) {
        ReplyLine(kNoSuchFile);
        return false;
    }
    m_retrieval.emplace();
    m_retrieval->fd = std::move(message.fd);
    m_retrieval->contentLength = StoredContentLength(message.size, {tail, tailLength});
    m_retrieval->stream = MessageStream(bodyLines);
    m_stream = Stream::Retrieval;
    StartStream();
    ReplyLine(status);
    return true;
}

bool Pop3Session::PrepareRetrieval(std::size_t want) {
    Pop3Retrieval& r = *m_retrieval;
    if (r.pending.size() - r.pendingSent >= want || r.complete) {
        return true;
    }
    r.pending.erase(0, r.pendingSent); // what is left is less than a piece
    r.pendingSent = 0;
    while (r.pending.size() < want && !r.complete) {
        char buffer[kBulkRead];
        const auto room = static_cast<std::size_t>(
            std::min<std::uint64_t>(sizeof buffer, r.contentLength - r.offset));
        ssize_t got = 0;
        if (room > 0) {
            do {
                got = ::pread(r.fd.Get(), buffer, room, static_cast<off_t>(r.offset));
            } while (got < 0 && errno == EINTR);
            if (got <= 0) {
                return false; // gone short or unreadable: the reply cannot be completed
            }
            r.offset += static_cast<std::uint64_t>(got);
        }
        const bool more = r.stream.Feed({buffer, static_cast<std::size_t>(got)}, r.pending);
        if (!more || r.offset == r.contentLength) {
            r.pending += r.stream.Ending();
            r.complete = true;
            r.fd.Reset();
        }
    }
    return true;
}

bool Pop3Session::SendRetrievalChunk() {
    Pop3Retrieval& r = *m_retrieval;
    if (Options().pause.count() == 0) {
        // Without a pause to keep, hand the socket as much as it takes right now.
        while (PrepareRetrieval(kBulkRead) && r.pending.size() > r.pendingSent) {
            const std::string_view rest = std::string_view(r.pending).substr(r.pendingSent);
            const std::size_t sent = SendNow(rest);
            r.pendingSent += sent;
            if (sent < rest.size()) {
                break; // full (or failed, which the next piece's send reports)
            }
        }
    }
    if (!PrepareRetrieval(kBufferSize)) {
        // Ending the reply here would hand the client a cut message that looks whole (and
        // that it may then delete): end the connection instead.
        m_retrieval.reset();
        EndSession();
        return false;
    }
    const std::size_t take = std::min(kBufferSize, r.pending.size() - r.pendingSent);
    if (take == 0) {
        m_retrieval.reset();
        return false;
    }
    std::memcpy(ChunkBuffer().data(), r.pending.data() + r.pendingSent, take);
    r.pendingSent += take;
    SetChunk(take);
    return true;
}

} // namespace brevin
