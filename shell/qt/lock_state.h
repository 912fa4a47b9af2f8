#pragma once

namespace brevin {

struct LockState {
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

/// The keyboard's lock states as the display server reports them; all off when it cannot
/// tell (no X11 connection).
LockState ReadLockState();

} // namespace brevin
