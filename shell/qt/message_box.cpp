#include "shell/qt/message_box.h"

#include <QMessageBox>
#include <utility>

namespace brevin {

namespace {

BoxAnswer RealMessageBox(const BoxRequest& request) {
    QMessageBox box(request.icon == BoxIcon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon,
                    request.caption, request.text,
                    request.buttons == BoxButtons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                                         : QMessageBox::Ok,
                    request.owner);
    const int answer = box.exec();
    if (request.buttons == BoxButtons::Ok) {
        return BoxAnswer::Ok;
    }
    return answer == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
}

MessageBoxHandler& Handler() {
    static MessageBoxHandler handler;
    return handler;
}

} // namespace

BoxAnswer ShowMessageBox(QWidget* owner, const QString& text, const QString& caption,
                         BoxButtons buttons, BoxIcon icon) {
    const BoxRequest request{owner, text, caption.isEmpty() ? kAppTitle : caption, buttons, icon};
    if (Handler()) {
        return Handler()(request);
    }
    return RealMessageBox(request);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    return std::exchange(Handler(), std::move(handler));
}

} // namespace brevin
