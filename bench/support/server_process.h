#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace brevin::bench {

/// The brevin program to measure: $BREVIN_BIN, or build/brevin beside the benchmark.
inline std::string ServerBinary(const char* argv0) {
    if (const char* env = std::getenv("BREVIN_BIN")) {
        return std::filesystem::absolute(env).string();
    }
    const auto self = std::filesystem::absolute(argv0);
    return (self.parent_path().parent_path() / "brevin").lexically_normal().string();
}

/// A free loopback port (bound once and released; good enough for a benchmark).
inline std::uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

inline bool CanConnect(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

/// A brevin server running headless on loopback in a working folder of its own.
class ServerProcess {
public:
    ServerProcess(const std::string& binary, const std::filesystem::path& workdir,
                  std::vector<std::string> extraArgs)
        : smtpPort(FreePort()), pop3Port(FreePort()) {
        std::filesystem::create_directories(workdir);
        std::vector<std::string> args = {binary,
                                         "--headless",
                                         "--address",
                                         "127.0.0.1",
                                         "--smtp-port",
                                         std::to_string(smtpPort),
                                         "--pop3-port",
                                         std::to_string(pop3Port),
                                         "--submission-port",
                                         "0",
                                         "--smtps-port",
                                         "0",
                                         "--imap-port",
                                         "0",
                                         "--imaps-port",
                                         "0"};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        m_pid = fork();
        if (m_pid == 0) {
            if (chdir(workdir.c_str()) != 0) {
                _exit(127);
            }
            // The event log goes to a file, as the journal would take it: the measurement
            // includes writing it, and the tables stay readable.
            const int log = open("server.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (log >= 0) {
                dup2(log, STDERR_FILENO);
            }
            std::vector<char*> argv;
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500 && !CanConnect(smtpPort); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    ~ServerProcess() {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    /// Resident memory in KiB.
    [[nodiscard]] long RssKiB() const {
        std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::strtol(line.c_str() + 6, nullptr, 10);
            }
        }
        return 0;
    }

    [[nodiscard]] pid_t Pid() const { return m_pid; }

    const std::uint16_t smtpPort;
    const std::uint16_t pop3Port;

private:
    pid_t m_pid = -1;
};

/// The p-th percentile (0..100) of `values`, which it sorts.
template <typename T>
T Percentile(std::vector<T>& values, double p) {
    if (values.empty()) {
        return T{};
    }
    std::sort(values.begin(), values.end());
    const auto index =
        static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

} // namespace brevin::bench
