#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace brevin {

class SpaceLedger;

/// The room one upload has claimed on the store's file system: what it will take in all, and
/// what of that is already written (and so already counted in the file system's free space).
/// Moving it keeps the claim; destroying it gives back what was claimed and not written.
class SpaceClaim {
public:
    SpaceClaim() = default;
    SpaceClaim(SpaceClaim&& other) noexcept;
    SpaceClaim& operator=(SpaceClaim&& other) noexcept;
    SpaceClaim(const SpaceClaim&) = delete;
    SpaceClaim& operator=(const SpaceClaim&) = delete;
    ~SpaceClaim();

    [[nodiscard]] std::uint64_t Claimed() const { return m_claimed; }
    [[nodiscard]] std::uint64_t Written() const { return m_written; }

private:
    friend class SpaceLedger;
    /// What the claim holds that the file system does not show as used yet.
    [[nodiscard]] std::uint64_t Outstanding() const {
        return m_claimed > m_written ? m_claimed - m_written : 0;
    }
    void Release();

    SpaceLedger* m_ledger = nullptr;
    std::uint64_t m_claimed = 0;
    std::uint64_t m_written = 0;
};

/// The free space of the store's file system that uploads under way have already claimed.
/// A check against the floor counts what the file system has free now less every claim not
/// yet written, so that twenty uploads begun together cannot each see the same free space.
/// The floor itself stays for the profile, the indexes and the log. The loop's only.
class SpaceLedger {
public:
    /// `freeBytes` measures the file system now; nothing when it cannot (nothing is refused).
    explicit SpaceLedger(std::function<std::optional<std::uint64_t>()> freeBytes);
    /// Measures the file system holding `path`.
    static std::function<std::optional<std::uint64_t>()>
    FreeBytesOf(std::function<std::string()> path);

    /// Sets `claim` to `total` bytes in all (never below what it has written), when that leaves
    /// at least `floor` free after every other claim; false (the claim as it was) otherwise.
    /// A floor of 0 grants everything without measuring.
    bool Claim(SpaceClaim& claim, std::uint64_t total, std::uint64_t floor);
    /// `bytes` more of the claim are on disk now (a claim grows when its upload outgrows it).
    void Wrote(SpaceClaim& claim, std::uint64_t bytes);
    /// The free space as the last check measured it, for the log.
    [[nodiscard]] std::uint64_t LastFree() const { return m_lastFree; }
    /// Every claim's bytes not yet written.
    [[nodiscard]] std::uint64_t Outstanding() const { return m_outstanding; }

private:
    friend class SpaceClaim;
    using Clock = std::chrono::steady_clock;
    /// The free space now: measured at most every `kMeasureEvery` (a measurement reads the
    /// profile and asks the file system), less what claims have written since.
    [[nodiscard]] std::optional<std::uint64_t> FreeNow(bool fresh);
    /// Whether `wanted` more bytes fit above `floor` with `others` claimed by the rest.
    [[nodiscard]] bool Fits(std::uint64_t free, std::uint64_t others, std::uint64_t wanted,
                            std::uint64_t floor) const;

    static constexpr auto kMeasureEvery = std::chrono::milliseconds(100);
    std::function<std::optional<std::uint64_t>()> m_freeBytes;
    std::optional<std::uint64_t> m_measured;
    Clock::time_point m_measuredAt;
    std::uint64_t m_writtenSince = 0; // by claims, since the measurement
    std::uint64_t m_outstanding = 0;
    std::uint64_t m_lastFree = 0;
};

} // namespace brevin
