#include "shell/support.h"

#include <QApplication>
#include <QDir>
#include <QTest>
#include <QTimer>
#include <utility>

namespace brevin::test {

TempWorkDir::TempWorkDir() : m_previous(QDir::currentPath()) {
    QDir::setCurrent(m_dir.path());
}

TempWorkDir::~TempWorkDir() {
    QDir::setCurrent(m_previous);
}

std::string TempWorkDir::File(const QString& name) const {
    return QDir(m_dir.path()).filePath(name).toStdString();
}

ServerOptions LoopbackOptions() {
    ServerOptions options;
    options.address = "127.0.0.1";
    options.smtpPort = 0;
    options.pop3Port = 0;
    return options;
}

BoxRecorder::BoxRecorder() {
    m_previous = SetMessageBoxHandler([this](const BoxRequest& request) {
        m_shown.push_back(request);
        BoxAnswer answer = request.buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
        if (!m_answers.empty()) {
            answer = m_answers.front();
            m_answers.pop_front();
        }
        return answer;
    });
}

BoxRecorder::~BoxRecorder() {
    SetMessageBoxHandler(m_previous);
}

QStringList BoxRecorder::Texts() const {
    QStringList texts;
    for (const BoxRequest& request : m_shown) {
        texts << request.text;
    }
    return texts;
}

void WhenModalDialogOpens(std::function<void(QDialog&)> act) {
    // One timer, polling from inside whatever loop runs next; `act` may arm it again for a
    // dialog that it opens itself.
    static QTimer poll;
    static std::function<void(QDialog&)> pending;
    static int triesLeft = 0;
    static const bool connected = [] {
        poll.setInterval(0);
        QObject::connect(&poll, &QTimer::timeout, [] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog != nullptr && dialog->isVisible()) {
                poll.stop();
                std::exchange(pending, nullptr)(*dialog);
            } else if (--triesLeft <= 0) {
                poll.stop();
                pending = nullptr;
                QFAIL("no modal dialog opened");
            }
        });
        return true;
    }();
    (void)connected;
    pending = std::move(act);
    triesLeft = 1000;
    poll.start();
}

} // namespace brevin::test
