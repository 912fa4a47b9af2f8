#pragma once

#include "engine/client_table.h"
#include "engine/event_loop.h"
#include "store/users.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brevin {

/// What a password check found.
enum class LoginVerdict : std::uint8_t {
    Accepted,    ///< the user's own password
    Refused,     ///< a user with a mailbox, but not its password (or it has none)
    UnknownUser, ///< nobody of that name has a mailbox
};

struct LoginResult {
    LoginVerdict verdict = LoginVerdict::Refused;
    std::string mailbox; ///< when accepted: the full path of the user's mailbox folder
    /// The answer has waited out a penalty: it is late already and leaves at once.
    bool penalised = false;
};

/// How a service hears how its login went; every handler runs from the loop, never within a
/// call to the gate's own functions (except `abandoned` within `ClientLeft`).
struct LoginHandlers {
    /// As soon as the verdict is known, before any penalty is waited out: the service logs the
    /// login and opens what it opens. A failure raises the address's penalty right after. Must
    /// not destroy the gate.
    std::function<void(const LoginResult&)> decided;
    /// Once the address's penalty (if any) has passed: the reply may leave now.
    std::function<void(const LoginResult&)> answer;
    /// The client sent its last byte while its answer waits out a penalty: it hears nothing,
    /// and the service ends the session.
    std::function<void()> abandoned;
};

/// The one way a service checks a user's password, with the password-guessing penalty of the
/// client's address around it (see ClientTable): whichever service the guesses come through,
/// they raise and wait out the same penalty. Right or wrong, the answer waits out that penalty:
/// a guesser that hangs up early learns nothing, and one that waits gets about one answer per
/// penalty, on any connection.
///
/// The check is asynchronous: its result comes through the handlers from the loop, so that a
/// slow check (a password hash) can move to a worker thread without the services noticing.
///
/// One per session, owned by it. Destroying it drops whatever is pending: no handler runs after,
/// an answer waiting out a penalty stops counting as waiting, and a check still under way is
/// forgotten (its client, gone, never hears it).
class LoginGate {
public:
    /// `service` is the first word of the gate's log lines ("pop3").
    LoginGate(EventLoop& loop, UserDirectory& users, std::string_view service,
              LoginHandlers handlers);
    ~LoginGate();
    LoginGate(const LoginGate&) = delete;
    LoginGate& operator=(const LoginGate&) = delete;

    /// Checks `password` for `user`, connected from `client`, whose penalty `clients` keeps
    /// (it must outlive the gate). One at a time: the service holds its commands until the
    /// answer.
    void Check(ClientTable& clients, ClientAddress client, std::string_view user,
               std::string_view password);
    /// A failed login that needs no password check (a POP3 USER naming nobody): raises the
    /// address's penalty now.
    void CountFailure(ClientTable& clients, ClientAddress client);
    /// The client sends nothing more. An answer waiting out a penalty is dropped, and
    /// `abandoned` runs now; one still being checked is dropped too if it turns out to wait.
    void ClientLeft();

    /// A check is under way, or its answer waits.
    [[nodiscard]] bool Pending() const { return m_state != State::Idle; }

private:
    enum class State : std::uint8_t { Idle, Checking, Waiting };

    /// The check itself; what a worker thread will run once passwords are hashed.
    static LoginResult Verify(const UserDirectory& users, std::string_view user,
                              std::string_view password);
    /// Back on the loop with the verdict: counts a failure and waits out the penalty.
    void Decide();
    void PenaltyOver();
    /// Ends the login under way with `answer` (or `abandoned`); they may destroy the gate.
    void Finish();
    void Abandon();

    EventLoop& m_loop;
    UserDirectory& m_users;
    std::string m_service;
    LoginHandlers m_handlers;

    State m_state = State::Idle;
    ClientTable* m_clients = nullptr; // of the login under way
    ClientAddress m_client{};
    LoginResult m_result;
    bool m_clientLeft = false; // while checking: the client sent its last byte

    // Last, so that they are cancelled before anything their callbacks use goes.
    Timer m_checked; // brings the verdict back from the loop's next round
    Timer m_penalty; // holds the answer while the address's penalty lasts
};

} // namespace brevin
