#pragma once

#include "shell/server_app.h"

namespace brevin {

/// Runs the server without windows: message boxes become lines on stderr, SIGTERM and SIGINT
/// end it. Returns the process exit status.
int RunConsole(ServerApp& app);

} // namespace brevin
