#include "store/folder_state.h"

#include "store/folder_names.h"

#include <algorithm>
#include <utility>

namespace brevin {

namespace {

constexpr std::string_view kStateHeader = "brevin-folders 1";

std::optional<SpecialUse> SpecialUseFromAttribute(std::string_view attribute) {
    for (const auto& special : kSpecialUseFolders) {
        if (SpecialUseAttribute(special.use) == attribute) {
            return special.use;
        }
    }
    return std::nullopt;
}

bool IsAtOrBelow(const std::string& name, const std::string& folder) {
    return name == folder || name.starts_with(folder + kFolderSeparator);
}

} // namespace

void RenameFolderRecords(FolderState& state, const std::string& from, const std::string& to) {
    std::set<std::string> subscribed;
    for (const std::string& name : state.subscribed) {
        subscribed.insert(IsAtOrBelow(name, from) ? to + name.substr(from.size()) : name);
    }
    state.subscribed = std::move(subscribed);
    std::map<std::string, SpecialUse> uses;
    for (const auto& [name, use] : state.uses) {
        uses[IsAtOrBelow(name, from) ? to + name.substr(from.size()) : name] = use;
    }
    state.uses = std::move(uses);
}

std::optional<FolderState> ParseFolderState(std::string_view text) {
    FolderState state;
    bool first = true;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (std::exchange(first, false)) {
            if (line != kStateHeader) {
                return std::nullopt;
            }
            continue;
        }
        if (line == "special-use-made") {
            state.specialUseMade = true;
        } else if (line.starts_with("subscribed ")) {
            state.subscribed.emplace(line.substr(11));
        } else if (line.starts_with("use ")) {
            const std::string_view rest = line.substr(4);
            const std::size_t space = rest.find(' ');
            const auto use = SpecialUseFromAttribute(rest.substr(0, space));
            if (space != std::string_view::npos && use) {
                state.uses[std::string(rest.substr(space + 1))] = *use;
            }
        }
    }
    return state;
}

std::string FormatFolderState(const FolderState& state) {
    std::string text = std::string(kStateHeader) + "\n";
    if (state.specialUseMade) {
        text += "special-use-made\n";
    }
    for (const auto& [name, use] : state.uses) {
        text += "use " + std::string(SpecialUseAttribute(use)) + " " + name + "\n";
    }
    for (const std::string& name : state.subscribed) {
        text += "subscribed " + name + "\n";
    }
    return text;
}

std::string_view SpecialUseAttribute(SpecialUse use) {
    switch (use) {
    case SpecialUse::Sent:
        return "\\Sent";
    case SpecialUse::Drafts:
        return "\\Drafts";
    case SpecialUse::Trash:
        return "\\Trash";
    case SpecialUse::Junk:
        return "\\Junk";
    case SpecialUse::None:
        break;
    }
    return {};
}

} // namespace brevin
