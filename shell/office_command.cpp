#include "shell/office_command.h"

#include "store/profile_file.h"
#include "store/recipients.h"
#include "store/users.h"

#include <charconv>
#include <ostream>

namespace brevin {

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr std::string_view kAliasUsage =
    "Usage: brevin alias list\n"
    "       brevin alias set NAME USER\n"
    "       brevin alias remove NAME\n"
    "\n"
    "An alias is another name for a user: mail to it lands in the user's INBOX, and the\n"
    "user may send as it.\n";

constexpr std::string_view kGroupUsage =
    "Usage: brevin group list\n"
    "       brevin group set NAME MEMBER...\n"
    "       brevin group remove NAME\n"
    "\n"
    "A group (distribution list) delivers one copy to each member. Members are users,\n"
    "aliases or other groups; a user reached twice gets one copy, and a group that would\n"
    "contain itself is refused. set replaces the members of an existing group.\n";

constexpr std::string_view kQuotaUsage =
    "Usage: brevin quota list\n"
    "       brevin quota set USER MIB      (USER \"*\": the default for every other user)\n"
    "       brevin quota remove USER\n"
    "\n"
    "A quota limits the size of all of a user's mailboxes together, in MiB. Mail that\n"
    "would not fit is refused for that user (452, the sender may try again later), and a\n"
    "user at 90% finds a notice in the INBOX once a day.\n";

int Usage(std::string_view command, std::string_view usage, std::ostream& err,
          const std::string& problem) {
    err << "brevin " << command << ": " << problem << "\n\n" << usage;
    return kUsage;
}

int Done(std::string_view command, bool ok, const std::string& error, std::ostream& out,
         std::ostream& err, const std::string& what) {
    if (!ok) {
        err << "brevin " << command << ": " << error << "\n";
        return kFailed;
    }
    out << what << "\n";
    return kOk;
}

/// A name as the desktop dialog stores it; a "*" stays itself.
std::string Name(const std::string& typed) {
    return typed == "*" ? typed : NormaliseUserName(typed);
}

int Alias(Recipients& recipients, const std::vector<std::string>& args, std::ostream& out,
          std::ostream& err) {
    const std::string& verb = args.front();
    std::string error;
    if (verb == "list" && args.size() == 1) {
        for (const auto& [name, user] : recipients.Aliases()) {
            out << name << " -> " << user << "\n";
        }
        return kOk;
    }
    if (verb == "set" && args.size() == 3) {
        const std::string name = Name(args[1]);
        const bool ok = recipients.SetAlias(name, Name(args[2]), error);
        return Done("alias", ok, error, out, err,
                    "alias " + name + " -> " + Name(args[2]) + " saved");
    }
    if (verb == "remove" && args.size() == 2) {
        const std::string name = Name(args[1]);
        const bool ok =
            recipients.KindOf(name) == NameKind::Alias && recipients.Remove(name, error);
        if (!ok && error.empty()) {
            error = "no alias named \"" + name + "\"";
        }
        return Done("alias", ok, error, out, err, "alias " + name + " removed");
    }
    return Usage("alias", kAliasUsage, err, "unknown action or wrong arguments");
}

int Group(Recipients& recipients, const std::vector<std::string>& args, std::ostream& out,
          std::ostream& err) {
    const std::string& verb = args.front();
    std::string error;
    if (verb == "list" && args.size() == 1) {
        for (const std::string& name : recipients.Lists()) {
            out << name << ":";
            for (const std::string& member : recipients.Members(name)) {
                out << " " << member;
            }
            out << "\n";
        }
        return kOk;
    }
    if (verb == "set" && args.size() >= 3) {
        const std::string name = Name(args[1]);
        std::vector<std::string> members;
        for (std::size_t i = 2; i < args.size(); ++i) {
            members.push_back(Name(args[i]));
        }
        const bool ok = recipients.SetList(name, members, error);
        return Done("group", ok, error, out, err,
                    "group " + name + " saved, " + std::to_string(members.size()) + " members");
    }
    if (verb == "remove" && args.size() == 2) {
        const std::string name = Name(args[1]);
        const bool ok = recipients.KindOf(name) == NameKind::List && recipients.Remove(name, error);
        if (!ok && error.empty()) {
            error = "no group named \"" + name + "\"";
        }
        return Done("group", ok, error, out, err, "group " + name + " removed");
    }
    return Usage("group", kGroupUsage, err, "unknown action or wrong arguments");
}

int Quota(Recipients& recipients, const std::vector<std::string>& args, std::ostream& out,
          std::ostream& err) {
    const std::string& verb = args.front();
    std::string error;
    if (verb == "list" && args.size() == 1) {
        for (const auto& [name, mib] : recipients.Quotas()) {
            out << name << " " << mib << " MiB\n";
        }
        return kOk;
    }
    if (verb == "set" && args.size() == 3) {
        const std::string name = Name(args[1]);
        std::uint64_t mib = 0;
        const std::string& typed = args[2];
        const auto [end, ec] = std::from_chars(typed.data(), typed.data() + typed.size(), mib);
        if (ec != std::errc() || end != typed.data() + typed.size()) {
            return Usage("quota", kQuotaUsage, err, "MIB must be a whole number of MiB");
        }
        const bool ok = recipients.SetQuota(name, mib, error);
        return Done("quota", ok, error, out, err,
                    "quota of " + name + " set to " + std::to_string(mib) + " MiB");
    }
    if (verb == "remove" && args.size() == 2) {
        const std::string name = Name(args[1]);
        const bool ok = recipients.SetQuota(name, std::nullopt, error);
        return Done("quota", ok, error, out, err, "quota of " + name + " removed");
    }
    return Usage("quota", kQuotaUsage, err, "unknown action or wrong arguments");
}

} // namespace

bool IsOfficeCommand(std::string_view word) {
    return word == "alias" || word == "group" || word == "quota";
}

int RunOfficeCommand(std::string_view command, const std::vector<std::string>& args,
                     const std::filesystem::path& profilePath, std::ostream& out,
                     std::ostream& err) {
    const std::string_view usage = command == "alias"   ? kAliasUsage
                                   : command == "group" ? kGroupUsage
                                                        : kQuotaUsage;
    if (args.empty()) {
        return Usage(command, usage, err, "say what to do: list, set or remove");
    }
    if (args.front() == "help" || args.front() == "--help" || args.front() == "-h") {
        out << usage;
        return kOk;
    }
    ProfileFile profile(profilePath);
    UserDirectory users(profile);
    Recipients recipients(users);
    if (command == "alias") {
        return Alias(recipients, args, out, err);
    }
    if (command == "group") {
        return Group(recipients, args, out, err);
    }
    return Quota(recipients, args, out, err);
}

} // namespace brevin
