#include "login/login_guard.h"

#include "base/log.h"
#include "store/passwords.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace brevin {

namespace {

/// The host a penalty counts against: every loopback source is one, so that a process on the
/// server's machine cannot rotate through 127.x.y.z to start each guess afresh.
ClientAddress PenaltyHost(ClientAddress client) {
    return IsLocal(client) ? ClientAddress::FromIPv4(0x7F000001) : client.Host();
}

/// What a name without a password is checked against, so that its answer costs a hash too.
/// Never destroyed: a check still running on the worker while the process exits reads it.
const std::string& StandIn() {
    static const std::string* const hash =
        new std::string(HashPassword("no password matches this stand-in"));
    return *hash;
}

std::uint64_t Seconds(std::chrono::milliseconds span) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(span).count());
}

} // namespace

struct LoginGuard::Attempt {
    Attempt(EventLoop& loop, LoginGuard& guard, std::uint64_t id)
        : due(loop, [&guard, id] { guard.Settle(id); }) {}

    std::string service;
    ClientAddress host{};
    std::string user;
    std::string mailbox;      // when the user has one
    bool unavailable = false; // the profile could not be read
    bool penalised = false;
    bool holdsHost = false;      // counts as waiting for its host
    bool holdsAccount = false;   // counts as waiting for its account
    Clock::time_point hostDue{}; // when its host's penalty alone lets it leave
    std::optional<bool> matched; // once the worker has checked
    Answer answer;               // empty once its session has gone
    Timer due;                   // the answer leaves no earlier
};

LoginTicket::LoginTicket(LoginTicket&& other) noexcept
    : m_guard(std::exchange(other.m_guard, nullptr)), m_id(std::exchange(other.m_id, 0)) {}

LoginTicket& LoginTicket::operator=(LoginTicket&& other) noexcept {
    if (this != &other) {
        Drop();
        m_guard = std::exchange(other.m_guard, nullptr);
        m_id = std::exchange(other.m_id, 0);
    }
    return *this;
}

bool LoginTicket::Pending() const {
    if (m_guard == nullptr) {
        return false;
    }
    const auto found = m_guard->m_attempts.find(m_id);
    return found != m_guard->m_attempts.end() && found->second->answer;
}

void LoginTicket::Drop() {
    if (m_guard != nullptr) {
        std::exchange(m_guard, nullptr)->Drop(m_id);
    }
}

LoginGuard::LoginGuard(EventLoop& loop, UserDirectory& users)
    : m_loop(loop), m_users(users), m_worker(loop) {}

LoginGuard::~LoginGuard() = default;

LoginTicket LoginGuard::Check(std::string_view service, ClientAddress client, std::string_view user,
                              std::string_view password, Answer answer) {
    const std::uint64_t id = m_nextId++;
    auto attempt = std::make_unique<Attempt>(m_loop, *this, id);
    attempt->service = service;
    attempt->host = PenaltyHost(client);
    attempt->user = user;
    attempt->answer = std::move(answer);
    // The profile is read here, on the loop, so that the worker only hashes.
    attempt->unavailable = !m_users.Profile().Readable();
    attempt->mailbox = m_users.MailboxPath(user).value_or(std::string());
    std::optional<std::string> stored = m_users.StoredPassword(user);
    const auto now = m_loop.Now();
    const auto due = Due(*attempt, now);
    attempt->penalised = due > now;
    attempt->due.StartAt(due);
    m_attempts.emplace(id, std::move(attempt));
    auto matched = std::make_shared<bool>(false);
    // Nobody's password is checked against a stand-in, so that an unknown name costs the same.
    m_worker.Post(
        [matched, stored = std::move(stored), typed = std::string(password)] {
            const bool same = PasswordMatches(stored ? *stored : StandIn(), typed);
            *matched = same && stored.has_value();
        },
        [this, id, matched] { Checked(id, *matched); });
    return {*this, id};
}

LoginGuard::Clock::time_point LoginGuard::Due(Attempt& attempt, Clock::time_point now) {
    if (m_hosts.size() + m_accounts.size() >= m_sweepAt) {
        Sweep(now);
    }
    auto due = now;
    if (const auto found = m_hosts.find(attempt.host); found != m_hosts.end()) {
        Host& host = found->second;
        if (host.penalty.count() != 0 && now - host.lastFailure < kForgetAfter) {
            due += host.penalty * static_cast<std::int64_t>(++host.waiting);
            attempt.holdsHost = true;
        }
    }
    attempt.hostDue = due;
    Account& account = m_accounts[attempt.user];
    const bool trusted = std::ranges::any_of(account.trusted, [&](const auto& entry) {
        return entry.first == attempt.host && now - entry.second < kTrustFor;
    });
    if (!trusted) {
        account.lastDue = std::max(now, account.lastDue + kAccountSpacing);
        ++account.waiting;
        attempt.holdsAccount = true;
        due = std::max(due, account.lastDue);
    }
    return due;
}

// A client that gives up stops counting as waiting: otherwise every abandoned guess would
// delay the answers to the host and the account further. Its guess is still checked and
// counted.
void LoginGuard::Release(Attempt& attempt, bool clientGone) {
    if (std::exchange(attempt.holdsHost, false)) {
        if (const auto found = m_hosts.find(attempt.host); found != m_hosts.end()) {
            found->second.waiting -= std::min<std::size_t>(found->second.waiting, 1);
        }
    }
    ReleaseAccount(attempt, clientGone);
}

void LoginGuard::ReleaseAccount(Attempt& attempt, bool early) {
    if (std::exchange(attempt.holdsAccount, false)) {
        if (const auto found = m_accounts.find(attempt.user); found != m_accounts.end()) {
            Account& account = found->second;
            account.waiting -= std::min<std::size_t>(account.waiting, 1);
            if (early && account.waiting == 0) {
                account.lastDue = std::min(account.lastDue, m_loop.Now());
            }
        }
    }
}

void LoginGuard::Drop(std::uint64_t id) {
    const auto found = m_attempts.find(id);
    if (found != m_attempts.end()) {
        found->second->answer = nullptr;
        Release(*found->second, /*clientGone=*/true);
    }
}

void LoginGuard::Checked(std::uint64_t id, bool matched) {
    const auto found = m_attempts.find(id);
    if (found == m_attempts.end()) {
        return;
    }
    Attempt& attempt = *found->second;
    attempt.matched = matched;
    if (attempt.unavailable) {
        // Nobody guessed wrong: the server could not look.
    } else if (matched) {
        Trust(attempt);
    } else {
        CountFailure(attempt);
    }
    if (!attempt.due.Pending()) {
        Settle(id);
    }
}

// Both the wait and the check are over: the answer leaves, to a session still there.
void LoginGuard::Settle(std::uint64_t id) {
    const auto found = m_attempts.find(id);
    if (found == m_attempts.end() || !found->second->matched) {
        return;
    }
    const std::unique_ptr<Attempt> attempt = std::move(found->second);
    m_attempts.erase(found);
    Release(*attempt, /*clientGone=*/false);
    if (!attempt->answer) {
        return;
    }
    LoginResult result;
    result.penalised = attempt->penalised;
    if (attempt->unavailable) {
        result.verdict = LoginVerdict::Unavailable;
    } else if (attempt->mailbox.empty()) {
        result.verdict = LoginVerdict::UnknownUser;
    } else if (*attempt->matched) {
        result.verdict = LoginVerdict::Accepted;
        result.mailbox = attempt->mailbox;
    }
    attempt->answer(result);
}

void LoginGuard::CountFailure(const Attempt& attempt) {
    const auto now = m_loop.Now();
    Host& host = m_hosts[attempt.host];
    if (now - host.lastFailure >= kForgetAfter) {
        host.penalty = std::chrono::milliseconds(0); // an old penalty starts over
    }
    host.penalty =
        host.penalty.count() == 0 ? kFirstPenalty : std::min(2 * host.penalty, kMaxPenalty);
    host.lastFailure = now;
    LogEvent(attempt.service, "penalty")
        .Add("client", AddressText(attempt.host))
        .Add("seconds", Seconds(host.penalty));
}

void LoginGuard::Trust(const Attempt& attempt) {
    const auto now = m_loop.Now();
    auto& trusted = m_accounts[attempt.user].trusted;
    std::erase_if(trusted, [&](const auto& entry) {
        return entry.first == attempt.host || now - entry.second >= kTrustFor;
    });
    trusted.emplace_back(attempt.host, now);
    // The other connections this device opened at the same time (a mail client opens several)
    // are its own too: they wait no longer for the account.
    for (auto& [id, other] : m_attempts) {
        if (other.get() != &attempt && other->holdsAccount && other->host == attempt.host &&
            other->user == attempt.user && other->due.Pending()) {
            ReleaseAccount(*other, /*early=*/true);
            other->due.StartAt(std::max(other->hostDue, now));
        }
    }
}

// Forgets what no longer slows anyone, so that a guesser's stream of names or addresses
// cannot grow the tables without end.
void LoginGuard::Sweep(Clock::time_point now) {
    std::erase_if(m_hosts, [&](const auto& entry) {
        const Host& host = entry.second;
        return now - host.lastFailure >= kForgetAfter && host.waiting == 0;
    });
    for (auto it = m_accounts.begin(); it != m_accounts.end();) {
        Account& account = it->second;
        std::erase_if(account.trusted,
                      [&](const auto& trusted) { return now - trusted.second >= kTrustFor; });
        const bool idle = account.waiting == 0 && now - account.lastDue >= kAccountSpacing;
        it = idle && account.trusted.empty() ? m_accounts.erase(it) : std::next(it);
    }
    m_sweepAt = std::max<std::size_t>(1024, 2 * (m_hosts.size() + m_accounts.size()));
}

} // namespace brevin
