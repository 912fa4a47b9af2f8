// TLS against a running brevin at --pause-ms 0: full and resumed handshakes (TLS 1.3 and 1.2)
// by the server's CPU time, POP3 retrieval of a 10 MiB message and SMTP delivery of 1 KiB
// messages over the implicit-TLS ports beside the plain ones in the same run, and the memory of
// 1,000 idle encrypted sessions beside 1,000 plain ones. Every loop is bounded in count and time.
// Usage: bench_tls   (the server is $BREVIN_BIN or build/brevin)

#include "support/server_process.h"

#include <cstdio>
#include <memory>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/time.h>

namespace {

using namespace brevin::bench;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kBigMessage = 10 * 1024 * 1024;

std::string MessageText(std::size_t size) {
    std::string text;
    const std::string line = "The quick brown fox jumps over the lazy dog, 0123456789.\r\n";
    while (text.size() + line.size() + 5 <= size) {
        text += line;
    }
    text.append(size - 5 - text.size(), 'x');
    return text + "\r\n.\r\n";
}

void PrepareStore(const std::filesystem::path& workdir) {
    const auto store = workdir / "store";
    std::filesystem::create_directories(store);
    std::ofstream profile(workdir / "brevin.INI", std::ios::binary);
    profile << "[BREVIN]\r\nstore=" << store.string()
            << "\r\n[USERS]\r\nbig=big\r\nsink=sink\r\n[PWD]\r\nbig=pw\r\nsink=pw\r\n";
    profile.close();
    std::filesystem::create_directories(store / "big");
    std::filesystem::create_directories(store / "sink");
    std::ofstream(store / "big" / "MSG00001.bvn", std::ios::binary) << MessageText(kBigMessage);
}

/// Server CPU time (user and system) in microseconds, finely: from schedstat.
double CpuMicros(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    stat >> ns;
    return ns / 1000.0;
}

/// A blocking loopback client, plain or TLS, with a time limit on every wait.
class Conn {
public:
    Conn(std::uint16_t port, SSL_CTX* tls, SSL_SESSION* resume = nullptr) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{10, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        const int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        if (m_ok && tls != nullptr) {
            m_ssl = SSL_new(tls);
            SSL_set_fd(m_ssl, m_fd);
            if (resume != nullptr) {
                SSL_set_session(m_ssl, resume);
            }
            m_ok = SSL_connect(m_ssl) == 1;
        }
    }
    ~Conn() {
        if (m_ssl != nullptr) {
            // A clean goodbye, as mail clients say it; without it the session is not resumable.
            if (m_ok) {
                SSL_shutdown(m_ssl);
            }
            SSL_free(m_ssl);
        }
        close(m_fd);
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    [[nodiscard]] bool Ok() const { return m_ok; }
    [[nodiscard]] bool Resumed() const { return m_ssl != nullptr && SSL_session_reused(m_ssl); }
    /// The session to resume with (after the first read, when TLS 1.3 tickets have come).
    [[nodiscard]] SSL_SESSION* Session() const { return SSL_get1_session(m_ssl); }

    void Send(const std::string& bytes) {
        std::size_t done = 0;
        while (m_ok && done < bytes.size()) {
            const ssize_t sent =
                m_ssl != nullptr
                    ? SSL_write(m_ssl, bytes.data() + done, static_cast<int>(bytes.size() - done))
                    : send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            m_ok = sent > 0;
            done += sent > 0 ? static_cast<std::size_t>(sent) : 0;
        }
    }

    std::string ReadLine() {
        for (;;) {
            if (const auto at = m_pending.find("\r\n"); at != std::string::npos) {
                std::string line = m_pending.substr(0, at);
                m_pending.erase(0, at + 2);
                return line;
            }
            if (!Fill()) {
                return {};
            }
        }
    }

    std::string Command(const std::string& line) {
        Send(line + "\r\n");
        return ReadLine();
    }

    /// Reads a multi-line reply through its final "." line; returns its size.
    std::size_t ReadThroughEnd() {
        std::size_t total = 0;
        std::string tail;
        for (;;) {
            total += m_pending.size();
            tail += m_pending;
            if (tail.size() > 5) {
                tail.erase(0, tail.size() - 5);
            }
            m_pending.clear();
            if (tail == "\r\n.\r\n" || !Fill()) {
                return total;
            }
        }
    }

private:
    bool Fill() {
        char buffer[65536];
        const ssize_t got = m_ssl != nullptr ? SSL_read(m_ssl, buffer, sizeof buffer)
                                             : recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            m_ok = false;
            return false;
        }
        m_pending.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    int m_fd = -1;
    SSL* m_ssl = nullptr;
    bool m_ok = false;
    std::string m_pending;
};

SSL_CTX* ClientContext(int version) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, version);
    SSL_CTX_set_max_proto_version(ctx, version);
    return ctx;
}

struct HandshakeCost {
    double perSecond = 0; // wall rate, client on the other core
    double cpuMicros = 0; // server CPU per connection
    int done = 0;
    int resumed = 0;
};

/// Connections one after another, each greeted by the server, for at most `count` or 3 s.
HandshakeCost Handshakes(const ServerProcess& server, std::uint16_t port, SSL_CTX* tls,
                         SSL_SESSION* resume, int count) {
    HandshakeCost cost;
    const double cpuBefore = CpuMicros(server.Pid());
    const auto start = Clock::now();
    while (cost.done < count && Clock::now() - start < 3s) {
        Conn conn(port, tls, resume);
        if (!conn.Ok() || conn.ReadLine().empty()) {
            break;
        }
        cost.resumed += conn.Resumed() ? 1 : 0;
        ++cost.done;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(50ms); // the server finishes its last close
    cost.cpuMicros = (CpuMicros(server.Pid()) - cpuBefore) / std::max(cost.done, 1);
    cost.perSecond = cost.done / seconds;
    return cost;
}

void HandshakeTable(const ServerProcess& server, std::uint16_t smtps) {
    std::printf("Handshakes, one after another (the server on one core)\n");
    std::printf("%-34s %8s %10s %14s %12s\n", "connection", "count", "wall /s", "server CPU us",
                "per core /s");
    const auto row = [](const char* what, const HandshakeCost& c) {
        std::printf("%-34s %8d %10.0f %14.1f %12.0f\n", what, c.done, c.perSecond, c.cpuMicros,
                    1e6 / std::max(c.cpuMicros, 1.0));
    };
    const HandshakeCost plain = Handshakes(server, server.smtpPort, nullptr, nullptr, 3000);
    row("plain connection and banner", plain);
    for (const int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        SSL_CTX* ctx = ClientContext(version);
        SSL_SESSION* session = nullptr;
        {
            Conn first(smtps, ctx);
            first.ReadLine(); // TLS 1.3 tickets come after the handshake
            session = first.Session();
        }
        const char* name = version == TLS1_3_VERSION ? "TLS 1.3" : "TLS 1.2";
        const HandshakeCost full = Handshakes(server, smtps, ctx, nullptr, 2000);
        const HandshakeCost resumed = Handshakes(server, smtps, ctx, session, 2000);
        row((std::string(name) + " full").c_str(), full);
        row((std::string(name) + " resumed").c_str(), resumed);
        std::printf("  %s: %d of %d resumed; resumed is %.1fx cheaper, %.1fx net of the plain "
                    "connection's cost (goal: at least 3x)\n",
                    name, resumed.resumed, resumed.done,
                    full.cpuMicros / std::max(resumed.cpuMicros, 1.0),
                    (full.cpuMicros - plain.cpuMicros) /
                        std::max(resumed.cpuMicros - plain.cpuMicros, 1.0));
        SSL_SESSION_free(session);
        SSL_CTX_free(ctx);
    }
}

struct Amount {
    double units = 0;
    double seconds = 0;
    Amount& operator+=(const Amount& other) {
        units += other.units;
        seconds += other.seconds;
        return *this;
    }
    [[nodiscard]] double Rate() const { return seconds > 0 ? units / seconds : 0; }
};

/// MiB of RETR of the 10 MiB message, repeated twice (at most 3 s), and the time it took.
Amount Retrieval(std::uint16_t port, SSL_CTX* tls) {
    Conn conn(port, tls);
    if (!conn.Ok() || !conn.ReadLine().starts_with("+OK") ||
        !conn.Command("USER big").starts_with("+OK") ||
        !conn.Command("PASS pw").starts_with("+OK")) {
        return {};
    }
    std::size_t bytes = 0;
    const auto start = Clock::now();
    for (int i = 0; i < 2 && Clock::now() - start < 3s; ++i) {
        if (!conn.Command("RETR 1").starts_with("+OK")) {
            return {};
        }
        bytes += conn.ReadThroughEnd();
    }
    return {static_cast<double>(bytes) / (1024.0 * 1024.0),
            std::chrono::duration<double>(Clock::now() - start).count()};
}

/// 1 KiB deliveries by one client, at most 200 messages or 1.5 s, and the time they took. Over
/// TLS the port is submission's: the client logs in as the sender first.
Amount Delivery(std::uint16_t port, SSL_CTX* tls) {
    Conn conn(port, tls);
    if (!conn.Ok() || !conn.ReadLine().starts_with("220") ||
        !conn.Command("HELO bench").starts_with("250") ||
        (tls != nullptr && !conn.Command("AUTH PLAIN AHNpbmsAcHc=").starts_with("235"))) {
        return {};
    }
    const std::string data = MessageText(1024);
    int delivered = 0;
    const auto start = Clock::now();
    while (delivered < 200 && Clock::now() - start < 1500ms) {
        if (!conn.Command(tls != nullptr ? "MAIL FROM:<sink@brevin.test>"
                                         : "MAIL FROM:<bench@example.org>")
                 .starts_with("250") ||
            !conn.Command("RCPT TO:<sink@brevin.test>").starts_with("250") ||
            !conn.Command("DATA").starts_with("354")) {
            break;
        }
        conn.Send(data);
        if (!conn.ReadLine().starts_with("250")) {
            break;
        }
        ++delivered;
    }
    return {static_cast<double>(delivered),
            std::chrono::duration<double>(Clock::now() - start).count()};
}

/// Server memory per session for 1,000 sessions opened and greeted, then left idle.
double IdleKiB(const ServerProcess& server, std::uint16_t port, SSL_CTX* tls, int& opened) {
    constexpr int kSessions = 1000;
    const long before = server.RssKiB();
    std::vector<std::unique_ptr<Conn>> conns;
    const auto start = Clock::now();
    while (static_cast<int>(conns.size()) < kSessions && Clock::now() - start < 30s) {
        auto conn = std::make_unique<Conn>(port, tls);
        if (!conn->Ok() || conn->ReadLine().empty()) {
            break;
        }
        conns.push_back(std::move(conn));
    }
    std::this_thread::sleep_for(200ms);
    opened = static_cast<int>(conns.size());
    return static_cast<double>(server.RssKiB() - before) / std::max(opened, 1);
}

} // namespace

int main(int /*argc*/, char** argv) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
    setrlimit(RLIMIT_NOFILE, &files);

    const auto workdir =
        std::filesystem::temp_directory_path() / ("brevin-bench-tls-" + std::to_string(getpid()));
    PrepareStore(workdir);
    const std::uint16_t smtps = FreePort();
    const std::uint16_t pop3s = FreePort();
    int status = 0;
    {
        ServerProcess server(ServerBinary(argv[0]), workdir,
                             {"--pause-ms", "0", "--smtps-port", std::to_string(smtps),
                              "--pop3s-port", std::to_string(pop3s)});
        for (int i = 0; i < 500 && !CanConnect(smtps); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        HandshakeTable(server, smtps);

        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        // Plain and TLS take turns, so that a disk or a neighbour that slows down for a while
        // weighs on both alike.
        Amount plainRetrieval, tlsRetrieval, plainDelivery, tlsDelivery;
        for (int round = 0; round < 3; ++round) {
            plainRetrieval += Retrieval(server.pop3Port, nullptr);
            tlsRetrieval += Retrieval(pop3s, ctx);
            plainDelivery += Delivery(server.smtpPort, nullptr);
            tlsDelivery += Delivery(smtps, ctx);
        }
        const double plainRetr = plainRetrieval.Rate();
        const double tlsRetr = tlsRetrieval.Rate();
        const double plainSmtp = plainDelivery.Rate();
        const double tlsSmtp = tlsDelivery.Rate();
        std::printf("\nRates at --pause-ms 0, plain ports beside implicit-TLS ports\n");
        std::printf("%-32s %12s %12s %8s %8s\n", "what", "plain", "TLS", "TLS %", "goal");
        std::printf("%-32s %12.1f %12.1f %7.0f%% %7s\n", "POP3 RETR 10 MiB, MiB/s", plainRetr,
                    tlsRetr, 100 * tlsRetr / std::max(plainRetr, 1e-9), ">=40%");
        std::printf("%-32s %12.0f %12.0f %7.0f%% %7s\n", "SMTP 1 KiB deliveries, msg/s", plainSmtp,
                    tlsSmtp, 100 * tlsSmtp / std::max(plainSmtp, 1e-9), ">=80%");

        int plainOpened = 0;
        int tlsOpened = 0;
        const double plainKiB = IdleKiB(server, server.smtpPort, nullptr, plainOpened);
        const double tlsKiB = IdleKiB(server, smtps, ctx, tlsOpened);
        std::printf("\nIdle sessions: server RSS growth per session\n");
        std::printf("%-32s %8d sessions %8.1f KiB each\n", "plain", plainOpened, plainKiB);
        std::printf("%-32s %8d sessions %8.1f KiB each (goal: at most 64)\n", "TLS", tlsOpened,
                    tlsKiB);
        SSL_CTX_free(ctx);
        if (plainRetr == 0 || tlsRetr == 0 || plainSmtp == 0 || tlsSmtp == 0 || tlsOpened < 1000) {
            std::printf("\nsome measurement failed (see the zeros above)\n");
            status = 1;
        }
    }
    std::filesystem::remove_all(workdir);
    return status;
}
