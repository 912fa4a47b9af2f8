#include "store/durable_file.h"

#include "store/file_util.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brevin::durable {

namespace {

/// Removes `path` without disturbing errno, which tells the caller why.
void RemoveQuietly(const std::string& path) {
    const int saved = errno;
    ::unlink(path.c_str());
    errno = saved;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    // File systems without the flag: a hard link fails on an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

bool Exchange(const std::string& from, const std::string& to) {
#ifdef RENAME_EXCHANGE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOENT) {
        return false;
    }
#endif
    // No file to trade with, or a file system that cannot: a plain rename replaces it just as
    // atomically, and the next write makes a new spare.
    return ::rename(from.c_str(), to.c_str()) == 0;
}

} // namespace

bool WriteTemporary(const std::string& temporary, std::string_view bytes, mode_t mode) {
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return false; // whatever has the name is not ours to remove
    }
    // A leftover file keeps its old mode through O_CREAT.
    const bool ok = ::fchmod(fd, mode) == 0 &&
                    file_util::WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    const int saved = errno;
    const bool closed = ::close(fd) == 0;
    if (!ok || !closed) {
        errno = ok ? errno : saved;
        RemoveQuietly(temporary);
        return false;
    }
    return true;
}

bool Refill(int fd, std::string_view bytes) {
    return ::lseek(fd, 0, SEEK_SET) == 0 && file_util::WriteAll(fd, bytes.data(), bytes.size()) &&
           ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && ::fdatasync(fd) == 0;
}

bool Place(const std::string& temporary, const std::string& path, Placing how) {
    switch (how) {
    case Placing::NoReplace:
        return RenameNoReplace(temporary, path);
    case Placing::Exchange:
        return Exchange(temporary, path);
    case Placing::Replace:
        break;
    }
    return ::rename(temporary.c_str(), path.c_str()) == 0;
}

bool FlushFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

bool ReplaceFile(const std::string& path, std::string_view bytes, mode_t mode,
                 const std::string& temporary) {
    if (!WriteTemporary(temporary, bytes, mode)) {
        return false;
    }
    if (!Place(temporary, path, Placing::Replace)) {
        RemoveQuietly(temporary);
        return false;
    }
    return FlushFolder(file_util::FolderOf(path));
}

} // namespace brevin::durable
