#include "imap/imap_session.h"

#include "base/log.h"
#include "base/text.h"
#include "imap/imap_service.h"
#include "login/sasl.h"
#include "store/folder_names.h"
#include "store/folder_tree.h"

#include <algorithm>
#include <charconv>

namespace brevin {

using imap::Parser;

namespace {

constexpr std::string_view kLiteralInvitation = "+ Ready for literal data";

/// The size of the literal a line ends with ("{12}" or "{12+}"), and whether the client waits
/// for an invitation.
struct LiteralAtEnd {
    std::uint64_t size = 0;
    bool synchronising = true;
};
std::optional<LiteralAtEnd> LiteralAt(std::string_view line) {
    if (!line.ends_with('}')) {
        return std::nullopt;
    }
    const std::size_t open = line.rfind('{');
    if (open == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view digits = line.substr(open + 1, line.size() - open - 2);
    LiteralAtEnd literal;
    if (digits.ends_with('+')) {
        literal.synchronising = false;
        digits.remove_suffix(1);
    }
    if (digits.empty() || digits.size() > 19) {
        return std::nullopt;
    }
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), literal.size);
    if (ec != std::errc{} || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return literal;
}

/// "*" matches anything, "%" anything but the hierarchy separator (RFC 9051 §6.3.9). Iterative
/// with backtracking to the last star only where no "%" intervenes, so no pattern explodes.
/// STATUS's answer for `items` (upper-cased, as the parser gives them): "MESSAGES 3 UNSEEN 1".
std::string StatusText(const std::vector<std::string>& items, const FolderSnapshot& s) {
    std::uint64_t unseen = 0;
    std::uint64_t deleted = 0;
    std::uint64_t size = 0;
    for (const IndexedMessage& m : s.messages) {
        unseen += (m.flags.system & system_flag::kSeen) == 0 ? 1 : 0;
        deleted += (m.flags.system & system_flag::kDeleted) != 0 ? 1 : 0;
        size += m.size;
    }
    std::string answer;
    for (const std::string& item : items) {
        const std::uint64_t value = item == "MESSAGES"        ? s.messages.size()
                                    : item == "UIDNEXT"       ? s.uidNext
                                    : item == "UIDVALIDITY"   ? s.uidValidity
                                    : item == "UNSEEN"        ? unseen
                                    : item == "DELETED"       ? deleted
                                    : item == "SIZE"          ? size
                                    : item == "HIGHESTMODSEQ" ? s.highestModSeq
                                                              : 0; // RECENT: never, in rev2
        answer += (answer.empty() ? "" : " ") + item + " " + std::to_string(value);
    }
    return answer;
}

bool Matches(std::string_view pattern, std::string_view name) {
    // Dynamic programming over the pattern: bounded by pattern × name, both short.
    std::vector<char> row(name.size() + 1, 0);
    row[0] = 1;
    for (const char p : pattern) {
        std::vector<char> next(name.size() + 1, 0);
        if (p == '*' || p == '%') {
            next[0] = row[0];
            for (std::size_t i = 1; i <= name.size(); ++i) {
                const bool step = p == '*' || name[i - 1] != '/';
                next[i] = static_cast<char>(row[i] || (step && next[i - 1]));
            }
        } else {
            for (std::size_t i = 1; i <= name.size(); ++i) {
                next[i] = static_cast<char>(row[i - 1] && name[i - 1] == p);
            }
        }
        row = std::move(next);
    }
    return row[name.size()] != 0;
}

std::string UpperCased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return out;
}

} // namespace

const ImapSession::Command ImapSession::kCommands[] = {
    {"CAPABILITY", Needs::Nothing, &ImapSession::Capability},
    {"NOOP", Needs::Nothing, &ImapSession::Noop},
    {"LOGOUT", Needs::Nothing, &ImapSession::Logout},
    {"ID", Needs::Nothing, &ImapSession::IdCommand},
    {"STARTTLS", Needs::NoLogin, &ImapSession::StartTls},
    {"LOGIN", Needs::NoLogin, &ImapSession::Login},
    {"AUTHENTICATE", Needs::NoLogin, &ImapSession::Authenticate},
    {"ENABLE", Needs::Login, &ImapSession::Enable},
    {"NAMESPACE", Needs::Login, &ImapSession::Namespace},
    {"GETQUOTAROOT", Needs::Login, &ImapSession::GetQuotaRoot},
    {"GETQUOTA", Needs::Login, &ImapSession::GetQuota},
    {"SETQUOTA", Needs::Login, &ImapSession::SetQuota},
    {"SELECT", Needs::Login, &ImapSession::Select},
    {"EXAMINE", Needs::Login, &ImapSession::Examine},
    {"CREATE", Needs::Login, &ImapSession::Create},
    {"DELETE", Needs::Login, &ImapSession::Delete},
    {"RENAME", Needs::Login, &ImapSession::Rename},
    {"SUBSCRIBE", Needs::Login, &ImapSession::Subscribe},
    {"UNSUBSCRIBE", Needs::Login, &ImapSession::Unsubscribe},
    {"LIST", Needs::Login, &ImapSession::List},
    {"LSUB", Needs::Login, &ImapSession::Lsub},
    {"STATUS", Needs::Login, &ImapSession::Status},
    {"APPEND", Needs::Login, &ImapSession::Append},
    {"IDLE", Needs::Login, &ImapSession::Idle},
    {"CHECK", Needs::Selection, &ImapSession::Check},
    {"CLOSE", Needs::Selection, &ImapSession::Close},
    {"UNSELECT", Needs::Selection, &ImapSession::Unselect},
    {"EXPUNGE", Needs::Selection, &ImapSession::Expunge},
    {"UID", Needs::Selection, &ImapSession::Uid},
    {"FETCH", Needs::Selection, &ImapSession::Fetch},
    {"STORE", Needs::Selection, &ImapSession::Store},
    {"SEARCH", Needs::Selection, &ImapSession::Search},
    {"COPY", Needs::Selection, &ImapSession::Copy},
    {"MOVE", Needs::Selection, &ImapSession::Move},
};

ImapSession::ImapSession(EventLoop& loop, const SessionOptions& options, LoginGuard& logins,
                         FolderService& folders, const ImapLimits& limits)
    : MailSession(loop, kImapTraits, options), m_logins(logins), m_folders(folders),
      m_limits(limits) {}

ImapSession::~ImapSession() = default;

std::string_view ImapSession::Banner() const {
    m_banner = "* OK [CAPABILITY " + Capabilities() + "] Brevin IMAP server ready";
    return m_banner;
}

std::string ImapSession::CommandName(std::string_view line) const {
    // The tag first, then the command: the log names the command.
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) {
        return LeadingWord(line, 12);
    }
    std::string name = LeadingWord(line.substr(space + 1), 12);
    if (name == "UID") {
        const std::size_t next = line.find(' ', space + 1);
        if (next != std::string_view::npos) {
            name += " " + LeadingWord(line.substr(next + 1), 8);
        }
    }
    return name;
}

// LOGIN's arguments and every line of an AUTHENTICATE exchange stay out of the log.
std::string ImapSession::LineForLog(std::string_view line) const {
    if (!m_authTag.empty()) {
        return "***";
    }
    const std::string name = CommandName(line);
    if (name == "LOGIN" || name == "AUTHENTICATE") {
        const std::size_t space = line.find(' ');
        return std::string(line.substr(0, space + 1)) + name + " ***";
    }
    return std::string(line);
}

bool ImapSession::IsFailureReply(std::string_view reply) const {
    const std::size_t space = reply.find(' ');
    const std::string_view status = space == std::string_view::npos ? "" : reply.substr(space + 1);
    return !reply.starts_with("*") && !reply.starts_with("+") &&
           (status.starts_with("NO") || status.starts_with("BAD"));
}

void ImapSession::RejectLongLine() {
    m_command.clear();
    ReplyLine("* BAD Command line too long");
}

void ImapSession::OnInputEnded() {
    if (m_login.Pending()) {
        EndSession();
    }
}

// RFC 9051 §6.2.1: whatever was said in the clear is forgotten.
void ImapSession::OnEncrypted() {
    m_command.clear();
}

void ImapSession::InterpretCommand(std::string_view line) {
    while (line.ends_with('\n') || line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    if (!m_authTag.empty()) {
        AuthenticateResponse(line);
        return;
    }
    if (!m_idleTag.empty() && m_command.empty()) {
        const std::string tag = std::exchange(m_idleTag, {});
        if (EqualsIgnoringCase(line, "DONE")) {
            Finish(tag, "OK IDLE terminated");
        } else {
            Bad(tag, "Expected DONE");
        }
        return;
    }
    m_command.append(line);
    if (const auto literal = LiteralAt(line)) {
        // APPEND's message may be as large as any message; other literals are small, and so
        // is everything a stranger sends before logging in.
        if (m_command.size() == line.size()) {
            const std::size_t space = line.find(' ');
            m_appendLiteral = m_state != State::NotAuthenticated &&
                              space != std::string_view::npos &&
                              StartsWithIgnoringCase(line.substr(space + 1), "APPEND ");
        }
        const std::uint64_t limit =
            m_appendLiteral ? (m_limits.maxMessageSize != 0 ? m_limits.maxMessageSize : UINT64_MAX)
                            : kCommandLimit;
        const bool tooBig =
            literal->size > limit || m_command.size() + literal->size > limit + kLineLimit;
        if (tooBig && literal->synchronising) {
            const std::string tag(line.substr(0, line.find(' ')));
            m_command.clear();
            ReplyLine(tag + (m_appendLiteral ? " NO [TOOBIG] Message too large"
                                             : " BAD Literal too large"));
            return;
        }
        if (tooBig) {
            // Sent unasked: it must be read and thrown away before the refusal.
            m_discarding = true;
            m_refusal =
                std::string(line.substr(0, line.find(' '))) +
                (m_appendLiteral ? " NO [TOOBIG] Message too large" : " BAD Literal too large");
        }
        m_command += "\r\n";
        ExpectLiteral(literal->size, literal->synchronising ? kLiteralInvitation : "");
        return;
    }
    const std::string command = std::exchange(m_command, {});
    m_appendLiteral = false;
    if (m_discarding) {
        m_discarding = false;
        ReplyLine(std::exchange(m_refusal, {}));
        return;
    }
    Execute(command);
}

void ImapSession::ReceiveLiteral(std::span<const char> bytes, bool /*complete*/) {
    if (!m_discarding) {
        m_command.append(bytes.data(), bytes.size());
    }
}

void ImapSession::Execute(const std::string& command) {
    Parser parser(command);
    const auto tag = parser.Tag();
    if (!tag || !parser.Space()) {
        ReplyLine("* BAD Missing tag or command");
        return;
    }
    const std::string tagText(*tag);
    const auto name = parser.Atom();
    if (!name) {
        Bad(tagText, "Missing command");
        return;
    }
    const Command* found = nullptr;
    for (const Command& entry : kCommands) {
        if (EqualsIgnoringCase(entry.name, *name)) {
            found = &entry;
            break;
        }
    }
    if (found == nullptr) {
        Bad(tagText, "Unknown command");
        return;
    }
    switch (found->needs) {
    case Needs::Nothing:
        break;
    case Needs::NoLogin:
        if (m_state != State::NotAuthenticated) {
            Bad(tagText, "Already logged in");
            return;
        }
        break;
    case Needs::Login:
        if (m_state == State::NotAuthenticated) {
            Bad(tagText, "Log in first");
            return;
        }
        break;
    case Needs::Selection:
        if (m_state != State::Selected) {
            Bad(tagText,
                m_state == State::NotAuthenticated ? "Log in first" : "Select a mailbox first");
            return;
        }
        break;
    }
    // Each handler reads its arguments after the single space that follows the name.
    if (!parser.AtEnd() && !parser.Space()) {
        Bad(tagText, "Malformed command");
        return;
    }
    (this->*found->handler)(tagText, parser);
}

void ImapSession::AddNews(bool allowExpunge) {
    if (m_selected) {
        for (const std::string& line : m_selected->Report(allowExpunge, m_condstore, m_qresync)) {
            AddLine(line);
        }
    }
}

void ImapSession::Finish(const std::string& tag, std::string_view status, bool allowExpunge) {
    AddNews(allowExpunge);
    ReplyLine(tag + " " + std::string(status));
}

void ImapSession::FinishHeld(const std::string& tag, std::string_view status, bool allowExpunge) {
    AddNews(allowExpunge);
    Resume(tag + " " + std::string(status));
}

std::string ImapSession::Capabilities() const {
    std::string text = "IMAP4rev1 IMAP4rev2 LITERAL+ SASL-IR ID ENABLE IDLE NAMESPACE UNSELECT "
                       "UIDPLUS MOVE SPECIAL-USE CHILDREN LIST-EXTENDED ESEARCH "
                       "UTF8=ACCEPT CONDSTORE QRESYNC LIST-STATUS QUOTA QUOTA=RES-STORAGE";
    if (m_state == State::NotAuthenticated) {
        if (CanStartTls()) {
            text += " STARTTLS";
        }
        // Passwords travel encrypted, or from this host only, as on every other port.
        const bool passwordsOk =
            (IsEncrypted() || IsLocal(PeerAddress())) && (!Options().requireTls || IsEncrypted());
        text += passwordsOk ? " AUTH=PLAIN" : " LOGINDISABLED";
    }
    return text;
}

std::optional<std::string> ImapSession::MailboxName(const std::string& tag,
                                                    const std::string& wire) {
    if (IsInbox(wire)) {
        return std::string("INBOX");
    }
    if (m_utf8) {
        if (!IsValidUtf8(wire)) {
            Bad(tag, "Mailbox name is not UTF-8");
            return std::nullopt;
        }
        return wire;
    }
    auto decoded = DecodeModifiedUtf7(wire);
    if (!decoded) {
        Bad(tag, "Mailbox name is not modified UTF-7");
        return std::nullopt;
    }
    return decoded;
}

std::string ImapSession::WireName(const std::string& utf8) const {
    return imap::Quote(m_utf8 ? utf8 : EncodeModifiedUtf7(utf8));
}

// ---- any state ----

void ImapSession::Capability(const std::string& tag, Parser& args) {
    if (!args.AtEnd()) {
        Bad(tag, "CAPABILITY takes no arguments");
        return;
    }
    AddLine("* CAPABILITY " + Capabilities());
    Finish(tag, "OK CAPABILITY completed");
}

void ImapSession::Noop(const std::string& tag, Parser& /*args*/) {
    LookAtFolder(tag, "OK NOOP completed");
}

// CHECK is rev1's; rev2 dropped it, and NOOP does all it ever meant here.
void ImapSession::Check(const std::string& tag, Parser& /*args*/) {
    LookAtFolder(tag, "OK CHECK completed");
}

void ImapSession::LookAtFolder(const std::string& tag, std::string_view done) {
    if (m_selected) {
        // A look at the folder brings what changed behind the server's back too.
        Hold();
        m_work =
            m_folders.Open(m_selected->Path(),
                           [this, tag, done = std::string(done)](const FolderService::Snapshot& s) {
                               if (m_selected) {
                                   m_selected->Update(s);
                               }
                               FinishHeld(tag, done);
                           });
        return;
    }
    Finish(tag, done);
}

void ImapSession::Logout(const std::string& tag, Parser& /*args*/) {
    AddLine("* BYE Brevin IMAP server logging out");
    ReplyLine(tag + " OK LOGOUT completed");
    CloseAfterReply();
}

void ImapSession::IdCommand(const std::string& tag, Parser& /*args*/) {
    AddLine("* ID (\"name\" \"Brevin\")");
    Finish(tag, "OK ID completed");
}

// ---- not authenticated ----

void ImapSession::StartTls(const std::string& tag, Parser& args) {
    if (!args.AtEnd() || !CanStartTls()) {
        Bad(tag, IsEncrypted() ? "Already encrypted" : "STARTTLS not available");
        return;
    }
    MailSession::StartTls(tag + " OK Begin TLS negotiation now");
}

void ImapSession::Login(const std::string& tag, Parser& args) {
    const auto user = args.Astring();
    const bool spaced = user && args.Space();
    const auto password = spaced ? args.Astring() : std::nullopt;
    if (!password || !args.AtEnd()) {
        Bad(tag, "LOGIN needs a user name and a password");
        return;
    }
    CheckPassword(tag, *user, *password);
}

void ImapSession::Authenticate(const std::string& tag, Parser& args) {
    const auto mechanism = args.Atom();
    if (!mechanism) {
        Bad(tag, "AUTHENTICATE needs a mechanism");
        return;
    }
    if (!EqualsIgnoringCase(*mechanism, "PLAIN")) {
        Finish(tag, "NO [CANNOT] Only PLAIN is offered");
        return;
    }
    if (args.Space()) {
        // SASL-IR: the response rides on the command line ("=" for an empty one).
        const auto initial = args.AstringAtom();
        if (!initial || !args.AtEnd()) {
            Bad(tag, "Malformed initial response");
            return;
        }
        m_authTag = tag;
        AuthenticateResponse(*initial == "=" ? std::string_view{} : *initial);
        return;
    }
    m_authTag = tag;
    ReplyLineNow("+ ");
}

void ImapSession::AuthenticateResponse(std::string_view line) {
    const std::string tag = std::exchange(m_authTag, {});
    if (line == "*") {
        Bad(tag, "AUTHENTICATE cancelled");
        return;
    }
    SaslProblem problem = SaslProblem::None;
    const auto credentials = DecodePlain(line, problem);
    if (!credentials) {
        if (problem == SaslProblem::OtherIdentity) {
            Finish(tag, "NO [AUTHORIZATIONFAILED] Cannot act for another user");
        } else {
            Bad(tag, "Malformed PLAIN response");
        }
        return;
    }
    CheckPassword(tag, credentials->user, credentials->password);
}

void ImapSession::CheckPassword(const std::string& tag, const std::string& user,
                                const std::string& password) {
    const bool passwordsOk =
        (IsEncrypted() || IsLocal(PeerAddress())) && (!Options().requireTls || IsEncrypted());
    if (!passwordsOk) {
        Finish(tag, "NO [PRIVACYREQUIRED] Use STARTTLS first, or port 993");
        return;
    }
    Hold();
    m_login = m_logins.Check(
        "imap", PeerAddress(), user, password,
        [this, tag, user](const LoginResult& result) { LoggedIn(tag, user, result); });
}

void ImapSession::LoggedIn(const std::string& tag, const std::string& user,
                           const LoginResult& result) {
    LogEvent login("imap", "login");
    login.Add("user", user).Add("client", ClientEndpoint()).Add("session", Id());
    if (result.verdict != LoginVerdict::Accepted) {
        if (result.verdict == LoginVerdict::Unavailable) {
            login.Add("reason", "profile unreadable");
        }
        login.Failed();
        Resume(tag + (result.verdict == LoginVerdict::Unavailable
                          ? " NO [UNAVAILABLE] Cannot check the password now, try again later"
                          : " NO [AUTHENTICATIONFAILED] Wrong user name or password"));
        return;
    }
    m_user = user;
    m_inbox = result.mailbox;
    m_state = State::Authenticated;
    if (const auto idle = Options().idleTimeout; idle.count() > 0 && idle < kImapIdleTimeout) {
        SetIdleTimeout(kImapIdleTimeout);
    }
    // The special-use folders come with the first login; they are made once.
    m_work = m_folders.Run(
        [inbox = m_inbox](FolderService::WorkerSide&) { FolderTree(inbox).EnsureSpecialUse(); },
        [this, tag] { Resume(tag + " OK [CAPABILITY " + Capabilities() + "] Logged in"); });
}

// ---- authenticated ----

void ImapSession::Enable(const std::string& tag, Parser& args) {
    std::string enabled;
    while (!args.AtEnd()) {
        const auto name = args.Atom();
        if (!name) {
            Bad(tag, "ENABLE needs capability names");
            return;
        }
        const std::string upper = UpperCased(*name);
        bool* flag = upper == "IMAP4REV2"     ? &m_rev2
                     : upper == "UTF8=ACCEPT" ? &m_utf8
                     : upper == "CONDSTORE"   ? &m_condstore
                     : upper == "QRESYNC"     ? &m_qresync
                                              : nullptr;
        if (flag != nullptr && !*flag) {
            *flag = true;
            enabled += " " + upper;
        }
        if (upper == "IMAP4REV2") {
            m_utf8 = true; // rev2 names are UTF-8
        }
        if (upper == "QRESYNC") {
            EnableCondstore(); // RFC 7162 §3.2.3: QRESYNC implies it
        }
        if (!args.AtEnd() && !args.Space()) {
            Bad(tag, "Malformed ENABLE");
            return;
        }
    }
    AddLine("* ENABLED" + enabled);
    Finish(tag, "OK ENABLE completed");
}

void ImapSession::Namespace(const std::string& tag, Parser& /*args*/) {
    AddLine("* NAMESPACE ((\"\" \"/\")) NIL NIL");
    Finish(tag, "OK NAMESPACE completed");
}

void ImapSession::Select(const std::string& tag, Parser& args) {
    SelectFolder(tag, args, false);
}

void ImapSession::Examine(const std::string& tag, Parser& args) {
    SelectFolder(tag, args, true);
}

void ImapSession::Deselect() {
    m_watch.Drop();
    m_selected.reset();
    m_state = State::Authenticated;
}

void ImapSession::EnableCondstore() {
    if (m_condstore) {
        return;
    }
    m_condstore = true;
    // RFC 7162 §3.1: a client that turns it on with a mailbox open learns where it stands.
    if (m_selected) {
        AddLine("* OK [HIGHESTMODSEQ " + std::to_string(m_selected->Latest()->highestModSeq) +
                "] Highest");
    }
}

void ImapSession::SelectFolder(const std::string& tag, Parser& args, bool readOnly) {
    const auto wire = args.Mailbox();
    auto parameters = wire ? args.SelectParameters() : std::nullopt;
    if (!parameters) {
        Bad(tag, wire ? "Malformed SELECT parameters" : "SELECT needs a mailbox name");
        return;
    }
    if (parameters->qresync && !m_qresync) {
        Bad(tag, "ENABLE QRESYNC first");
        return;
    }
    const auto name = MailboxName(tag, *wire);
    if (!name) {
        return;
    }
    // RFC 9051 §6.3.2: a failed SELECT leaves no mailbox selected.
    if (m_selected) {
        if (m_rev2 || m_qresync) {
            AddLine("* OK [CLOSED] Previous mailbox closed");
        }
        Deselect();
    }
    if (parameters->condstore) {
        m_condstore = true;
    }
    Hold();
    auto path = std::make_shared<std::optional<std::string>>();
    m_work = m_folders.Run(
        [inbox = m_inbox, folder = *name, path](FolderService::WorkerSide&) {
            *path = FolderTree(inbox).PathOf(folder);
        },
        [this, tag, folder = *name, path, readOnly, known = std::move(parameters->qresync)] {
            if (!*path) {
                Resume(tag + " NO [NONEXISTENT] No such mailbox");
                return;
            }
            m_work = m_folders.Open(**path, [this, tag, folder, path, readOnly,
                                             known](const FolderService::Snapshot& snapshot) {
                if (!snapshot->durable) {
                    Resume(tag + " NO [UNAVAILABLE] The mailbox index cannot be written");
                    return;
                }
                m_selected.emplace(folder, **path, readOnly, snapshot);
                m_state = State::Selected;
                m_watch = m_folders.Watch(
                    **path, [this](const FolderService::Snapshot& s) { FolderChanged(s); });
                std::string flags = "\\Answered \\Flagged \\Deleted \\Seen \\Draft";
                for (const std::string& keyword : snapshot->keywords) {
                    flags += " " + keyword;
                }
                AddLine("* " + std::to_string(snapshot->messages.size()) + " EXISTS");
                if (!m_rev2) {
                    AddLine("* 0 RECENT");
                    const auto unseen =
                        std::find_if(snapshot->messages.begin(), snapshot->messages.end(),
                                     [](const IndexedMessage& m) {
                                         return (m.flags.system & system_flag::kSeen) == 0;
                                     });
                    if (unseen != snapshot->messages.end()) {
                        AddLine("* OK [UNSEEN " +
                                std::to_string(unseen - snapshot->messages.begin() + 1) +
                                "] First unseen");
                    }
                }
                AddLine("* FLAGS (" + flags + ")");
                AddLine("* OK [PERMANENTFLAGS (" + flags + " \\*)] Flags permitted");
                AddLine("* OK [UIDVALIDITY " + std::to_string(snapshot->uidValidity) +
                        "] UIDs valid");
                AddLine("* OK [UIDNEXT " + std::to_string(snapshot->uidNext) +
                        "] Predicted next UID");
                AddLine("* OK [HIGHESTMODSEQ " + std::to_string(snapshot->highestModSeq) +
                        "] Highest");
                if (m_rev2) {
                    AddLine("* LIST () \"/\" " + WireName(folder));
                }
                if (known && known->uidValidity == snapshot->uidValidity) {
                    Resynchronise(*snapshot, *known);
                }
                LogEvent("imap", "select")
                    .Budgeted(LogBudget())
                    .Add("user", m_user)
                    .Add("session", Id())
                    .Add("mailbox", folder)
                    .Add("messages", snapshot->messages.size());
                Resume(tag + (readOnly ? " OK [READ-ONLY] EXAMINE completed"
                                       : " OK [READ-WRITE] SELECT completed"));
            });
        });
}

void ImapSession::FolderChanged(const FolderService::Snapshot& snapshot) {
    if (!m_selected || snapshot == m_selected->Latest()) {
        return;
    }
    m_selected->Update(snapshot);
    if (!m_idleTag.empty()) {
        for (const std::string& line : m_selected->Report(true, m_condstore, m_qresync)) {
            Push(line);
        }
    }
}

void ImapSession::ChangeTree(const std::string& tag, std::string_view done,
                             std::function<std::string(FolderTree&)> change,
                             const std::string& forget) {
    Hold();
    auto problem = std::make_shared<std::string>();
    m_work = m_folders.Run(
        [inbox = m_inbox, change = std::move(change), forget,
         problem](FolderService::WorkerSide& side) {
            FolderTree tree(inbox);
            *problem = change(tree);
            side.TreeChanged(inbox);
            if (problem->empty() && !forget.empty()) {
                side.ForgetIndexes(forget);
            }
        },
        [this, tag, done = std::string(done), problem, forget] {
            if (!forget.empty()) {
                m_folders.Announce(forget);
            }
            FinishHeld(tag, problem->empty() ? "OK " + done : "NO " + *problem);
        });
}

void ImapSession::Create(const std::string& tag, Parser& args) {
    const auto wire = args.Mailbox();
    const auto name = wire && args.AtEnd() ? MailboxName(tag, *wire) : std::nullopt;
    if (!wire || !args.AtEnd()) {
        Bad(tag, "CREATE needs a mailbox name");
        return;
    }
    if (!name) {
        return;
    }
    ChangeTree(tag, "CREATE completed",
               [folder = *name](FolderTree& tree) { return tree.Create(folder).text; });
}

void ImapSession::Delete(const std::string& tag, Parser& args) {
    const auto wire = args.Mailbox();
    const auto name = wire && args.AtEnd() ? MailboxName(tag, *wire) : std::nullopt;
    if (!wire || !args.AtEnd()) {
        Bad(tag, "DELETE needs a mailbox name");
        return;
    }
    if (!name) {
        return;
    }
    // The folder's path must be known before it goes, to forget its index.
    Hold();
    auto path = std::make_shared<std::optional<std::string>>();
    auto problem = std::make_shared<std::string>();
    m_work = m_folders.Run(
        [inbox = m_inbox, folder = *name, path, problem](FolderService::WorkerSide& side) {
            FolderTree tree(inbox);
            *path = tree.PathOf(folder);
            *problem = tree.Delete(folder).text;
            if (problem->empty() && *path) {
                side.ForgetIndexes(**path);
            }
        },
        [this, tag, path, problem] {
            if (problem->empty() && *path) {
                m_folders.Announce(**path);
            }
            FinishHeld(tag, problem->empty() ? "OK DELETE completed" : "NO " + *problem);
        });
}

void ImapSession::Rename(const std::string& tag, Parser& args) {
    const auto fromWire = args.Mailbox();
    const bool spaced = fromWire && args.Space();
    const auto toWire = spaced ? args.Mailbox() : std::nullopt;
    if (!toWire || !args.AtEnd()) {
        Bad(tag, "RENAME needs two mailbox names");
        return;
    }
    const auto from = MailboxName(tag, *fromWire);
    if (!from) {
        return;
    }
    const auto to = MailboxName(tag, *toWire);
    if (!to) {
        return;
    }
    Hold();
    auto path = std::make_shared<std::optional<std::string>>();
    auto problem = std::make_shared<std::string>();
    m_work = m_folders.Run(
        [inbox = m_inbox, from = *from, to = *to, path, problem](FolderService::WorkerSide& side) {
            FolderTree tree(inbox);
            *path = tree.PathOf(from);
            *problem = tree.Rename(from, to).text;
            if (problem->empty() && *path) {
                side.ForgetIndexes(**path);
            }
        },
        [this, tag, path, problem] {
            if (problem->empty() && *path) {
                m_folders.Announce(**path);
            }
            FinishHeld(tag, problem->empty() ? "OK RENAME completed" : "NO " + *problem);
        });
}

void ImapSession::Subscribe(const std::string& tag, Parser& args) {
    const auto wire = args.Mailbox();
    if (!wire || !args.AtEnd()) {
        Bad(tag, "SUBSCRIBE needs a mailbox name");
        return;
    }
    if (const auto name = MailboxName(tag, *wire)) {
        ChangeTree(tag, "SUBSCRIBE completed",
                   [folder = *name](FolderTree& tree) { return tree.Subscribe(folder).text; });
    }
}

void ImapSession::Unsubscribe(const std::string& tag, Parser& args) {
    const auto wire = args.Mailbox();
    if (!wire || !args.AtEnd()) {
        Bad(tag, "UNSUBSCRIBE needs a mailbox name");
        return;
    }
    if (const auto name = MailboxName(tag, *wire)) {
        ChangeTree(tag, "UNSUBSCRIBE completed",
                   [folder = *name](FolderTree& tree) { return tree.Unsubscribe(folder).text; });
    }
}

void ImapSession::List(const std::string& tag, Parser& args) {
    auto request = args.ListArguments();
    if (!request) {
        Bad(tag, "Malformed LIST");
        return;
    }
    // LIST "" "" asks for the hierarchy separator only.
    if (request->patterns.size() == 1 && request->patterns[0].empty()) {
        AddLine("* LIST (\\Noselect) \"/\" \"\"");
        Finish(tag, "OK LIST completed");
        return;
    }
    std::vector<std::string> patterns;
    for (const std::string& pattern : request->patterns) {
        const std::string joined = request->reference + pattern;
        const auto decoded = m_utf8 ? std::optional(joined) : DecodeModifiedUtf7(joined);
        patterns.push_back(decoded ? *decoded : joined);
    }
    struct Listed {
        FolderInfo folder;
        FolderService::Snapshot status; // RETURN (STATUS ...): the folder's state now
    };
    if (std::find(request->returnStatus.begin(), request->returnStatus.end(), "HIGHESTMODSEQ") !=
        request->returnStatus.end()) {
        EnableCondstore();
    }
    Hold();
    auto listed = std::make_shared<std::vector<Listed>>();
    m_work = m_folders.Run(
        [inbox = m_inbox, listed, patterns, request = *request](FolderService::WorkerSide& side) {
            FolderTree tree(inbox);
            for (FolderInfo& folder : tree.List()) {
                const bool matched =
                    std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) {
                        return Matches(p, folder.name) ||
                               (IsInbox(folder.name) && Matches(UpperCased(p), "INBOX"));
                    });
                if (!matched || (request.subscribed && !folder.subscribed) ||
                    (request.specialUse && folder.use == SpecialUse::None)) {
                    continue;
                }
                FolderService::Snapshot status;
                if (!request.returnStatus.empty() && !folder.noselect) {
                    if (const auto path = tree.PathOf(folder.name)) {
                        status = side.Index(*path).Refresh();
                    }
                }
                listed->push_back({std::move(folder), std::move(status)});
            }
        },
        [this, tag, listed, request = *request] {
            for (const auto& [folder, status] : *listed) {
                std::string attributes = folder.hasChildren ? "\\HasChildren" : "\\HasNoChildren";
                if (folder.noselect) {
                    attributes += " \\Noselect";
                }
                if (folder.subscribed && (request.subscribed || request.returnSubscribed)) {
                    attributes += " \\Subscribed";
                }
                if (folder.use != SpecialUse::None) {
                    attributes += ' ';
                    attributes += SpecialUseAttribute(folder.use);
                }
                AddLine("* LIST (" + attributes + ") \"/\" " + WireName(folder.name));
                // RFC 5819: each selectable folder's STATUS follows its LIST line.
                if (status) {
                    AddLine("* STATUS " + WireName(folder.name) + " (" +
                            StatusText(request.returnStatus, *status) + ")");
                }
            }
            FinishHeld(tag, "OK LIST completed");
        });
}

void ImapSession::Lsub(const std::string& tag, Parser& args) {
    const auto reference = args.Mailbox();
    const bool spaced = reference && args.Space();
    const auto pattern = spaced ? args.ListMailbox() : std::nullopt;
    if (!pattern || !args.AtEnd()) {
        Bad(tag, "LSUB needs a reference and a pattern");
        return;
    }
    const std::string joined = (*reference == "INBOX" ? "" : *reference) + *pattern;
    const std::string decoded = DecodeModifiedUtf7(joined).value_or(joined);
    Hold();
    auto folders = std::make_shared<std::vector<FolderInfo>>();
    m_work = m_folders.Run([inbox = m_inbox, folders](
                               FolderService::WorkerSide&) { *folders = FolderTree(inbox).List(); },
                           [this, tag, folders, decoded] {
                               for (const FolderInfo& folder : *folders) {
                                   if (folder.subscribed && Matches(decoded, folder.name)) {
                                       AddLine("* LSUB () \"/\" " + WireName(folder.name));
                                   }
                               }
                               FinishHeld(tag, "OK LSUB completed");
                           });
}

void ImapSession::Status(const std::string& tag, Parser& args) {
    const auto wire = args.Mailbox();
    const bool spaced = wire && args.Space();
    const auto items = spaced ? args.StatusItems() : std::nullopt;
    if (!items || !args.AtEnd()) {
        Bad(tag, "STATUS needs a mailbox name and items");
        return;
    }
    const auto name = MailboxName(tag, *wire);
    if (!name) {
        return;
    }
    if (std::find(items->begin(), items->end(), "HIGHESTMODSEQ") != items->end()) {
        EnableCondstore();
    }
    Hold();
    auto path = std::make_shared<std::optional<std::string>>();
    m_work = m_folders.Run(
        [inbox = m_inbox, folder = *name, path](FolderService::WorkerSide&) {
            *path = FolderTree(inbox).PathOf(folder);
        },
        [this, tag, folder = *name, path, items = *items] {
            if (!*path) {
                Resume(tag + " NO [NONEXISTENT] No such mailbox");
                return;
            }
            m_work = m_folders.Open(
                **path, [this, tag, folder, items](const FolderService::Snapshot& s) {
                    AddLine("* STATUS " + WireName(folder) + " (" + StatusText(items, *s) + ")");
                    FinishHeld(tag, "OK STATUS completed");
                });
        });
}

void ImapSession::Idle(const std::string& tag, Parser& args) {
    if (!args.AtEnd()) {
        Bad(tag, "IDLE takes no arguments");
        return;
    }
    m_idleTag = tag;
    // News waiting goes out with the invitation; later news is pushed as it comes.
    AddNews(true);
    ReplyLineNow("+ idling");
}

// ---- selected ----

void ImapSession::Close(const std::string& tag, Parser& /*args*/) {
    if (m_selected->ReadOnly()) {
        Deselect();
        Finish(tag, "OK CLOSE completed");
        return;
    }
    ExpungeMessages(tag, std::nullopt, "CLOSE completed", true);
}

void ImapSession::Unselect(const std::string& tag, Parser& /*args*/) {
    Deselect();
    Finish(tag, "OK UNSELECT completed");
}

void ImapSession::Expunge(const std::string& tag, Parser& args) {
    if (!args.AtEnd()) {
        Bad(tag, "EXPUNGE takes no arguments");
        return;
    }
    ExpungeMessages(tag, std::nullopt, "EXPUNGE completed", false);
}

void ImapSession::ExpungeMessages(const std::string& tag,
                                  const std::optional<imap::SequenceSet>& uids,
                                  std::string_view done, bool deselect) {
    if (m_selected->ReadOnly()) {
        Finish(tag, "NO [READ-ONLY] The mailbox is read-only");
        return;
    }
    std::vector<std::uint32_t> chosen;
    if (uids) {
        for (const auto& named : m_selected->Resolve(*uids, true)) {
            chosen.push_back(named.uid);
        }
    }
    const bool all = !uids;
    Hold();
    auto gone = std::make_shared<std::size_t>(0);
    m_work = m_folders.Change(
        m_selected->Path(),
        [chosen, all, gone](FolderIndex& index) {
            std::vector<std::uint32_t> deleted;
            for (const IndexedMessage& m : index.Current()->messages) {
                const bool wanted = all || std::binary_search(chosen.begin(), chosen.end(), m.uid);
                if (wanted && (m.flags.system & system_flag::kDeleted) != 0) {
                    deleted.push_back(m.uid);
                }
            }
            *gone = index.Expunge(deleted).size();
        },
        [this, tag, done = std::string(done), deselect, gone](const FolderService::Snapshot& s) {
            LogEvent("imap", "expunge")
                .Add("user", m_user)
                .Add("session", Id())
                .Add("mailbox", m_selected ? m_selected->Name() : "")
                .Add("messages", *gone);
            // RFC 7162 §3.2.7: a QRESYNC client learns the mod-sequence the expunge left.
            const std::string code =
                m_qresync ? "[HIGHESTMODSEQ " + std::to_string(s->highestModSeq) + "] " : "";
            if (deselect) {
                Deselect();
                Resume(tag + " OK " + code + done);
                return;
            }
            if (m_selected) {
                m_selected->Update(s);
            }
            FinishHeld(tag, "OK " + code + done);
        });
}

void ImapSession::Uid(const std::string& tag, Parser& args) {
    const auto name = args.Atom();
    if (!name || !args.Space()) {
        Bad(tag, "UID needs a command");
        return;
    }
    const std::string upper = UpperCased(*name);
    if (upper == "FETCH") {
        FetchMessages(tag, args, true);
    } else if (upper == "STORE") {
        StoreFlags(tag, args, true);
    } else if (upper == "SEARCH") {
        SearchMessages(tag, args, true);
    } else if (upper == "COPY" || upper == "MOVE") {
        CopyMessages(tag, args, true, upper == "MOVE");
    } else if (upper == "EXPUNGE") {
        const auto set = args.Sequence();
        if (!set || !args.AtEnd()) {
            Bad(tag, "UID EXPUNGE needs a UID set");
            return;
        }
        ExpungeMessages(tag, *set, "UID EXPUNGE completed", false);
    } else {
        Bad(tag, "Unknown UID command");
    }
}

} // namespace brevin
