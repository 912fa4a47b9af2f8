#include "base/log.h"

#include <cerrno>
#include <unistd.h>

namespace brevin {

namespace {

LogLevel g_level = LogLevel::Normal;
std::function<void(std::string_view, bool)> g_sink;
int g_batchDepth = 0;
std::string g_batch; // lines gathered under a LogBatch
constexpr std::size_t kBatchLimit = 16 * 1024;

bool NeedsQuotes(std::string_view value) {
    if (value.empty()) {
        return true;
    }
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7f || c == '"' || c == '\\' || c == '=') {
            return true;
        }
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
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            line += '\\';
            line += c;
        } else if (u < ' ' || u == 0x7f) {
            line += "\\x";
            line += kHex[u >> 4];
            line += kHex[u & 15];
        } else {
            line += c;
        }
    }
    line += '"';
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
    // The sink sees every event the level could hold (the activity view counts deliveries
    // even when the log is quiet); quiet still writes failures.
    if (g_sink) {
        g_sink(m_line, m_failed);
    }
    if (!m_failed && !Enabled(m_level)) {
        return;
    }
    m_line += '\n';
    if (g_batchDepth == 0) {
        WriteLine(m_line);
        return;
    }
    g_batch += m_line;
    if (g_batch.size() >= kBatchLimit) {
        WriteLine(g_batch);
        g_batch.clear();
    }
}

LogEvent& LogEvent::Add(std::string_view key, std::string_view value) {
    if (m_enabled) {
        m_line.append(" ").append(key).append("=");
        AppendValue(m_line, value);
    }
    return *this;
}

LogEvent& LogEvent::Add(std::string_view key, std::uint64_t value) {
    return Add(key, std::string_view(std::to_string(value)));
}

LogEvent& LogEvent::Failed() {
    m_failed = true;
    return *this;
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
