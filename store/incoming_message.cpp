#include "store/incoming_message.h"

#include "store/durable_file.h"
#include "store/file_util.h"
#include "store/message_numbers.h"
#include "store/store_faults.h"
#include "store/store_layout.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace brevin {

namespace {

// Attempts at a free final name before a commit gives up (the counter runs behind the files
// after a restored profile; the first clash moves it past the folder's highest number).
constexpr int kNameAttempts = 64;
// Attempts at a free temporary name.
constexpr int kTempAttempts = 16;
constexpr std::size_t kCopyChunk = 64 * 1024;

/// The highest message number among the folder's names, or -1.
long long HighestNumber(const std::string& folderPath) {
    long long highest = -1;
    for (const std::string& name : layout::ListMessageNames(folderPath)) {
        highest = std::max(highest, layout::NumberInName(name));
    }
    return highest;
}

/// How much of `size` bytes the test-only full-disk switch lets through.
std::size_t FaultAllowance(std::size_t size) {
    const long limit = StoreFaults::failWritesAfterBytes;
    if (limit < 0) {
        return size;
    }
    const long left = std::max(0L, limit - StoreFaults::bytesWritten);
    return std::min(size, static_cast<std::size_t>(left));
}

/// Writes message data, honouring the test-only full-disk switch.
bool WriteMessageData(int fd, const char* data, std::size_t size) {
    const std::size_t allowed = FaultAllowance(size);
    if (!file_util::WriteAll(fd, data, allowed)) {
        return false;
    }
    StoreFaults::bytesWritten += static_cast<long>(allowed);
    if (allowed < size) {
        errno = ENOSPC;
        return false;
    }
    return true;
}

} // namespace

IncomingMessage::~IncomingMessage() {
    if (!m_committed) {
        Discard();
    }
}

IncomingMessage::IncomingMessage(IncomingMessage&& other) noexcept
    : m_fd(std::move(other.m_fd)), m_clientSize(other.m_clientSize),
      m_folder(std::move(other.m_folder)), m_tempPath(std::move(other.m_tempPath)),
      m_path(std::move(other.m_path)), m_number(other.m_number),
      m_committed(std::exchange(other.m_committed, false)),
      m_failed(std::exchange(other.m_failed, false)),
      m_shared(std::exchange(other.m_shared, false)),
      m_madeFolder(std::exchange(other.m_madeFolder, false)),
      m_error(std::exchange(other.m_error, 0)) {
    other.m_tempPath.clear();
    other.m_path.clear();
}

IncomingMessage& IncomingMessage::operator=(IncomingMessage&& other) noexcept {
    if (this != &other) {
        if (!m_committed) {
            Discard();
        }
        m_fd = std::move(other.m_fd);
        m_clientSize = other.m_clientSize;
        m_folder = std::move(other.m_folder);
        m_tempPath = std::move(other.m_tempPath);
        m_path = std::move(other.m_path);
        m_number = other.m_number;
        m_committed = std::exchange(other.m_committed, false);
        m_failed = std::exchange(other.m_failed, false);
        m_shared = std::exchange(other.m_shared, false);
        m_madeFolder = std::exchange(other.m_madeFolder, false);
        m_error = std::exchange(other.m_error, 0);
        other.m_tempPath.clear();
        other.m_path.clear();
    }
    return *this;
}

bool IncomingMessage::Open(MessageNumbers& numbers, const std::string& folderPath) {
    return Open(folderPath, numbers.Take());
}

bool IncomingMessage::Open(const std::string& folderPath, std::uint32_t number) {
    if (!m_committed) {
        Discard();
    }
    m_committed = false;
    m_failed = false;
    m_clientSize = MessageSizeCounter();
    m_shared = false;
    m_madeFolder = false;
    m_error = 0;
    m_folder = folderPath;
    m_number = number;
    m_path = layout::MessagePath(folderPath, m_number);
    // Invisible to listings until complete. Readable too, so that copies can be made from it
    // before it is named.
    for (int attempt = 0; attempt < kTempAttempts && !m_fd; ++attempt) {
        m_tempPath = layout::TemporaryPath(folderPath, m_number, attempt);
        m_fd.Reset(::open(m_tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                          layout::kMessageMode));
        // A recipient's missing folder is made here, as a copy's is at filing: the order of the
        // RCPT lines must not decide whether the mail is taken. Its entry is flushed at filing.
        if (!m_fd && errno == ENOENT && !m_madeFolder &&
            ::mkdir(folderPath.c_str(), layout::kFolderMode) == 0) {
            m_madeFolder = true;
            --attempt;
            continue;
        }
        if (!m_fd && errno != EEXIST) {
            break;
        }
    }
    if (!m_fd) {
        Fail();
        m_tempPath.clear();
        return false;
    }
    return true;
}

bool IncomingMessage::Fail() {
    if (m_error == 0) {
        m_error = errno != 0 ? errno : EIO;
    }
    return false;
}

bool IncomingMessage::Append(std::span<const char> bytes) {
    m_clientSize.Feed({bytes.data(), bytes.size()}); // a failed message is measured on
    if (!m_fd || m_failed) {
        return false;
    }
    if (!WriteMessageData(m_fd.Get(), bytes.data(), bytes.size())) {
        m_failed = true;
        return Fail();
    }
    return true;
}

bool IncomingMessage::Commit(MessageNumbers& numbers) {
    if (m_committed) {
        return true;
    }
    const bool ok = Flush() && Name(numbers) && durable::FlushFolder(m_folder);
    if (!ok) {
        Discard();
    }
    return ok;
}

void IncomingMessage::StartWriteback() const {
    if (m_fd && !m_failed) {
        ::sync_file_range(m_fd.Get(), 0, 0, SYNC_FILE_RANGE_WRITE); // only a hint: Flush decides
    }
}

bool IncomingMessage::Flush(bool syncNow) {
    if (m_shared && !m_failed) {
        return true;
    }
    if (!m_fd || m_failed) {
        return false;
    }
    layout::RecordSize(m_fd.Get(), m_clientSize.Size()); // flushed with the data
    if (!syncNow) {
        return true; // Settle closes it, once the file system is flushed
    }
    return Closed(::fsync(m_fd.Get()) == 0);
}

bool IncomingMessage::Closed(bool flushed) {
    const bool ok = m_fd.Close() && flushed;
    m_failed = !ok;
    return ok || Fail();
}

bool IncomingMessage::Settle() {
    if (m_shared && !m_failed) {
        return true;
    }
    if (!m_fd || m_failed) {
        return false;
    }
    // A flush of the whole file system reports only the write errors that came after its own
    // descriptor was opened; this file may be older, and its data may have failed to reach the
    // disk before then. Waiting on its (already written) range reports the errors since this
    // file was opened, and flushes nothing.
    bool ok = ::sync_file_range(m_fd.Get(), 0, 0,
                                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                    SYNC_FILE_RANGE_WAIT_AFTER) == 0;
    if (!ok && (errno == ENOSYS || errno == EINVAL || errno == ESPIPE)) {
        ok = ::fdatasync(m_fd.Get()) == 0; // cannot wait here: the dearer way tells as well
    }
    return Closed(ok);
}

bool IncomingMessage::Name(MessageNumbers& numbers,
                           const std::function<void(const IncomingMessage&)>& naming) {
    if (m_failed || m_tempPath.empty()) {
        return false;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        if (naming && attempt > 0) {
            naming(*this);
        }
        if (durable::Place(m_tempPath, m_path, durable::Placing::NoReplace)) {
            m_tempPath.clear();
            m_committed = true;
            return true;
        }
        if (errno != EEXIST) {
            return Fail(); // not a clash: the message stays unnamed
        }
        // The name is taken: the counter runs behind this folder. The first time, move it past
        // the folder's highest number, so one clash does not turn into thousands.
        const std::uint32_t tried = m_number;
        m_number = attempt == 0 ? numbers.TakeAfterClash(HighestNumber(m_folder)) : numbers.Take();
        if (m_number == tried) {
            m_number = tried + 1; // the counter could not be written; go on without it
        }
        m_path = layout::MessagePath(m_folder, m_number);
    }
    errno = EEXIST;
    return Fail();
}

bool IncomingMessage::CopyFrom(const IncomingMessage& source) {
    if (!source.m_fd || source.m_failed) {
        return false;
    }
    std::vector<char> buffer(kCopyChunk);
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(source.m_fd.Get(), buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0 || Fail();
        }
        if (!Append({buffer.data(), static_cast<std::size_t>(n)})) {
            return false;
        }
        at += n;
    }
}

bool IncomingMessage::ShareOrCopy(const IncomingMessage& source, const std::string& folder,
                                  std::uint32_t number) {
    if (!source.m_fd || source.m_failed || source.m_tempPath.empty()) {
        errno = EIO;
        return Fail();
    }
    struct stat st {};
    if (::fstat(source.m_fd.Get(), &st) != 0) {
        return Fail();
    }
    if (!m_committed) {
        Discard();
    }
    m_committed = false;
    m_error = 0;
    m_folder = folder;
    m_number = number;
    m_path = layout::MessagePath(folder, number);
    const auto size = static_cast<std::size_t>(st.st_size);
    bool linkable = true;
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        m_tempPath = layout::TemporaryPath(folder, number, attempt);
        if (::link(source.m_tempPath.c_str(), m_tempPath.c_str()) == 0) {
            // One file under two names: removing either name leaves the other whole.
            m_shared = true;
            if (FaultAllowance(size) < size) {
                errno = ENOSPC;
                m_failed = true;
                return Fail();
            }
            StoreFaults::bytesWritten += static_cast<long>(size);
            return true;
        }
        if (errno != EEXIST) {
            linkable = false;
            break;
        }
    }
    m_tempPath.clear();
    if (linkable) {
        errno = EEXIST;
        return Fail();
    }
    // Another file system, or a file with too many names already: a copy of the bytes.
    return Open(folder, number) && CopyFrom(source);
}

void IncomingMessage::Discard() {
    m_fd.Reset();
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
    if (m_committed) {
        ::unlink(m_path.c_str());
        m_committed = false;
    }
    m_failed = false;
    m_shared = false;
}

} // namespace brevin
