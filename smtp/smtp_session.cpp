#include "smtp/smtp_session.h"

#include "base/host_name.h"
#include "base/log.h"
#include "base/text.h"
#include "engine/command_word.h"
#include "login/sasl.h"
#include "smtp/address.h"
#include "smtp/smtp_service.h"
#include "store/quota_notice.h"
#include "store/recipients.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <limits>

namespace brevin {

namespace {

/// The position of the first ':', when it stands where an argument can follow a command word
/// and a blank ("MAIL FROM:", "RCPT TO:"); npos otherwise.
std::size_t ArgumentColon(std::string_view text) {
    const auto colon = text.find(':');
    return colon != std::string_view::npos && colon >= 5 ? colon : std::string_view::npos;
}

bool DiskFull(int error) {
    return error == ENOSPC || error == EDQUOT;
}

/// Logs a store failure the client hears about as passing trouble.
void LogStoreError(const std::string& path, int error) {
    LogEvent("store", "error").Add("path", path).Add("error", std::strerror(error)).Failed();
}

/// The line without its line end.
std::string_view WithoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    return line;
}

/// The ESMTP parameters that follow the address of a MAIL line ("SIZE=1000 BODY=8BITMIME").
std::string_view MailParameters(std::string_view line, std::size_t colon) {
    std::string_view rest = WithoutLineEnd(line.substr(colon + 1));
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(' ')));
    const std::size_t end = rest.starts_with('<') ? rest.find('>') : rest.find(' ');
    return end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
}

/// Why the parameters of MAIL refuse the message: the reply, or nothing when they are fine.
/// `declared` gets the size the client announced (0 when it announced none).
std::optional<std::string_view> RefusedParameters(std::string_view parameters,
                                                  std::uint64_t maxMessageSize,
                                                  std::uint64_t& declared) {
    while (!parameters.empty()) {
        const std::size_t blank = parameters.find(' ');
        const std::string_view parameter = parameters.substr(0, blank);
        parameters =
            blank == std::string_view::npos ? std::string_view{} : parameters.substr(blank + 1);
        if (parameter.empty()) {
            continue;
        }
        const std::size_t eq = parameter.find('=');
        const std::string_view keyword = parameter.substr(0, eq);
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : parameter.substr(eq + 1);
        if (EqualsIgnoringCase(keyword, "SIZE")) {
            std::uint64_t size = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), size);
            const bool digits = end == value.data() + value.size() && !value.empty();
            if (!digits || (ec != std::errc{} && ec != std::errc::result_out_of_range)) {
                return SmtpSession::kBadParameter;
            }
            // A size past any count is still a size, just too big for any limit.
            if (maxMessageSize > 0 && (ec != std::errc{} || size > maxMessageSize)) {
                return SmtpSession::kTooBig;
            }
            declared = ec != std::errc{} ? std::numeric_limits<std::uint64_t>::max() : size;
        } else if (EqualsIgnoringCase(keyword, "BODY")) {
            if (!EqualsIgnoringCase(value, "7BIT") && !EqualsIgnoringCase(value, "8BITMIME")) {
                return SmtpSession::kBadParameter;
            }
        } else if (!EqualsIgnoringCase(parameter, "SMTPUTF8") &&
                   !EqualsIgnoringCase(keyword, "AUTH")) {
            // AUTH= (RFC 4954) names who first sent the message; this server keeps its own
            // trace of the sender, so the value is read and left.
            return SmtpSession::kBadParameter;
        }
    }
    return std::nullopt;
}

/// The address of a MAIL or RCPT line as the client wrote it, for the log: the text after the
/// colon up to the closing '>' (or the first blank), without the line end.
std::string_view LoggedAddress(std::string_view line, std::size_t colon) {
    std::string_view rest = WithoutLineEnd(line.substr(colon + 1));
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(' ')));
    const std::size_t end = rest.starts_with('<') ? rest.find('>') : rest.find(' ');
    return end == std::string_view::npos ? rest : rest.substr(0, end + (rest[end] == '>' ? 1 : 0));
}

/// Whether every name in `names` is `user`'s (as recipients are matched: by the local part, in
/// any letter case); none is not.
/// Whether every name is `user` or one of the user's aliases: who may send as them.
bool AllAre(const std::vector<std::string>& names, std::string_view user,
            const Recipients& recipients) {
    return !names.empty() && std::ranges::all_of(names, [&](const std::string& name) {
        return EqualsIgnoringCase(name, user) ||
               EqualsIgnoringCase(recipients.SenderOf(name), user);
    });
}

/// The user named by a MAIL address ("<alice@office>"); the null sender names nobody.
std::vector<std::string> SenderUsers(std::string_view address) {
    std::string name;
    if (!AddressToUserName(address.substr(0, address.find('>')), name)) {
        return {};
    }
    return {name};
}

/// "folder/MSG….bvn": the store root is in the start event already.
std::string_view InStore(const std::string& path) {
    const std::size_t last = path.rfind('/');
    if (last == std::string::npos || last == 0) {
        return path;
    }
    const std::size_t before = path.rfind('/', last - 1);
    return std::string_view(path).substr(before == std::string::npos ? 0 : before + 1);
}

} // namespace

SmtpSession::SmtpSession(EventLoop& loop, const SessionOptions& options, DeliveryQueue& deliveries,
                         LoginGuard& logins, SmtpLimits limits, SmtpRules rules)
    : MailSession(loop, rules.submission ? kSubmissionTraits : kSmtpTraits, options),
      m_deliveries(deliveries), m_users(deliveries.Users()), m_logins(logins), m_limits(limits),
      m_rules(rules), m_errorDelay(loop, [this] { Resume(m_delayedReply); }) {}

// A message still being received, or waiting to be filed, goes with the session: its temporary
// file is removed with the transaction, so a client that closes before hearing 250 leaves
// nothing a mailbox would show.
// The first four letters name a command, as they choose the handler.
std::string SmtpSession::CommandName(std::string_view line) const {
    return LeadingWord(line, 4);
}

// A password never reaches the log, whichever service a client sends it to, nor does any line
// of an AUTH exchange.
std::string SmtpSession::LineForLog(std::string_view line) const {
    if (m_authStep != AuthStep::None) {
        return "***";
    }
    const std::string word = LeadingWord(line, 4);
    return word == "PASS" || word == "AUTH" || word == "APOP" ? word + " ***" : std::string(line);
}

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

// A new HELO, EHLO or MAIL starts over: earlier recipients get nothing of what follows. Where
// encryption is required, RCPT is refused in the clear also for clients that skip MAIL.
const SmtpSession::Command SmtpSession::kCommands[] = {
    {.word = Word("helo"), .startsOver = true, .handler = &SmtpSession::Helo},
    {.word = Word("ehlo"), .startsOver = true, .handler = &SmtpSession::Helo},
    {.word = Word("auth"), .needsTls = true, .handler = &SmtpSession::Auth},
    {.word = Word("mail"),
     .startsOver = true,
     .needsTls = true,
     .needsLogin = true,
     .handler = &SmtpSession::Mail},
    {.word = Word("rcpt"), .needsTls = true, .needsLogin = true, .handler = &SmtpSession::Rcpt},
    {.word = Word("data"), .needsRecipient = true, .handler = &SmtpSession::Data},
    {.word = Word("rset"), .startsOver = true, .handler = &SmtpSession::Rset},
    {.word = Word("star"), .handler = &SmtpSession::StartTls},
    {.word = Word("noop"), .handler = &SmtpSession::Noop},
    {.word = Word("vrfy"), .handler = &SmtpSession::Vrfy},
    {.word = Word("help"), .handler = &SmtpSession::Help},
    {.word = Word("quit"), .handler = &SmtpSession::Quit},
};

void SmtpSession::InterpretCommand(std::string_view line) {
    // The line is read as text: a zero byte ends it.
    const std::string_view text = line.substr(0, line.find('\0'));
    // An AUTH exchange's lines are answers, whatever they look like.
    if (m_authStep != AuthStep::None) {
        AuthResponse(text);
        return;
    }
    const std::uint32_t word = CommandWord(text);
    for (const Command& command : kCommands) {
        if (command.word != word) {
            continue;
        }
        if (command.startsOver) {
            m_transaction.reset();
        }
        if (command.needsTls && Options().requireTls && !IsEncrypted()) {
            ReplyLine(kTlsRequired);
        } else if (command.needsLogin && (m_rules.submission || m_rules.requireLogin) &&
                   m_loggedIn.empty()) {
            m_transaction.reset();
            ReplyLine(kLoginRequired);
        } else if (command.needsRecipient &&
                   (!m_transaction || m_transaction->recipients.empty())) {
            ReplyLine(kNoRecipients); // nothing is stored and no number is taken
        } else {
            (this->*command.handler)(text);
        }
        return;
    }
    RefuseClientError(kUnknown);
}

void SmtpSession::Helo(std::string_view text) {
    const bool extended = CommandWord(text) == Word("ehlo");
    std::string_view name = WithoutLineEnd(text.substr(std::min<std::size_t>(text.size(), 4)));
    name.remove_prefix(std::min(name.size(), name.find_first_not_of(' ')));
    LogEvent("smtp", "helo")
        .Budgeted(LogBudget())
        .Add("session", Id())
        .Add("command", extended ? "EHLO" : "HELO")
        .Add("name", name);
    m_greeted = true;
    m_extended = extended;
    m_heloName = name.substr(0, 255);
    if (extended) {
        Ehlo();
    } else {
        ReplyLine(kOk);
    }
}

void SmtpSession::Ehlo() {
    std::string reply = "250-" + OfficialHostName() + " Brevin Server ready\r\n";
    std::vector<std::string> offered = {"PIPELINING"};
    // Where encryption is required, mail waits for STARTTLS: nothing about it is offered yet.
    if (!Options().requireTls || IsEncrypted()) {
        offered.push_back(m_limits.maxMessageSize > 0
                              ? "SIZE " + std::to_string(m_limits.maxMessageSize)
                              : std::string("SIZE"));
        offered.insert(offered.end(), {"8BITMIME", "SMTPUTF8"});
    }
    if (LoginOffered() && m_loggedIn.empty()) {
        offered.emplace_back("AUTH PLAIN LOGIN");
    }
    if (CanStartTls()) {
        offered.emplace_back("STARTTLS");
    }
    for (std::size_t i = 0; i < offered.size(); ++i) {
        reply += (i + 1 < offered.size() ? "250-" : "250 ") + offered[i] + "\r\n";
    }
    Reply(reply);
}

void SmtpSession::StartTls(std::string_view text) {
    if (text.size() < 8 || !EqualsIgnoringCase(text.substr(0, 8), "STARTTLS")) {
        RefuseClientError(kUnknown);
        return;
    }
    if (IsEncrypted()) {
        ReplyLine("503 Brevin Server : TLS already active");
        return;
    }
    if (!CanStartTls()) {
        ReplyLine("454 Brevin Server : TLS not available");
        return;
    }
    m_transaction.reset();
    MailSession::StartTls("220 Brevin Server : ready to start TLS");
}

// RFC 3207: after the handshake the server forgets what the client said before it.
void SmtpSession::OnEncrypted() {
    m_transaction.reset();
    m_greeted = false;
    m_loggedIn.clear();
}

// As peer MTAs do: a client that keeps guessing recipients or sending nonsense is slowed after
// ten errors and sent away after twenty.
void SmtpSession::RefuseClientError(std::string_view reply) {
    ++m_errors;
    if (m_errors > kErrorsBeforeClosing) {
        LogEvent("smtp", "errors").Add("session", Id()).Add("count", m_errors).Failed();
        ReplyLine("421 4.7.0 Brevin Server : too many errors, closing");
        CloseAfterReply();
    } else if (m_errors > kErrorsBeforeDelay) {
        Hold();
        m_delayedReply = reply;
        m_errorDelay.Start(kErrorDelay);
    } else {
        ReplyLine(reply);
    }
}

// A client that hangs up while its password is checked hears nothing; its guess still counts.
void SmtpSession::OnInputEnded() {
    if (m_login.Pending()) {
        EndSession();
    }
}

// Passwords travel only where nobody on the LAN can read them: over TLS, or over loopback.
bool SmtpSession::LoginOffered() const {
    return (IsEncrypted() || IsLocal(PeerAddress())) && (!Options().requireTls || IsEncrypted());
}

void SmtpSession::Auth(std::string_view text) {
    std::string_view rest = WithoutLineEnd(text.substr(std::min<std::size_t>(text.size(), 4)));
    if (!rest.empty() && rest.front() != ' ') {
        RefuseClientError(kUnknown);
        return;
    }
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(' ')));
    const std::string_view mechanism = rest.substr(0, rest.find(' '));
    std::string_view initial =
        mechanism.size() < rest.size() ? rest.substr(mechanism.size() + 1) : std::string_view{};
    initial.remove_prefix(std::min(initial.size(), initial.find_first_not_of(' ')));
    if (!m_greeted) {
        ReplyLine("503 5.5.1 Brevin Server : send EHLO first");
    } else if (!m_loggedIn.empty()) {
        ReplyLine("503 5.5.1 Brevin Server : already authenticated");
    } else if (m_transaction) {
        ReplyLine("503 5.5.1 Brevin Server : AUTH not allowed during a mail transaction");
    } else if (!LoginOffered()) {
        ReplyLine(CanStartTls() ? "538 5.7.11 Brevin Server : Encryption required for requested "
                                  "authentication mechanism"
                                : kLoginRequired);
    } else if (EqualsIgnoringCase(mechanism, "PLAIN")) {
        m_mechanism = "PLAIN";
        m_authStep = AuthStep::PlainResponse;
        if (initial.empty()) {
            ReplyLine("334 ");
        } else {
            AuthResponse(initial);
        }
    } else if (EqualsIgnoringCase(mechanism, "LOGIN")) {
        m_mechanism = "LOGIN";
        m_authStep = AuthStep::LoginUser;
        if (initial.empty()) {
            ReplyLine("334 VXNlcm5hbWU6"); // "Username:", which some clients insist on
        } else {
            AuthResponse(initial);
        }
    } else if (mechanism.empty()) {
        ReplyLine("501 5.5.4 Brevin Server : AUTH needs a mechanism");
    } else {
        ReplyLine("504 5.5.4 Brevin Server : Unrecognized authentication type");
    }
}

void SmtpSession::AuthResponse(std::string_view line) {
    const std::string_view response = WithoutLineEnd(line);
    const AuthStep step = std::exchange(m_authStep, AuthStep::None);
    if (response == "*") {
        ReplyLine("501 5.7.0 Brevin Server : Authentication cancelled");
        return;
    }
    static constexpr std::string_view kUndecodable =
        "501 5.5.2 Brevin Server : Cannot decode response";
    switch (step) {
    case AuthStep::PlainResponse: {
        SaslProblem problem = SaslProblem::None;
        auto credentials = DecodePlain(response, problem);
        if (!credentials) {
            ReplyLine(problem == SaslProblem::OtherIdentity
                          ? "535 5.7.8 Brevin Server : Cannot act for another user"
                          : kUndecodable);
            return;
        }
        CheckLogin(std::move(credentials->user), credentials->password);
        return;
    }
    case AuthStep::LoginUser: {
        auto user = DecodeLoginStep(response);
        if (!user || user->empty()) {
            ReplyLine(kUndecodable);
            return;
        }
        m_authUser = std::move(*user);
        m_authStep = AuthStep::LoginPassword;
        ReplyLine("334 UGFzc3dvcmQ6"); // "Password:"
        return;
    }
    case AuthStep::LoginPassword: {
        const auto password = DecodeLoginStep(response);
        if (!password) {
            ReplyLine(kUndecodable);
            return;
        }
        CheckLogin(std::exchange(m_authUser, std::string()), *password);
        return;
    }
    case AuthStep::None:
        break;
    }
    RefuseClientError(kUnknown);
}

void SmtpSession::CheckLogin(std::string user, std::string_view password) {
    Hold();
    m_authUser = std::move(user);
    m_login = m_logins.Check("smtp", PeerAddress(), m_authUser, password,
                             [this](const LoginResult& result) { LoginChecked(result); });
}

void SmtpSession::LoginChecked(const LoginResult& result) {
    const bool accepted = result.verdict == LoginVerdict::Accepted;
    const bool unavailable = result.verdict == LoginVerdict::Unavailable;
    {
        LogEvent login("smtp", "login");
        login.Add("user", m_authUser)
            .Add("client", ClientEndpoint())
            .Add("mechanism", m_mechanism)
            .Add("session", Id());
        if (unavailable) {
            login.Add("reason", "profile unreadable"); // not the client's fault: no ban
        }
        if (!accepted) {
            login.Failed();
        }
    }
    if (accepted) {
        m_loggedIn = std::exchange(m_authUser, std::string());
    }
    m_authUser.clear();
    const std::string_view reply = accepted      ? kLoggedIn
                                   : unavailable ? "454 4.7.0 Brevin Server : Temporary "
                                                   "authentication failure, try again later"
                                                 : kLoginFailed;
    if (result.penalised) {
        Resume(reply);
    } else {
        ResumeAfterPause(reply);
    }
}

void SmtpSession::Rset(std::string_view /*text*/) {
    ReplyLine(kOk);
}

void SmtpSession::Noop(std::string_view /*text*/) {
    ReplyLine(kOk);
}

void SmtpSession::Vrfy(std::string_view /*text*/) {
    ReplyLine("252 Brevin Server : cannot verify, but will try to deliver");
}

void SmtpSession::Help(std::string_view /*text*/) {
    ReplyLine("214 Brevin Server : HELO EHLO MAIL RCPT DATA RSET NOOP VRFY HELP QUIT");
}

void SmtpSession::Quit(std::string_view /*text*/) {
    ReplyLine(kClosing);
    CloseAfterReply();
}

void SmtpSession::Mail(std::string_view line) {
    const auto colon = ArgumentColon(line);
    std::uint64_t declared = 0;
    if (colon != std::string_view::npos) {
        if (const auto refused =
                RefusedParameters(MailParameters(line, colon), m_limits.maxMessageSize, declared)) {
            ReplyLine(*refused);
            return;
        }
        const std::string_view from = LoggedAddress(line, colon);
        if (!m_loggedIn.empty() && !AllAre(SenderUsers(from), m_loggedIn, Recipients(m_users))) {
            LogEvent("smtp", "sender")
                .Budgeted(LogBudget())
                .Add("session", Id())
                .Add("from", from)
                .Add("user", m_loggedIn)
                .Failed();
            ReplyLine(kNotYourSender);
            return;
        }
        // begun here, so that RCPT does not check the disk again
        Transaction().reversePath = from.empty() ? "<>" : std::string(from);
        Transaction().declaredSize = declared;
        LogEvent("smtp", "sender").Budgeted(LogBudget()).Add("session", Id()).Add("from", from);
    } else if (!m_loggedIn.empty()) {
        ReplyLine(kNotYourSender);
        return;
    }
    if (m_transaction) {
        m_transaction->expected = std::max(declared, kClaimStep);
        if (!ClaimSpace(*m_transaction)) {
            m_transaction.reset();
            ReplyLine(kLowSpace);
            return;
        }
    }
    ReplyLine(kOk); // whatever the sender was: nothing checks it yet
}

// Mail must never fill the disk the store shares with the desktop and the system. Every
// transaction claims the room its message will take (the declared size, or what has arrived
// plus a step) and a little for each recipient's file, whose copies are links to the one
// file; what other uploads under way have claimed counts as taken.
bool SmtpSession::ClaimSpace(SmtpTransaction& transaction) {
    const std::uint64_t files = (transaction.recipients.size() + 1) * kFileRoom;
    const std::uint64_t total =
        transaction.expected > std::numeric_limits<std::uint64_t>::max() - files
            ? std::numeric_limits<std::uint64_t>::max()
            : transaction.expected + files;
    SpaceLedger& space = m_deliveries.Space();
    if (space.Claim(transaction.space, total, m_limits.minFreeBytes)) {
        return true;
    }
    LogEvent("store", "low-space")
        .Budgeted(LogBudget())
        .Add("session", Id())
        .Add("free", space.LastFree())
        .Add("claimed", space.Outstanding())
        .Add("needed", total)
        .Failed();
    return false;
}

void SmtpSession::Rcpt(std::string_view line) {
    const auto colon = ArgumentColon(line);
    if (colon == std::string_view::npos) {
        RefuseClientError(kNoSuchUser);
        return;
    }
    if (m_transaction && m_transaction->recipients.size() >= m_limits.maxRecipients) {
        ReplyLine(kTooManyRecipients);
        return;
    }
    // A client that skips MAIL starts the transaction here: the same guard applies.
    if (!m_transaction) {
        Transaction().expected = kClaimStep;
        if (!ClaimSpace(*m_transaction)) {
            m_transaction.reset();
            ReplyLine(kLowSpace);
            return;
        }
    }
    // A failed reduction leaves the whole argument, line end included, which names no user.
    std::string name;
    AddressToUserName(line.substr(colon + 1), name);
    // An alias or a list stands for users; each user gets one copy, however often named.
    const auto named = [this](const std::string& user) {
        return m_transaction &&
               std::ranges::any_of(m_transaction->recipients, [&](const std::string& other) {
                   return RecipientKey(other) == RecipientKey(user);
               });
    };
    bool known = false;
    std::vector<Resolved> fresh;
    for (std::string& user : Recipients(m_users).Expand(name)) {
        if (named(user)) {
            known = true;
        } else if (auto path = m_users.MailboxPath(user)) {
            fresh.push_back({std::move(user), std::move(*path)});
        }
    }
    const bool accepted = known || !fresh.empty();
    LogEvent logged("smtp", "recipient");
    logged.Budgeted(LogBudget())
        .Add("session", Id())
        .Add("to", LoggedAddress(line, colon))
        .Add("accepted", accepted ? "yes" : "no");
    if (known && fresh.empty()) {
        // Named again (in another letter case, say): one copy is enough, and the client
        // still hears 250, as it would from any other server.
        logged.Add("repeated", "yes");
    }
    if (!accepted) {
        RefuseClientError(kNoSuchUser);
        return;
    }
    // Every member of a list counts against the recipient limit, as if named one by one.
    const std::size_t already = m_transaction ? m_transaction->recipients.size() : 0;
    if (already + fresh.size() > m_limits.maxRecipients) {
        ReplyLine(kTooManyRecipients);
        return;
    }
    FolderService* folders = m_deliveries.Folders();
    const Recipients recipients(m_users);
    std::vector<std::uint64_t> quotas;
    quotas.reserve(fresh.size());
    for (const Resolved& recipient : fresh) {
        quotas.push_back(recipients.QuotaBytes(recipient.user).value_or(0));
    }
    // A mailbox well below its quota by a look of the last second needs no new one; one near
    // it is measured afresh, and a notice may be due.
    const std::uint64_t size = m_transaction ? m_transaction->declaredSize : 0;
    const auto roomy = [&](std::size_t i) {
        const auto used = folders != nullptr && quotas[i] != 0
                              ? folders->RecentUsage(fresh[i].folder, std::chrono::seconds(1))
                              : std::nullopt;
        return quotas[i] == 0 || (used && (*used + size) / 9 < quotas[i] / 10);
    };
    bool allRoomy = true;
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        allRoomy = allRoomy && roomy(i);
    }
    if (folders == nullptr || allRoomy) {
        AcceptRecipients(std::move(fresh), false);
        return;
    }
    // A user over quota is told at RCPT, where the sender's other recipients still get the
    // message; the usage comes from the folder indexes, on the folders' worker.
    struct Measured {
        std::vector<std::uint64_t> used;
        std::vector<std::string> noticed; // mailboxes that got a notice of being nearly full
    };
    auto measured = std::make_shared<Measured>();
    Hold();
    m_measure = folders->Run(
        [fresh, quotas, measured](FolderService::WorkerSide& side) {
            for (std::size_t i = 0; i < fresh.size(); ++i) {
                measured->used.push_back(quotas[i] == 0 ? 0 : side.Usage(fresh[i].folder));
                MessageNumbers* numbers = side.Numbers();
                if (quotas[i] != 0 && numbers != nullptr &&
                    FileQuotaNotice(fresh[i].folder, measured->used[i], quotas[i], *numbers,
                                    std::time(nullptr))) {
                    measured->noticed.push_back(fresh[i].folder);
                }
            }
        },
        [this, fresh, quotas, measured, known, folders, size]() mutable {
            for (const std::string& inbox : measured->noticed) {
                folders->Changed(inbox);
            }
            for (std::size_t i = 0; i < fresh.size(); ++i) {
                if (quotas[i] != 0) {
                    folders->NoteUsage(fresh[i].folder, measured->used[i]);
                }
            }
            std::vector<Resolved> room;
            for (std::size_t i = 0; i < fresh.size(); ++i) {
                if (quotas[i] != 0 && measured->used[i] + size >= quotas[i]) {
                    LogEvent("smtp", "quota")
                        .Add("session", Id())
                        .Add("user", fresh[i].user)
                        .Add("used", measured->used[i])
                        .Add("quota", quotas[i])
                        .Failed();
                } else {
                    room.push_back(std::move(fresh[i]));
                }
            }
            if (room.empty() && !known) {
                Resume(kMailboxFull);
                return;
            }
            AcceptRecipients(std::move(room), true);
        });
}

void SmtpSession::AcceptRecipients(std::vector<Resolved> fresh, bool held) {
    SmtpTransaction& transaction = Transaction();
    const std::size_t before = transaction.recipients.size();
    for (Resolved& recipient : fresh) {
        transaction.recipients.push_back(std::move(recipient.user));
    }
    // Each new recipient's file takes room too.
    const bool room = fresh.empty() || ClaimSpace(transaction);
    if (!room) {
        transaction.recipients.resize(before);
    } else if (!fresh.empty()) {
        // The message's file goes into the last recipient's folder: see FinishMessage.
        transaction.lastFolder = fresh.back().folder;
    }
    const std::string_view reply = room ? kOk : kLowSpace;
    if (held) {
        Resume(reply);
    } else {
        ReplyLine(reply);
    }
}

void SmtpSession::Data(std::string_view /*text*/) {
    Hold();
    m_deliveries.OpenMessage(
        m_transaction->delivery, m_transaction->lastFolder,
        [this](IncomingMessage message) { MessageFileOpened(std::move(message)); });
}

void SmtpSession::MessageFileOpened(IncomingMessage message) {
    SmtpTransaction& transaction = *m_transaction;
    transaction.delivery = Delivery();
    transaction.delivery.message = std::move(message);
    if (!transaction.delivery.message.IsOpen()) {
        const int error = transaction.delivery.message.Error();
        LogStoreError(transaction.lastFolder, error);
        // The recipients stay: the client may try DATA again.
        ResumeAfterPause(DiskFull(error) ? kNoFileDiskFull : kNoFile);
        return;
    }
    const std::string trace = TraceLines(transaction);
    transaction.delivery.message.Append(trace);
    transaction.traceBytes = transaction.delivery.message.ClientSize();
    m_deliveries.Space().Wrote(transaction.space, transaction.traceBytes);
    m_endOfData.Reset();
    EnterDataPhase();
    ResumeAfterPause(kStartData);
}

MailSession::DataResult SmtpSession::ReceiveMessageData(std::span<const char> bytes) {
    const std::string_view data(bytes.data(), bytes.size());
    const auto end = m_endOfData.Feed(data);
    const std::size_t used = end.value_or(data.size());
    SmtpTransaction& transaction = *m_transaction;
    transaction.dataBytes += used;
    // After a failed write the message takes no more, but the rest of the data is still read,
    // so that the reply comes where the client expects it and what follows is read as commands
    // again. Filing then refuses the message: 452 (or 451).
    IncomingMessage& message = transaction.delivery.message;
    if (!transaction.tooBig && !transaction.lowSpace &&
        message.ClientSize() + used + kClaimSlack > transaction.expected) {
        // Outgrowing its claim: the upload claims the next step before it writes, and one that
        // would cross the floor stops here, its file removed.
        transaction.expected = message.ClientSize() + used + kClaimStep;
        if (!ClaimSpace(transaction)) {
            transaction.lowSpace = true;
            transaction.delivery = Delivery();
            transaction.space = SpaceClaim();
        }
    }
    if (!transaction.tooBig && !transaction.lowSpace) {
        if (!m_loggedIn.empty()) {
            GatherHeader(data.substr(0, used));
        }
        const std::uint64_t before = message.ClientSize();
        message.Append(bytes.first(used));
        m_deliveries.Space().Wrote(transaction.space, message.ClientSize() - before);
        // The message measures itself as `SIZE=` counts it: a message of exactly the size
        // offered in EHLO is taken. Until the end has come, the last few bytes may yet turn out
        // to be the closing line: only what is part of the message whatever follows counts.
        constexpr std::uint64_t kUndecided = 4;
        const std::uint64_t counted = message.ClientSize() - transaction.traceBytes;
        const std::uint64_t size = end ? counted : counted - std::min(counted, kUndecided);
        if (m_limits.maxMessageSize > 0 && size > m_limits.maxMessageSize) {
            transaction.tooBig = true;
            transaction.delivery = Delivery(); // nothing of it stays on disk
            transaction.space = SpaceClaim();
        }
    }
    if (end && (transaction.tooBig || transaction.lowSpace)) {
        const bool tooBig = transaction.tooBig;
        m_transaction.reset();
        ReplyLineNow(tooBig ? kTooBig : kLowSpace);
    } else if (end) {
        FinishMessage();
    }
    return {used, end.has_value()};
}

// A forged message can be traced from itself: the client's own name for itself, its address,
// whether it was encrypted and who logged in, as RFC 3848 names the protocol.
std::string SmtpSession::TraceLines(const SmtpTransaction& transaction) const {
    std::string protocol = m_extended ? "ESMTP" : "SMTP";
    if (m_extended && IsEncrypted()) {
        protocol += 'S';
    }
    if (m_extended && !m_loggedIn.empty()) {
        protocol += 'A';
    }
    // A HELO name with control characters or blanks would break the header: it is shown
    // only up to the first.
    std::string_view helo = m_heloName;
    const auto bad = std::ranges::find_if(
        helo, [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; });
    helo = helo.substr(0, static_cast<std::size_t>(bad - helo.begin()));
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z", &local);
    std::string trace =
        "Return-Path: " +
        (transaction.reversePath.empty() ? std::string("<>") : transaction.reversePath) + "\r\n";
    trace += "Received: from " + std::string(helo.empty() ? "unknown" : helo) + " (" +
             std::string(ClientEndpoint()) + ")\r\n\tby " + OfficialHostName() + " (Brevin) with " +
             protocol;
    if (!m_loggedIn.empty()) {
        trace += " (authenticated as " + m_loggedIn + ")";
    }
    trace += "\r\n\tid " + std::to_string(Id()) + "; " + date + "\r\n";
    return trace;
}

// The header ends at the first empty line; a header past any reasonable size counts as ended,
// and the From: fields it holds so far are those checked.
void SmtpSession::GatherHeader(std::string_view data) {
    static constexpr std::size_t kMostHeader = 256 * 1024;
    SmtpTransaction& transaction = *m_transaction;
    if (transaction.headerComplete) {
        return;
    }
    const std::size_t before = transaction.header.size();
    transaction.header.append(data.substr(0, kMostHeader - std::min(kMostHeader, before)));
    const std::size_t from = before < 3 ? 0 : before - 3;
    const std::size_t crlf = transaction.header.find("\r\n\r\n", from);
    const std::size_t lf = transaction.header.find("\n\n", from);
    const std::size_t end = std::min(crlf == std::string::npos ? crlf : crlf + 2,
                                     lf == std::string::npos ? lf : lf + 1);
    if (end != std::string::npos) {
        transaction.header.resize(end);
        transaction.headerComplete = true;
    } else if (transaction.header.size() >= kMostHeader) {
        transaction.headerComplete = true;
    }
    if (transaction.header.starts_with("\r\n") || transaction.header.starts_with("\n")) {
        transaction.header.clear(); // no header at all
        transaction.headerComplete = true;
    }
}

void SmtpSession::FinishMessage() {
    SmtpTransaction& transaction = *m_transaction;
    // A message without a From: forges nobody; one with another's address is refused whole.
    if (const auto from = FromHeaderUsers(transaction.header);
        !m_loggedIn.empty() && !from.empty() && !AllAre(from, m_loggedIn, Recipients(m_users))) {
        LogEvent("smtp", "from-header")
            .Add("session", Id())
            .Add("user", m_loggedIn)
            .Add("from", from.front())
            .Failed();
        m_transaction.reset(); // removes the message file
        ReplyLineNow(kNotYourFrom);
        return;
    }
    // The message itself lies in the last recipient's folder; every other gets a copy, its
    // folder looked up again now, as the administrator may have moved it since RCPT.
    for (std::size_t i = 0; i < transaction.recipients.size(); ++i) {
        auto folder = m_users.MailboxPath(transaction.recipients[i]);
        if (!folder) {
            // The user was removed since RCPT. A passing failure: the client keeps the message
            // and tries again, and its retry is refused at RCPT for that user alone, where a
            // permanent one here would bounce it for every recipient.
            m_transaction.reset(); // removes the message file
            ReplyLineNow(kNotFiled);
            return;
        }
        if (i + 1 < transaction.recipients.size()) {
            transaction.delivery.copyFolders.push_back(std::move(*folder));
        }
    }
    Hold();
    m_deliveries.Submit(transaction.delivery,
                        [this](const Delivery& result) { MessageFiled(result); });
}

void SmtpSession::MessageFiled(const Delivery& result) {
    if (result.filed) {
        const SmtpTransaction& transaction = *m_transaction;
        std::string files(InStore(result.message.Path()));
        for (const IncomingMessage& copy : result.copies) {
            files.append(",").append(InStore(copy.Path()));
        }
        LogEvent("smtp", "filed")
            .Add("session", Id())
            .Add("files", files)
            .Add("size", transaction.dataBytes)
            .Add("recipients", transaction.recipients.size());
    }
    // Filed: nothing of it is removed any more. Failed: nothing of it is left.
    m_transaction.reset();
    if (!result.filed) {
        LogStoreError(result.failedPath, result.error);
    }
    // Everything is on disk (or nothing is): the client may hear it without waiting.
    Resume(result.filed ? kOk : DiskFull(result.error) ? kNotFiledDiskFull : kNotFiled);
}

} // namespace brevin
