#include "store/structure_cache.h"

#include "store/durable_file.h"
#include "store/file_util.h"
#include "store/message_text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brevin {

namespace {

// The file: this magic, then records of key length, value length (32 bits each, little
// endian), a checksum of both lengths, the key and the value (64 bits, in the machine's order:
// a file moved to another kind of machine only reads as damaged), then the key and the value.
constexpr std::string_view kMagic = "BVNSTRC1";
constexpr std::size_t kRecordHead = 16;
constexpr std::uint32_t kMaxKey = 4096;
constexpr std::uint32_t kMaxValue = 64u << 20; // far beyond any structure kMaxMimeParts allow

/// Eight bytes at a time, for speed: a fresh server reads the whole file. Each step is a
/// bijection of the running value, so a change within one eight-byte word always shows, and
/// any other all but always.
std::uint64_t Checksum(std::string_view bytes, std::uint64_t h = 0x9E3779B97F4A7C15u) {
    const auto mix = [](std::uint64_t x) {
        x *= 0xFF51AFD7ED558CCDu;
        return x ^ (x >> 33);
    };
    std::size_t at = 0;
    for (; bytes.size() - at >= 8; at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + at, 8);
        h = mix(h ^ word);
    }
    std::uint64_t tail = static_cast<std::uint64_t>(bytes.size() - at) << 56;
    std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
    return mix(h ^ tail);
}

std::uint64_t RecordChecksum(std::string_view lengths, std::string_view key,
                             std::string_view value) {
    return Checksum(value, Checksum(key, Checksum(lengths)));
}

void Put32(std::string& out, std::uint32_t n) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((n >> (8 * i)) & 0xffu);
    }
}

std::uint32_t Get32(const char* p) {
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) {
        n = (n << 8) | static_cast<unsigned char>(p[i]);
    }
    return n;
}

std::string Record(std::string_view key, std::string_view value) {
    std::string record;
    record.reserve(kRecordHead + key.size() + value.size());
    Put32(record, static_cast<std::uint32_t>(key.size()));
    Put32(record, static_cast<std::uint32_t>(value.size()));
    const std::uint64_t checksum = RecordChecksum(record, key, value);
    record.append(reinterpret_cast<const char*>(&checksum), sizeof checksum);
    record += key;
    record += value;
    return record;
}

} // namespace

StructureCache::StructureCache(std::string path) : m_path(std::move(path)) {}

StructureCache::~StructureCache() {
    Close();
}

void StructureCache::Close() {
    m_places.clear(); // its keys point into the mapping
    m_addedKeys.clear();
    if (m_map != nullptr) {
        ::munmap(const_cast<char*>(m_map), m_mapSize);
        m_map = nullptr;
        m_mapSize = 0;
    }
    file_util::CloseQuietly(m_fd);
}

void StructureCache::Load() {
    m_loaded = true;
    m_fd = ::open(m_path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || st.st_size < static_cast<off_t>(kMagic.size())) {
        m_fileEnd = m_fd < 0 ? 0 : static_cast<std::uint64_t>(st.st_size);
        return;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, m_fd, 0);
    if (map == MAP_FAILED) {
        return; // unreadable: as if empty, and the next Add starts it again
    }
    const std::string_view file(static_cast<const char*>(map), size);
    m_fileEnd = size;
    if (file.starts_with(kMagic)) {
        m_places.reserve(size / 256); // about the size of a record: spares most rehashing
        std::size_t at = kMagic.size();
        while (file.size() - at >= kRecordHead) {
            const std::uint32_t keyLength = Get32(file.data() + at);
            const std::uint32_t valueLength = Get32(file.data() + at + 4);
            if (keyLength > kMaxKey || valueLength > kMaxValue ||
                file.size() - at - kRecordHead < std::uint64_t{keyLength} + valueLength) {
                break;
            }
            const std::string_view key = file.substr(at + kRecordHead, keyLength);
            const std::string_view value = file.substr(at + kRecordHead + keyLength, valueLength);
            std::uint64_t checksum = 0;
            std::memcpy(&checksum, file.data() + at + 8, sizeof checksum);
            if (RecordChecksum(file.substr(at, 8), key, value) != checksum) {
                break;
            }
            m_places.insert_or_assign(key, Place{at + kRecordHead + keyLength, valueLength});
            ++m_records;
            at += kRecordHead + keyLength + valueLength;
        }
        m_end = at;
    }
    if (m_places.empty()) {
        ::munmap(map, size);
    } else { // kept: Find reads the records straight from it
        m_map = static_cast<const char*>(map);
        m_mapSize = size;
    }
}

std::optional<std::string_view> StructureCache::Value(const Place& place,
                                                      std::string& value) const {
    if (place.offset + place.length <= m_mapSize) {
        return std::string_view(m_map + place.offset, place.length);
    }
    value.assign(place.length, '\0');
    std::size_t have = 0;
    while (have < value.size()) {
        const ssize_t got = ::pread(m_fd, value.data() + have, value.size() - have,
                                    static_cast<off_t>(place.offset + have));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return std::nullopt;
        }
        have += static_cast<std::size_t>(got);
    }
    return std::string_view(value);
}

std::optional<MessageStructure> StructureCache::Find(std::string_view key) {
    if (!m_loaded) {
        Load();
    }
    const auto found = m_places.find(key);
    if (found == m_places.end()) {
        return std::nullopt;
    }
    std::string buffer;
    const std::optional<std::string_view> value = Value(found->second, buffer);
    return value ? Deserialize(*value) : std::nullopt;
}

bool StructureCache::OpenForAppend() {
    if (m_fd < 0) {
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            return false;
        }
    }
    if (m_end == 0) { // new, or damaged from its start
        if (::ftruncate(m_fd, 0) != 0 || ::pwrite(m_fd, kMagic.data(), kMagic.size(), 0) !=
                                             static_cast<ssize_t>(kMagic.size())) {
            return false;
        }
        m_end = kMagic.size();
        m_fileEnd = m_end;
    }
    if (m_fileEnd > m_end) { // cut off the damage, or it would hide what comes after it
        if (::ftruncate(m_fd, static_cast<off_t>(m_end)) != 0) {
            return false;
        }
        m_fileEnd = m_end;
    }
    return true;
}

bool StructureCache::Add(std::string_view key, const MessageStructure& structure) {
    if (!m_loaded) {
        Load();
    }
    const std::string value = Serialize(structure);
    if (key.size() > kMaxKey || value.size() > kMaxValue) {
        errno = EFBIG;
        return false;
    }
    if (!OpenForAppend()) {
        return false;
    }
    // One write, so that a crash leaves at most one torn record, at the end.
    const std::string record = Record(key, value);
    const ssize_t wrote = ::pwrite(m_fd, record.data(), record.size(), static_cast<off_t>(m_end));
    if (wrote != static_cast<ssize_t>(record.size())) {
        const int error = wrote < 0 ? errno : ENOSPC;
        if (::ftruncate(m_fd, static_cast<off_t>(m_end)) != 0) {
            m_fileEnd = m_end + static_cast<std::uint64_t>(wrote < 0 ? 0 : wrote);
        }
        errno = error;
        return false;
    }
    const Place place{m_end + kRecordHead + key.size(), static_cast<std::uint32_t>(value.size())};
    if (const auto known = m_places.find(key); known != m_places.end()) {
        known->second = place;
    } else {
        m_places.emplace(m_addedKeys.emplace_back(key), place);
    }
    m_end += record.size();
    m_fileEnd = m_end;
    ++m_records;
    return true;
}

std::size_t StructureCache::Records() {
    if (!m_loaded) {
        Load();
    }
    return m_records;
}

bool StructureCache::Compact(const std::set<std::string, std::less<>>& liveKeys,
                             double minDeadFraction) {
    if (!m_loaded) {
        Load();
    }
    std::size_t live = 0;
    for (const auto& [key, place] : m_places) {
        live += liveKeys.contains(key) ? 1 : 0;
    }
    const auto dead = static_cast<double>(m_records - live);
    if (m_records == 0 || dead < minDeadFraction * static_cast<double>(m_records)) {
        return true;
    }
    std::string file(kMagic);
    for (const auto& [key, place] : m_places) {
        if (!liveKeys.contains(key)) {
            continue;
        }
        std::string buffer;
        const std::optional<std::string_view> value = Value(place, buffer);
        if (!value) {
            return false;
        }
        file += Record(key, *value);
    }
    if (!durable::ReplaceFile(m_path, file, 0600, m_path + ".new")) {
        return false;
    }
    // Read again on next use, from the new file.
    Close();
    m_loaded = false;
    m_end = m_fileEnd = 0;
    m_records = 0;
    return true;
}

namespace {

std::optional<MessageStructure> ParseAndAdd(StructureCache& cache, std::string_view key, int fd) {
    std::string text;
    if (!ReadMessageText(fd, text)) {
        return std::nullopt;
    }
    MessageStructure structure = ParseStructure(text);
    cache.Add(key, structure); // a cache that cannot be written only costs a parse next time
    return structure;
}

} // namespace

std::optional<MessageStructure> StructureOf(StructureCache& cache, std::string_view key, int fd) {
    std::optional<MessageStructure> structure = cache.Find(key);
    if (!structure) {
        structure = ParseAndAdd(cache, key, fd);
    }
    return structure;
}

std::optional<MessageStructure> StructureOf(StructureCache& cache, std::string_view key,
                                            const std::string& path) {
    // One object returned from every path, so a hit is never moved on its way out.
    std::optional<MessageStructure> structure = cache.Find(key);
    if (!structure) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            structure = ParseAndAdd(cache, key, fd);
            file_util::CloseQuietly(fd);
        }
    }
    return structure;
}

} // namespace brevin
