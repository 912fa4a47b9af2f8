#pragma once

// Names beyond the users: aliases (another name for one user) and distribution lists (a name
// for several users and lists), and each user's mailbox quota. They live in sections of their
// own in the profile, so a profile written here still delivers to its users when an earlier
// version reads it, which knows nothing of these sections.

#include "store/users.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brevin {

enum class NameKind : std::uint8_t { None, User, Alias, List };

/// Aliases, lists and quotas of one profile, read from disk at every call as the users are.
/// The command line and the desktop dialog change them through the same calls, so both refuse
/// the same things with the same reasons.
class Recipients {
public:
    /// Lists may hold lists, this deep at most (saving refuses deeper ones).
    static constexpr int kMaxNesting = 8;

    explicit Recipients(UserDirectory& users) : m_users(users) {}

    /// What `name` is (names compare as user names do: without regard to letter case).
    [[nodiscard]] NameKind KindOf(std::string_view name) const;
    /// The users that mail to `name` reaches, each once, in the order the lists name them: the
    /// user itself, an alias's user, a list's members with its lists expanded. Empty for a name
    /// that is none of these (or a list whose members are all gone).
    [[nodiscard]] std::vector<std::string> Expand(std::string_view name) const;
    /// The user who may send as `name`: the user itself, or the user an alias names; empty for
    /// anything else (nobody sends as a list).
    [[nodiscard]] std::string SenderOf(std::string_view name) const;

    /// Alias names with their users, in file order.
    [[nodiscard]] std::vector<std::pair<std::string, std::string>> Aliases() const;
    /// List names in file order, and a list's members as saved.
    [[nodiscard]] std::vector<std::string> Lists() const;
    [[nodiscard]] std::vector<std::string> Members(std::string_view list) const;

    /// Why `name` cannot be an alias of `user`; empty when it can.
    [[nodiscard]] std::string AliasProblem(std::string_view name, std::string_view user) const;
    bool SetAlias(std::string_view name, std::string_view user, std::string& error);
    /// Why `name` cannot be a list of `members` (unknown members, the name taken, a loop, too
    /// deep); empty when it can.
    [[nodiscard]] std::string ListProblem(std::string_view name,
                                          const std::vector<std::string>& members) const;
    bool SetList(std::string_view name, const std::vector<std::string>& members,
                 std::string& error);
    /// Removes an alias or a list; refused for a list that another list holds.
    bool Remove(std::string_view name, std::string& error);

    /// The user's quota in bytes: their own, else the default; nothing for no limit.
    [[nodiscard]] std::optional<std::uint64_t> QuotaBytes(std::string_view user) const;
    /// Quotas in MiB as saved: each user's, and the default under the name "*".
    [[nodiscard]] std::vector<std::pair<std::string, std::uint64_t>> Quotas() const;
    /// Sets (or with nothing, removes) a user's quota in MiB; `user` "*" is the default.
    bool SetQuota(std::string_view user, std::optional<std::uint64_t> mib, std::string& error);

private:
    /// Why `name` cannot be saved as a `kind`: not a user name as the tools write them, or
    /// another kind of name already.
    [[nodiscard]] std::string NewNameProblem(std::string_view name, NameKind kind) const;

    UserDirectory& m_users;
};

} // namespace brevin
