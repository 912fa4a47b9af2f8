#pragma once

#include "engine/mail_session.h"
#include "folders/folder_service.h"
#include "login/login_guard.h"
#include "smtp/delivery_queue.h"
#include "smtp/end_of_data.h"
#include "store/delivery.h"
#include "store/users.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// What one SMTP message may be, from the command line.
struct SmtpLimits {
    static constexpr std::uint64_t kDefaultMaxMessageSize = 52'428'800;
    /// Bytes of message data at most (0: no limit). A longer message is read to its end, kept
    /// nowhere, and refused with 552.
    std::uint64_t maxMessageSize = kDefaultMaxMessageSize;
    /// Recipients of one message at most; more are refused with 452.
    std::size_t maxRecipients = 1000;
    static constexpr std::uint64_t kDefaultMinFreeBytes = 256ULL << 20;
    /// Mail never takes the store's file system below this much free: MAIL, RCPT and the data
    /// are refused with 452 where they would, counting what uploads under way have claimed.
    std::uint64_t minFreeBytes = kDefaultMinFreeBytes;
};

/// Who must log in before sending, by port and by the administrator's choice.
struct SmtpRules {
    /// Submission (RFC 6409): a login before MAIL, and the null sender refused.
    bool submission = false;
    /// Every session logs in before MAIL, on any port.
    bool requireLogin = false;
};

/// One mail transaction: made at MAIL (or at the first RCPT of a client that skips MAIL) and
/// dropped at RSET, at the next MAIL, or once its message has been filed.
struct SmtpTransaction {
    std::string reversePath;             // MAIL's address as given, "<>" for none
    std::vector<std::string> recipients; // user names, in RCPT order, each once
    std::string lastFolder;              // full path of the last recipient's mailbox
    Delivery delivery;                   // the message being received or filed
    std::uint64_t dataBytes = 0;         // received so far
    std::uint64_t traceBytes = 0;        // of the file: the trace lines written before the data
    bool tooBig = false;                 // past the size limit: read on, keep nothing
    bool lowSpace = false;               // would take the store below its floor: likewise
    std::uint64_t expected = 0;          // bytes of the file the claim makes room for
    SpaceClaim space;                    // the room claimed for all of it
    std::string header;                  // after a login: the message's header, to check From:
    bool headerComplete = false;
    std::uint64_t declaredSize = 0; // MAIL's SIZE=, for the quotas
};

/// An SMTP conversation (RFC 5321): HELO or EHLO, AUTH, MAIL, RCPT, DATA, RSET, NOOP, VRFY, HELP
/// and QUIT, recognised by the first four bytes of the line in any letter case; then the
/// message data, filed for every accepted local recipient. EHLO offers PIPELINING, SIZE,
/// 8BITMIME and SMTPUTF8 (a message is stored as the bytes it arrives in), and AUTH PLAIN LOGIN
/// (RFC 4954) where a password may be sent: on an encrypted session, or from this machine.
///
/// After a login the sender is the user: the envelope sender and every From: address must name
/// them, or the message is refused.
///
/// The message goes to disk as it arrives, under a temporary name in the folder of the last
/// accepted recipient. At the end of the data it goes to the delivery queue, which makes it
/// durable and named, with a durable copy for every other recipient. Only then does the client
/// hear 250; when any of it fails, every file of the message is removed and the client hears
/// 452 (a full disk) or 451, so that it keeps the message and tries again later.
class SmtpSession final : public MailSession {
public:
    SmtpSession(EventLoop& loop, const SessionOptions& options, DeliveryQueue& deliveries,
                LoginGuard& logins, SmtpLimits limits = {}, SmtpRules rules = {});
    ~SmtpSession() override;

    static constexpr std::string_view kBanner = "220 Ok. Brevin Server ready ";
    static constexpr std::string_view kOk = "250 Ok. Brevin Server ready ";
    static constexpr std::string_view kStartData = "354 Ok. Brevin Server ready ";
    static constexpr std::string_view kNoSuchUser = "550 Brevin Server : NO Such User";
    // Passing trouble: a client retries later. The texts are those of earlier releases.
    static constexpr std::string_view kNoFile = "451 Error. No Mem File!";
    static constexpr std::string_view kNoFileDiskFull = "452 Error. No Mem File!";
    static constexpr std::string_view kNoRecipients = "554 Brevin Server : No valid recipients";
    static constexpr std::string_view kClosing = "221 Ok. Done";
    static constexpr std::string_view kNotFiled = "451 error. Brevin Server ready ";
    static constexpr std::string_view kNotFiledDiskFull = "452 error. Brevin Server ready ";
    static constexpr std::string_view kLowSpace = "452 Brevin Server : insufficient system storage";
    static constexpr std::string_view kUnknown = "500 Brevin Server : command not recognized";
    static constexpr std::string_view kTooLong = "500 Brevin Server : line too long";
    static constexpr std::string_view kTooBig =
        "552 Brevin Server : message size exceeds fixed maximum message size";
    static constexpr std::string_view kTooManyRecipients =
        "452 Brevin Server : too many recipients";
    static constexpr std::string_view kMailboxFull =
        "452 4.2.2 Brevin Server : mailbox full, try again later";
    static constexpr std::string_view kTlsRequired =
        "530 Brevin Server : must issue a STARTTLS command first";
    static constexpr std::string_view kBadParameter =
        "555 Brevin Server : MAIL parameter not recognized";
    static constexpr std::string_view kLoginRequired =
        "530 5.7.0 Brevin Server : Authentication required";
    static constexpr std::string_view kLoggedIn =
        "235 2.7.0 Brevin Server : Authentication successful";
    static constexpr std::string_view kLoginFailed =
        "535 5.7.8 Brevin Server : Authentication credentials invalid";
    static constexpr std::string_view kNotYourSender =
        "553 5.7.1 Brevin Server : Sender address not owned by the logged-in user";
    static constexpr std::string_view kNotYourFrom =
        "550 5.7.1 Brevin Server : From: address not owned by the logged-in user";

private:
    using Handler = void (SmtpSession::*)(std::string_view text);
    /// A row of the command table. What a row requires is checked once, before its handler.
    struct Command {
        std::uint32_t word;          // the command's first four letters, see CommandWord
        bool startsOver = false;     // drops the transaction under way first
        bool needsTls = false;       // refused in the clear while encryption is required
        bool needsRecipient = false; // refused until a RCPT has been accepted
        bool needsLogin = false;     // refused before AUTH where the rules ask for a login
        Handler handler = nullptr;
    };
    static const Command kCommands[];

    [[nodiscard]] std::string_view Banner() const override { return kBanner; }
    void InterpretCommand(std::string_view line) override;
    void RejectLongLine() override { ReplyLine(kTooLong); }
    [[nodiscard]] std::string CommandName(std::string_view line) const override;
    [[nodiscard]] std::string LineForLog(std::string_view line) const override;
    DataResult ReceiveMessageData(std::span<const char> bytes) override;
    void OnEncrypted() override;
    void OnInputEnded() override;
    [[nodiscard]] bool IsFailureReply(std::string_view reply) const override {
        return !reply.empty() && (reply.front() == '4' || reply.front() == '5');
    }

    // The handlers get the command line up to any zero byte, line end included.
    void Helo(std::string_view text);
    void Ehlo();
    void StartTls(std::string_view text);
    void Auth(std::string_view text);
    /// A line of the AUTH exchange under way (never a command).
    void AuthResponse(std::string_view line);
    /// Checks the password; the reply comes with the verdict.
    void CheckLogin(std::string user, std::string_view password);
    void LoginChecked(const LoginResult& result);
    /// Replies to a client's mistake (an unknown recipient or command), slowly once it has
    /// made many, and ends a session that makes too many.
    void RefuseClientError(std::string_view reply);
    /// Whether AUTH can be used on this session now.
    [[nodiscard]] bool LoginOffered() const;
    void Mail(std::string_view text);
    void Rcpt(std::string_view text);
    /// A recipient as RCPT resolved it: a user and the full path of their mailbox.
    struct Resolved {
        std::string user;
        std::string folder;
    };
    /// RCPT's end: the users that have room join the transaction. Replies (or resumes, when
    /// `held`).
    void AcceptRecipients(std::vector<Resolved> fresh, bool held);
    /// Claims room for the transaction's file of `transaction.expected` bytes and every
    /// recipient's entry; false (logged) when that would take the store below its floor.
    [[nodiscard]] bool ClaimSpace(SmtpTransaction& transaction);
    void Data(std::string_view text);
    void Rset(std::string_view text);
    void Noop(std::string_view text);
    void Vrfy(std::string_view text);
    void Help(std::string_view text);
    void Quit(std::string_view text);
    /// DATA, once the delivery queue has made the message's file (invisible until complete)
    /// or failed to: answers. The number is used up even when the file cannot be created.
    void MessageFileOpened(IncomingMessage message);
    /// End of the data: hands the message to the delivery queue, whose answer is the final
    /// reply, sent at once.
    void FinishMessage();
    /// The delivery queue's answer: the final reply.
    void MessageFiled(const Delivery& result);
    /// The lines that begin every stored message (RFC 5321 4.4): who sent it, from where.
    [[nodiscard]] std::string TraceLines(const SmtpTransaction& transaction) const;
    /// The transaction under way, made when a command needs one.
    SmtpTransaction& Transaction();
    /// After a login: gathers the message's header from the data, to check its From: at the
    /// end.
    void GatherHeader(std::string_view data);

    /// Where an AUTH exchange stands.
    enum class AuthStep : std::uint8_t { None, PlainResponse, LoginUser, LoginPassword };

    DeliveryQueue& m_deliveries;
    UserDirectory& m_users;
    LoginGuard& m_logins;
    SmtpLimits m_limits;
    SmtpRules m_rules;
    bool m_greeted = false;  // HELO or EHLO came
    bool m_extended = false; // the greeting was EHLO
    std::string m_heloName;  // as the client gave it, for the trace
    AuthStep m_authStep = AuthStep::None;
    std::string m_mechanism; // of the AUTH under way or done
    std::string m_authUser;  // LOGIN's user name, until its password comes
    std::string m_loggedIn;  // the user, once AUTH succeeded
    LoginTicket m_login;     // the AUTH being checked
    FolderTicket m_measure;  // the quotas of RCPT's users being checked
    std::optional<SmtpTransaction> m_transaction;
    EndOfDataMatcher m_endOfData;
    // A recipient's file is a link to the message's, but still takes an entry and an index line.
    static constexpr std::uint64_t kFileRoom = 8 * 1024;
    // An upload without a declared size claims room a step at a time, ahead of its data.
    static constexpr std::uint64_t kClaimStep = 1 << 20;
    static constexpr std::uint64_t kClaimSlack = 64 * 1024;
    static constexpr std::size_t kErrorsBeforeDelay = 10;
    static constexpr std::size_t kErrorsBeforeClosing = 20;
    static constexpr std::chrono::seconds kErrorDelay{1};
    std::size_t m_errors = 0;        // client errors in this session
    std::string_view m_delayedReply; // a constant, held while m_errorDelay runs
    Timer m_errorDelay;              // last: cancelled before what it uses goes
};

} // namespace brevin
