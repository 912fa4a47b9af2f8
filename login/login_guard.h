#pragma once

#include "engine/client_address.h"
#include "engine/event_loop.h"
#include "engine/worker.h"
#include "store/users.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brevin {

/// What a password check found.
enum class LoginVerdict : std::uint8_t {
    Accepted,    ///< the user's own password
    Refused,     ///< a user with a mailbox, but not its password (or it has none)
    UnknownUser, ///< nobody of that name has a mailbox
    Unavailable, ///< the profile could not be read: nothing was checked, nothing counted
};

struct LoginResult {
    LoginVerdict verdict = LoginVerdict::Refused;
    std::string mailbox; ///< when accepted: the full path of the user's mailbox folder
    /// The answer has waited out a penalty: it is late already and leaves at once.
    bool penalised = false;
};

class LoginGuard;

/// One login under way, held by the session that asked. Dropping it (or the session) drops
/// the answer, never the attempt: the guess still counts, and its slot stays taken.
class LoginTicket {
public:
    LoginTicket() = default;
    ~LoginTicket() { Drop(); }
    LoginTicket(LoginTicket&& other) noexcept;
    LoginTicket& operator=(LoginTicket&& other) noexcept;
    LoginTicket(const LoginTicket&) = delete;
    LoginTicket& operator=(const LoginTicket&) = delete;

    /// The answer has not come yet.
    [[nodiscard]] bool Pending() const;
    void Drop();

private:
    friend class LoginGuard;
    LoginTicket(LoginGuard& guard, std::uint64_t id) : m_guard(&guard), m_id(id) {}

    LoginGuard* m_guard = nullptr;
    std::uint64_t m_id = 0;
};

/// The one way every service, on every port, checks a password, and what slows a guesser
/// down however it spreads its guesses:
/// - per client host (an IPv4 address, an IPv6 /64; every loopback source counts as one):
///   each failure raises a penalty (2 s, doubling, at most 15 s; five minutes without one
///   forget it), and while it lasts the host's answers leave one penalty apart;
/// - per account: attempts for a name from hosts that have not logged in as it in the last two
///   weeks are answered at least a second apart, so that many addresses together, even all at
///   once, get about one guess a second. The user's own devices are never slowed by others'
///   guesses.
///
/// The wait is fixed when the attempt arrives, from what is known before its password is
/// looked at, and the answer leaves once that wait and the check are both over: right or
/// wrong, it comes at the same time, and a client that hangs up early learns nothing and
/// frees nothing. The check itself (a password hash) runs on a worker, never on the loop.
class LoginGuard {
public:
    using Clock = EventLoop::Clock;
    using Answer = std::function<void(const LoginResult&)>;

    static constexpr std::chrono::milliseconds kFirstPenalty{2000};
    static constexpr std::chrono::milliseconds kMaxPenalty{15000};
    static constexpr std::chrono::minutes kForgetAfter{5};
    static constexpr std::chrono::milliseconds kAccountSpacing{1000};
    static constexpr std::chrono::hours kTrustFor{24 * 14};

    LoginGuard(EventLoop& loop, UserDirectory& users);

    /// The users it checks, for what a logged-in session reads of them (quotas).
    [[nodiscard]] UserDirectory& Users() const { return m_users; }
    ~LoginGuard();
    LoginGuard(const LoginGuard&) = delete;
    LoginGuard& operator=(const LoginGuard&) = delete;

    /// Checks `password` for `user`, sent by `client` to `service` (the first word of the log
    /// lines: "smtp"). `answer` runs from the loop, never within this call.
    [[nodiscard]] LoginTicket Check(std::string_view service, ClientAddress client,
                                    std::string_view user, std::string_view password,
                                    Answer answer);

    /// Hosts and accounts the guard still remembers.
    [[nodiscard]] std::size_t Remembered() const { return m_hosts.size() + m_accounts.size(); }

private:
    friend class LoginTicket;

    struct Host {
        std::chrono::milliseconds penalty{0};
        Clock::time_point lastFailure{};
        std::size_t waiting = 0; // penalised answers not yet sent to a client still there
    };
    struct Account {
        Clock::time_point lastDue{}; // of the latest attempt the spacing held
        std::size_t waiting = 0;     // of those, not yet sent to a client still there
        std::vector<std::pair<ClientAddress, Clock::time_point>> trusted; // host, last login
    };
    struct Attempt;

    /// When `attempt`, arriving now, may be answered; it takes its places in the queues.
    Clock::time_point Due(Attempt& attempt, Clock::time_point now);
    /// The attempt's answer has left, or its client has gone: it waits in no queue any more.
    void Release(Attempt& attempt, bool clientGone);
    /// Its place in the account's queue only; `early`: before its turn came.
    void ReleaseAccount(Attempt& attempt, bool early);
    void Drop(std::uint64_t id);
    void Checked(std::uint64_t id, bool matched);
    void Settle(std::uint64_t id);
    void CountFailure(const Attempt& attempt);
    void Trust(const Attempt& attempt);
    void Sweep(Clock::time_point now);

    EventLoop& m_loop;
    UserDirectory& m_users;
    std::unordered_map<ClientAddress, Host, ClientAddressHash> m_hosts;
    std::unordered_map<std::string, Account> m_accounts;
    std::size_t m_sweepAt = 1024;
    std::unordered_map<std::uint64_t, std::unique_ptr<Attempt>> m_attempts;
    std::uint64_t m_nextId = 1;
    Worker m_worker; // last: stopped before anything its jobs report to goes
};

} // namespace brevin
