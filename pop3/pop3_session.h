#pragma once

#include "base/unique_fd.h"
#include "engine/mail_session.h"
#include "folders/folder_service.h"
#include "login/login_guard.h"
#include "pop3/message_stream.h"
#include "store/mailbox.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brevin {

/// A message being sent by RETR or TOP.
struct Pop3Retrieval {
    UniqueFd fd;
    std::uint64_t contentLength = 0; // the stored bytes before the final "." line
    std::uint64_t offset = 0;        // how much of the content has been read
    MessageStream stream;
    std::string pending; // the reply's next bytes, ready to go
    std::size_t pendingSent = 0;
    bool complete = false; // `pending` holds the reply's last bytes
};

/// A POP3 conversation (RFC 1939): USER and PASS open a mailbox; STAT, LIST, UIDL, RETR, TOP,
/// DELE, RSET and NOOP work on it; QUIT deletes what DELE marked and closes. A session that
/// ends in any other way deletes nothing. CAPA (RFC 2449) tells clients what is offered.
///
/// The mailbox is the INBOX's index as PASS found it, and every later command works on that
/// listing: message numbers stay what the client saw even while other sessions delete or
/// deliver. Opening it and deleting at QUIT run on the folders' worker, never on the loop.
class Pop3Session final : public MailSession {
public:
    Pop3Session(EventLoop& loop, const SessionOptions& options, LoginGuard& logins,
                FolderService& folders);
    ~Pop3Session() override;

    static constexpr std::string_view kBanner = "+OK Brevin SMTP/POP3 server";

private:
    using Handler = void (Pop3Session::*)(std::string_view argument);
    struct Command {
        std::uint32_t word; // the command's first four letters, see CommandWord
        bool needsLogin;    // refused before a successful PASS
        Handler handler;
    };
    static const Command kCommands[];

    // What the stream of a multi-line reply is producing.
    enum class Stream { None, Retrieval, List, Uidl };

    [[nodiscard]] std::string_view Banner() const override { return kBanner; }
    void InterpretCommand(std::string_view line) override;
    void RejectLongLine() override;
    [[nodiscard]] std::string CommandName(std::string_view line) const override;
    [[nodiscard]] std::string LineForLog(std::string_view line) const override;
    bool NextChunk() override;
    void OnEncrypted() override;
    void OnInputEnded() override;
    [[nodiscard]] bool IsFailureReply(std::string_view reply) const override;

    void User(std::string_view argument);
    void Pass(std::string_view argument);
    void Stat(std::string_view argument);
    void List(std::string_view argument);
    void Uidl(std::string_view argument);
    void Retr(std::string_view argument);
    void Top(std::string_view argument);
    void Dele(std::string_view argument);
    void Rset(std::string_view argument);
    void Noop(std::string_view argument);
    void Quit(std::string_view argument);
    void Capa(std::string_view argument);
    void Stls(std::string_view argument);
    /// Refuses USER and PASS on a plain session when encryption is required; true if it did.
    bool RefusedInTheClear();
    /// The answer to PASS: opens the mailbox or not, and logs the login.
    void PasswordChecked(const LoginResult& result);
    /// The mailbox of an accepted login is open: logs the login and answers PASS.
    void MailboxOpened(const std::string& folder, const FolderService::Snapshot& snapshot,
                       bool penalised);
    /// Answers PASS for a login that opens nothing.
    void LoginRefused(const LoginResult& result);

    /// The listing index a command's number names, or nothing (after replying) when it names
    /// none or a message marked for deletion.
    std::optional<std::size_t> Message(std::string_view argument, std::string_view noSuchReply);
    /// Starts a listing of the messages not marked: `status` and as many lines as fit now; the
    /// rest streams.
    void StartListing(Stream kind, std::string status);
    /// Appends whole listing lines (and the final ".") to `out` while they fit in `room`.
    void FillListing(std::string& out, std::size_t room);
    [[nodiscard]] std::string ListingLine(std::size_t index) const;

    /// Starts sending message `index`: all of it, or the header and `bodyLines` lines (TOP).
    bool StartRetrieval(std::size_t index, std::optional<std::uint64_t> bodyLines,
                        const std::string& status);
    /// Makes sure `want` bytes of the reply are ready in `m_retrieval->pending` (fewer at its
    /// end); false when the file cannot be read.
    bool PrepareRetrieval(std::size_t want);
    bool SendRetrievalChunk();

    LoginGuard& m_logins;
    FolderService& m_folders;
    FolderTicket m_folderWork; // opening the mailbox, or deleting at QUIT

    std::string m_user;  // as the last USER gave it, also when unknown
    LoginTicket m_login; // the PASS being checked
    bool m_authorised = false;
    std::uint64_t m_retrieved = 0; // RETR since the login, for the log
    Mailbox m_mailbox;             // listed when PASS opened it

    // While a stream runs the engine holds further commands back by itself, so this protocol
    // never enters the data phase.
    Stream m_stream = Stream::None;
    std::size_t m_listNext = 0; // next listing entry to send; the size means the "." is next
    bool m_listDone = false;

    std::optional<Pop3Retrieval> m_retrieval; // the message being sent by RETR or TOP
};

} // namespace brevin
