#pragma once

#include "base/unique_fd.h"
#include "engine/mail_session.h"
#include "store/mailbox.h"
#include "store/users.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace brevin {

/// A POP3 conversation: USER and PASS open a mailbox, STAT, LIST, UIDL, RETR and DELE work on
/// it, QUIT answers and keeps the connection. Messages marked by DELE are deleted when the
/// session ends, however it ends.
///
/// The mailbox is listed once, when PASS opens it, and every later command works on that
/// listing: message numbers stay what the client saw even while other sessions delete or
/// deliver, and a listing costs one folder enumeration.
class Pop3Session final : public MailSession {
public:
    Pop3Session(EventLoop& loop, const SessionOptions& options, UserDirectory& users);
    ~Pop3Session() override;

    static constexpr std::string_view kBanner = "+OK Brevin SMTP/POP3 server";

private:
    // What the stream of a multi-line reply is producing.
    enum class Stream { None, Retrieval, List, Uidl };

    [[nodiscard]] std::string_view Banner() const override { return kBanner; }
    void InterpretCommand(std::string_view line) override;
    void RejectLongLine() override;
    bool NextChunk() override;

    void ProcessPop3Command(std::string_view line);
    void User(const std::string& argument);
    void Pass(const std::string& argument);
    void Stat();
    void List(const std::string& argument);
    void Uidl(const std::string& argument);
    void Retr(const std::string& argument);
    void Dele(const std::string& argument);

    /// The listing index a command's number names, or nothing (after replying) when it names
    /// none or the mailbox is not open.
    std::optional<std::size_t> Message(std::int32_t number, std::string_view noSuchReply);
    /// Starts a listing: `status` and as many lines as fit now; the rest streams.
    void StartListing(Stream kind, std::string status);
    /// Appends whole listing lines (and the final ".") to `out` while they fit in `room`.
    void FillListing(std::string& out, std::size_t room);
    [[nodiscard]] std::string ListingLine(std::size_t index) const;

    bool SendRetrievalChunk();
    /// Without a pause to keep, moves as much of the file as the socket takes right now.
    void SendWhatTheSocketTakes();
    void CloseRetrieval();

    UserDirectory& m_users;

    std::string m_user; // as the last USER gave it, also when unknown
    bool m_authorised = false;
    Mailbox m_mailbox; // listed when PASS opened it

    // While a stream runs the engine holds further commands back by itself, so this protocol
    // never enters the data phase.
    Stream m_stream = Stream::None;
    std::size_t m_listNext = 0; // next listing entry to send; the size means the "." is next
    bool m_listDone = false;
    UniqueFd m_retrFd;      // the message being retrieved, while one is
    off_t m_retrOffset = 0; // how much of the file has been handed out
    bool m_retrEnded = false;
};

} // namespace brevin
