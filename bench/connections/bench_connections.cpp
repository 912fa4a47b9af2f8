// Opens N concurrent connections to a running brevin and measures how long each waits for its
// banner, how fast connections are taken, and what an idle session costs in memory.
// Usage: bench_connections [N]   (default 1000; the server is $BREVIN_BIN or build/brevin)

#include "support/server_process.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>

namespace {

using namespace brevin::bench;
using Clock = std::chrono::steady_clock;

struct Result {
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    double acceptedPerSecond = 0;
    double kibPerSession = 0;
    int completed = 0;
};

Result Measure(const std::string& binary, int count, int pauseMs) {
    const auto workdir =
        std::filesystem::temp_directory_path() / ("brevin-bench-conn-" + std::to_string(getpid()));
    std::filesystem::remove_all(workdir);
    Result result;
    {
        ServerProcess server(binary, workdir, {"--pause-ms", std::to_string(pauseMs)});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long rssBefore = server.RssKiB();

        const int epoll = epoll_create1(0);
        std::vector<int> fds(static_cast<std::size_t>(count), -1);
        std::vector<Clock::time_point> started(fds.size());
        std::vector<std::string> received(fds.size());
        std::vector<double> latencies;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(server.smtpPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

        const auto first = Clock::now();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            fds[i] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            started[i] = Clock::now();
            connect(fds[i], reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = i;
            epoll_ctl(epoll, EPOLL_CTL_ADD, fds[i], &ev);
        }
        Clock::time_point last = first;
        const auto deadline = first + std::chrono::seconds(60);
        while (result.completed < count && Clock::now() < deadline) {
            epoll_event events[256];
            const int ready = epoll_wait(epoll, events, 256, 100);
            for (int e = 0; e < ready; ++e) {
                const std::size_t i = events[e].data.u64;
                char buffer[256];
                const ssize_t got = recv(fds[i], buffer, sizeof buffer, 0);
                if (got <= 0) {
                    epoll_ctl(epoll, EPOLL_CTL_DEL, fds[i], nullptr);
                    continue;
                }
                received[i].append(buffer, static_cast<std::size_t>(got));
                if (received[i].find("\r\n") != std::string::npos) {
                    last = Clock::now();
                    latencies.push_back(
                        std::chrono::duration<double, std::milli>(last - started[i]).count());
                    ++result.completed;
                    epoll_ctl(epoll, EPOLL_CTL_DEL, fds[i], nullptr);
                }
            }
        }
        const double seconds = std::chrono::duration<double>(last - first).count();
        result.acceptedPerSecond = seconds > 0 ? result.completed / seconds : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long rssAfter = server.RssKiB();
        result.kibPerSession =
            result.completed > 0 ? static_cast<double>(rssAfter - rssBefore) / result.completed : 0;
        result.p50Ms = Percentile(latencies, 50);
        result.p99Ms = Percentile(latencies, 99);
        result.maxMs = latencies.empty() ? 0 : latencies.back();
        for (const int fd : fds) {
            close(fd);
        }
        close(epoll);
    }
    std::filesystem::remove_all(workdir);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur =
        std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4 * count + 64));
    setrlimit(RLIMIT_NOFILE, &limit); // the server inherits it

    const std::string binary = ServerBinary(argv[0]);
    std::printf("%d concurrent connections to %s\n\n", count, binary.c_str());
    std::printf("%-10s %10s %10s %10s %12s %14s %10s\n", "pause", "p50 ms", "p99 ms", "max ms",
                "conn/s", "KiB/session", "banners");
    bool ok = true;
    for (const int pause : {100, 0}) {
        const Result r = Measure(binary, count, pause);
        std::printf("%-10s %10.1f %10.1f %10.1f %12.0f %14.2f %6d/%d\n",
                    (std::to_string(pause) + " ms").c_str(), r.p50Ms, r.p99Ms, r.maxMs,
                    r.acceptedPerSecond, r.kibPerSession, r.completed, count);
        const bool all = r.completed == count;
        const bool latencyOk = all && r.p99Ms <= pause + 50.0;
        const bool memoryOk = all && r.kibPerSession <= 16.0;
        std::printf("%-10s goal: p99 within 50 ms of the pause %s; <= 16 KiB per idle session %s\n",
                    "", latencyOk ? "met" : "MISSED", memoryOk ? "met" : "MISSED");
        ok = ok && r.completed == count;
    }
    return ok ? 0 : 1;
}
