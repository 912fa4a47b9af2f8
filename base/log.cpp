#include "base/log.h"

#include <cerrno>
#include <chrono>
#include <unistd.h>
#include <unordered_map>

namespace brevin {

namespace {

LogLevel g_level = LogLevel::Normal;
std::function<void(std::string_view, bool)> g_sink;
int g_batchDepth = 0;
std::string g_batch; // lines gathered under a LogBatch
constexpr std::size_t kBatchLimit = 16 * 1024;

/// The length of the UTF-8 sequence that begins `text` when it is a printable character (C1
/// controls are not), or 0 when its bytes are to be escaped one by one.
std::size_t PrintableSequence(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) {
        return lead < ' ' || lead == 0x7f ? 0 : 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        if (lead == 0xc2) {
            low = 0xa0; // U+0080 to U+009F are the C1 controls
        }
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
        high = lead == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length || at(1) < low || at(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

bool NeedsQuotes(std::string_view value) {
    if (value.empty()) {
        return true;
    }
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        const std::size_t length = PrintableSequence(value.substr(i));
        if (length == 0 || c == ' ' || c == '"' || c == '\\' || c == '=') {
            return true;
        }
        i += length;
    }
    return false;
}

void AppendValue(std::string& line, std::string_view value) {
    if (!NeedsQuotes(value)) {
        line.append(value);
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    line += '"';
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        const std::size_t length = PrintableSequence(value.substr(i));
        if (c == '"' || c == '\\') {
            line += '\\';
            line += c;
        } else if (length == 0) {
            // A terminal reading the log must not take a byte of it as a control: not C0 nor
            // C1 (0x9b starts a sequence on some), nor what a broken sequence would decode to.
            const auto u = static_cast<unsigned char>(c);
            line += "\\x";
            line += kHex[u >> 4];
            line += kHex[u & 15];
            ++i;
            continue;
        } else {
            line.append(value.substr(i, length));
        }
        i += length == 0 ? 1 : length;
    }
    line += '"';
}

/// Where a value is cut: at most `kMostValueBytes`, not inside a UTF-8 sequence.
std::size_t CutAt(std::string_view value) {
    std::size_t cut = LogEvent::kMostValueBytes;
    for (int back = 0;
         back < 3 && cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xc0) == 0x80; ++back) {
        --cut;
    }
    return cut;
}

// ---- the budget of lines a client can cause ----

using Clock = std::chrono::steady_clock;

struct Budget {
    Clock::time_point since; // the interval this count belongs to
    unsigned written = 0;
    std::uint64_t suppressed = 0;
};

constexpr auto kInterval = std::chrono::seconds(1);
// Past this many addresses at once (a flood from many), the newcomers share one budget.
constexpr std::size_t kMostBudgets = 4096;
constexpr std::string_view kOthers = "others";
std::unordered_map<std::string, Budget> g_budgets;
Clock::time_point g_nextSweep;
bool g_sweeping = false;

void WriteOut(std::string& line, bool failed, LogLevel level);

void WriteFolded(const std::string& address, const Budget& budget) {
    std::string line = "log folded client=";
    AppendValue(line, address);
    line.append(" suppressed=").append(std::to_string(budget.suppressed));
    WriteOut(line, false, LogLevel::Normal);
}

/// Writes the folded count of every interval that has ended and forgets the quiet addresses.
void Sweep(Clock::time_point now) {
    if (g_sweeping || now < g_nextSweep) {
        return;
    }
    g_sweeping = true;
    g_nextSweep = now + kInterval;
    for (auto it = g_budgets.begin(); it != g_budgets.end();) {
        if (now - it->second.since < kInterval) {
            ++it;
            continue;
        }
        if (it->second.suppressed > 0) {
            WriteFolded(it->first, it->second);
        }
        it = g_budgets.erase(it);
    }
    g_sweeping = false;
}

/// Whether a line the client at `address` caused may be written now (else it is counted).
bool WithinBudget(const std::string& address) {
    const Clock::time_point now = Clock::now();
    Sweep(now);
    auto it = g_budgets.find(address);
    if (it == g_budgets.end()) {
        const std::string key = g_budgets.size() < kMostBudgets ? address : std::string(kOthers);
        it = g_budgets.try_emplace(key, Budget{now}).first;
    }
    Budget& budget = it->second;
    if (now - budget.since >= kInterval) {
        if (budget.suppressed > 0) {
            WriteFolded(it->first, budget);
        }
        budget = Budget{now};
    }
    if (budget.written >= LogEvent::kClientLinesPerSecond) {
        ++budget.suppressed;
        return false;
    }
    ++budget.written;
    return true;
}

/// One write per line (or batch of whole lines), so lines of several processes sharing the
/// journal never interleave.
void WriteLine(const std::string& line) {
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // nowhere to log to: the server goes on regardless
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

LogEvent::LogEvent(std::string_view service, std::string_view event, LogLevel level)
    : m_level(level), m_enabled(level != LogLevel::Debug || g_level == LogLevel::Debug) {
    if (m_enabled) {
        m_line.reserve(128);
        m_line.append(service).append(" ").append(event);
    }
}

LogEvent::~LogEvent() {
    if (!m_enabled) {
        return;
    }
    if (m_failed) {
        m_line += " failed=yes";
    }
    if (!m_budget.empty() && (m_failed || Enabled(m_level)) && !WithinBudget(m_budget)) {
        return;
    }
    WriteOut(m_line, m_failed, m_level);
}

namespace {

void WriteOut(std::string& line, bool failed, LogLevel level) {
    // The sink sees every event the level could hold (the activity view counts deliveries
    // even when the log is quiet); quiet still writes failures.
    if (g_sink) {
        g_sink(line, failed);
    }
    if (!failed && !LogEvent::Enabled(level)) {
        return;
    }
    line += '\n';
    if (g_batchDepth == 0) {
        WriteLine(line);
        return;
    }
    g_batch += line;
    if (g_batch.size() >= kBatchLimit) {
        WriteLine(g_batch);
        g_batch.clear();
    }
}

} // namespace

LogEvent& LogEvent::Add(std::string_view key, std::string_view value) {
    if (!m_enabled) {
        return *this;
    }
    m_line.append(" ").append(key).append("=");
    if (value.size() <= kMostValueBytes) {
        AppendValue(m_line, value);
        return *this;
    }
    // A client's 3,000-byte line would otherwise cost the log 3,000 bytes per command.
    AppendValue(m_line, value.substr(0, CutAt(value)));
    m_line.append(" ").append(key).append("_bytes=").append(std::to_string(value.size()));
    return *this;
}

LogEvent& LogEvent::Add(std::string_view key, std::uint64_t value) {
    return Add(key, std::string_view(std::to_string(value)));
}

LogEvent& LogEvent::Failed() {
    m_failed = true;
    return *this;
}

LogEvent& LogEvent::Budgeted(std::string_view address) {
    m_budget = address.empty() ? std::string("local") : std::string(address);
    return *this;
}

void LogEvent::FlushFolded() {
    Sweep(Clock::now());
}

bool LogEvent::Enabled(LogLevel level) {
    return static_cast<int>(level) <= static_cast<int>(g_level);
}

void LogEvent::SetLevel(LogLevel level) {
    g_level = level;
}

void LogEvent::SetSink(std::function<void(std::string_view line, bool failed)> sink) {
    g_sink = std::move(sink);
}

LogBatch::LogBatch() {
    ++g_batchDepth;
}

LogBatch::~LogBatch() {
    if (g_batchDepth == 1 && !g_budgets.empty()) {
        Sweep(Clock::now()); // a flood that has stopped is accounted for at the loop's next turn
    }
    if (--g_batchDepth == 0 && !g_batch.empty()) {
        WriteLine(g_batch);
        g_batch.clear();
    }
}

bool ParseLogLevel(std::string_view text, LogLevel& level) {
    if (text == "quiet") {
        level = LogLevel::Quiet;
    } else if (text == "normal") {
        level = LogLevel::Normal;
    } else if (text == "debug") {
        level = LogLevel::Debug;
    } else {
        return false;
    }
    return true;
}

} // namespace brevin
