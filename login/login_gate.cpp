#include "login/login_gate.h"

#include "base/log.h"

#include <utility>

namespace brevin {

LoginGate::LoginGate(EventLoop& loop, UserDirectory& users, std::string_view service,
                     LoginHandlers handlers)
    : m_loop(loop), m_users(users), m_service(service), m_handlers(std::move(handlers)),
      m_checked(loop, [this] { Decide(); }), m_penalty(loop, [this] { PenaltyOver(); }) {}

LoginGate::~LoginGate() {
    if (m_state == State::Waiting) {
        m_clients->AnswerSent(m_client); // it waits no more
    }
}

LoginResult LoginGate::Verify(const UserDirectory& users, std::string_view user,
                              std::string_view password) {
    LoginResult result;
    auto folder = users.MailboxPath(user);
    if (!folder) {
        result.verdict = LoginVerdict::UnknownUser;
    } else if (users.CheckPassword(user, password)) {
        result.verdict = LoginVerdict::Accepted;
        result.mailbox = std::move(*folder);
    }
    return result;
}

void LoginGate::Check(ClientTable& clients, ClientAddress client, std::string_view user,
                      std::string_view password) {
    if (m_state == State::Waiting) {
        m_penalty.Cancel();
        m_clients->AnswerSent(m_client); // the answer it replaces is never sent
    }
    m_state = State::Checking;
    m_clients = &clients;
    m_client = client;
    m_clientLeft = false;
    m_result = Verify(m_users, user, password);
    // Not a Deferred: that would run within this round, so a client pipelining PASS lines
    // without a pause could keep the loop from every other session.
    m_checked.Start(std::chrono::milliseconds(0));
}

void LoginGate::CountFailure(ClientTable& clients, ClientAddress client) {
    const auto penalty = clients.AddFailure(client, m_loop.Now());
    LogEvent(m_service, "penalty")
        .Add("client", AddressText(client))
        .Add("seconds", static_cast<std::uint64_t>(
                            std::chrono::duration_cast<std::chrono::seconds>(penalty).count()));
}

void LoginGate::Decide() {
    m_handlers.decided(m_result);
    if (m_result.verdict != LoginVerdict::Accepted) {
        CountFailure(*m_clients, m_client);
    }
    const auto wait = m_clients->PasswordWait(m_client, m_loop.Now());
    if (wait.count() == 0) {
        Finish();
        return;
    }
    m_result.penalised = true;
    if (m_clientLeft) {
        m_clients->AnswerSent(m_client);
        Abandon();
        return;
    }
    m_state = State::Waiting;
    m_penalty.Start(wait);
}

// A client that hangs up while its password waits learns nothing, and stops counting as waiting:
// otherwise every abandoned guess would delay the answers from its address further.
void LoginGate::ClientLeft() {
    if (m_state == State::Checking) {
        m_clientLeft = true;
    } else if (m_state == State::Waiting) {
        m_penalty.Cancel();
        m_clients->AnswerSent(m_client);
        Abandon();
    }
}

void LoginGate::PenaltyOver() {
    m_clients->AnswerSent(m_client);
    Finish();
}

// The handler may end the session, and the gate with it: it runs on copies.
void LoginGate::Finish() {
    m_state = State::Idle;
    const LoginResult result = std::exchange(m_result, LoginResult());
    const auto answer = m_handlers.answer;
    answer(result);
}

void LoginGate::Abandon() {
    m_state = State::Idle;
    m_result = LoginResult();
    const auto abandoned = m_handlers.abandoned;
    abandoned();
}

} // namespace brevin
