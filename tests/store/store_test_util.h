#pragma once

// Folder listings and child processes for the store tests.

#include "support/files.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace brevin::testing {

/// Names in a folder, sorted, hidden ones included.
inline std::vector<std::string> FolderNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

/// Runs `body` in a child process, which exits 0 when it returns true.
inline pid_t Spawn(const std::function<bool()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(body() ? 0 : 1);
    }
    return child;
}

/// Waits for `child`: its exit code, or -1 when it did not exit normally.
inline int Wait(pid_t child) {
    int status = 0;
    const bool exited = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status);
    return exited ? WEXITSTATUS(status) : -1;
}

} // namespace brevin::testing
