#pragma once

#include "shell/options.h"
#include "shell/qt/message_box.h"

#include <QDialog>
#include <QString>
#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <vector>

namespace brevin::test {

/// A fresh temporary folder that is the working directory while this object lives.
class TempWorkDir {
public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    [[nodiscard]] QString Path() const { return m_dir.path(); }
    [[nodiscard]] std::string File(const QString& name) const;

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

/// Listeners on the loopback address, on ports the system picks.
ServerOptions LoopbackOptions();

/// Answers every message box while it lives and records what each one showed. Boxes take the
/// queued answers in order; a box with an empty queue gets OK (or No for a question).
class BoxRecorder {
public:
    BoxRecorder();
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    void Answer(BoxAnswer answer) { m_answers.push_back(answer); }
    [[nodiscard]] const std::vector<BoxRequest>& Shown() const { return m_shown; }
    [[nodiscard]] QStringList Texts() const;

private:
    MessageBoxHandler m_previous;
    std::deque<BoxAnswer> m_answers;
    std::vector<BoxRequest> m_shown;
};

/// Runs `act` on the next modal dialog once its own loop runs (for code that calls exec()).
/// Fails the test when no dialog turns up.
void WhenModalDialogOpens(std::function<void(QDialog&)> act);

} // namespace brevin::test
