#pragma once

#include "engine/mail_session.h"
#include "folders/folder_service.h"
#include "imap/imap_parser.h"
#include "imap/selected_folder.h"
#include "login/login_guard.h"
#include "store/folder_tree.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// What the administrator sets for IMAP beside the session options.
struct ImapLimits {
    /// An APPEND literal larger than this gets NO [TOOBIG] (0: no limit).
    std::uint64_t maxMessageSize = 52'428'800;
    /// APPEND is refused with NO [OVERQUOTA] while the store would keep less than this free.
    std::uint64_t minFreeBytes = 256ULL << 20;
};

/// An IMAP4rev2 / IMAP4rev1 conversation (RFC 9051, RFC 3501). Commands arrive whole, their
/// literals gathered first; each runs from the command table, which says in which state it is
/// allowed. File work (opening a folder, reading messages, changing flags) runs on the
/// folders' worker while the session holds its reply. A selected folder is watched: what other
/// sessions and mail delivery change reaches the client before the next tagged reply, or at
/// once while it IDLEs; an EXPUNGE waits while a command that uses message numbers is running.
class ImapSession final : public MailSession {
public:
    ImapSession(EventLoop& loop, const SessionOptions& options, LoginGuard& logins,
                FolderService& folders, const ImapLimits& limits);
    ~ImapSession() override;

private:
    enum class State : std::uint8_t { NotAuthenticated, Authenticated, Selected };
    enum class Needs : std::uint8_t { Nothing, Login, Selection, NoLogin };
    using Handler = void (ImapSession::*)(const std::string& tag, imap::Parser& args);
    struct Command {
        std::string_view name;
        Needs needs;
        Handler handler;
    };
    static const Command kCommands[];

    // MailSession
    /// The greeting carries the capabilities, so that clients need not ask (and STARTTLS or
    /// AUTH=PLAIN is known before the first command).
    [[nodiscard]] std::string_view Banner() const override;
    void InterpretCommand(std::string_view line) override;
    void ReceiveLiteral(std::span<const char> bytes, bool complete) override;
    void RejectLongLine() override;
    [[nodiscard]] std::size_t LineLimit() const override { return kLineLimit; }
    [[nodiscard]] std::string CommandName(std::string_view line) const override;
    [[nodiscard]] std::string LineForLog(std::string_view line) const override;
    void OnEncrypted() override;
    void OnInputEnded() override;
    [[nodiscard]] bool IsFailureReply(std::string_view reply) const override;

    /// Runs one whole command (literals inline).
    void Execute(const std::string& command);
    /// The tagged reply, after the untagged news the client may hear now.
    void Finish(const std::string& tag, std::string_view status, bool allowExpunge = true);
    /// `Finish` for a command held on the worker.
    void FinishHeld(const std::string& tag, std::string_view status, bool allowExpunge = true);
    void Bad(const std::string& tag, std::string_view why) {
        Finish(tag, "BAD " + std::string(why));
    }
    /// Adds what changed in the selected folder as untagged lines to the reply being made.
    void AddNews(bool allowExpunge);
    [[nodiscard]] std::string Capabilities() const;
    /// A mailbox name as the client sent it, in UTF-8; nothing (after BAD) when undecodable.
    std::optional<std::string> MailboxName(const std::string& tag, const std::string& wire);
    /// A mailbox name as the client must see it.
    [[nodiscard]] std::string WireName(const std::string& utf8) const;

    // Commands in any state.
    void Capability(const std::string& tag, imap::Parser& args);
    void Noop(const std::string& tag, imap::Parser& args);
    void Check(const std::string& tag, imap::Parser& args);
    /// Brings the selected folder's news (if any) before the tagged `done`.
    void LookAtFolder(const std::string& tag, std::string_view done);
    void Logout(const std::string& tag, imap::Parser& args);
    void IdCommand(const std::string& tag, imap::Parser& args);
    // Not authenticated.
    void StartTls(const std::string& tag, imap::Parser& args);
    void Login(const std::string& tag, imap::Parser& args);
    void Authenticate(const std::string& tag, imap::Parser& args);
    void AuthenticateResponse(std::string_view line);
    void CheckPassword(const std::string& tag, const std::string& user,
                       const std::string& password);
    void LoggedIn(const std::string& tag, const std::string& user, const LoginResult& result);
    // Authenticated.
    void Enable(const std::string& tag, imap::Parser& args);
    void Namespace(const std::string& tag, imap::Parser& args);
    void Select(const std::string& tag, imap::Parser& args);
    void Examine(const std::string& tag, imap::Parser& args);
    void Create(const std::string& tag, imap::Parser& args);
    void Delete(const std::string& tag, imap::Parser& args);
    void Rename(const std::string& tag, imap::Parser& args);
    void Subscribe(const std::string& tag, imap::Parser& args);
    void Unsubscribe(const std::string& tag, imap::Parser& args);
    void List(const std::string& tag, imap::Parser& args);
    void Lsub(const std::string& tag, imap::Parser& args);
    void Status(const std::string& tag, imap::Parser& args);
    void Append(const std::string& tag, imap::Parser& args);
    void Idle(const std::string& tag, imap::Parser& args);
    // QUOTA (RFC 9208): one quota root, "", for the whole mailbox.
    void GetQuotaRoot(const std::string& tag, imap::Parser& args);
    void GetQuota(const std::string& tag, imap::Parser& args);
    void SetQuota(const std::string& tag, imap::Parser& args);
    /// The quota's untagged QUOTA (when the user has one), then the tagged `done`.
    void TellQuota(const std::string& tag, std::string_view done);
    /// The user's quota in bytes; 0 for none.
    [[nodiscard]] std::uint64_t QuotaBytes() const;
    // Selected.
    void Close(const std::string& tag, imap::Parser& args);
    void Unselect(const std::string& tag, imap::Parser& args);
    void Expunge(const std::string& tag, imap::Parser& args);
    void Uid(const std::string& tag, imap::Parser& args);
    void Fetch(const std::string& tag, imap::Parser& args) { FetchMessages(tag, args, false); }
    void Store(const std::string& tag, imap::Parser& args) { StoreFlags(tag, args, false); }
    void Search(const std::string& tag, imap::Parser& args) { SearchMessages(tag, args, false); }
    void Copy(const std::string& tag, imap::Parser& args) { CopyMessages(tag, args, false, false); }
    void Move(const std::string& tag, imap::Parser& args) { CopyMessages(tag, args, false, true); }

    void SelectFolder(const std::string& tag, imap::Parser& args, bool readOnly);
    /// A command that uses mod-sequences turns CONDSTORE on (RFC 7162 §3.1).
    void EnableCondstore();
    /// SELECT (QRESYNC ...): what vanished and what changed since the client's last visit.
    void Resynchronise(const FolderSnapshot& snapshot, const imap::SelectRequest::Qresync& known);
    /// Runs a change of the folder tree on the worker, then answers OK or the tree's NO.
    void ChangeTree(const std::string& tag, std::string_view done,
                    std::function<std::string(FolderTree&)> change, const std::string& forget = {});
    void FetchMessages(const std::string& tag, imap::Parser& args, bool uid);
    void StoreFlags(const std::string& tag, imap::Parser& args, bool uid);
    void SearchMessages(const std::string& tag, imap::Parser& args, bool uid);
    void CopyMessages(const std::string& tag, imap::Parser& args, bool uid, bool move);
    void ExpungeMessages(const std::string& tag, const std::optional<imap::SequenceSet>& uids,
                         std::string_view done, bool deselect);
    /// A newer snapshot of the selected folder: news for the client, at once while it IDLEs.
    void FolderChanged(const FolderService::Snapshot& snapshot);
    void Deselect();

    static constexpr std::size_t kLineLimit = 64 * 1024;
    static constexpr std::size_t kCommandLimit = 256 * 1024; // literals included, APPEND's aside

    LoginGuard& m_logins;
    FolderService& m_folders;
    const ImapLimits& m_limits;

    mutable std::string m_banner;
    State m_state = State::NotAuthenticated;
    std::string m_user;
    std::string m_inbox;          // the user's mailbox folder, once logged in
    std::string m_command;        // the command being gathered, literals inline
    std::string m_refusal;        // a reply due once the command's last line comes
    bool m_discarding = false;    // the literal under way is being thrown away
    bool m_appendLiteral = false; // the literal under way is an APPEND's message
    std::string m_authTag;        // AUTHENTICATE waits for the client's response
    std::string m_idleTag;        // IDLE runs
    bool m_utf8 = false;          // UTF8=ACCEPT or IMAP4rev2 enabled: names travel in UTF-8
    bool m_rev2 = false;          // IMAP4rev2 enabled
    bool m_condstore = false;     // CONDSTORE enabled, by ENABLE or a command that uses it
    bool m_qresync = false;       // QRESYNC enabled: expunges are told as VANISHED
    std::optional<imap::SelectedFolder> m_selected;
    FolderWatch m_watch;
    LoginTicket m_login;
    FolderTicket m_work;
};

} // namespace brevin
