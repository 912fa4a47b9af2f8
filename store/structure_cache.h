#pragma once

// Parsed message structures kept on disk beside a folder, so that each message is parsed once,
// not at every FETCH nor at every start of the server.

#include "store/message_structure.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

namespace brevin {

/// An append-only file of (key, serialised structure) records, each with a checksum: a torn or
/// damaged record and everything after it are ignored, never trusted, and cut off by the next
/// Add. Nothing is flushed: losing the file costs a parse per message, nothing else.
///
/// The file is read once, on first use, and stays mapped; the heap holds only each key's place
/// in it. Nothing but this class may shorten the file while it is open (replacing it by a
/// rename, as Compact does, is safe). Not thread-safe: one object per folder, used by one
/// thread at a time. The folder's metadata directory that holds the file must exist.
class StructureCache {
public:
    explicit StructureCache(std::string path);
    ~StructureCache();
    StructureCache(const StructureCache&) = delete;
    StructureCache& operator=(const StructureCache&) = delete;

    /// The structure added under `key`, or nullopt when there is none (or it is damaged).
    std::optional<MessageStructure> Find(std::string_view key);
    /// Appends `structure` under `key` (a later record for a key wins). False with errno set
    /// when it could not be written; the cache is then as before.
    bool Add(std::string_view key, const MessageStructure& structure);

    /// Records in the file, superseded ones included.
    std::size_t Records();
    /// Rewrites the file with only the keys in `liveKeys`, when at least `minDeadFraction` of
    /// its records are for other keys or superseded. Whether it rewrote; false with errno set
    /// when the rewrite failed (the old file stays).
    bool Compact(const std::set<std::string, std::less<>>& liveKeys, double minDeadFraction = 0.5);

private:
    struct Place {
        std::uint64_t offset; // of the serialised bytes
        std::uint32_t length;
    };

    void Load();
    void Close();
    bool OpenForAppend();
    /// The serialised bytes at `place`, from the mapping or else read into `buffer`.
    std::optional<std::string_view> Value(const Place& place, std::string& buffer) const;

    std::string m_path;
    bool m_loaded = false;
    int m_fd = -1;
    const char* m_map = nullptr; // the records there were when the file was read
    std::size_t m_mapSize = 0;
    std::uint64_t m_end = 0;     // the end of the last good record
    std::uint64_t m_fileEnd = 0; // the file's size when read: beyond m_end lies damage
    std::size_t m_records = 0;
    // Keys point into the mapping, or into m_addedKeys for records added since: no copy of
    // each key read.
    std::unordered_map<std::string_view, Place> m_places;
    std::deque<std::string> m_addedKeys; // a deque never moves what it holds
};

/// The structure of the message in the file `fd` (the stored form), known to the cache as
/// `key` (the file's name and size: message files never change). Parsed and added on a miss;
/// nullopt when the file cannot be read.
std::optional<MessageStructure> StructureOf(StructureCache& cache, std::string_view key, int fd);
/// The same for the file at `path`, which is opened only on a miss.
std::optional<MessageStructure> StructureOf(StructureCache& cache, std::string_view key,
                                            const std::string& path);

} // namespace brevin
