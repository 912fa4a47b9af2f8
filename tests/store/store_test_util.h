#pragma once

// Scratch folders, whole files and child processes for the store tests.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace brevin::testing {

/// A fresh folder under the system's temporary folder, removed with everything in it.
struct ScratchDir {
    ScratchDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "brevin-store-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::filesystem::path path;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    if (!(std::ofstream(path, std::ios::binary) << content)) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

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
