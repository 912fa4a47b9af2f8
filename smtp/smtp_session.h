#pragma once

#include "engine/mail_session.h"
#include "store/mailbox_store.h"
#include "store/profile_file.h"
#include "store/string_list.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// An SMTP conversation: HELO, MAIL, RCPT, DATA, RSET and QUIT, recognised by the first four
/// bytes of the line in any letter case; then the message data, filed for every accepted
/// local recipient.
///
/// The message goes to disk as it arrives, under a temporary name in the folder of the last
/// accepted recipient. At the end of the data it is made durable and named; every other
/// recipient gets a durable copy of its own. Only then does the client hear 250; when any of
/// it fails, every file of the message is removed and the client hears 500, so that it keeps
/// the message instead of believing it delivered.
class SmtpSession final : public MailSession {
public:
    SmtpSession(EventLoop& loop, const SessionOptions& options, ProfileFile& profile);
    ~SmtpSession() override;

    static constexpr std::string_view kOk = "250 Ok. Brevin Server ready ";
    static constexpr std::string_view kStartData = "354 Ok. Brevin Server ready ";
    static constexpr std::string_view kNoSuchUser = "550 Brevin Server : NO Such User";
    static constexpr std::string_view kNoFile = "552 Error. No Mem File!";
    static constexpr std::string_view kNoRecipients = "554 Brevin Server : No valid recipients";
    static constexpr std::string_view kClosing = "221 Ok. Done";
    static constexpr std::string_view kFailed = "500 error. Brevin Server ready ";
    static constexpr std::string_view kUnknown = "500 Brevin Server : command not recognized";
    static constexpr std::string_view kTooLong = "500 Brevin Server : line too long";

private:
    void InterpretCommand(std::string_view line) override { HandleSmtpCommand(line); }
    void RejectLongLine() override { ReplyLine(kTooLong); }
    std::size_t ReceiveMessageData(std::span<const char> bytes) override;

    void HandleSmtpCommand(std::string_view line);
    /// MAIL: the reduced sender goes to `m_from`. False when the line has no ':' at index 5 or
    /// later, or no usable address.
    bool TakeSender(std::string_view line);
    /// RCPT: appends the user named by the address when [USERS] gives it a folder.
    bool AddRecipient(std::string_view line);
    /// DATA: creates the message file, invisible until complete. The number is used up even
    /// when the file cannot be created.
    bool OpenMessageFile();
    /// End of the data: files the message and sends the final reply at once.
    void FinishMessage();
    /// A durable copy for every recipient but the last, whose folder holds the message itself.
    bool CopyToRecipients();
    /// Removes every file of the current message (after a failure).
    void DiscardMessage();
    /// Forgets the recipients of the transaction that ends.
    void EndTransaction();

    ProfileFile& m_profile;
    std::string m_from;
    listas* m_recipients = nullptr;
    std::string m_folder;  // mailbox folder of the last accepted recipient
    std::string m_msgPath; // the message file, as named once complete
    IncomingMessage m_message;
    std::vector<std::string> m_copies; // copies made so far for the current message
    bool m_writeFailed = false;        // data goes on being read to its end, then 500
    // The last bytes of the data so far, so an end sequence split across reads is seen.
    char m_tail[4]{};
    std::size_t m_tailLength = 0;
};

} // namespace brevin
