#include "store/structure_cache.h"

#include "store/durable_file.h"
#include "store/file_util.h"
#include "store/message_text.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brevin {

namespace {

// The file: this magic, then records of key length, value length (32 bits each, little
// endian), a CRC-32 of both lengths, the key and the value, then the key and the value.
constexpr std::string_view kMagic = "BVNSTRC1";
constexpr std::size_t kRecordHead = 12;
constexpr std::uint32_t kMaxKey = 4096;
constexpr std::uint32_t kMaxValue = 64u << 20; // far beyond any structure kMaxMimeParts allow

constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[i] = c;
    }
    return table;
}();

std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc = 0) {
    crc = ~crc;
    for (const char b : bytes) {
        crc = kCrcTable[(crc ^ static_cast<unsigned char>(b)) & 0xffu] ^ (crc >> 8);
    }
    return ~crc;
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
    const std::uint32_t crc = Crc32(value, Crc32(key, Crc32(record)));
    Put32(record, crc);
    record += key;
    record += value;
    return record;
}

} // namespace

StructureCache::StructureCache(std::string path) : m_path(std::move(path)) {}

StructureCache::~StructureCache() {
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
            if (Crc32(value, Crc32(key, Crc32(file.substr(at, 8)))) !=
                Get32(file.data() + at + 8)) {
                break;
            }
            m_places[std::string(key)] = {at + kRecordHead + keyLength, valueLength};
            ++m_records;
            at += kRecordHead + keyLength + valueLength;
        }
        m_end = at;
    }
    ::munmap(map, size);
}

std::optional<std::string> StructureCache::ReadValue(const Place& place) const {
    std::string value(place.length, '\0');
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
    return value;
}

std::optional<MessageStructure> StructureCache::Find(std::string_view key) {
    if (!m_loaded) {
        Load();
    }
    const auto found = m_places.find(std::string(key));
    if (found == m_places.end()) {
        return std::nullopt;
    }
    const std::optional<std::string> value = ReadValue(found->second);
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
    m_places[std::string(key)] = {m_end + kRecordHead + key.size(),
                                  static_cast<std::uint32_t>(value.size())};
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
        const std::optional<std::string> value = ReadValue(place);
        if (!value) {
            return false;
        }
        file += Record(key, *value);
    }
    if (!durable::ReplaceFile(m_path, file, 0600, m_path + ".new")) {
        return false;
    }
    // Read again on next use, from the new file.
    file_util::CloseQuietly(m_fd);
    m_loaded = false;
    m_end = m_fileEnd = 0;
    m_records = 0;
    m_places.clear();
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
    if (auto cached = cache.Find(key)) {
        return cached;
    }
    return ParseAndAdd(cache, key, fd);
}

std::optional<MessageStructure> StructureOf(StructureCache& cache, std::string_view key,
                                            const std::string& path) {
    if (auto cached = cache.Find(key)) {
        return cached;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    auto structure = ParseAndAdd(cache, key, fd);
    file_util::CloseQuietly(fd);
    return structure;
}

} // namespace brevin
