#include "store/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <glob.h>
#include <sys/stat.h>

namespace brevin {

namespace {

constexpr std::string_view kSection = "BREVIN";
constexpr std::string_view kStoreKey = "store";
constexpr std::string_view kCounterKey = "conta";
constexpr std::string_view kUsers = "USERS";
constexpr std::string_view kPasswords = "PWD";

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

bool HasControl(std::string_view text) {
    for (const char c : text) {
        if (IsControl(static_cast<unsigned char>(c))) {
            return true;
        }
    }
    return false;
}

/// What the profile can hold as a value that reads back the same.
std::string ValueProblem(std::string_view what, std::string_view value) {
    if (HasControl(value)) {
        return std::string(what) + " must not contain control characters";
    }
    if (value.size() > ProfileFile::kMaxValue) {
        return std::string(what) + " is longer than 254 characters";
    }
    if (!value.empty() && (value.front() == ' ' || value.back() == ' ')) {
        return std::string(what) + " must not begin or end with a blank";
    }
    return {};
}

} // namespace

std::filesystem::path BuildProfilePath(const std::filesystem::path& workingDirectory,
                                       std::string_view programPath) {
    std::string base = std::filesystem::path(programPath).stem().string();
    if (base.empty()) {
        base = "brevin";
    }
    return workingDirectory / (base + ".INI");
}

std::string ReadStoreRoot(const ProfileFile& profile) {
    return profile.Read(kSection, kStoreKey, "zzz");
}

std::string ReadStoreRoot(ProfileFile& profile, const std::string& fallback) {
    std::string root = profile.Read(kSection, kStoreKey, "*");
    if (!root.starts_with('*')) {
        return root;
    }
    profile.Write(kSection, kStoreKey, fallback);
    return fallback;
}

std::uint32_t ParseCounter(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t number = 0; // unsigned arithmetic wraps modulo 2^32, as wanted
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        number = number * 10U + static_cast<std::uint32_t>(text[i] - '0');
    }
    return negative ? 0U - number : number;
}

std::uint32_t TakeMessageNumber(ProfileFile& profile) {
    return TakeMessageNumbers(profile, 1);
}

std::uint32_t TakeMessageNumbers(ProfileFile& profile, std::uint32_t count) {
    // A message file is never created over an existing one, so a counter update lost in a
    // power cut only costs a retry: the profile is replaced atomically but not flushed twice.
    const std::string stored = profile.Update(
        kSection, kCounterKey, "0",
        [count](std::string_view value) {
            char next[16];
            const std::uint32_t following = ParseCounter(value) + count; // wraps at 2^32
            std::snprintf(next, sizeof next, "%lu", static_cast<unsigned long>(following));
            return std::string(next);
        },
        ProfileSync::Atomic);
    return ParseCounter(stored);
}

bool FolderExists(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    if (path.find_first_of("*?[") != std::string::npos) {
        // Wildcards act as patterns: anything matching counts.
        glob_t found{};
        const bool any =
            ::glob(path.c_str(), GLOB_NOSORT, nullptr, &found) == 0 && found.gl_pathc > 0;
        ::globfree(&found);
        if (any) {
            return true;
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::size_t LoadUserList(const ProfileFile& profile, listas*& userList) {
    std::size_t count = 0;
    for (const std::string& name : profile.Keys(kUsers)) {
        if (name.starts_with('*')) {
            break; // a key beginning with "*" ends the list
        }
        AppendText(userList, name);
        ++count;
    }
    return count;
}

bool EnsureStoreRoot(ProfileFile& profile, const std::filesystem::path& workingDirectory) {
    std::string root = profile.Read(kSection, kStoreKey, "*");
    if (root.starts_with('*')) {
        root = (workingDirectory / "store").string();
        profile.Write(kSection, kStoreKey, root);
    }
    if (!FolderExists(root)) {
        ::mkdir(root.c_str(), 0700); // a failure shows later, when mail cannot be stored
    }
    return true;
}

std::string UserNameProblem(std::string_view name) {
    const std::string quoted = "user name \"" + std::string(name) + "\"";
    if (name.empty()) {
        return "the user name is empty";
    }
    if (HasControl(name)) {
        return "the user name contains a control character";
    }
    if (name.find_first_of("=[]") != std::string_view::npos) {
        return quoted + " contains \"=\", \"[\" or \"]\", which the profile cannot hold in a name";
    }
    if (name.front() == '*') {
        return quoted + " begins with \"*\", which would end the user list";
    }
    if (name.front() == ';') {
        return quoted + " begins with \";\", which would make it a comment";
    }
    if (name.front() == ' ' || name.back() == ' ') {
        return quoted + " begins or ends with a blank";
    }
    return {};
}

std::string NormaliseUserName(std::string_view typed) {
    std::string name(typed);
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        } else if (c == ' ') {
            c = '.';
        }
    }
    return name;
}

std::string UserRecordProblem(const UserRecord& user) {
    std::string problem = UserNameProblem(user.name);
    if (problem.empty()) {
        problem = ValueProblem("the folder name", user.folder);
    }
    if (problem.empty()) {
        problem = ValueProblem("the password", user.password);
    }
    return problem;
}

bool SetUser(ProfileFile& profile, const UserRecord& user, std::string& error) {
    error = UserRecordProblem(user);
    if (!error.empty()) {
        return false;
    }
    // Both keys in one replacement of the file: a user never has a folder without a password.
    const ProfileChange changes[] = {{kUsers, user.name, user.folder},
                                     {kPasswords, user.name, user.password}};
    if (!profile.Apply(changes)) {
        error = "cannot write " + profile.Path().string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool RemoveUser(ProfileFile& profile, std::string_view name, std::string& error) {
    error.clear();
    if (name.empty() || HasControl(name) || name.find('=') != std::string_view::npos) {
        error = "no user named \"" + std::string(name) + "\"";
        return false;
    }
    const auto users = profile.Keys(kUsers);
    const auto passwords = profile.Keys(kPasswords);
    const auto named = [name](const std::string& key) {
        return NormaliseUserName(key) == NormaliseUserName(name);
    };
    if (std::none_of(users.begin(), users.end(), named) &&
        std::none_of(passwords.begin(), passwords.end(), named)) {
        error = "no user named \"" + std::string(name) + "\"";
        return false;
    }
    const ProfileChange changes[] = {{kUsers, name, std::nullopt},
                                     {kPasswords, name, std::nullopt}};
    if (!profile.Apply(changes)) {
        error = "cannot write " + profile.Path().string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace brevin
