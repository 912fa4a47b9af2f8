#include "shell/user_command.h"

#include "store/profile_file.h"
#include "store/users.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <istream>
#include <ostream>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace brevin {

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

void PrintUsage(std::ostream& stream) {
    stream << "Usage: brevin user list\n"
              "       brevin user set NAME FOLDER   (password read from standard input)\n"
              "       brevin user remove NAME\n"
              "\n"
              "list    shows every user with its mailbox folder and whether the folder exists.\n"
              "set     adds a user or changes one: FOLDER is relative to the store root and is\n"
              "        created when missing; the password is the first line of standard input.\n"
              "remove  forgets a user; its folder and the mail in it stay on disk.\n"
              "Names are stored as the desktop dialog stores them: letters in lower case,\n"
              "blanks turned into \".\".\n";
}

int UsageError(std::ostream& err, const std::string& problem) {
    err << "brevin user: " << problem << "\n\n";
    PrintUsage(err);
    return kUsage;
}

/// Turns terminal echo off for its lifetime when standard input is a terminal.
class HiddenInput {
public:
    HiddenInput() {
        if (::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &m_saved) == 0) {
            termios quiet = m_saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            m_active = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~HiddenInput() {
        if (m_active) {
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
        }
    }
    HiddenInput(const HiddenInput&) = delete;
    HiddenInput& operator=(const HiddenInput&) = delete;
    [[nodiscard]] bool Active() const { return m_active; }

private:
    termios m_saved{};
    bool m_active = false;
};

bool ReadPassword(std::istream& in, const std::string& name, std::ostream& err,
                  std::string& password) {
    bool ok = false;
    if (&in == &std::cin) {
        HiddenInput hidden;
        if (hidden.Active()) {
            err << "Password for " << name << ": " << std::flush;
        }
        ok = static_cast<bool>(std::getline(in, password));
        if (hidden.Active()) {
            err << "\n";
        }
    } else {
        ok = static_cast<bool>(std::getline(in, password));
    }
    if (ok && password.ends_with('\r')) {
        password.pop_back();
    }
    return ok;
}

std::string Describe(const std::string& typed, const std::string& name) {
    if (typed == name) {
        return "user " + name;
    }
    return "user " + name + " (typed as \"" + typed + "\")";
}

int ListUsers(const UserDirectory& users, std::ostream& out) {
    const std::vector<std::string> names = users.Names();
    if (names.empty()) {
        out << "No users. Add one with: brevin user set NAME FOLDER\n";
        return kOk;
    }
    const std::string root = users.StoreRoot();
    std::size_t nameWidth = 4;
    std::size_t folderWidth = 6;
    std::vector<std::string> folders;
    for (const std::string& name : names) {
        folders.push_back(users.Find(name).value_or(UserRecord{}).folder);
        nameWidth = std::max(nameWidth, name.size());
        folderWidth = std::max(folderWidth, folders.back().size());
    }
    out << "Store root: " << root << "\n";
    out << std::left << std::setw(static_cast<int>(nameWidth)) << "USER"
        << "  " << std::setw(static_cast<int>(folderWidth)) << "FOLDER"
        << "  "
        << "STATE\n";
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string state;
        if (folders[i].empty()) {
            state = "no folder set (the user receives no mail)";
        } else if (users.FolderExists(folders[i])) {
            state = "folder exists";
        } else {
            state = "folder missing";
        }
        out << std::setw(static_cast<int>(nameWidth)) << names[i] << "  "
            << std::setw(static_cast<int>(folderWidth)) << folders[i] << "  " << state << "\n";
    }
    return kOk;
}

int SetUserCommand(UserDirectory& users, const std::string& typed, const std::string& folder,
                   std::istream& in, std::ostream& out, std::ostream& err) {
    UserRecord user{NormaliseUserName(typed), folder, ""};
    if (const std::string problem = UserNameProblem(user.name); !problem.empty()) {
        err << "brevin user: refused: " << problem << "\n";
        return kFailed;
    }
    if (folder.empty()) {
        err << "brevin user: refused: the folder name is empty\n";
        return kFailed;
    }
    if (!ReadPassword(in, user.name, err, user.password)) {
        err << "brevin user: no password on standard input (give it as one line)\n";
        return kFailed;
    }
    if (const std::string problem = users.RecordProblem(user); !problem.empty()) {
        err << "brevin user: refused: " << problem << "\n";
        return kFailed;
    }

    // A profile without a store root gets the one the server would settle on at start-up.
    users.SettleStoreRoot();
    const std::string folderPath = users.FolderPath(folder);
    std::string error;
    bool created = false;
    if (!users.FolderExists(folder)) {
        if (!users.CreateFolder(folder, error)) {
            err << "brevin user: " << error << " (user not saved)\n";
            return kFailed;
        }
        created = true;
    }

    if (!users.Set(user, error)) {
        err << "brevin user: " << error << "\n";
        return kFailed;
    }
    out << Describe(typed, user.name) << " saved, folder " << folder << " (" << folderPath
        << (created ? ", created" : "") << ")\n";
    return kOk;
}

int RemoveUserCommand(UserDirectory& users, const std::string& typed, std::ostream& out,
                      std::ostream& err) {
    const std::string name = NormaliseUserName(typed);
    const std::string folder = users.Find(name).value_or(UserRecord{}).folder;
    std::string error;
    if (!users.Remove(name, error)) {
        err << "brevin user: " << error << "\n";
        return kFailed;
    }
    out << Describe(typed, name) << " removed";
    if (!folder.empty()) {
        out << "; its folder " << users.FolderPath(folder)
            << " and the mail in it were left in place";
    }
    out << "\n";
    return kOk;
}

/// What `brevin user` creates belongs to the owner of the profile's folder, not to whoever
/// ran it (often root through sudo): the service, running as that owner, must read it all.
class OwnedByFolderOwner {
public:
    explicit OwnedByFolderOwner(std::vector<std::filesystem::path> paths)
        : m_paths(std::move(paths)) {
        for (const auto& path : m_paths) {
            struct stat st {};
            m_existed.push_back(::lstat(path.c_str(), &st) == 0);
        }
    }
    OwnedByFolderOwner(const OwnedByFolderOwner&) = delete;
    OwnedByFolderOwner& operator=(const OwnedByFolderOwner&) = delete;
    ~OwnedByFolderOwner() {
        struct stat folder {};
        if (m_paths.empty() || ::stat(m_paths.front().parent_path().c_str(), &folder) != 0) {
            return;
        }
        for (std::size_t i = 0; i < m_paths.size(); ++i) {
            struct stat st {};
            if (!m_existed[i] && ::lstat(m_paths[i].c_str(), &st) == 0 &&
                (st.st_uid != folder.st_uid || st.st_gid != folder.st_gid)) {
                ::lchown(m_paths[i].c_str(), folder.st_uid, folder.st_gid);
            }
        }
    }

private:
    std::vector<std::filesystem::path> m_paths; // the profile first
    std::vector<bool> m_existed;
};

} // namespace

int RunUserCommand(const std::vector<std::string>& args, const std::filesystem::path& profilePath,
                   std::istream& in, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        return UsageError(err, "say what to do: list, set or remove");
    }
    const std::string& verb = args.front();
    if (verb == "help" || verb == "--help" || verb == "-h") {
        PrintUsage(out);
        return kOk;
    }
    ProfileFile profile(profilePath);
    UserDirectory users(profile);
    std::vector<std::filesystem::path> created{profilePath};
    for (auto& companion : profile.CompanionPaths()) {
        created.push_back(std::move(companion));
    }
    created.emplace_back(users.StoreRoot());
    if (verb == "set" && args.size() == 3) {
        created.emplace_back(users.FolderPath(args[2]));
    }
    const OwnedByFolderOwner owned(std::move(created));
    if (verb == "list") {
        if (args.size() != 1) {
            return UsageError(err, "list takes no arguments");
        }
        return ListUsers(users, out);
    }
    if (verb == "set") {
        if (args.size() != 3) {
            return UsageError(err, "set takes a NAME and a FOLDER (the password comes from "
                                   "standard input, never from the command line)");
        }
        return SetUserCommand(users, args[1], args[2], in, out, err);
    }
    if (verb == "remove") {
        if (args.size() != 2) {
            return UsageError(err, "remove takes one NAME");
        }
        return RemoveUserCommand(users, args[1], out, err);
    }
    return UsageError(err, "unknown action \"" + verb + "\"");
}

} // namespace brevin
