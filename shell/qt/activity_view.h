#pragma once

#include <QDockWidget>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

class QLabel;
class QListWidget;

namespace brevin {

class ServerApp;

/// What the event log says about the server's activity, collected from its lines as they are
/// written: cheap enough to run whether or not anybody looks.
class ActivityCounts {
public:
    static constexpr std::size_t kKeptLines = 300;

    struct Session {
        std::string service; // "smtp", "submission", "pop3" or "imap"
        std::string client;
    };

    /// One log line as `LogEvent` writes it.
    void Take(std::string_view line, bool failed);

    [[nodiscard]] const std::map<std::uint64_t, Session>& Sessions() const { return m_sessions; }
    [[nodiscard]] std::size_t OpenSessions(std::string_view service) const;
    [[nodiscard]] std::uint64_t ReceivedToday() const;
    [[nodiscard]] std::uint64_t RetrievedToday() const;
    /// The last lines, oldest first; `failed` marks failures.
    struct Line {
        std::string text;
        bool failed = false;
    };
    [[nodiscard]] const std::deque<Line>& Lines() const { return m_lines; }
    /// Bumped by every line: a view redraws only when it moved.
    [[nodiscard]] std::uint64_t Generation() const { return m_generation; }

private:
    /// Starts the counts afresh when the day has changed since the last count.
    void RollDay() const;

    std::map<std::uint64_t, Session> m_sessions;
    std::deque<Line> m_lines;
    mutable std::uint64_t m_received = 0;
    mutable std::uint64_t m_retrieved = 0;
    mutable long m_day = -1;
    std::uint64_t m_generation = 0;
};

/// The main window's live view of the server, a panel over the tiled background: open sessions
/// with their clients, messages received and retrieved today, the store's free space, and the
/// last log lines, newest first, failures marked. It receives every log line (`LogEvent`'s
/// sink) but redraws only while it is visible, twice a second at most.
class ActivityView final : public QDockWidget {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kRefreshPeriod{500};

    ActivityView(ServerApp& app, QWidget* parent);
    ~ActivityView() override;
    ActivityView(const ActivityView&) = delete;
    ActivityView& operator=(const ActivityView&) = delete;

    [[nodiscard]] const ActivityCounts& Counts() const { return m_counts; }
    /// "SMTP 1  POP3 0  IMAP 2  received today 3  retrieved today 2", also for the tray's tooltip.
    [[nodiscard]] QString Summary() const;
    /// Redraws now if visible (the timer calls it).
    void Refresh();

signals:
    /// The counts changed; the tray tooltip follows (cheap, also while hidden).
    void SummaryChanged(const QString& summary);

private:
    ServerApp& m_app;
    ActivityCounts m_counts;
    QTimer m_timer;
    QLabel* m_summary = nullptr;
    QListWidget* m_sessions = nullptr;
    QListWidget* m_log = nullptr;
    std::uint64_t m_drawn = ~std::uint64_t{0}; // the generation on screen
    QString m_lastSummary;
};

} // namespace brevin
