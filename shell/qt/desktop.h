#pragma once

namespace brevin {

class ServerApp;

/// Returned by `RunDesktop` when no display could be opened; the caller runs headless.
constexpr int kNoDisplay = -1;

/// Runs the server with its windows: splash, hidden main window, tray icon, dialogs. The
/// loop's descriptor is watched from Qt's event loop, so mail flows while menus and modal
/// dialogs are open. Returns the process exit status, or `kNoDisplay`.
int RunDesktop(ServerApp& app, int& argc, char** argv);

} // namespace brevin
