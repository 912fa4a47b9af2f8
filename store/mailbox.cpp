#include "store/mailbox.h"

#include "base/text.h"
#include "store/store_layout.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brevin {

namespace {

struct Listed {
    long long number; // -1: no number in the name
    std::string name;
};

bool ListedBefore(const Listed& a, const Listed& b) {
    // Numbered names first, by number; then the rest; each tie by name.
    const bool aNumbered = a.number >= 0;
    const bool bNumbered = b.number >= 0;
    if (aNumbered != bNumbered) {
        return aNumbered;
    }
    if (a.number != b.number) {
        return a.number < b.number;
    }
    return a.name < b.name;
}

/// The messages of a folder, unordered. Only regular files count.
std::vector<Listed> Collect(const std::string& folderPath) {
    std::vector<Listed> found;
    DIR* dir = ::opendir(folderPath.c_str());
    if (dir == nullptr) {
        return found;
    }
    const int dirFd = ::dirfd(dir);
    // readdir returns each entry once, then null.
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (!layout::IsMessageName(name)) {
            continue;
        }
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            regular = ::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(st.st_mode);
        }
        if (regular) {
            found.push_back({layout::NumberInName(name), std::string(name)});
        }
    }
    ::closedir(dir);
    return found;
}

} // namespace

std::vector<std::string> layout::ListMessageNames(const std::string& folderPath) {
    std::vector<Listed> found = Collect(folderPath);
    std::sort(found.begin(), found.end(), ListedBefore);
    std::vector<std::string> names;
    names.reserve(found.size());
    for (Listed& item : found) {
        names.push_back(std::move(item.name));
    }
    return names;
}

std::vector<MailboxEntry> ListMailbox(const std::string& folderPath) {
    std::vector<MailboxEntry> entries;
    for (std::string& name : layout::ListMessageNames(folderPath)) {
        struct stat st {};
        // A file removed since the listing is left out.
        if (::stat((folderPath + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            entries.push_back({std::move(name), static_cast<std::uint64_t>(st.st_size)});
        }
    }
    return entries;
}

Mailbox::Mailbox(const std::string& folderPath)
    : Mailbox(folderPath, FolderIndex(folderPath).Refresh()) {}

Mailbox::Mailbox(std::string folderPath, std::shared_ptr<const FolderSnapshot> snapshot)
    : m_folder(std::move(folderPath)), m_snapshot(std::move(snapshot)),
      m_marked(m_snapshot->messages.size()) {}

std::uint64_t Mailbox::LiveSize() const {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < m_marked.size(); ++i) {
        if (!m_marked[i]) {
            total += ClientSize(i);
        }
    }
    return total;
}

Mailbox::OpenedMessage Mailbox::Open(std::size_t index) const {
    OpenedMessage opened;
    const std::string path = m_folder + "/" + Entry(index).name;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (fd && ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode)) {
        opened.fd = std::move(fd);
        opened.size = static_cast<std::uint64_t>(st.st_size);
    }
    return opened;
}

void Mailbox::Mark(std::size_t index) {
    if (!m_marked[index]) {
        m_marked[index] = true;
        ++m_markedCount;
    }
}

void Mailbox::UnmarkAll() {
    m_marked.assign(m_marked.size(), false);
    m_markedCount = 0;
}

std::vector<std::string> Mailbox::MarkedNames() const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < m_marked.size(); ++i) {
        if (m_marked[i]) {
            names.push_back(Entry(i).name);
        }
    }
    return names;
}

std::vector<std::string> RemoveMessages(FolderIndex& index, const std::vector<std::string>& names) {
    std::vector<std::string> failed;
    std::vector<std::string> removed;
    for (const std::string& name : names) {
        if (::unlink((index.Folder() + "/" + name).c_str()) == 0 || errno == ENOENT) {
            removed.push_back(name);
        } else {
            failed.push_back(name);
        }
    }
    index.Forget(removed);
    return failed;
}

} // namespace brevin
