#include "store/message_files.h"

#include "store/durable_file.h"
#include "store/incoming_message.h"
#include "store/store_layout.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace brevin {

namespace {
// Names tried after a clash before giving up: the counter may lag behind a folder's files.
constexpr int kNameAttempts = 16;

std::string NameIn(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}
} // namespace

std::optional<std::string> FileMessageText(const std::string& folder, std::string_view stored,
                                           MessageNumbers& numbers) {
    IncomingMessage message;
    if (!message.Open(numbers, folder) || !message.Append(stored) || !message.Commit(numbers)) {
        const int error = message.Error() != 0 ? message.Error() : EIO;
        message.Discard();
        errno = error;
        return std::nullopt;
    }
    return NameIn(message.Path());
}

std::optional<std::string> CopyMessageFile(const std::string& from, const std::string& name,
                                           const std::string& to, MessageNumbers& numbers) {
    const std::string source = from + "/" + name;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string target = layout::MessagePath(to, numbers.Take());
        if (::link(source.c_str(), target.c_str()) == 0) {
            return NameIn(target);
        }
        if (errno == EEXIST) {
            continue;
        }
        if (errno != EXDEV && errno != EPERM && errno != EMLINK) {
            return std::nullopt;
        }
        // Another file system, or one without links: the bytes themselves.
        IncomingMessage copy;
        if (!copy.Open(to, numbers.Take())) {
            return std::nullopt;
        }
        const UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        char buffer[64 * 1024];
        ssize_t got = 0;
        while (in && (got = ::read(in.Get(), buffer, sizeof buffer)) > 0) {
            if (!copy.Append({buffer, static_cast<std::size_t>(got)})) {
                break;
            }
        }
        if (!in || got != 0 || copy.Failed() || !copy.Commit(numbers)) {
            const int error = copy.Error() != 0 ? copy.Error() : EIO;
            copy.Discard();
            errno = error;
            return std::nullopt;
        }
        return NameIn(copy.Path());
    }
    errno = EEXIST;
    return std::nullopt;
}

bool FlushCopies(const std::string& to) {
    return durable::FlushFolder(to);
}

std::optional<std::uint64_t> FreeBytes(const std::string& folder) {
    struct statvfs st {};
    if (::statvfs(folder.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

} // namespace brevin
