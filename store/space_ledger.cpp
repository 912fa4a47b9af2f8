#include "store/space_ledger.h"

#include <algorithm>
#include <sys/statvfs.h>
#include <utility>

namespace brevin {

SpaceClaim::SpaceClaim(SpaceClaim&& other) noexcept
    : m_ledger(std::exchange(other.m_ledger, nullptr)),
      m_claimed(std::exchange(other.m_claimed, 0)), m_written(std::exchange(other.m_written, 0)) {}

SpaceClaim& SpaceClaim::operator=(SpaceClaim&& other) noexcept {
    if (this != &other) {
        Release();
        m_ledger = std::exchange(other.m_ledger, nullptr);
        m_claimed = std::exchange(other.m_claimed, 0);
        m_written = std::exchange(other.m_written, 0);
    }
    return *this;
}

SpaceClaim::~SpaceClaim() {
    Release();
}

void SpaceClaim::Release() {
    if (m_ledger != nullptr) {
        m_ledger->m_outstanding -= Outstanding();
    }
    m_ledger = nullptr;
    m_claimed = 0;
    m_written = 0;
}

SpaceLedger::SpaceLedger(std::function<std::optional<std::uint64_t>()> freeBytes)
    : m_freeBytes(std::move(freeBytes)) {}

std::function<std::optional<std::uint64_t>()>
SpaceLedger::FreeBytesOf(std::function<std::string()> path) {
    return [path = std::move(path)]() -> std::optional<std::uint64_t> {
        struct statvfs fs {};
        if (::statvfs(path().c_str(), &fs) != 0) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    };
}

bool SpaceLedger::Claim(SpaceClaim& claim, std::uint64_t total, std::uint64_t floor) {
    if (claim.m_ledger != this) {
        claim.Release();
        claim.m_ledger = this;
    }
    total = std::max(total, claim.m_written);
    const std::uint64_t before = claim.Outstanding();
    const std::uint64_t wanted = total - claim.m_written;
    if (floor != 0 && wanted > before) {
        const std::uint64_t others = m_outstanding - before;
        auto free = FreeNow(false);
        // A refusal is never made on an old measurement: mail may have been deleted since.
        if (free && !Fits(*free, others, wanted, floor)) {
            free = FreeNow(true);
        }
        if (free && !Fits(*free, others, wanted, floor)) {
            return false;
        }
    }
    m_outstanding = m_outstanding - before + wanted;
    claim.m_claimed = total;
    return true;
}

std::optional<std::uint64_t> SpaceLedger::FreeNow(bool fresh) {
    const Clock::time_point now = Clock::now();
    if (fresh || !m_measured || now - m_measuredAt >= kMeasureEvery) {
        m_measured = m_freeBytes();
        m_measuredAt = now;
        m_writtenSince = 0;
    }
    if (!m_measured) {
        return std::nullopt;
    }
    m_lastFree = *m_measured > m_writtenSince ? *m_measured - m_writtenSince : 0;
    return m_lastFree;
}

bool SpaceLedger::Fits(std::uint64_t free, std::uint64_t others, std::uint64_t wanted,
                       std::uint64_t floor) const {
    const std::uint64_t room = free > floor ? free - floor : 0;
    return others <= room && wanted <= room - others;
}

void SpaceLedger::Wrote(SpaceClaim& claim, std::uint64_t bytes) {
    if (claim.m_ledger != this) {
        claim.Release();
        claim.m_ledger = this;
    }
    const std::uint64_t before = claim.Outstanding();
    claim.m_written += bytes;
    m_writtenSince += bytes;
    m_outstanding = m_outstanding - before + claim.Outstanding();
}

} // namespace brevin
