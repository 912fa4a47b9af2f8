#pragma once

#include <string_view>

namespace brevin {

/// What start-up asks of the windows. The desktop shell shows real ones; the console has none
/// and writes message boxes to stderr. Start-up itself lives in `ServerApp::Start`,
/// so the two cannot take the steps in different orders.
class WindowSide {
public:
    virtual ~WindowSide() = default;

    virtual void LoadIcons() {}
    virtual void ShowSplash() {}
    virtual void SetDialogColours() {}
    virtual void CreateMainFrame() {}
    virtual void HideMainWindow() {}

    /// A message for the administrator; one OK button.
    virtual void MessageBox(std::string_view text, std::string_view caption) = 0;
    /// Something worth knowing that needs no answer: a line on the console; the desktop shows
    /// it where it belongs (the "How to access" dialog shows the address).
    virtual void Notice(std::string_view /*text*/, std::string_view /*caption*/) {}
};

} // namespace brevin
