#include "store/crash_recovery.h"

#include "store/durable_file.h"
#include "store/file_util.h"
#include "store/store_layout.h"
#include "store/users.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace brevin {

FilingJournal::~FilingJournal() {
    file_util::CloseQuietly(m_fd);
}

void FilingJournal::Add(const std::string& path, const std::string& tempPath) {
    if (m_path.empty()) {
        return;
    }
    if (m_fd < 0) {
        m_fd =
            ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, layout::kMessageMode);
    }
    struct stat st {};
    if (m_fd >= 0 && ::stat(tempPath.c_str(), &st) == 0) {
        const std::string line =
            std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " + path + "\n";
        file_util::WriteAll(m_fd, line.data(), line.size());
    }
}

std::optional<std::string> FilingJournal::Finish() {
    if (m_fd < 0) {
        return std::nullopt;
    }
    file_util::CloseQuietly(m_fd);
    ::unlink(m_path.c_str());
    return file_util::FolderOf(m_path);
}

std::string FilingJournalPath(const std::string& storeRoot) {
    return storeRoot + "/.brevin-filing";
}

std::size_t RollBackUnfinishedFiling(const std::string& journalPath) {
    std::FILE* file = std::fopen(journalPath.c_str(), "re");
    if (file == nullptr) {
        return 0;
    }
    std::size_t removed = 0;
    std::set<std::string> folders;
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    char path[4097];
    while (std::fscanf(file, "%llu %llu %4096[^\n]\n", &dev, &ino, path) == 3) {
        struct stat st {};
        if (::lstat(path, &st) == 0 && st.st_dev == dev && st.st_ino == ino &&
            ::unlink(path) == 0) {
            ++removed;
            folders.insert(file_util::FolderOf(path));
        }
    }
    std::fclose(file);
    for (const std::string& folder : folders) {
        durable::FlushFolder(folder);
    }
    ::unlink(journalPath.c_str());
    durable::FlushFolder(file_util::FolderOf(journalPath));
    return removed;
}

std::size_t RemoveAbandonedMessages(const UserDirectory& users) {
    std::size_t removed = 0;
    // One look at the profile for every user: start-up with many users must stay quick.
    std::set<std::string> seen; // folders shared by several users are swept once
    for (const std::string& folder : users.MailboxPaths()) {
        if (!seen.insert(folder).second) {
            continue;
        }
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (layout::IsTemporaryName(entry.path().filename().string()) &&
                entry.is_regular_file(ec) && std::filesystem::remove(entry.path(), ec)) {
                ++removed;
            }
        }
    }
    return removed;
}

} // namespace brevin
