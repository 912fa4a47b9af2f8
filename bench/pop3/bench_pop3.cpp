// POP3 retrieval and listing against a running brevin: RETR of 1 KiB, 100 KiB and 10 MiB
// messages by 1 and 50 concurrent clients, with the default pause and with --pause-ms 0, beside
// a plain file-to-socket copy over loopback measured in the same run; LIST and UIDL of
// mailboxes of 1,000 and 10,000 messages. Prints tables; the whole run stays under 3 minutes.
// Usage: bench_pop3   (the server is $BREVIN_BIN or build/brevin)

#include "support/server_process.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>

namespace {

using namespace brevin::bench;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kPassword = "pw";

struct Mailbox {
    std::string user;
    std::size_t messages;
    std::size_t size; // of each message, its final line included
};

const std::vector<Mailbox> kMailboxes = {
    {"m1k", 1, 1024},        {"m100k", 1, 100 * 1024},  {"m10m", 1, 10 * 1024 * 1024},
    {"list1000", 1000, 200}, {"list10000", 10000, 200},
};

std::string MessageText(std::size_t size) {
    std::string text;
    text.reserve(size);
    const std::string line = "The quick brown fox jumps over the lazy dog, 0123456789.\r\n";
    while (text.size() + line.size() + 5 <= size) {
        text += line;
    }
    text.append(size - 5 - text.size(), 'x');
    return text + "\r\n.\r\n";
}

void PrepareStore(const std::filesystem::path& workdir) {
    const auto store = workdir / "store";
    std::ofstream profile(workdir / "brevin.INI", std::ios::binary);
    profile << "[BREVIN]\r\nstore=" << store.string() << "\r\n[USERS]\r\n";
    for (const auto& box : kMailboxes) {
        profile << box.user << "=" << box.user << "\r\n";
    }
    profile << "[PWD]\r\n";
    for (const auto& box : kMailboxes) {
        profile << box.user << "=" << kPassword << "\r\n";
    }
    for (const auto& box : kMailboxes) {
        std::filesystem::create_directories(store / box.user);
        const std::string text = MessageText(box.size);
        for (std::size_t i = 1; i <= box.messages; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "MSG%05zu.bvn", i);
            std::ofstream(store / box.user / name, std::ios::binary) << text;
        }
    }
}

/// A blocking loopback client with a time limit on every wait.
class Pop3Client {
public:
    explicit Pop3Client(std::uint16_t port) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        m_ok = connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        m_ok = m_ok && ReadLine().starts_with("+OK");
    }
    ~Pop3Client() { close(m_fd); }
    Pop3Client(const Pop3Client&) = delete;
    Pop3Client& operator=(const Pop3Client&) = delete;

    bool Login(const std::string& user) {
        return Command("USER " + user).starts_with("+OK") &&
               Command("PASS " + std::string(kPassword)).starts_with("+OK");
    }

    std::string Command(const std::string& line) {
        Send(line + "\r\n");
        return ReadLine();
    }

    void Send(const std::string& bytes) {
        std::size_t done = 0;
        while (m_ok && done < bytes.size()) {
            const ssize_t sent = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
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

    /// Reads `count` bytes; returns how many arrived. Keeps the last five in `tail`.
    std::size_t Skip(std::size_t count, std::string& tail) {
        std::size_t got = 0;
        while (got < count) {
            if (m_pending.empty() && !Fill()) {
                break;
            }
            const std::size_t take = std::min(count - got, m_pending.size());
            tail = (tail + m_pending.substr(take - std::min<std::size_t>(take, 5),
                                            std::min<std::size_t>(take, 5)));
            tail.erase(0, tail.size() > 5 ? tail.size() - 5 : 0);
            m_pending.erase(0, take);
            got += take;
        }
        return got;
    }

    /// Reads whatever comes until `until`; returns the byte count.
    std::size_t DrainUntil(Clock::time_point until) {
        std::size_t got = m_pending.size();
        m_pending.clear();
        while (m_ok && Clock::now() < until) {
            pollfd p{m_fd, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (poll(&p, 1, static_cast<int>(std::max<long>(1, left.count()))) <= 0) {
                continue;
            }
            const ssize_t n = recv(m_fd, m_buffer, sizeof m_buffer, 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        return got;
    }

    /// Reads a multi-line reply through its final line; returns its byte count.
    std::size_t ReadMultiLine() {
        std::size_t total = 0;
        for (;;) {
            if (const auto at = m_pending.find("\r\n.\r\n"); at != std::string::npos) {
                total += at + 5;
                m_pending.erase(0, at + 5);
                return total;
            }
            // Keep four bytes: the end may straddle two reads.
            if (m_pending.size() > 4) {
                total += m_pending.size() - 4;
                m_pending.erase(0, m_pending.size() - 4);
            }
            if (!Fill()) {
                return 0;
            }
        }
    }

    [[nodiscard]] bool Ok() const { return m_ok; }

private:
    bool Fill() {
        pollfd p{m_fd, POLLIN, 0};
        if (!m_ok || poll(&p, 1, 60000) <= 0) {
            m_ok = false;
            return false;
        }
        const ssize_t n = recv(m_fd, m_buffer, sizeof m_buffer, 0);
        if (n <= 0) {
            m_ok = false;
            return false;
        }
        m_pending.append(m_buffer, static_cast<std::size_t>(n));
        return true;
    }

    int m_fd = -1;
    bool m_ok = false;
    std::string m_pending;
    char m_buffer[256 * 1024];
};

struct Throughput {
    double seconds = 0;
    std::size_t bytes = 0;    // message bytes received
    std::size_t messages = 0; // whole retrievals
    bool ok = true;
    [[nodiscard]] double MBps() const { return seconds > 0 ? bytes / seconds / 1e6 : 0; }
    [[nodiscard]] double MsgsPerSecond() const { return seconds > 0 ? messages / seconds : 0; }
};

/// `clients` sessions retrieve message 1 of `box` over and over until `duration` has passed
/// (each finishes the retrieval it is in), or, with `window`, read one retrieval for that long
/// only and count the bytes that arrived.
Throughput Retrieve(std::uint16_t port, const Mailbox& box, int clients,
                    std::chrono::milliseconds duration, bool window = false) {
    std::vector<Throughput> each(static_cast<std::size_t>(clients));
    std::vector<std::unique_ptr<Pop3Client>> sessions;
    for (int i = 0; i < clients; ++i) {
        sessions.push_back(std::make_unique<Pop3Client>(port));
        if (!sessions.back()->Ok() || !sessions.back()->Login(box.user)) {
            return {0, 0, 0, false};
        }
    }
    const auto start = Clock::now();
    const auto deadline = start + duration;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            Pop3Client& client = *sessions[static_cast<std::size_t>(i)];
            Throughput& mine = each[static_cast<std::size_t>(i)];
            if (window) {
                client.Send("RETR 1\r\n");
                mine.bytes = client.DrainUntil(deadline);
                return;
            }
            while (Clock::now() < deadline) {
                client.Send("RETR 1\r\n");
                const std::string status = client.ReadLine();
                std::string tail;
                const std::size_t got = client.Skip(box.size, tail);
                // The reply counts the octets the client keeps: not the final ".\r\n".
                if (status != "+OK " + std::to_string(box.size - 3) + " bytes" || got != box.size ||
                    tail != "\r\n.\r\n") {
                    mine.ok = false;
                    return;
                }
                mine.bytes += got;
                ++mine.messages;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Throughput total;
    total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (window) {
        total.seconds = std::chrono::duration<double>(duration).count();
    }
    for (const auto& one : each) {
        total.bytes += one.bytes;
        total.messages += one.messages;
        total.ok = total.ok && one.ok;
    }
    return total;
}

/// A plain copy of `path` into a loopback socket (read and send, 64 KiB at a time), read on
/// the other side as the POP3 clients read: the machine's own limit for a retrieval.
Throughput PlainCopy(const std::filesystem::path& path, std::chrono::milliseconds duration) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener, 1);
    socklen_t length = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    const std::size_t size = std::filesystem::file_size(path);

    std::atomic<bool> stop{false};
    std::thread sender([&] {
        const int out = accept(listener, nullptr, nullptr);
        std::vector<char> buffer(64 * 1024);
        while (!stop) {
            const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ssize_t n = 0;
            while ((n = read(in, buffer.data(), buffer.size())) > 0) {
                for (ssize_t done = 0; done < n;) {
                    const ssize_t sent = send(out, buffer.data() + done,
                                              static_cast<std::size_t>(n - done), MSG_NOSIGNAL);
                    if (sent <= 0) {
                        close(in);
                        close(out);
                        return;
                    }
                    done += sent;
                }
            }
            close(in);
        }
        close(out);
    });
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    std::vector<char> buffer(256 * 1024);
    Throughput result;
    const auto start = Clock::now();
    std::size_t inFile = 0;
    while (Clock::now() < start + duration || inFile != 0) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        result.bytes += static_cast<std::size_t>(n);
        inFile += static_cast<std::size_t>(n);
        result.messages += inFile / size;
        inFile %= size;
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    close(fd);
    sender.join();
    close(listener);
    return result;
}

/// Median seconds of `repeats` runs of one multi-line command; 0 when a run failed.
double TimeListing(Pop3Client& client, const std::string& command, int repeats,
                   std::size_t& bytes) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = Clock::now();
        client.Send(command + "\r\n");
        bytes = client.ReadMultiLine();
        if (bytes == 0) {
            return 0;
        }
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    return Percentile(times, 50);
}

struct ListingRow {
    std::string command;
    std::size_t messages;
    double seconds;
    std::size_t bytes;
};

/// The time for PASS and for the first LIST of a session on `user`'s mailbox.
struct Opening {
    double pass = 0;
    double firstList = 0;
};

Opening OpenAndList(std::uint16_t port, const std::string& user) {
    Pop3Client client(port);
    client.Command("USER " + user);
    const auto start = Clock::now();
    client.Command("PASS " + std::string(kPassword)); // lists the mailbox once
    const auto passed = Clock::now();
    client.Send("LIST\r\n");
    client.ReadMultiLine();
    return {std::chrono::duration<double>(passed - start).count(),
            std::chrono::duration<double>(Clock::now() - passed).count()};
}

/// The mailboxes are written by hand, without the size the server records when it files a
/// message: the first session measures each file once and records its size, and every later
/// one reads it as from a file the server filed. `first` holds that first session, `login` the
/// PASS of the session that then times the listings.
std::vector<ListingRow> Listings(std::uint16_t port, int repeats1k, int repeats10k,
                                 Opening& first1k, Opening& first10k, double& login1k,
                                 double& login10k) {
    std::vector<ListingRow> rows;
    for (const auto& [user, count, repeats, first, login] :
         {std::tuple{"list1000", std::size_t{1000}, repeats1k, &first1k, &login1k},
          std::tuple{"list10000", std::size_t{10000}, repeats10k, &first10k, &login10k}}) {
        *first = OpenAndList(port, user);
        Pop3Client client(port);
        client.Command(std::string("USER ") + user);
        const auto start = Clock::now();
        client.Command("PASS " + std::string(kPassword));
        *login = std::chrono::duration<double>(Clock::now() - start).count();
        for (const std::string command : {"LIST", "UIDL"}) {
            std::size_t bytes = 0;
            const double seconds = TimeListing(client, command, repeats, bytes);
            rows.push_back({command, count, seconds, bytes});
        }
    }
    return rows;
}

void PrintRetrievals(const char* title,
                     const std::vector<std::pair<std::string, Throughput>>& rows) {
    std::printf("%s\n", title);
    std::printf("  %-30s %10s %10s %12s %10s\n", "case", "MB/s", "msgs/s", "messages", "seconds");
    for (const auto& [name, t] : rows) {
        std::printf("  %-30s %10.3f %10.1f %12zu %10.2f%s\n", name.c_str(), t.MBps(),
                    t.MsgsPerSecond(), t.messages, t.seconds, t.ok ? "" : "  (FAILED)");
    }
}

} // namespace

int main(int argc, char** argv) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4096));
    setrlimit(RLIMIT_NOFILE, &limit);

    // Absolute: the server runs in a working folder of its own.
    const std::string binary = std::filesystem::absolute(ServerBinary(argv[0])).string();
    (void)argc;
    const auto workdir =
        std::filesystem::temp_directory_path() / ("brevin-bench-pop3-" + std::to_string(getpid()));
    std::filesystem::remove_all(workdir);
    std::filesystem::create_directories(workdir);
    PrepareStore(workdir);
    const auto& m1k = kMailboxes[0];
    const auto& m100k = kMailboxes[1];
    const auto& m10m = kMailboxes[2];
    bool ok = true;
    std::printf("POP3 against %s\n\n", binary.c_str());

    // ---- --pause-ms 0 ----
    double copyMBps = 0;
    double pop3MBps = 0;
    double list1k = 0, list10k = 0, uidl1k = 0, uidl10k = 0;
    {
        ServerProcess server(binary, workdir, {"--pause-ms", "0"});
        for (int i = 0; i < 500 && !CanConnect(server.pop3Port); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        std::vector<std::pair<std::string, Throughput>> rows;
        const Throughput copy = PlainCopy(workdir / "store" / m10m.user / "MSG00001.bvn", 3s);
        rows.emplace_back("plain copy, 10 MiB file", copy);
        for (const auto* box : {&m1k, &m100k, &m10m}) {
            for (const int clients : {1, 50}) {
                const Throughput t = Retrieve(server.pop3Port, *box, clients, 3s);
                rows.emplace_back("RETR " + std::to_string(box->size / 1024) + " KiB x " +
                                      std::to_string(clients),
                                  t);
                ok = ok && t.ok;
                if (box == &m10m && clients == 1) {
                    pop3MBps = t.MBps();
                }
            }
        }
        copyMBps = copy.MBps();
        PrintRetrievals("Retrieval, --pause-ms 0 (3 s per case)", rows);
        std::printf("  goal: a 10 MiB retrieval moves >= 50%% of the plain copy: %.0f%% %s\n\n",
                    copyMBps > 0 ? 100 * pop3MBps / copyMBps : 0,
                    pop3MBps >= 0.5 * copyMBps ? "met" : "MISSED");

        double login1k = 0, login10k = 0;
        Opening first1k, first10k;
        const auto rows2 = Listings(server.pop3Port, 20, 10, first1k, first10k, login1k, login10k);
        std::printf("Listings, --pause-ms 0 (median of 20 / 10 runs)\n");
        std::printf("  %-8s %10s %12s %12s\n", "command", "messages", "ms", "bytes");
        for (const auto& row : rows2) {
            std::printf("  %-8s %10zu %12.2f %12zu\n", row.command.c_str(), row.messages,
                        row.seconds * 1000, row.bytes);
            ok = ok && row.seconds > 0;
        }
        list1k = rows2[0].seconds, uidl1k = rows2[1].seconds;
        list10k = rows2[2].seconds, uidl10k = rows2[3].seconds;
        std::printf("  first session on files written by hand (each measured once): PASS %.2f ms "
                    "+ LIST %.2f ms for 1,000, PASS %.2f ms + LIST %.2f ms for 10,000\n",
                    first1k.pass * 1000, first1k.firstList * 1000, first10k.pass * 1000,
                    first10k.firstList * 1000);
        std::printf("  a later session (sizes recorded, as when the server files them): PASS "
                    "%.2f ms for 1,000, %.2f ms for 10,000\n",
                    login1k * 1000, login10k * 1000);
        std::printf("  goal: LIST of 10,000 <= 12x LIST of 1,000: %.1fx %s (UIDL %.1fx)\n\n",
                    list10k / list1k, list10k <= 12 * list1k ? "met" : "MISSED", uidl10k / uidl1k);
    }

    // ---- the default pause ----
    {
        ServerProcess server(binary, workdir, {});
        for (int i = 0; i < 500 && !CanConnect(server.pop3Port); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        std::vector<std::pair<std::string, Throughput>> rows;
        std::vector<double> ratios;
        for (const auto* box : {&m1k, &m100k, &m10m}) {
            Throughput one, fifty;
            std::string what;
            if (box == &m10m) {
                // A whole 10 MiB retrieval would take about 350 s at this pause: five seconds
                // of it are measured instead.
                one = Retrieve(server.pop3Port, *box, 1, 5s, true);
                fifty = Retrieve(server.pop3Port, *box, 50, 5s, true);
                what = " (5 s of it)";
            } else {
                // One whole retrieval of 100 KiB takes about 3.6 s.
                const auto duration = box == &m1k ? 4s : 1s;
                one = Retrieve(server.pop3Port, *box, 1, duration);
                fifty = Retrieve(server.pop3Port, *box, 50, duration);
            }
            const std::string name = "RETR " + std::to_string(box->size / 1024) + " KiB x ";
            rows.emplace_back(name + "1" + what, one);
            rows.emplace_back(name + "50" + what, fifty);
            ratios.push_back(one.bytes > 0 ? fifty.MBps() / one.MBps() : 0);
            ok = ok && one.ok && fifty.ok;
        }
        PrintRetrievals("Retrieval, default pause (100 ms)", rows);
        std::printf("  goal: 50 clients together retrieve 50x what one does: 1 KiB %.1fx, "
                    "100 KiB %.1fx, 10 MiB %.1fx %s\n\n",
                    ratios[0], ratios[1], ratios[2],
                    std::all_of(ratios.begin(), ratios.end(), [](double r) { return r >= 45; })
                        ? "met"
                        : "MISSED");

        double login1k = 0, login10k = 0;
        Opening first1k, first10k;
        const auto rows2 = Listings(server.pop3Port, 1, 1, first1k, first10k, login1k, login10k);
        std::printf("Listings, default pause (one run each)\n");
        std::printf("  %-8s %10s %12s %12s\n", "command", "messages", "ms", "bytes");
        for (const auto& row : rows2) {
            std::printf("  %-8s %10zu %12.1f %12zu\n", row.command.c_str(), row.messages,
                        row.seconds * 1000, row.bytes);
        }
        std::printf("  LIST 10,000 / 1,000: %.1fx; UIDL %.1fx\n",
                    rows2[2].seconds / rows2[0].seconds, rows2[3].seconds / rows2[1].seconds);
    }
    std::filesystem::remove_all(workdir);
    return ok ? 0 : 1;
}
