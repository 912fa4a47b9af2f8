#include "folders/folder_service.h"

#include "store/folder_tree.h"

#include <utility>
#include <vector>

namespace brevin {

namespace {
// Indexes kept in memory between jobs, beyond which the least recently used goes (it is read
// again from disk when next wanted).
constexpr std::size_t kKeptIndexes = 64;
} // namespace

FolderTicket::FolderTicket(FolderTicket&& other) noexcept
    : m_service(std::exchange(other.m_service, nullptr)), m_id(other.m_id) {}

FolderTicket& FolderTicket::operator=(FolderTicket&& other) noexcept {
    if (this != &other) {
        Drop();
        m_service = std::exchange(other.m_service, nullptr);
        m_id = other.m_id;
    }
    return *this;
}

bool FolderTicket::Pending() const {
    return m_service != nullptr && m_service->m_answers.contains(m_id);
}

void FolderTicket::Drop() {
    if (m_service != nullptr) {
        std::exchange(m_service, nullptr)->DropTicket(m_id);
    }
}

FolderWatch::FolderWatch(FolderWatch&& other) noexcept
    : m_service(std::exchange(other.m_service, nullptr)), m_id(other.m_id) {}

FolderWatch& FolderWatch::operator=(FolderWatch&& other) noexcept {
    if (this != &other) {
        Drop();
        m_service = std::exchange(other.m_service, nullptr);
        m_id = other.m_id;
    }
    return *this;
}

void FolderWatch::Drop() {
    if (m_service != nullptr) {
        std::exchange(m_service, nullptr)->DropWatch(m_id);
    }
}

FolderService::FolderService(EventLoop& loop, std::filesystem::path profile)
    : m_profilePath(std::move(profile)), m_worker(loop) {}

void FolderService::WorkerSide::ForgetIndexes(const std::string& folder) {
    const std::string below = folder + "/";
    std::erase_if(m_service.m_pending, [&](const auto& pending) {
        return pending.first == folder || pending.first.starts_with(below);
    });
    std::erase_if(m_service.m_trees, [&](const auto& tree) {
        return folder == tree.first || folder.starts_with(tree.first + "/");
    });
    for (auto it = m_service.m_indexes.begin(); it != m_service.m_indexes.end();) {
        if (it->first == folder || it->first.starts_with(below)) {
            m_service.m_lastUse.erase(it->first);
            it = m_service.m_indexes.erase(it);
        } else {
            ++it;
        }
    }
}

std::uint64_t FolderService::WorkerSide::Usage(const std::string& inbox) {
    constexpr auto kLookAgain = std::chrono::minutes(1); // for changes behind the server's back
    Tree& tree = m_service.m_trees[inbox];
    const auto now = std::chrono::steady_clock::now();
    const bool look = tree.paths.empty() || now - tree.listed > kLookAgain;
    if (look) {
        const FolderTree folders(inbox);
        tree.paths.clear();
        for (const FolderInfo& folder : folders.List()) {
            if (const auto path = folder.noselect ? std::nullopt : folders.PathOf(folder.name)) {
                tree.paths.push_back(*path);
            }
        }
        tree.listed = now;
    }
    std::uint64_t total = 0;
    for (const std::string& path : tree.paths) {
        FolderIndex& index = m_service.IndexOf(path);
        const bool refresh = look || index.Current() == nullptr;
        auto snapshot = refresh ? index.Refresh() : index.Current();
        total += snapshot->totalSize;
        const auto pending = m_service.m_pending.find(path);
        if (pending == m_service.m_pending.end()) {
            continue;
        }
        if (refresh) {
            // The index now holds every file there is: whatever was pending is in it (a file
            // an earlier look took in before its `Filed` came is counted twice until then).
            m_service.m_pending.erase(pending);
            continue;
        }
        // Once the index has taken in a file filed since, it has looked at the folder after
        // every pending file came: each is in it now, or already gone again.
        std::erase_if(pending->second,
                      [&](const Pending& p) { return snapshot->uidNext > p.uidNext; });
        for (const Pending& p : pending->second) {
            total += p.file.size;
        }
    }
    return total;
}

MessageNumbers* FolderService::WorkerSide::Numbers() {
    if (!m_service.m_numbers && !m_service.m_profilePath.empty()) {
        m_service.m_profile = std::make_unique<ProfileFile>(m_service.m_profilePath);
        m_service.m_numbers = std::make_unique<MessageNumbers>(*m_service.m_profile);
    }
    return m_service.m_numbers.get();
}

FolderTicket FolderService::Run(std::function<void(WorkerSide&)> work, std::function<void()> done) {
    const std::uint64_t id = m_nextId++;
    if (done) {
        m_answers.emplace(id, [done = std::move(done)](const Snapshot&) { done(); });
    }
    m_worker.Post(
        [this, work = std::move(work)] {
            WorkerSide side(*this);
            work(side);
        },
        [this, id] {
            if (const auto answer = m_answers.find(id); answer != m_answers.end()) {
                const Answer call = std::move(answer->second);
                m_answers.erase(answer);
                call(nullptr);
            }
        });
    return {*this, id};
}

void FolderService::Announce(const std::string& folder) {
    const std::string below = folder + "/";
    for (const auto& [watched, last] : m_announced) {
        if (watched == folder || watched.starts_with(below)) {
            auto result = std::make_shared<Snapshot>();
            m_worker.Post(
                [this, watched = watched, result] { *result = IndexOf(watched).Refresh(); },
                [this, watched = watched, result] { Finished(watched, *result, 0); });
        }
    }
}

FolderService::~FolderService() = default;

FolderTicket FolderService::Open(const std::string& folder, Answer answer) {
    return Post(folder, nullptr, std::move(answer));
}

FolderTicket FolderService::Change(const std::string& folder, Work work, Answer answer) {
    return Post(folder, std::move(work), std::move(answer));
}

FolderTicket FolderService::Post(const std::string& folder, Work work, Answer answer) {
    const std::uint64_t id = m_nextId++;
    if (answer) {
        m_answers.emplace(id, std::move(answer));
    }
    auto result = std::make_shared<Snapshot>();
    m_worker.Post(
        [this, folder, work = std::move(work), result] {
            FolderIndex& index = IndexOf(folder);
            index.Refresh();
            if (work) {
                work(index);
            }
            *result = index.Current();
        },
        [this, folder, result, id] { Finished(folder, *result, id); });
    return {*this, id};
}

FolderIndex& FolderService::IndexOf(const std::string& folder) {
    m_lastUse[folder] = ++m_uses;
    auto& index = m_indexes[folder];
    if (!index) {
        if (m_indexes.size() > kKeptIndexes) {
            auto oldest = m_lastUse.end();
            for (auto it = m_lastUse.begin(); it != m_lastUse.end(); ++it) {
                if (it->first != folder &&
                    (oldest == m_lastUse.end() || it->second < oldest->second)) {
                    oldest = it;
                }
            }
            if (oldest != m_lastUse.end()) {
                m_indexes.erase(oldest->first);
                m_lastUse.erase(oldest);
            }
        }
        index = std::make_unique<FolderIndex>(folder);
    }
    return *m_indexes[folder];
}

void FolderService::Finished(const std::string& folder, const Snapshot& snapshot,
                             std::uint64_t ticket) {
    if (const auto answer = m_answers.find(ticket); answer != m_answers.end()) {
        const Answer call = std::move(answer->second);
        m_answers.erase(answer);
        call(snapshot);
    }
    const auto announced = m_announced.find(folder);
    if (announced == m_announced.end() || announced->second == snapshot) {
        return; // nobody watches, or nothing new
    }
    announced->second = snapshot;
    // A watcher may drop itself or others while being told: look each one up again.
    std::vector<std::uint64_t> told;
    for (const auto& [id, watcher] : m_watchers) {
        if (watcher.folder == folder) {
            told.push_back(id);
        }
    }
    for (const std::uint64_t id : told) {
        if (const auto watcher = m_watchers.find(id); watcher != m_watchers.end()) {
            const Answer call = watcher->second.changed;
            call(snapshot);
        }
    }
}

FolderWatch FolderService::Watch(const std::string& folder, Answer changed) {
    const std::uint64_t id = m_nextId++;
    m_watchers.emplace(id, Watcher{folder, std::move(changed)});
    m_announced.try_emplace(folder);
    return {*this, id};
}

void FolderService::DropWatch(std::uint64_t id) {
    const auto watcher = m_watchers.find(id);
    if (watcher == m_watchers.end()) {
        return;
    }
    const std::string folder = std::move(watcher->second.folder);
    m_watchers.erase(watcher);
    for (const auto& [other, remaining] : m_watchers) {
        if (remaining.folder == folder) {
            return;
        }
    }
    m_announced.erase(folder);
}

void FolderService::NoteUsage(const std::string& inbox, std::uint64_t bytes) {
    m_usageSeen[inbox] = {bytes, std::chrono::steady_clock::now()};
}

std::optional<std::uint64_t> FolderService::RecentUsage(const std::string& inbox,
                                                        std::chrono::milliseconds age) const {
    const auto seen = m_usageSeen.find(inbox);
    if (seen == m_usageSeen.end() || std::chrono::steady_clock::now() - seen->second.at > age) {
        return std::nullopt;
    }
    return seen->second.bytes;
}

void FolderService::Filed(const std::string& folder, std::vector<NewFile> files) {
    if (const auto seen = m_usageSeen.find(folder); seen != m_usageSeen.end()) {
        for (const NewFile& file : files) {
            seen->second.bytes += file.size;
        }
    }
    m_worker.Post(
        [this, folder, files = std::move(files)] {
            // Only an index in memory can be behind: one read later takes the files in.
            const auto index = m_indexes.find(folder);
            if (index == m_indexes.end() || index->second->Current() == nullptr) {
                return;
            }
            const std::uint32_t uidNext = index->second->Current()->uidNext;
            auto& pending = m_pending[folder];
            for (const NewFile& file : files) {
                pending.push_back({file, uidNext});
            }
        },
        [] {});
    Changed(folder);
}

void FolderService::Changed(const std::string& folder) {
    if (!m_announced.contains(folder) || !m_refreshQueued.insert(folder).second) {
        return; // nobody to tell, or a look is queued that will see this change too
    }
    auto result = std::make_shared<Snapshot>();
    m_worker.Post([this, folder, result] { *result = IndexOf(folder).Refresh(); },
                  [this, folder, result] {
                      m_refreshQueued.erase(folder);
                      Finished(folder, *result, 0);
                  });
}

} // namespace brevin
