#include "shell/qt/lock_state.h"

#include <QGuiApplication>

#if BREVIN_HAVE_XKB
// Xlib's macros (None, Bool, Status...) would clash with Qt's names; it comes last.
#include <X11/XKBlib.h>
#endif

namespace brevin {

LockState ReadLockState() {
    LockState state;
#if BREVIN_HAVE_XKB
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 != nullptr ? x11->display() : nullptr;
    if (display == nullptr) {
        return state;
    }
    const auto lit = [display](const char* name) {
        const Atom atom = XInternAtom(display, name, True);
        int on = 0;
        return atom != 0 && XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr) &&
               on != 0;
    };
    state.caps = lit("Caps Lock");
    state.num = lit("Num Lock");
    state.scroll = lit("Scroll Lock");
#endif
    return state;
}

} // namespace brevin
