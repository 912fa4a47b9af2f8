#pragma once

#include "store/profile_file.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// Working directory + "/" + the program file's base name + ".INI".
std::filesystem::path BuildProfilePath(const std::filesystem::path& workingDirectory,
                                       std::string_view programPath);

/// Why a name cannot be a user; empty when it can.
std::string UserNameProblem(std::string_view name);
/// Letters lower-cased, blanks turned into ".", as the administration dialog types names.
std::string NormaliseUserName(std::string_view typed);

struct UserRecord {
    std::string name;
    std::string folder; // relative to the store root
    /// For `Set`, as typed (it is stored hashed); from `Find`, as the profile holds it: a
    /// hash, or an earlier version's password in the clear.
    std::string password;
};

/// Why a user cannot be stored as given (its name; a folder that is not one plain name below the
/// store root; an empty password; a value the profile would not read back the same); empty
/// when it can.
std::string UserRecordProblem(const UserRecord& user);

/// The users of a profile and where their mail lives: the services, `brevin user` and the
/// desktop dialog all go through it. Every call reads the profile as it is on disk now, so a
/// change made by another process shows at once. It does not own the profile.
class UserDirectory {
public:
    explicit UserDirectory(ProfileFile& profile) : m_profile(profile) {}

    [[nodiscard]] ProfileFile& Profile() const { return m_profile; }

    /// The folder every mailbox folder lies in: the profile's setting, or (before start-up has
    /// settled one) "store" beside the profile. Reading it never writes the profile.
    [[nodiscard]] std::string StoreRoot() const;
    /// Start-up and `brevin user set`: makes the setting an absolute path when it is missing
    /// and creates the folder when missing.
    void SettleStoreRoot();

    /// User names in file order, up to a name beginning with "*", which ends the list.
    [[nodiscard]] std::vector<std::string> Names() const;
    /// The user's record, when the profile names it (folder or password may be empty).
    [[nodiscard]] std::optional<UserRecord> Find(std::string_view name) const;
    /// The full path of the user's mailbox folder; nothing for an unknown user, one without a
    /// folder, or one whose folder the administration tools would refuse (`../escape`, a path,
    /// a wildcard): the profile may have been edited by hand, and mail must never land outside
    /// the store. Such a folder is logged once.
    [[nodiscard]] std::optional<std::string> MailboxPath(std::string_view name) const;
    /// The mailbox folders of every user in the list (as `Names` ends it) that has one the
    /// administration tools would accept.
    [[nodiscard]] std::vector<std::string> MailboxPaths() const;
    /// The password as the profile holds it (for `PasswordMatches`), for a user with a mailbox
    /// (as `MailboxPath` accepts it) and a password; nothing otherwise. A worker that checks a
    /// login off the loop is handed this, read on the loop.
    [[nodiscard]] std::optional<std::string> StoredPassword(std::string_view name) const;
    /// True for a user with a mailbox and a password that `password` matches. A user without
    /// a password never logs in. Costs one hash (tens of milliseconds).
    [[nodiscard]] bool CheckPassword(std::string_view name, std::string_view password) const;
    /// Start-up: replaces every password the profile holds in the clear (as earlier versions
    /// stored them) with its hash, in one replacement of the profile that leaves no copy of
    /// the old one beside it. The number replaced; std::nullopt (with `error` set) when the
    /// profile could not be written, and then every password works as before.
    std::optional<std::size_t> HashPlainPasswords(std::string& error);

    /// `UserRecordProblem`, or a folder that another user already has; empty when none.
    [[nodiscard]] std::string RecordProblem(const UserRecord& user) const;
    /// Stores folder and password (hashed) in one replacement of the profile. False (with
    /// `error` set) when the record is refused (`RecordProblem`), the password cannot be
    /// hashed or the profile could not be written.
    bool Set(const UserRecord& user, std::string& error);
    /// Stores the folder and keeps the password the profile holds, refused as `Set` refuses it,
    /// and with "a password is required" for a user who has none yet.
    bool SetFolder(std::string_view name, std::string_view folder, std::string& error);
    /// Forgets the user; the folder and its mail stay. False (with `error`) for an unknown name.
    bool Remove(std::string_view name, std::string& error);

    /// The full path of a folder name below the store root.
    [[nodiscard]] std::string FolderPath(std::string_view folder) const;
    /// True when something of that name exists below the store root (a name with wildcards
    /// counts when anything matches it).
    [[nodiscard]] bool FolderExists(std::string_view folder) const;
    /// Creates a mailbox folder (one level) below the store root, readable by the server only.
    /// False with `error` set when it cannot be made.
    bool CreateFolder(std::string_view folder, std::string& error) const;

private:
    /// A folder that another user already has; empty when none.
    [[nodiscard]] std::string FolderClash(std::string_view name, std::string_view folder) const;
    /// The store root a setting of it names.
    [[nodiscard]] std::string RootOf(const std::string& setting) const;
    /// Whether the profile's folder of `name` may hold mail; logs one that may not, once.
    [[nodiscard]] bool UsableFolder(std::string_view name, std::string_view folder) const;

    ProfileFile& m_profile;
    mutable std::set<std::string, std::less<>> m_refusedLogged; // "name/folder" already logged
};

} // namespace brevin
