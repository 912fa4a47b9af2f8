#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace brevin {

enum class BoxButtons { Ok, YesNo };
enum class BoxIcon { None, Stop };
enum class BoxAnswer { Ok, Yes, No };

/// Everything a message box shows. An empty caption has already become "Brevin".
struct BoxRequest {
    QWidget* owner = nullptr;
    QString text;
    QString caption;
    BoxButtons buttons = BoxButtons::Ok;
    BoxIcon icon = BoxIcon::None;
};

using MessageBoxHandler = std::function<BoxAnswer(const BoxRequest& request)>;

/// The one way the desktop shows a message box. A box without a caption of its own shows the
/// application title.
BoxAnswer ShowMessageBox(QWidget* owner, const QString& text, const QString& caption = {},
                         BoxButtons buttons = BoxButtons::Ok, BoxIcon icon = BoxIcon::None);

/// Replaces what `ShowMessageBox` does (tests answer the boxes); an empty handler restores
/// the real boxes. Returns the handler in place before.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

/// The application title, the caption of boxes that have none.
inline const QString kAppTitle = QStringLiteral("Brevin");

} // namespace brevin
