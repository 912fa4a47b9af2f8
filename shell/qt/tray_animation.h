#pragma once

namespace brevin {

/// Which tray image each animation tick shows. The phase starts at 0 and flips before the
/// image is chosen, so the first tick repeats the main image: main for four seconds, then
/// the two alternate.
class TrayAnimation {
public:
    /// One tick; true when the main image is to be shown.
    bool Tick() {
        m_phase = 1 - m_phase;
        return m_phase == 1;
    }
    [[nodiscard]] int Phase() const { return m_phase; }

private:
    int m_phase = 0;
};

} // namespace brevin
