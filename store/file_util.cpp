#include "store/file_util.h"

#include <cerrno>
#include <unistd.h>

namespace brevin::file_util {

bool WriteAll(int fd, const char* data, std::size_t size) {
    // Each round writes at least one byte or fails, so this ends.
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void CloseQuietly(int& fd) {
    if (fd >= 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        fd = -1;
    }
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

} // namespace brevin::file_util
