#pragma once

#include "shell/options.h"
#include "shell/qt/message_box.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <vector>

namespace brevin::test {

/// A fresh temporary folder that is the working directory while this object lives.
class TempWorkDir {
public:
    TempWorkDir() { QDir::setCurrent(m_dir.path()); }
    ~TempWorkDir() { QDir::setCurrent(m_previous); }

    [[nodiscard]] QString Path() const { return m_dir.path(); }
    [[nodiscard]] std::string File(const QString& name) const {
        return QDir(m_dir.path()).filePath(name).toStdString();
    }

private:
    QString m_previous = QDir::currentPath();
    QTemporaryDir m_dir;
};

/// Listeners on the loopback address, on ports the system picks.
inline ServerOptions LoopbackOptions() {
    ServerOptions options;
    options.address = "127.0.0.1";
    options.smtpPort = options.pop3Port = 0;
    return options;
}

/// Answers every message box while it lives and records what each one showed. Boxes take the
/// queued answers in order; a box with an empty queue gets OK (or No for a question).
class BoxRecorder {
public:
    BoxRecorder() {
        m_previous = SetMessageBoxHandler([this](const BoxRequest& request) {
            m_shown.push_back(request);
            if (m_answers.isEmpty()) {
                return request.buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
            }
            return m_answers.takeFirst();
        });
    }
    ~BoxRecorder() { SetMessageBoxHandler(m_previous); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    void Answer(BoxAnswer answer) { m_answers.push_back(answer); }
    [[nodiscard]] const std::vector<BoxRequest>& Shown() const { return m_shown; }
    [[nodiscard]] QStringList Texts() const {
        QStringList texts;
        for (const BoxRequest& request : m_shown) {
            texts << request.text;
        }
        return texts;
    }

private:
    MessageBoxHandler m_previous;
    QList<BoxAnswer> m_answers;
    std::vector<BoxRequest> m_shown;
};

/// Runs `act` on the next modal dialog once its own loop runs (for code that calls exec()).
/// Fails the test when no dialog turns up.
inline void WhenModalDialogOpens(std::function<void(QDialog&)> act, int triesLeft = 1000) {
    QTimer::singleShot(0, [act = std::move(act), triesLeft]() mutable {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog != nullptr && dialog->isVisible()) {
            act(*dialog);
        } else if (triesLeft > 0) {
            WhenModalDialogOpens(std::move(act), triesLeft - 1);
        } else {
            QFAIL("no modal dialog opened");
        }
    });
}

} // namespace brevin::test
