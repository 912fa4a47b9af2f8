#pragma once

#include "engine/event_loop.h"
#include "engine/worker.h"
#include "store/delivery.h"
#include "store/space_ledger.h"
#include "store/users.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brevin {

/// Where SMTP sessions leave the work that may keep the disk busy: taking a message number,
/// making the message's file, and filing a message whose data is complete.
///
/// Numbers come from blocks reserved in the profile's counter (`MessageNumbers`); the next
/// block is reserved on the worker before the current one runs out, so the loop rarely waits
/// for the profile. Filing runs on the worker (`Worker`) in rounds: every message finished
/// while a round was on the disk goes into the next one, which flushes them all together
/// (`FileMessages`). Sessions that get busy together thus share the cost instead of waiting
/// for each other's, and the loop serves everyone else meanwhile. The files asked for in one
/// turn are made together on a thread of their own (a lone one, while no other mail is on its
/// way, on the loop at once).
class FolderService;

class DeliveryQueue {
public:
    using Numbered = std::function<void(std::uint32_t number)>;
    using Opened = std::function<void(IncomingMessage message)>;
    /// The delivery as filed: `filed` (with the paths of its files, for the log), or `error`
    /// and `failedPath` saying why not.
    using Done = std::function<void(const Delivery& result)>;

    DeliveryQueue(EventLoop& loop, UserDirectory& users);
    ~DeliveryQueue();
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    [[nodiscard]] UserDirectory& Users() { return m_users; }
    /// The folders' service, which measures mailboxes for their quotas: without one (the
    /// default), no quota is enforced.
    void MeasureWith(FolderService& folders) { m_folders = &folders; }
    [[nodiscard]] FolderService* Folders() const { return m_folders; }
    /// The room that uploads under way have claimed on the store's file system.
    [[nodiscard]] SpaceLedger& Space() { return m_space; }

    /// Takes the number for the message of `delivery` with the others asked for in this turn,
    /// then calls `numbered`.
    void TakeNumber(const Delivery& delivery, Numbered numbered);
    /// Takes a number as TakeNumber does and makes the message's file in `folder` under it,
    /// then calls `opened` with the file: open, or holding the error that stopped it.
    void OpenMessage(const Delivery& delivery, std::string folder, Opened opened);
    /// Takes over the contents of `delivery` (which is left empty) and files them with the
    /// others of the next round, then calls `done`. `delivery` only names the submission for
    /// `Withdraw`.
    void Submit(Delivery& delivery, Done done);
    /// Forgets whatever `delivery` still waits for (its session is ending): a message not yet
    /// filed is dropped, one being filed is removed again once its round is done. A number it
    /// asked for is still taken, as DATA takes one whether or not its reply is heard.
    void Withdraw(const Delivery& delivery);
    /// A file a round filed: its name in its folder, and the message's size as clients hold it.
    struct FiledFile {
        std::string name;
        std::uint64_t size = 0;
    };
    using Filed =
        std::function<void(const std::string& folder, const std::vector<FiledFile>& files)>;
    /// `filed` hears each folder that a round filed messages into, with its new files, once the
    /// round is done.
    void OnFiled(Filed filed) { m_filed = std::move(filed); }

private:
    struct Submitted {
        const Delivery* key = nullptr; // null once withdrawn; never dereferenced
        std::unique_ptr<Delivery> delivery;
        Done done;
    };
    struct ToOpen {
        const Delivery* key = nullptr; // null once withdrawn; never dereferenced
        std::string folder;
        std::uint32_t number = 0;
        Opened opened;
    };
    using OpenBatch = std::vector<ToOpen>;
    struct Block {
        std::uint32_t next = 0;
        std::uint32_t left = 0;
    };

    /// Makes sure the waiting work is done once the current batch has been dispatched.
    void AtTurnEnd();
    void OnTurnEnd();
    /// The first of `count` consecutive numbers of the reserved blocks; nothing when the block
    /// in use (or, once it is used up, the next) has fewer left.
    std::optional<std::uint32_t> TakeFromBlocks(std::uint32_t count);
    void RefillNumbers();
    /// Makes the files of the numbered askers in `m_toOpen`.
    void StartOpening();
    void StartRound();
    void RoundFiled();

    UserDirectory& m_users;
    FolderService* m_folders = nullptr;
    SpaceLedger m_space;
    ProfileFile m_workerProfile;    // the worker's own view of the profile file
    MessageNumbers m_workerNumbers; // used on the worker only
    Timer m_turnEnd;                // due at once: it fires after the sockets that are ready now
    std::vector<std::pair<const Delivery*, Numbered>> m_askingNumbers;
    OpenBatch m_toOpen;                                // numbered, to be opened this turn
    std::vector<std::shared_ptr<OpenBatch>> m_opening; // on the opener; the loop keeps these
    std::vector<Submitted> m_waiting;
    // The round on the worker, empty while none is; its deliveries are the worker's.
    std::vector<Submitted> m_filing;
    Filed m_filed;
    Block m_block;            // numbers the loop hands out
    Block m_spare;            // the next block, reserved ahead on the worker
    bool m_refilling = false; // a reservation is on the worker
    // Creating a file can take long on a busy folder (on ext4 it scans past every inode freed
    // in the last minutes); it has a thread of its own so as not to wait behind a round's
    // flushes.
    Worker m_opener;
    Worker m_worker; // last: stopped before anything its jobs use goes
};

} // namespace brevin
