#include "imap/selected_folder.h"

#include "store/folder_index.h"

#include <algorithm>

namespace brevin::imap {

std::vector<std::string> FlagNames(const MessageFlags& flags,
                                   const std::vector<std::string>& keywords) {
    static constexpr std::pair<std::uint8_t, const char*> kSystem[] = {
        {system_flag::kSeen, "\\Seen"},       {system_flag::kAnswered, "\\Answered"},
        {system_flag::kFlagged, "\\Flagged"}, {system_flag::kDeleted, "\\Deleted"},
        {system_flag::kDraft, "\\Draft"},
    };
    std::vector<std::string> names;
    for (const auto& [bit, name] : kSystem) {
        if ((flags.system & bit) != 0) {
            names.emplace_back(name);
        }
    }
    for (std::size_t i = 0; i < keywords.size(); ++i) {
        if ((flags.keywords >> i & 1U) != 0) {
            names.push_back(keywords[i]);
        }
    }
    return names;
}

std::string FlagsText(const MessageFlags& flags, const std::vector<std::string>& keywords) {
    std::string text = "(";
    for (const std::string& name : FlagNames(flags, keywords)) {
        text += text.size() > 1 ? " " : "";
        text += name;
    }
    return text + ")";
}

std::string SetText(const std::vector<std::uint32_t>& numbers) {
    std::string text;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) {
            ++j;
        }
        text += text.empty() ? "" : ",";
        text += std::to_string(numbers[i]);
        if (j > i) {
            text += ':' + std::to_string(numbers[j]);
        }
        i = j + 1;
    }
    return text;
}

std::string VanishedText(const FolderSnapshot& snapshot, const SequenceSet& within) {
    const std::uint32_t last = snapshot.uidNext - 1;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    for (const SequenceRange& range : within.ranges) {
        std::uint32_t low = range.first == 0 ? last : range.first;
        std::uint32_t high = range.last == 0 ? last : range.last;
        if (low > high) {
            std::swap(low, high);
        }
        if (low <= last) {
            spans.emplace_back(low, std::min(high, last));
        }
    }
    std::sort(spans.begin(), spans.end());
    std::string text;
    const auto add = [&text](std::uint32_t low, std::uint32_t high) {
        text += text.empty() ? "" : ",";
        text += std::to_string(low);
        if (high > low) {
            text += ':' + std::to_string(high);
        }
    };
    const auto& messages = snapshot.messages;
    std::uint32_t next = 1; // UIDs below this are done
    for (auto [low, high] : spans) {
        low = std::max(low, next);
        if (low > high) {
            continue;
        }
        next = high + 1;
        // The gaps between the messages that remain within [low, high].
        auto it = std::lower_bound(
            messages.begin(), messages.end(), low,
            [](const IndexedMessage& m, std::uint32_t uid) { return m.uid < uid; });
        std::uint32_t from = low;
        for (; it != messages.end() && it->uid <= high; ++it) {
            if (it->uid > from) {
                add(from, it->uid - 1);
            }
            from = it->uid + 1;
        }
        if (from <= high) {
            add(from, high);
        }
    }
    return text;
}

SelectedFolder::SelectedFolder(std::string name, std::string path, bool readOnly, Snapshot snapshot)
    : m_name(std::move(name)), m_path(std::move(path)), m_readOnly(readOnly),
      m_latest(std::move(snapshot)), m_toldModSeq(m_latest->highestModSeq) {
    m_uids.reserve(m_latest->messages.size());
    for (const IndexedMessage& message : m_latest->messages) {
        m_uids.push_back(message.uid);
    }
}

std::vector<SelectedFolder::Named> SelectedFolder::Resolve(const SequenceSet& set, bool uid) const {
    std::vector<Named> named;
    if (m_uids.empty()) {
        return named;
    }
    const std::uint32_t highest = uid ? m_uids.back() : Count();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans; // sequence numbers, inclusive
    for (const SequenceRange& range : set.ranges) {
        std::uint32_t low = range.first == 0 ? highest : range.first;
        std::uint32_t high = range.last == 0 ? highest : range.last;
        if (low > high) {
            std::swap(low, high);
        }
        if (uid) {
            const auto from = std::lower_bound(m_uids.begin(), m_uids.end(), low);
            const auto to = std::upper_bound(m_uids.begin(), m_uids.end(), high);
            if (from < to) {
                spans.emplace_back(static_cast<std::uint32_t>(from - m_uids.begin()) + 1,
                                   static_cast<std::uint32_t>(to - m_uids.begin()));
            }
        } else if (low <= Count()) {
            spans.emplace_back(low, std::min(high, Count()));
        }
    }
    std::sort(spans.begin(), spans.end());
    std::uint32_t next = 1; // numbers below this are taken already
    for (const auto& [low, high] : spans) {
        for (std::uint32_t sequence = std::max(low, next); sequence <= high; ++sequence) {
            const std::uint32_t id = UidAt(sequence);
            named.push_back({sequence, id, m_latest->Find(id)});
        }
        next = std::max(next, high + 1);
    }
    return named;
}

std::vector<std::string> SelectedFolder::Report(bool allowExpunge, bool withModSeq, bool vanished) {
    std::vector<std::string> lines;
    if (allowExpunge) {
        std::vector<std::uint32_t> gone;
        // From the highest number down, so each line's number is still the client's.
        for (std::size_t i = m_uids.size(); i-- > 0;) {
            if (m_latest->Find(m_uids[i]) == nullptr) {
                if (vanished) {
                    gone.push_back(m_uids[i]);
                } else {
                    lines.push_back("* " + std::to_string(i + 1) + " EXPUNGE");
                }
            }
        }
        if (!gone.empty()) {
            std::reverse(gone.begin(), gone.end());
            lines.push_back("* VANISHED " + SetText(gone));
        }
        if (!lines.empty()) {
            std::erase_if(m_uids,
                          [&](std::uint32_t uid) { return m_latest->Find(uid) == nullptr; });
        }
    }
    const std::uint32_t last = m_uids.empty() ? 0 : m_uids.back();
    const auto fresh =
        std::upper_bound(m_latest->messages.begin(), m_latest->messages.end(), last,
                         [](std::uint32_t u, const IndexedMessage& m) { return u < m.uid; });
    if (fresh != m_latest->messages.end()) {
        for (auto it = fresh; it != m_latest->messages.end(); ++it) {
            m_uids.push_back(it->uid);
        }
        lines.push_back("* " + std::to_string(m_uids.size()) + " EXISTS");
    }
    if (m_latest->highestModSeq > m_toldModSeq) {
        for (std::size_t i = 0; i < m_uids.size(); ++i) {
            const IndexedMessage* message = m_latest->Find(m_uids[i]);
            if (message != nullptr && message->modSeq > m_toldModSeq && message->uid <= last) {
                std::string line = "* " + std::to_string(i + 1) + " FETCH (UID " +
                                   std::to_string(message->uid) + " FLAGS " +
                                   FlagsText(message->flags, m_latest->keywords);
                if (withModSeq) {
                    line += " MODSEQ (" + std::to_string(message->modSeq) + ")";
                }
                lines.push_back(line + ")");
            }
        }
        m_toldModSeq = m_latest->highestModSeq;
    }
    return lines;
}

} // namespace brevin::imap
