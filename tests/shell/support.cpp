#include "shell/support.h"

#include <QApplication>
#include <QDir>
#include <QTest>
#include <QTimer>

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

namespace {

void Poll(std::function<void(QDialog&)> act, int triesLeft) {
    QTimer::singleShot(0, [act = std::move(act), triesLeft]() mutable {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog != nullptr && dialog->isVisible()) {
            act(*dialog);
            return;
        }
        if (triesLeft == 0) {
            QFAIL("no modal dialog opened");
            return;
        }
        Poll(std::move(act), triesLeft - 1);
    });
}

} // namespace

void WhenModalDialogOpens(std::function<void(QDialog&)> act) {
    Poll(std::move(act), 1000);
}

} // namespace brevin::test
