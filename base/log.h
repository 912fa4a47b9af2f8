#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brevin {

/// How much the event log says.
enum class LogLevel { Quiet, Normal, Debug };

/// The event log: one line per event on stderr (under systemd, the journal), in a stable
/// `key=value` form that scripts and fail2ban can parse:
///
///     smtp connect client=192.0.2.7:51514 session=17
///
/// The first two words name the service and the event; values with blanks, quotes, control
/// characters (C1 included) or bytes that are not UTF-8 are quoted, with `\"`, `\\` and `\xHH`
/// inside. A value longer than `kMostValueBytes` is cut there, and `KEY_bytes=N` gives its whole
/// length. Failures add `failed=yes`, so a reader can pick them out without knowing every event,
/// and are written at every level, quiet included. One thread (the loop's) writes it.
///
/// A client can repeat some events at will (its commands, the addresses it names). Those are
/// marked `Budgeted` with the client's address: beyond `kClientLinesPerSecond` in a second from
/// one address, they are counted instead of written, and one line per interval,
/// `log folded client=ADDRESS suppressed=N`, says how many. Failed logins and limit refusals are
/// never marked, so that each reaches fail2ban even while the journal's rate limit would drop
/// lines of a flood.
class LogEvent {
public:
    /// An event of `level` Normal or Debug.
    LogEvent(std::string_view service, std::string_view event, LogLevel level = LogLevel::Normal);
    ~LogEvent();
    LogEvent(const LogEvent&) = delete;
    LogEvent& operator=(const LogEvent&) = delete;

    LogEvent& Add(std::string_view key, std::string_view value);
    LogEvent& Add(std::string_view key, std::uint64_t value);
    /// Marks the event as a failure (`failed=yes`), for the log's readers.
    LogEvent& Failed();
    /// Marks the event as one that the client at `address` can repeat at will (see above).
    LogEvent& Budgeted(std::string_view address);

    static constexpr std::size_t kMostValueBytes = 256;
    static constexpr unsigned kClientLinesPerSecond = 20;
    /// Writes the `log folded` lines of every interval that has ended; the loop calls it now and
    /// then, so that a flood that stopped is still accounted for.
    static void FlushFolded();

    /// Whether an event of `level` is written at all.
    static bool Enabled(LogLevel level);
    static void SetLevel(LogLevel level);
    /// Also hands every line written to `sink` (the desktop's activity view); empty to stop.
    static void SetSink(std::function<void(std::string_view line, bool failed)> sink);

private:
    std::string m_line;
    LogLevel m_level;
    bool m_enabled; // the line is being built: it may be written
    bool m_failed = false;
    std::string m_budget; // the client's address, for an event it can repeat at will
};

/// While one lives, written lines are gathered and go out together when the last one ends (or
/// the gathered bytes grow large): the loop holds one over each batch of ready work, so a busy
/// server makes one write per batch instead of one per event. Whole lines only, so lines of
/// several processes still never interleave.
class LogBatch {
public:
    LogBatch();
    ~LogBatch();
    LogBatch(const LogBatch&) = delete;
    LogBatch& operator=(const LogBatch&) = delete;
};

/// Parses "quiet", "normal" or "debug".
bool ParseLogLevel(std::string_view text, LogLevel& level);

} // namespace brevin
