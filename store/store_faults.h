#pragma once

#include <atomic>
#include <cstdint>

namespace brevin {

/// Test-only switches that make the store fail as a full disk would, so that the callers'
/// error paths can be exercised without mounting a small file system. Production code never
/// sets them; every switch is off by default. Atomic: filing runs on a worker thread.
struct StoreFaults {
    /// When >= 0: message data written through `IncomingMessage::Append` (copies included,
    /// a copy sharing the message's data counting as its size) fails with ENOSPC once this
    /// many bytes in total have been written since it was set (use `FailWritesAfter`). The
    /// write that crosses the limit is cut short.
    static inline std::atomic<long> failWritesAfterBytes{-1};
    /// Message bytes written since `FailWritesAfter`.
    static inline std::atomic<long> bytesWritten{0};
    /// When true, every profile write fails with ENOSPC before its new file replaces the old.
    static inline std::atomic<bool> failProfileWrites{false};
    /// When >= 0: a flush of the whole file system on this device (st_dev) fails with EIO.
    static inline std::atomic<long long> failFileSystemFlushOf{-1};

    static void FailWritesAfter(long bytes) {
        failWritesAfterBytes = bytes;
        bytesWritten = 0;
    }
    static void Reset() {
        failWritesAfterBytes = -1;
        bytesWritten = 0;
        failProfileWrites = false;
        failFileSystemFlushOf = -1;
    }
};

} // namespace brevin
