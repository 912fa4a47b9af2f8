#include "store/users.h"

#include "base/log.h"
#include "base/text.h"
#include "store/passwords.h"
#include "store/store_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <glob.h>
#include <map>
#include <sys/stat.h>
#include <utility>

namespace brevin {

namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

bool HasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return IsControl(static_cast<unsigned char>(c)); });
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

/// Why a folder name cannot be a mailbox: it must name one folder right below the store root,
/// and nothing else (the server and the dialog also read wildcards in it as patterns).
std::string FolderProblem(std::string_view folder) {
    const std::string quoted = "the folder name \"" + std::string(folder) + "\"";
    if (folder.find('/') != std::string_view::npos) {
        return quoted + " contains \"/\": a folder is one name right below the store root";
    }
    if (folder == "." || folder == "..") {
        return quoted + " names no folder of its own below the store root";
    }
    if (folder.find_first_of("*?[]") != std::string_view::npos) {
        return quoted + " contains a wildcard character (*, ?, [ or ])";
    }
    return {};
}

/// The name and folder checks of `UserRecordProblem`.
std::string NameAndFolderProblem(std::string_view name, std::string_view folder) {
    std::string problem = UserNameProblem(name);
    if (problem.empty()) {
        problem = ValueProblem("the folder name", folder);
    }
    if (problem.empty()) {
        problem = FolderProblem(folder);
    }
    return problem;
}

std::string CannotWrite(const ProfileFile& profile) {
    return "cannot write " + profile.Path().string() + ": " + std::strerror(errno);
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
    std::string name = AsciiLower(typed);
    std::replace(name.begin(), name.end(), ' ', '.');
    return name;
}

std::string UserRecordProblem(const UserRecord& user) {
    std::string problem = NameAndFolderProblem(user.name, user.folder);
    if (problem.empty() && user.password.empty()) {
        problem = "a password is required";
    }
    if (problem.empty()) {
        problem = ValueProblem("the password", user.password);
    }
    return problem;
}

std::string UserDirectory::StoreRoot() const {
    return RootOf(m_profile.Read(layout::kServerSection, layout::kStoreRootKey, "*"));
}

std::string UserDirectory::RootOf(const std::string& setting) const {
    if (setting.starts_with('*')) {
        return (m_profile.Path().parent_path() / "store").string();
    }
    return setting;
}

void UserDirectory::SettleStoreRoot() {
    const std::string setting = m_profile.Read(layout::kServerSection, layout::kStoreRootKey, "*");
    const std::string root = StoreRoot();
    if (setting.starts_with('*')) {
        m_profile.Write(layout::kServerSection, layout::kStoreRootKey,
                        std::filesystem::absolute(root).string());
    }
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0) {
        ::mkdir(root.c_str(), layout::kFolderMode); // a failure shows when mail cannot be stored
    }
}

std::vector<std::string> UserDirectory::Names() const {
    std::vector<std::string> names = m_profile.Keys(layout::kUsersSection);
    const auto end = std::find_if(names.begin(), names.end(),
                                  [](const std::string& name) { return name.starts_with('*'); });
    names.erase(end, names.end());
    return names;
}

std::optional<UserRecord> UserDirectory::Find(std::string_view name) const {
    // Read once: Keys and Read each take a consistent look at the file.
    const auto names = m_profile.Keys(layout::kUsersSection);
    const auto passwords = m_profile.Keys(layout::kPasswordsSection);
    const auto named = [name](const std::string& key) { return EqualsIgnoringCase(key, name); };
    if (std::none_of(names.begin(), names.end(), named) &&
        std::none_of(passwords.begin(), passwords.end(), named)) {
        return std::nullopt;
    }
    return UserRecord{std::string(name), m_profile.Read(layout::kUsersSection, name, ""),
                      m_profile.Read(layout::kPasswordsSection, name, "")};
}

std::optional<std::string> UserDirectory::MailboxPath(std::string_view name) const {
    // One look at the profile for both: every RCPT asks.
    const ProfileRead reads[] = {{layout::kServerSection, layout::kStoreRootKey, "*"},
                                 {layout::kUsersSection, name, ""}};
    const std::vector<std::string> values = m_profile.Read(reads);
    if (values[1].empty() || !UsableFolder(name, values[1])) {
        return std::nullopt;
    }
    return RootOf(values[0]) + "/" + values[1];
}

bool UserDirectory::UsableFolder(std::string_view name, std::string_view folder) const {
    std::string problem = ValueProblem("the folder name", folder);
    if (problem.empty()) {
        problem = FolderProblem(folder);
    }
    if (problem.empty()) {
        return true;
    }
    std::string key = AsciiLower(name) + "/" + std::string(folder);
    if (m_refusedLogged.size() < 1024 && m_refusedLogged.insert(std::move(key)).second) {
        LogEvent("store", "folder-refused")
            .Add("user", name)
            .Add("folder", folder)
            .Add("reason", problem)
            .Failed();
    }
    return false;
}

std::vector<std::string> UserDirectory::MailboxPaths() const {
    const std::string root = StoreRoot();
    std::vector<std::string> paths;
    for (const auto& [name, folder] : m_profile.Entries(layout::kUsersSection)) {
        if (name.starts_with('*')) {
            break;
        }
        if (!folder.empty() && UsableFolder(name, folder)) {
            paths.push_back(root + "/" + folder);
        }
    }
    return paths;
}

std::optional<std::string> UserDirectory::StoredPassword(std::string_view name) const {
    const ProfileRead reads[] = {{layout::kUsersSection, name, ""},
                                 {layout::kPasswordsSection, name, ""}};
    std::vector<std::string> values = m_profile.Read(reads);
    if (values[0].empty() || values[1].empty() || !UsableFolder(name, values[0])) {
        return std::nullopt;
    }
    return std::move(values[1]);
}

bool UserDirectory::CheckPassword(std::string_view name, std::string_view password) const {
    const std::optional<std::string> stored = StoredPassword(name);
    return stored && PasswordMatches(*stored, password);
}

std::optional<std::size_t> UserDirectory::HashPlainPasswords(std::string& error) {
    error.clear();
    // Hashed before the profile is locked: each takes tens of milliseconds, and `brevin user`
    // must not wait for them all. Keyed by user as well, so that two users with the same
    // password still get hashes of their own.
    std::map<std::pair<std::string, std::string>, std::string> hashes;
    for (const auto& [name, value] : m_profile.Entries(layout::kPasswordsSection)) {
        if (value.empty() || IsPasswordHash(value)) {
            continue;
        }
        std::string hash = HashPassword(value);
        if (hash.empty()) {
            error = std::string("cannot hash the passwords: ") + std::strerror(errno);
            return std::nullopt;
        }
        hashes.emplace(std::pair(AsciiLower(name), value), std::move(hash));
    }
    if (hashes.empty()) {
        return 0;
    }
    const auto rewritten = m_profile.Rewrite(
        layout::kPasswordsSection,
        [&hashes](std::string_view name, std::string_view value) -> std::optional<std::string> {
            if (value.empty() || IsPasswordHash(value)) {
                return std::nullopt;
            }
            const auto found = hashes.find(std::pair(AsciiLower(name), std::string(value)));
            if (found != hashes.end()) {
                return found->second;
            }
            // A repeated key, or a password written in the clear meanwhile: rare enough to
            // hash under the lock.
            std::string hash = HashPassword(value);
            return hash.empty() ? std::nullopt : std::optional<std::string>(std::move(hash));
        });
    if (!rewritten) {
        error = CannotWrite(m_profile);
    }
    return rewritten;
}

std::string UserDirectory::FolderClash(std::string_view name, std::string_view folder) const {
    // Two users in one folder would each collect, and delete, the other's mail.
    for (const auto& [other, otherFolder] : m_profile.Entries(layout::kUsersSection)) {
        if (other.starts_with('*')) {
            break;
        }
        if (otherFolder == folder && !EqualsIgnoringCase(other, name)) {
            return "the folder \"" + std::string(folder) + "\" already belongs to user " + other;
        }
    }
    return {};
}

std::string UserDirectory::RecordProblem(const UserRecord& user) const {
    std::string problem = UserRecordProblem(user);
    if (!problem.empty()) {
        return problem;
    }
    // A name is a user, an alias or a list, never two of them.
    for (const auto& [section, what] : {std::pair(layout::kAliasesSection, "an alias"),
                                        std::pair(layout::kListsSection, "a list")}) {
        const auto names = m_profile.Keys(section);
        if (std::any_of(names.begin(), names.end(), [&](const std::string& other) {
                return EqualsIgnoringCase(other, user.name);
            })) {
            return "\"" + user.name + "\" is " + what;
        }
    }
    if (user.folder.empty()) {
        return problem;
    }
    return FolderClash(user.name, user.folder);
}

bool UserDirectory::Set(const UserRecord& user, std::string& error) {
    error = RecordProblem(user);
    if (!error.empty()) {
        return false;
    }
    const std::string hash = HashPassword(user.password);
    if (hash.empty()) {
        error = std::string("cannot hash the password: ") + std::strerror(errno);
        return false;
    }
    // Both keys in one replacement of the file: a user never has a folder without a password.
    const ProfileChange changes[] = {{layout::kUsersSection, user.name, user.folder},
                                     {layout::kPasswordsSection, user.name, hash}};
    if (!m_profile.Apply(changes)) {
        error = CannotWrite(m_profile);
        return false;
    }
    return true;
}

bool UserDirectory::SetFolder(std::string_view name, std::string_view folder, std::string& error) {
    error = NameAndFolderProblem(name, folder);
    if (error.empty() && !folder.empty()) {
        error = FolderClash(name, folder);
    }
    if (error.empty() && m_profile.Read(layout::kPasswordsSection, name, "").empty()) {
        error = "a password is required";
    }
    if (!error.empty()) {
        return false;
    }
    if (!m_profile.Write(layout::kUsersSection, name, folder)) {
        error = CannotWrite(m_profile);
        return false;
    }
    return true;
}

bool UserDirectory::Remove(std::string_view name, std::string& error) {
    error.clear();
    const auto unknown = [&] {
        error = "no user named \"" + std::string(name) + "\"";
        return false;
    };
    if (name.empty() || HasControl(name) || name.find('=') != std::string_view::npos) {
        return unknown();
    }
    const auto users = m_profile.Keys(layout::kUsersSection);
    const auto passwords = m_profile.Keys(layout::kPasswordsSection);
    const auto named = [name](const std::string& key) {
        return NormaliseUserName(key) == NormaliseUserName(name);
    };
    if (std::none_of(users.begin(), users.end(), named) &&
        std::none_of(passwords.begin(), passwords.end(), named)) {
        return unknown();
    }
    const ProfileChange changes[] = {{layout::kUsersSection, name, std::nullopt},
                                     {layout::kPasswordsSection, name, std::nullopt}};
    if (!m_profile.Apply(changes)) {
        error = CannotWrite(m_profile);
        return false;
    }
    return true;
}

std::string UserDirectory::FolderPath(std::string_view folder) const {
    return StoreRoot() + "/" + std::string(folder);
}

bool UserDirectory::FolderExists(std::string_view folder) const {
    const std::string path = FolderPath(folder);
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

bool UserDirectory::CreateFolder(std::string_view folder, std::string& error) const {
    const std::string path = FolderPath(folder);
    // One level: a folder name is not a path to build.
    if (::mkdir(path.c_str(), layout::kFolderMode) != 0 && errno != EEXIST) {
        error = "cannot create the folder " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "cannot create the folder " + path + ": something else has that name";
        return false;
    }
    return true;
}

} // namespace brevin
