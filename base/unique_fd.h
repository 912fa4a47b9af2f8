#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace brevin {

/// Owns one file descriptor and closes it when destroyed; -1 means none.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    [[nodiscard]] int Get() const { return m_fd; }
    [[nodiscard]] bool Valid() const { return m_fd >= 0; }
    explicit operator bool() const { return Valid(); }

    /// Gives up ownership without closing.
    int Release() noexcept { return std::exchange(m_fd, -1); }
    /// Closes the descriptor held (keeping errno) and takes `fd` instead.
    void Reset(int fd = -1) noexcept {
        if (m_fd >= 0 && m_fd != fd) {
            const int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }
    /// Closes now and reports whether close(2) succeeded (a late write error shows here).
    bool Close() noexcept { return m_fd < 0 || ::close(std::exchange(m_fd, -1)) == 0; }

private:
    int m_fd = -1;
};

} // namespace brevin
