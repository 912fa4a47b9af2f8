#include "engine/connection.h"

#include "engine/tls.h"

#include <utility>

namespace brevin {

Connection::Connection(EventLoop& loop, ConnectionEvents& events) : m_socket(loop, events) {}

Connection::~Connection() = default;

bool Connection::Attach(UniqueFd fd) {
    return m_socket.Attach(std::move(fd), Interest::Read | Interest::Close);
}

void Connection::WatchWrites(bool writes) {
    m_socket.AsyncSelect(writes ? Interest::Read | Interest::Write | Interest::Close
                                : Interest::Read | Interest::Close);
}

ssize_t Connection::Receive(void* buffer, std::size_t length, int flags) {
    return m_tls != nullptr ? m_tls->Receive(buffer, length, flags)
                            : m_socket.Receive(buffer, length, flags);
}

ssize_t Connection::Send(const void* buffer, std::size_t length) {
    return m_tls != nullptr ? m_tls->Send(buffer, length) : m_socket.Send(buffer, length);
}

bool Connection::Flush() {
    return m_tls == nullptr || m_tls->Flush();
}

bool Connection::Backlogged() const {
    return m_tls != nullptr && m_tls->Backlogged();
}

int Connection::LastError() const {
    return m_tls != nullptr ? m_tls->LastError() : m_socket.LastError();
}

void Connection::BeginTls(const TlsContext& context) {
    m_tls = std::make_unique<TlsChannel>(context, m_socket);
}

Connection::Handshake Connection::ContinueHandshake() {
    switch (m_tls->Handshake()) {
    case TlsChannel::Progress::Done:
        return Handshake::Done;
    case TlsChannel::Progress::Waiting:
        return Handshake::Waiting;
    case TlsChannel::Progress::Failed:
        break;
    }
    return Handshake::Failed;
}

std::string Connection::TlsFailureReason() const {
    return m_tls != nullptr ? m_tls->FailureReason() : std::string();
}

void Connection::Close() {
    if (m_tls != nullptr) {
        m_tls->Shutdown();
    }
    m_socket.Close();
}

} // namespace brevin
