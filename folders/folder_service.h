#pragma once

#include "engine/event_loop.h"
#include "engine/worker.h"
#include "store/folder_index.h"
#include "store/message_numbers.h"
#include "store/profile_file.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

namespace brevin {

class FolderService;

/// A request under way, held by whoever asked. Dropping it drops the answer, never the work: a
/// change that was asked for is made all the same.
class FolderTicket {
public:
    FolderTicket() = default;
    ~FolderTicket() { Drop(); }
    FolderTicket(FolderTicket&& other) noexcept;
    FolderTicket& operator=(FolderTicket&& other) noexcept;
    FolderTicket(const FolderTicket&) = delete;
    FolderTicket& operator=(const FolderTicket&) = delete;

    [[nodiscard]] bool Pending() const;
    void Drop();

private:
    friend class FolderService;
    FolderTicket(FolderService& service, std::uint64_t id) : m_service(&service), m_id(id) {}

    FolderService* m_service = nullptr;
    std::uint64_t m_id = 0;
};

/// Being told of a folder's changes for as long as it is held.
class FolderWatch {
public:
    FolderWatch() = default;
    ~FolderWatch() { Drop(); }
    FolderWatch(FolderWatch&& other) noexcept;
    FolderWatch& operator=(FolderWatch&& other) noexcept;
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    void Drop();

private:
    friend class FolderService;
    FolderWatch(FolderService& service, std::uint64_t id) : m_service(&service), m_id(id) {}

    FolderService* m_service = nullptr;
    std::uint64_t m_id = 0;
};

/// The mailbox folders as the loop sees them. Every look at a folder's index, and every change
/// to it, runs on one worker, one after the other, so the loop never waits for the disk and no
/// two changes to a folder ever race; what comes back is a snapshot, which sessions share.
/// Whenever a folder's snapshot changes (a session's change, mail filed, files that came or
/// went behind the server's back), every session watching it is told on the loop, at once: an
/// idle client hears of new mail without anyone polling.
class FolderService {
public:
    using Snapshot = std::shared_ptr<const FolderSnapshot>;
    using Answer = std::function<void(const Snapshot&)>;
    using Work = std::function<void(FolderIndex&)>;

    /// What a job of `Run` may use on the worker.
    class WorkerSide {
    public:
        /// The index of `folder` (a full path), kept for later jobs.
        FolderIndex& Index(const std::string& folder) { return m_service.IndexOf(folder); }
        /// Forgets the indexes of `folder` and of every folder below it: they were removed or
        /// moved, and must be read from disk again when next wanted.
        void ForgetIndexes(const std::string& folder);
        /// Message numbers for files the server makes itself (copies, appended messages); null
        /// without a profile.
        MessageNumbers* Numbers();
        /// The sizes of the messages in every folder of the mailbox whose INBOX is `inbox`,
        /// together: the folders' indexes keep them as messages come and go, and files filed
        /// since an index last looked are counted as `Filed` told them. Nothing is listed or
        /// flushed for it, except once a minute (or after `TreeChanged`), when the folders are
        /// listed and their indexes brought up to date, for what changed behind the server's
        /// back.
        std::uint64_t Usage(const std::string& inbox);
        /// Folders of that mailbox were made, removed or renamed.
        void TreeChanged(const std::string& inbox) { m_service.m_trees.erase(inbox); }

    private:
        friend class FolderService;
        explicit WorkerSide(FolderService& service) : m_service(service) {}
        FolderService& m_service;
    };

    /// `profile` (may be empty) gives the numbers of the files the server makes itself.
    explicit FolderService(EventLoop& loop, std::filesystem::path profile = {});
    ~FolderService();
    FolderService(const FolderService&) = delete;
    FolderService& operator=(const FolderService&) = delete;

    /// Brings the index of `folder` (a full path) up to date, then answers with its snapshot.
    [[nodiscard]] FolderTicket Open(const std::string& folder, Answer answer);
    /// Runs `work` on the folder's index (brought up to date first), then answers with the
    /// snapshot after it.
    [[nodiscard]] FolderTicket Change(const std::string& folder, Work work, Answer answer);
    /// Calls `changed` with each new snapshot of `folder`, whoever caused it.
    [[nodiscard]] FolderWatch Watch(const std::string& folder, Answer changed);
    /// Runs `work` on the worker, in turn with every other job, then `done` on the loop.
    [[nodiscard]] FolderTicket Run(std::function<void(WorkerSide&)> work,
                                   std::function<void()> done);
    /// Tells the watchers of `folder` (and of every folder below it) of its state now: after a
    /// `Run` that removed or renamed folders.
    void Announce(const std::string& folder);
    /// The folder changed outside this service (mail was filed into it): its index is brought
    /// up to date if anyone watches it, and they are told.
    void Changed(const std::string& folder);
    /// A file filed into the folder: its name and size as clients hold it.
    struct NewFile {
        std::string name;
        std::uint64_t size = 0;
    };
    /// Mail was filed into the folder: `Changed`, and `WorkerSide::Usage` counts the new files
    /// before the index has taken them in.
    void Filed(const std::string& folder, std::vector<NewFile> files);
    /// What a `WorkerSide::Usage` of mailbox `inbox` answered, for `RecentUsage`.
    void NoteUsage(const std::string& inbox, std::uint64_t bytes);
    /// The last usage noted for `inbox` within `age`, plus what was filed into it since; nothing
    /// when none is that recent. It may miss what IMAP added meanwhile: good enough to wave
    /// through mail for a mailbox far below its quota without asking the worker.
    [[nodiscard]] std::optional<std::uint64_t> RecentUsage(const std::string& inbox,
                                                           std::chrono::milliseconds age) const;

private:
    friend class FolderTicket;
    friend class FolderWatch;

    struct Watcher {
        std::string folder;
        Answer changed;
    };

    FolderTicket Post(const std::string& folder, Work work, Answer answer);
    /// On the worker: the folder's index, kept for the next job.
    FolderIndex& IndexOf(const std::string& folder);
    /// On the loop: a job on `folder` left `snapshot`.
    void Finished(const std::string& folder, const Snapshot& snapshot, std::uint64_t ticket);
    void DropTicket(std::uint64_t id) { m_answers.erase(id); }
    void DropWatch(std::uint64_t id);

    // The worker's alone: touched only by its jobs.
    std::unordered_map<std::string, std::unique_ptr<FolderIndex>> m_indexes;
    std::unordered_map<std::string, std::uint64_t> m_lastUse;
    std::uint64_t m_uses = 0;
    std::filesystem::path m_profilePath;
    std::unique_ptr<ProfileFile> m_profile; // opened on the worker when first needed
    std::unique_ptr<MessageNumbers> m_numbers;

    struct Tree {
        std::vector<std::string> paths; // the selectable folders' paths
        std::chrono::steady_clock::time_point listed;
    };
    std::unordered_map<std::string, Tree> m_trees; // per INBOX, for `Usage`
    struct Pending {
        NewFile file;
        std::uint32_t uidNext = 0; // the index's when it was filed: any later UID comes after it
    };
    std::unordered_map<std::string, std::vector<Pending>> m_pending; // per folder, for `Usage`

    // The loop's.
    std::unordered_map<std::uint64_t, Answer> m_answers;
    std::unordered_map<std::uint64_t, Watcher> m_watchers;
    std::unordered_map<std::string, Snapshot> m_announced; // per watched folder
    std::set<std::string> m_refreshQueued;
    struct UsageSeen {
        std::uint64_t bytes = 0;
        std::chrono::steady_clock::time_point at;
    };
    std::unordered_map<std::string, UsageSeen> m_usageSeen; // per INBOX
    std::uint64_t m_nextId = 1;

    Worker m_worker; // last: stopped before anything its jobs use goes
};

} // namespace brevin
