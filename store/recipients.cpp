#include "store/recipients.h"

#include "base/text.h"
#include "store/store_layout.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>

namespace brevin {

namespace {

constexpr std::string_view kMemberValue = "member";
constexpr std::string_view kDefaultQuota = "*";
constexpr std::uint64_t kMiB = 1024 * 1024;
/// 16 TiB: any larger figure is a typing error.
constexpr std::uint64_t kMostQuotaMiB = 16ULL * 1024 * 1024;

std::string ListSection(std::string_view list) {
    return std::string(layout::kListSectionPrefix) + AsciiLower(list);
}

bool Named(const std::vector<std::string>& keys, std::string_view name) {
    return std::any_of(keys.begin(), keys.end(),
                       [name](const std::string& key) { return EqualsIgnoringCase(key, name); });
}

std::string Quoted(std::string_view name) {
    std::string quoted(1, '"'); // built in steps: GCC 12 misreads "\"" + name (bug 105651)
    quoted.append(name).push_back('"');
    return quoted;
}

std::string CannotWrite(const ProfileFile& profile) {
    return "cannot write " + profile.Path().string() + ": " + std::strerror(errno);
}

} // namespace

NameKind Recipients::KindOf(std::string_view name) const {
    ProfileFile& profile = m_users.Profile();
    if (name.empty()) {
        return NameKind::None;
    }
    if (m_users.Find(name)) {
        return NameKind::User;
    }
    if (Named(profile.Keys(layout::kAliasesSection), name)) {
        return NameKind::Alias;
    }
    if (Named(profile.Keys(layout::kListsSection), name)) {
        return NameKind::List;
    }
    return NameKind::None;
}

std::vector<std::string> Recipients::Expand(std::string_view name) const {
    std::vector<std::string> users;
    std::vector<std::string> listsSeen;
    const std::function<void(std::string_view, int)> walk = [&](std::string_view next, int depth) {
        switch (KindOf(next)) {
        case NameKind::User:
            if (!Named(users, next)) {
                users.emplace_back(AsciiLower(next));
            }
            break;
        case NameKind::Alias:
            if (const std::string user = m_users.Profile().Read(layout::kAliasesSection, next, "");
                KindOf(user) == NameKind::User && !Named(users, user)) {
                users.push_back(AsciiLower(user));
            }
            break;
        case NameKind::List:
            // A loop or a nesting too deep (a hand-edited profile) ends the walk there.
            if (depth > kMaxNesting || Named(listsSeen, next)) {
                break;
            }
            listsSeen.emplace_back(next);
            for (const std::string& member : Members(next)) {
                walk(member, depth + 1);
            }
            break;
        case NameKind::None:
            break;
        }
    };
    walk(name, 0);
    return users;
}

std::string Recipients::SenderOf(std::string_view name) const {
    switch (KindOf(name)) {
    case NameKind::User:
        return AsciiLower(name);
    case NameKind::Alias:
        return AsciiLower(m_users.Profile().Read(layout::kAliasesSection, name, ""));
    default:
        return {};
    }
}

std::vector<std::pair<std::string, std::string>> Recipients::Aliases() const {
    return m_users.Profile().Entries(layout::kAliasesSection);
}

std::vector<std::string> Recipients::Lists() const {
    return m_users.Profile().Keys(layout::kListsSection);
}

std::vector<std::string> Recipients::Members(std::string_view list) const {
    return m_users.Profile().Keys(ListSection(list));
}

std::string Recipients::NewNameProblem(std::string_view name, NameKind kind) const {
    if (std::string problem = UserNameProblem(name); !problem.empty()) {
        return problem;
    }
    if (name != NormaliseUserName(name)) {
        return "the name " + Quoted(name) + " must be written " + Quoted(NormaliseUserName(name));
    }
    // A name is one thing only; saving it again as the same kind replaces it.
    const NameKind now = KindOf(name);
    if (now == NameKind::None || now == kind) {
        return {};
    }
    return Quoted(name) + (now == NameKind::User    ? " is a user"
                           : now == NameKind::Alias ? " is an alias"
                                                    : " is a list");
}

std::string Recipients::AliasProblem(std::string_view name, std::string_view user) const {
    if (std::string problem = NewNameProblem(name, NameKind::Alias); !problem.empty()) {
        return problem;
    }
    if (KindOf(user) != NameKind::User) {
        return "no user named " + Quoted(user);
    }
    return {};
}

bool Recipients::SetAlias(std::string_view name, std::string_view user, std::string& error) {
    error = AliasProblem(name, user);
    if (!error.empty()) {
        return false;
    }
    if (!m_users.Profile().Write(layout::kAliasesSection, name, AsciiLower(user))) {
        error = CannotWrite(m_users.Profile());
        return false;
    }
    return true;
}

std::string Recipients::ListProblem(std::string_view name,
                                    const std::vector<std::string>& members) const {
    if (std::string problem = NewNameProblem(name, NameKind::List); !problem.empty()) {
        return problem;
    }
    if (members.empty()) {
        return "a list needs at least one member";
    }
    // The depth of the deepest list below `list`, or nothing when `name` lies on the way:
    // saving this list would make a loop.
    const std::function<std::optional<int>(std::string_view, int)> depthBelow =
        [&](std::string_view list, int depth) -> std::optional<int> {
        if (EqualsIgnoringCase(list, name)) {
            return std::nullopt;
        }
        int deepest = depth;
        if (depth > kMaxNesting) {
            return deepest;
        }
        for (const std::string& member : Members(list)) {
            if (KindOf(member) == NameKind::List || EqualsIgnoringCase(member, name)) {
                const auto below = depthBelow(member, depth + 1);
                if (!below) {
                    return std::nullopt;
                }
                deepest = std::max(deepest, *below);
            }
        }
        return deepest;
    };
    for (const std::string& member : members) {
        if (EqualsIgnoringCase(member, name)) {
            return "the list " + Quoted(name) + " cannot contain itself";
        }
        const NameKind kind = KindOf(member);
        if (kind == NameKind::None) {
            return "no user, alias or list named " + Quoted(member);
        }
        if (kind != NameKind::List) {
            continue;
        }
        const auto depth = depthBelow(member, 1);
        if (!depth) {
            return "the list " + Quoted(member) + " contains " + Quoted(name) +
                   ", which would make a loop";
        }
        if (*depth >= kMaxNesting) {
            return "lists may hold lists " + std::to_string(kMaxNesting) + " deep at most";
        }
    }
    return {};
}

bool Recipients::SetList(std::string_view name, const std::vector<std::string>& members,
                         std::string& error) {
    error = ListProblem(name, members);
    if (!error.empty()) {
        return false;
    }
    const std::string section = ListSection(name);
    std::vector<std::string> keep; // the lower-cased names outlive the changes that point at them
    keep.reserve(members.size());
    for (const std::string& member : members) {
        keep.push_back(AsciiLower(member));
    }
    std::vector<ProfileChange> changes;
    for (const std::string& old : Members(name)) {
        if (!Named(keep, old)) {
            changes.push_back({section, old, std::nullopt});
        }
    }
    for (const std::string& member : keep) {
        changes.push_back({section, member, kMemberValue});
    }
    const std::string size = std::to_string(keep.size());
    changes.push_back({layout::kListsSection, name, size});
    if (!m_users.Profile().Apply(changes)) {
        error = CannotWrite(m_users.Profile());
        return false;
    }
    return true;
}

bool Recipients::Remove(std::string_view name, std::string& error) {
    error.clear();
    std::vector<ProfileChange> changes;
    const std::string section = ListSection(name);
    const std::vector<std::string> members = Members(name);
    switch (KindOf(name)) {
    case NameKind::Alias:
        changes.push_back({layout::kAliasesSection, name, std::nullopt});
        break;
    case NameKind::List:
        for (const std::string& list : Lists()) {
            if (!EqualsIgnoringCase(list, name) && Named(Members(list), name)) {
                error = "the list " + Quoted(list) + " holds " + Quoted(name) +
                        "; remove it there first";
                return false;
            }
        }
        for (const std::string& member : members) {
            changes.push_back({section, member, std::nullopt});
        }
        changes.push_back({layout::kListsSection, name, std::nullopt});
        break;
    default:
        error = "no alias or list named " + Quoted(name);
        return false;
    }
    if (!m_users.Profile().Apply(changes)) {
        error = CannotWrite(m_users.Profile());
        return false;
    }
    return true;
}

std::optional<std::uint64_t> Recipients::QuotaBytes(std::string_view user) const {
    const ProfileRead reads[] = {{layout::kQuotaSection, user, ""},
                                 {layout::kQuotaSection, kDefaultQuota, ""}};
    for (const std::string& value : m_users.Profile().Read(reads)) {
        std::uint64_t mib = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), mib);
        if (!value.empty() && ec == std::errc() && end == value.data() + value.size() &&
            mib <= kMostQuotaMiB) {
            return mib * kMiB;
        }
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::uint64_t>> Recipients::Quotas() const {
    std::vector<std::pair<std::string, std::uint64_t>> quotas;
    for (const auto& [name, value] : m_users.Profile().Entries(layout::kQuotaSection)) {
        std::uint64_t mib = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), mib);
        if (ec == std::errc() && end == value.data() + value.size()) {
            quotas.emplace_back(name, mib);
        }
    }
    return quotas;
}

bool Recipients::SetQuota(std::string_view user, std::optional<std::uint64_t> mib,
                          std::string& error) {
    error.clear();
    if (user != kDefaultQuota && KindOf(user) != NameKind::User) {
        error = "no user named " + Quoted(user);
        return false;
    }
    if (mib && (*mib == 0 || *mib > kMostQuotaMiB)) {
        error = "a quota is between 1 and " + std::to_string(kMostQuotaMiB) + " MiB";
        return false;
    }
    const std::string value = mib ? std::to_string(*mib) : std::string();
    const ProfileChange change{layout::kQuotaSection, user,
                               mib ? std::optional<std::string_view>(value) : std::nullopt};
    if (!m_users.Profile().Apply({&change, 1})) {
        error = CannotWrite(m_users.Profile());
        return false;
    }
    return true;
}

} // namespace brevin
