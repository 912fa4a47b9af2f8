#include "shell/qt/activity_view.h"

#include "base/log.h"
#include "shell/server_app.h"
#include "store/users.h"

#include <QBrush>
#include <QColor>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>
#include <charconv>
#include <ctime>
#include <filesystem>

namespace brevin {

namespace {

/// The unquoted value of ` key=` in `line`; empty when absent.
std::string_view Value(std::string_view line, std::string_view key) {
    std::string needle = " ";
    needle.append(key).append("=");
    const std::size_t at = line.find(needle);
    if (at == std::string_view::npos) {
        return {};
    }
    const std::string_view rest = line.substr(at + needle.size());
    return rest.substr(0, rest.find(' '));
}

std::uint64_t Number(std::string_view text) {
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

long Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year * 400L + local.tm_yday;
}

} // namespace

void ActivityCounts::RollDay() const {
    const long today = Today();
    if (today != m_day) {
        m_day = today;
        m_received = m_retrieved = 0;
    }
}

void ActivityCounts::Take(std::string_view line, bool failed) {
    ++m_generation;
    m_lines.push_back({std::string(line), failed});
    if (m_lines.size() > kKeptLines) {
        m_lines.pop_front();
    }
    const std::size_t blank = line.find(' ');
    const std::string_view service = line.substr(0, blank);
    const std::string_view rest = line.substr(blank + 1);
    const std::string_view event = rest.substr(0, rest.find(' '));
    if (event == "connect") {
        m_sessions[Number(Value(line, "session"))] = {std::string(service),
                                                      std::string(Value(line, "client"))};
    } else if (event == "close") {
        m_sessions.erase(Number(Value(line, "session")));
    } else if (service == "smtp" && event == "filed") {
        RollDay();
        m_received += Number(Value(line, "recipients"));
    } else if (service == "pop3" && event == "retrieve") {
        RollDay();
        ++m_retrieved;
    }
}

std::size_t ActivityCounts::OpenSessions(std::string_view service) const {
    std::size_t count = 0;
    for (const auto& [id, session] : m_sessions) {
        count += session.service == service ? 1 : 0;
    }
    return count;
}

std::uint64_t ActivityCounts::ReceivedToday() const {
    RollDay();
    return m_received;
}

std::uint64_t ActivityCounts::RetrievedToday() const {
    RollDay();
    return m_retrieved;
}

ActivityView::ActivityView(ServerApp& app, QWidget* parent)
    : QDockWidget(QStringLiteral("Attività del server"), parent), m_app(app) {
    setObjectName(QStringLiteral("activity"));
    setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable);
    auto* panel = new QWidget(this);
    auto* layout = new QVBoxLayout(panel);
    m_summary = new QLabel(panel);
    m_summary->setObjectName(QStringLiteral("summary"));
    m_summary->setWordWrap(true);
    m_sessions = new QListWidget(panel);
    m_sessions->setObjectName(QStringLiteral("sessions"));
    m_sessions->setMaximumHeight(90);
    m_log = new QListWidget(panel);
    m_log->setObjectName(QStringLiteral("log"));
    m_log->setUniformItemSizes(true);
    layout->addWidget(m_summary);
    layout->addWidget(new QLabel(QStringLiteral("Sessioni aperte:"), panel));
    layout->addWidget(m_sessions);
    layout->addWidget(new QLabel(QStringLiteral("Registro (il più recente in alto):"), panel));
    layout->addWidget(m_log, 1);
    setWidget(panel);

    LogEvent::SetSink([this](std::string_view line, bool failed) {
        const std::uint64_t before =
            m_counts.ReceivedToday() + m_counts.RetrievedToday() + m_counts.Sessions().size();
        m_counts.Take(line, failed);
        if (before !=
            m_counts.ReceivedToday() + m_counts.RetrievedToday() + m_counts.Sessions().size()) {
            const QString summary = Summary();
            if (summary != m_lastSummary) {
                m_lastSummary = summary;
                emit SummaryChanged(summary);
            }
        }
    });
    m_timer.setInterval(kRefreshPeriod);
    connect(&m_timer, &QTimer::timeout, this, &ActivityView::Refresh);
    m_timer.start();
}

ActivityView::~ActivityView() {
    LogEvent::SetSink({});
}

QString ActivityView::Summary() const {
    return QStringLiteral("SMTP %1  POP3 %2  IMAP %3  ricevuti oggi %4  scaricati oggi %5")
        .arg(m_counts.OpenSessions("smtp") + m_counts.OpenSessions("submission"))
        .arg(m_counts.OpenSessions("pop3"))
        .arg(m_counts.OpenSessions("imap"))
        .arg(m_counts.ReceivedToday())
        .arg(m_counts.RetrievedToday());
}

// Nothing is drawn while the panel or its window is hidden or minimised.
void ActivityView::Refresh() {
    if (!isVisible() || window()->isMinimized() || m_drawn == m_counts.Generation()) {
        return;
    }
    m_drawn = m_counts.Generation();
    std::error_code ec;
    const auto space = std::filesystem::space(m_app.Users().StoreRoot(), ec);
    const QString free =
        ec ? QStringLiteral("?")
           : QString::number(space.available / (1024 * 1024)) + QStringLiteral(" MB");
    m_summary->setText(Summary() + QStringLiteral("\nspazio libero nell'archivio: ") + free);

    m_sessions->clear();
    for (const auto& [id, session] : m_counts.Sessions()) {
        m_sessions->addItem(QString::fromStdString(session.service).toUpper() +
                            QStringLiteral("  ") + QString::fromStdString(session.client) +
                            QStringLiteral("  #") + QString::number(id));
    }
    m_log->clear();
    const auto& lines = m_counts.Lines();
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        auto* item =
            new QListWidgetItem((line->failed ? QStringLiteral("✖ ") : QStringLiteral("   ")) +
                                QString::fromStdString(line->text));
        if (line->failed) {
            item->setForeground(QBrush(QColor(0xb0, 0x00, 0x00)));
        }
        m_log->addItem(item);
    }
}

} // namespace brevin
