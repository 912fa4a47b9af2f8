// The commands that read and change messages: FETCH, STORE, SEARCH, COPY, MOVE, APPEND.
// What needs the files (message text, structure, the index) runs on the folders' worker; what
// the snapshot answers runs on the loop.

#include "base/log.h"
#include "base/text.h"
#include "imap/fetch_render.h"
#include "imap/imap_session.h"
#include "store/folder_names.h"
#include "store/folder_tree.h"
#include "store/message_files.h"
#include "store/message_reader.h"
#include "store/message_text.h"
#include "store/recipients.h"

#include <algorithm>
#include <ctime>

namespace brevin {

using imap::FetchItem;
using imap::Parser;
using imap::SearchKey;

namespace {

/// A literal carrying `bytes`; literal8 (RFC 3516) where they hold a NUL.
std::string Literal(std::string_view bytes) {
    const bool binary = bytes.find('\0') != std::string_view::npos;
    return (binary ? "~{" : "{") + std::to_string(bytes.size()) + "}\r\n" + std::string(bytes);
}

/// The bit a system flag's name stands for (0 for \Recent, which is not kept), or nothing for
/// a name that is no system flag.
std::optional<std::uint8_t> SystemFlag(std::string_view name) {
    static constexpr std::pair<std::string_view, std::uint8_t> kNames[] = {
        {"\\Seen", system_flag::kSeen},       {"\\Answered", system_flag::kAnswered},
        {"\\Flagged", system_flag::kFlagged}, {"\\Deleted", system_flag::kDeleted},
        {"\\Draft", system_flag::kDraft},     {"\\Recent", 0},
    };
    for (const auto& [text, bit] : kNames) {
        if (EqualsIgnoringCase(text, name)) {
            return bit;
        }
    }
    return std::nullopt;
}

/// Flags by name, as bits of `index`'s folder (keywords defined as needed); nothing when a
/// keyword cannot be kept.
std::optional<MessageFlags> FlagBits(const std::vector<std::string>& names, FolderIndex& index) {
    MessageFlags flags;
    for (const std::string& name : names) {
        if (name.starts_with('\\')) {
            flags.system = static_cast<std::uint8_t>(flags.system | SystemFlag(name).value_or(0));
            continue;
        }
        const auto bit = index.Keyword(name);
        if (!bit) {
            return std::nullopt;
        }
        flags.keywords |= 1ULL << *bit;
    }
    return flags;
}

/// "1:3,7,9": numbers, ascending, as a compact set.
/// A message's text and structure, read when first wanted.
class Content {
public:
    Content(MessageReader& reader, const IndexedMessage& message)
        : m_reader(reader), m_message(message) {}

    const std::string* Text() {
        if (!m_textRead) {
            m_textRead = true;
            m_hasText = m_reader.Text(m_message.name, m_text);
        }
        return m_hasText ? &m_text : nullptr;
    }
    const MessageStructure* Structure() {
        if (!m_structure) {
            m_structure = m_reader.Structure(m_message.name, m_message.size);
            if (!m_structure) {
                m_structure = ParseStructure({});
            }
        }
        return &*m_structure;
    }

private:
    MessageReader& m_reader;
    const IndexedMessage& m_message;
    std::string m_text;
    bool m_textRead = false;
    bool m_hasText = false;
    std::optional<MessageStructure> m_structure;
};

bool NeedsContent(const FetchItem& item) {
    using Kind = FetchItem::Kind;
    return item.kind == Kind::Envelope || item.kind == Kind::Body ||
           item.kind == Kind::BodyStructure || item.kind == Kind::Section ||
           item.kind == Kind::Binary || item.kind == Kind::BinarySize;
}

bool SetsSeen(const FetchItem& item) {
    return (item.kind == FetchItem::Kind::Section || item.kind == FetchItem::Kind::Binary) &&
           !item.peek;
}

/// One FETCH response's items for one message; false when a part's encoding is unknown.
bool RenderItems(const std::vector<FetchItem>& items, const IndexedMessage& message,
                 const std::vector<std::string>& keywords, Content* content, std::string& out) {
    using Kind = FetchItem::Kind;
    for (const FetchItem& item : items) {
        out += out.empty() ? "" : " ";
        switch (item.kind) {
        case Kind::Uid:
            out += "UID " + std::to_string(message.uid);
            break;
        case Kind::Flags:
            out += "FLAGS " + imap::FlagsText(message.flags, keywords);
            break;
        case Kind::InternalDate:
            out += "INTERNALDATE " + imap::FormatDateTime(message.internalDate);
            break;
        case Kind::Rfc822Size:
            out += "RFC822.SIZE " + std::to_string(message.size);
            break;
        case Kind::ModSeq:
            out += "MODSEQ (" + std::to_string(message.modSeq) + ")";
            break;
        case Kind::Envelope:
            out += "ENVELOPE " + imap::EnvelopeText(content->Structure()->envelope);
            break;
        case Kind::Body:
        case Kind::BodyStructure:
            out += (item.kind == Kind::Body ? "BODY " : "BODYSTRUCTURE ") +
                   imap::BodyStructureText(*content->Structure(), item.kind == Kind::BodyStructure);
            break;
        case Kind::Section: {
            const std::string* text = content->Text();
            const auto bytes = text != nullptr
                                   ? imap::SectionBytes(*text, *content->Structure(), item)
                                   : std::nullopt;
            out += item.responseName + " " +
                   Literal(bytes ? imap::ApplyPartial(*bytes, item) : std::string_view{});
            break;
        }
        case Kind::Binary:
        case Kind::BinarySize: {
            const std::string* text = content->Text();
            const auto bytes = text != nullptr
                                   ? imap::BinaryBytes(*text, *content->Structure(), item)
                                   : std::optional<std::string>(std::string{});
            if (!bytes && FindSection(*content->Structure(), item.part) != nullptr) {
                return false; // the part is there, its encoding unknown: NO [UNKNOWN-CTE]
            }
            // A part that does not exist reads as empty, as it does for BODY[section].
            out += item.responseName + " " +
                   (item.kind == Kind::BinarySize
                        ? std::to_string(bytes ? bytes->size() : 0)
                        : Literal(bytes ? imap::ApplyPartial(*bytes, item) : std::string_view{}));
            break;
        }
        }
    }
    return true;
}

struct SearchContext {
    MessageReader* reader = nullptr; // null on the loop: no key needs a message's content
    const FolderSnapshot* snapshot = nullptr;
    std::uint32_t count = 0;      // messages the client numbers
    std::uint32_t highestUid = 0; // the last one's UID
};

bool NeedsContent(const SearchKey& key) {
    using Kind = SearchKey::Kind;
    if (key.kind == Kind::Header || key.kind == Kind::Body || key.kind == Kind::Text ||
        key.kind == Kind::SentBefore || key.kind == Kind::SentOn || key.kind == Kind::SentSince) {
        return true;
    }
    return std::any_of(key.children.begin(), key.children.end(),
                       [](const SearchKey& child) { return NeedsContent(child); });
}

bool UsesModSeq(const SearchKey& key) {
    return key.kind == SearchKey::Kind::ModSeq ||
           std::any_of(key.children.begin(), key.children.end(),
                       [](const SearchKey& child) { return UsesModSeq(child); });
}

bool HasFlag(const SearchKey& key, const IndexedMessage& message, const FolderSnapshot& snapshot) {
    if (const auto bit = SystemFlag(key.text)) {
        return (message.flags.system & *bit) != 0;
    }
    for (std::size_t i = 0; i < snapshot.keywords.size(); ++i) {
        if (EqualsIgnoringCase(snapshot.keywords[i], key.text)) {
            return (message.flags.keywords >> i & 1U) != 0;
        }
    }
    return false;
}

bool Satisfies(const SearchKey& key, const imap::SelectedFolder::Named& named,
               SearchContext& context, Content* content) {
    using Kind = SearchKey::Kind;
    const IndexedMessage& message = *named.message;
    const std::int64_t day = message.internalDate >= 0 ? message.internalDate / 86400
                                                       : (message.internalDate - 86399) / 86400;
    switch (key.kind) {
    case Kind::All:
    case Kind::Old:
        return true;
    case Kind::New:
    case Kind::Recent:
        return false; // \Recent is not kept
    case Kind::And:
        return std::all_of(key.children.begin(), key.children.end(), [&](const SearchKey& c) {
            return Satisfies(c, named, context, content);
        });
    case Kind::Or:
        return std::any_of(key.children.begin(), key.children.end(), [&](const SearchKey& c) {
            return Satisfies(c, named, context, content);
        });
    case Kind::Not:
        return !key.children.empty() && !Satisfies(key.children[0], named, context, content);
    case Kind::SequenceSet:
        return key.set.Contains(named.sequence, context.count);
    case Kind::Uid:
        return key.set.Contains(named.uid, context.highestUid);
    case Kind::Flag:
        return HasFlag(key, message, *context.snapshot);
    case Kind::NoFlag:
        return !HasFlag(key, message, *context.snapshot);
    case Kind::Before:
        return day < key.date;
    case Kind::On:
        return day == key.date;
    case Kind::Since:
        return day >= key.date;
    case Kind::Larger:
        return message.size > key.number;
    case Kind::Smaller:
        return message.size < key.number;
    case Kind::ModSeq:
        return message.modSeq >= key.number;
    case Kind::Header:
    case Kind::Body:
    case Kind::Text: {
        const std::string* text = content != nullptr ? content->Text() : nullptr;
        if (text == nullptr) {
            return false;
        }
        const MessageStructure& structure = *content->Structure();
        return key.kind == Kind::Header ? imap::HeaderMatches(*text, structure, key.field, key.text)
               : key.kind == Kind::Body ? imap::BodyMatches(*text, structure, key.text)
                                        : imap::TextMatches(*text, structure, key.text);
    }
    case Kind::SentBefore:
    case Kind::SentOn:
    case Kind::SentSince: {
        const auto sent = content != nullptr ? imap::SentDate(*content->Structure()) : std::nullopt;
        return sent && (key.kind == Kind::SentBefore ? *sent < key.date
                        : key.kind == Kind::SentOn   ? *sent == key.date
                                                     : *sent >= key.date);
    }
    }
    return false;
}

/// The messages a search finds, as sequence numbers and as UIDs.
struct Found {
    std::vector<std::uint32_t> sequences;
    std::vector<std::uint32_t> uids;
};

Found RunSearch(const SearchKey& key, const std::vector<imap::SelectedFolder::Named>& all,
                SearchContext& context) {
    Found found;
    for (const auto& named : all) {
        if (named.message == nullptr) {
            continue;
        }
        std::optional<Content> content;
        if (context.reader != nullptr) {
            content.emplace(*context.reader, *named.message);
        }
        if (Satisfies(key, named, context, content ? &*content : nullptr)) {
            found.sequences.push_back(named.sequence);
            found.uids.push_back(named.uid);
        }
    }
    return found;
}

} // namespace

void ImapSession::Resynchronise(const FolderSnapshot& snapshot,
                                const imap::SelectRequest::Qresync& known) {
    if (known.modSeq >= snapshot.highestModSeq) {
        return; // expunges raise the mod-sequence too: nothing changed since
    }
    const imap::SequenceSet everything{{{1, 0}}, false};
    const imap::SequenceSet& uids = known.knownUids ? *known.knownUids : everything;
    if (const std::string gone = imap::VanishedText(snapshot, uids); !gone.empty()) {
        AddLine("* VANISHED (EARLIER) " + gone);
    }
    for (const auto& n : m_selected->Resolve(uids, true)) {
        if (n.message != nullptr && n.message->modSeq > known.modSeq) {
            AddLine("* " + std::to_string(n.sequence) + " FETCH (UID " + std::to_string(n.uid) +
                    " FLAGS " + imap::FlagsText(n.message->flags, snapshot.keywords) + " MODSEQ (" +
                    std::to_string(n.message->modSeq) + "))");
        }
    }
}

void ImapSession::FetchMessages(const std::string& tag, Parser& args, bool uid) {
    const auto set = args.Sequence();
    const bool spaced = set && args.Space();
    auto request = spaced ? args.FetchArguments() : std::nullopt;
    if (!request) {
        Bad(tag, "Malformed FETCH");
        return;
    }
    auto& items = request->items;
    const bool hasUid = std::any_of(items.begin(), items.end(), [](const FetchItem& item) {
        return item.kind == FetchItem::Kind::Uid;
    });
    if (uid && !hasUid) {
        FetchItem uidItem;
        uidItem.kind = FetchItem::Kind::Uid;
        items.insert(items.begin(), uidItem);
    }
    if (request->changedSince && !std::any_of(items.begin(), items.end(), [](const FetchItem& i) {
            return i.kind == FetchItem::Kind::ModSeq;
        })) {
        // CHANGEDSINCE answers with MODSEQ whether or not it was asked for.
        FetchItem modSeq;
        modSeq.kind = FetchItem::Kind::ModSeq;
        items.push_back(modSeq);
    }
    if (request->vanished && !(uid && m_qresync)) {
        Bad(tag, "VANISHED needs UID FETCH and QRESYNC");
        return;
    }
    const bool modSeqAsked = std::any_of(items.begin(), items.end(), [](const FetchItem& i) {
        return i.kind == FetchItem::Kind::ModSeq;
    });
    if (modSeqAsked) {
        EnableCondstore();
    }
    if (request->vanished && *request->changedSince < m_selected->Latest()->highestModSeq) {
        // Expunges raise the mod-sequence too, so an unchanged folder has nothing to tell.
        const std::string gone = imap::VanishedText(*m_selected->Latest(), *set);
        if (!gone.empty()) {
            AddLine("* VANISHED (EARLIER) " + gone);
        }
    }
    auto named = m_selected->Resolve(*set, uid);
    if (request->changedSince) {
        std::erase_if(named, [&](const auto& n) {
            return n.message == nullptr || n.message->modSeq <= *request->changedSince;
        });
    }
    const bool readsFiles = std::any_of(items.begin(), items.end(),
                                        [](const FetchItem& item) { return NeedsContent(item); });
    const bool marksSeen = !m_selected->ReadOnly() &&
                           std::any_of(items.begin(), items.end(),
                                       [](const FetchItem& item) { return SetsSeen(item); });
    if (!readsFiles && !marksSeen) {
        const FolderSnapshot& snapshot = *m_selected->Latest();
        for (const auto& n : named) {
            if (n.message != nullptr) {
                std::string line;
                RenderItems(items, *n.message, snapshot.keywords, nullptr, line);
                AddLine("* " + std::to_string(n.sequence) + " FETCH (" + line + ")");
            }
        }
        Finish(tag, "OK FETCH completed", uid);
        return;
    }
    struct Result {
        std::vector<std::string> lines;
        bool unknownEncoding = false;
        FolderService::Snapshot snapshot;
    };
    auto result = std::make_shared<Result>();
    Hold();
    m_work = m_folders.Change(
        m_selected->Path(),
        [named, items, marksSeen, result, folder = m_selected->Path()](FolderIndex& index) {
            const bool flagsAsked = std::any_of(items.begin(), items.end(), [](const FetchItem& i) {
                return i.kind == FetchItem::Kind::Flags;
            });
            std::vector<std::uint32_t> marked;
            if (marksSeen) {
                std::vector<FlagChange> changes;
                for (const auto& n : named) {
                    const IndexedMessage* now = index.Current()->Find(n.uid);
                    if (now != nullptr && (now->flags.system & system_flag::kSeen) == 0) {
                        MessageFlags flags = now->flags;
                        flags.system = static_cast<std::uint8_t>(flags.system | system_flag::kSeen);
                        changes.push_back({n.uid, flags});
                        marked.push_back(n.uid);
                    }
                }
                index.SetFlags(changes);
            }
            const auto snapshot = index.Current();
            MessageReader reader(folder);
            for (const auto& n : named) {
                const IndexedMessage* message = snapshot->Find(n.uid);
                if (message == nullptr) {
                    continue;
                }
                Content content(reader, *message);
                std::string line;
                if (!RenderItems(items, *message, snapshot->keywords, &content, line)) {
                    result->unknownEncoding = true;
                    return;
                }
                if (!flagsAsked && std::binary_search(marked.begin(), marked.end(), n.uid)) {
                    line += " FLAGS " + imap::FlagsText(message->flags, snapshot->keywords);
                }
                result->lines.push_back("* " + std::to_string(n.sequence) + " FETCH (" + line +
                                        ")");
            }
            result->snapshot = snapshot;
        },
        [this, tag, uid, result, marksSeen](const FolderService::Snapshot& snapshot) {
            if (!m_selected) {
                Resume(tag + " NO FETCH failed");
                return;
            }
            m_selected->Update(snapshot);
            if (marksSeen) {
                m_selected->Reported(snapshot->highestModSeq);
            }
            if (result->unknownEncoding) {
                FinishHeld(tag, "NO [UNKNOWN-CTE] A part has an unknown content transfer encoding",
                           uid);
                return;
            }
            for (const std::string& line : result->lines) {
                AddLine(line);
            }
            FinishHeld(tag, "OK FETCH completed", uid);
        });
}

void ImapSession::StoreFlags(const std::string& tag, Parser& args, bool uid) {
    const auto set = args.Sequence();
    const bool spaced = set && args.Space();
    const auto request = spaced ? args.StoreArguments() : std::nullopt;
    if (!request) {
        Bad(tag, "Malformed STORE");
        return;
    }
    for (const std::string& flag : request->flags) {
        if (flag.starts_with('\\') && !SystemFlag(flag)) {
            Bad(tag, "Unknown system flag " + flag);
            return;
        }
    }
    if (m_selected->ReadOnly()) {
        Finish(tag, "NO [READ-ONLY] The mailbox is read-only", uid);
        return;
    }
    if (request->unchangedSince) {
        EnableCondstore();
    }
    const auto named = m_selected->Resolve(*set, uid);
    struct Result {
        std::vector<std::uint32_t> failed;  // UNCHANGEDSINCE refused: numbers as the client's
        std::vector<std::uint32_t> changed; // UIDs, ascending
        bool unwritable = false;
    };
    auto result = std::make_shared<Result>();
    Hold();
    m_work = m_folders.Change(
        m_selected->Path(),
        [named, request = *request, result, uid](FolderIndex& index) {
            const auto bits = FlagBits(request.flags, index);
            if (!bits) {
                result->unwritable = true;
                return;
            }
            std::vector<FlagChange> changes;
            const auto snapshot = index.Current();
            for (const auto& n : named) {
                const IndexedMessage* message = snapshot->Find(n.uid);
                if (message == nullptr) {
                    continue;
                }
                if (request.unchangedSince && message->modSeq > *request.unchangedSince) {
                    result->failed.push_back(uid ? n.uid : n.sequence);
                    continue;
                }
                MessageFlags flags = message->flags;
                switch (request.mode) {
                case imap::StoreRequest::Mode::Replace:
                    flags = *bits;
                    break;
                case imap::StoreRequest::Mode::Add:
                    flags.system = static_cast<std::uint8_t>(flags.system | bits->system);
                    flags.keywords |= bits->keywords;
                    break;
                case imap::StoreRequest::Mode::Remove:
                    flags.system = static_cast<std::uint8_t>(flags.system & ~bits->system);
                    flags.keywords &= ~bits->keywords;
                    break;
                }
                if (flags != message->flags || request.unchangedSince) {
                    changes.push_back({n.uid, flags});
                    result->changed.push_back(n.uid);
                }
            }
            result->unwritable = !index.SetFlags(changes);
        },
        [this, tag, uid, named, silent = request->silent,
         result](const FolderService::Snapshot& snapshot) {
            if (!m_selected) {
                Resume(tag + " NO STORE failed");
                return;
            }
            m_selected->Update(snapshot);
            if (result->unwritable) {
                FinishHeld(tag, "NO [LIMIT] The flags could not be stored", uid);
                return;
            }
            const auto& changed = result->changed;
            for (const auto& n : named) {
                const IndexedMessage* message = snapshot->Find(n.uid);
                const bool refused = std::binary_search(
                    result->failed.begin(), result->failed.end(), uid ? n.uid : n.sequence);
                // RFC 7162 §3.1.3: even a silent STORE tells a CONDSTORE client the new
                // mod-sequences, or its cache would hold stale ones.
                const bool tell = silent ? m_condstore && std::binary_search(changed.begin(),
                                                                             changed.end(), n.uid)
                                         : !refused;
                if (message == nullptr || !tell) {
                    continue;
                }
                std::string line = "* " + std::to_string(n.sequence) + " FETCH (";
                if (!silent) {
                    line += "FLAGS " + imap::FlagsText(message->flags, snapshot->keywords) + " ";
                }
                if (uid || silent) {
                    line += "UID " + std::to_string(message->uid) + " ";
                }
                if (m_condstore) {
                    line += "MODSEQ (" + std::to_string(message->modSeq) + ") ";
                }
                line.back() = ')';
                AddLine(line);
            }
            m_selected->Reported(snapshot->highestModSeq);
            FinishHeld(tag,
                       result->failed.empty() ? "OK STORE completed"
                                              : "OK [MODIFIED " + imap::SetText(result->failed) +
                                                    "] Conditional STORE failed",
                       uid);
        });
}

void ImapSession::SearchMessages(const std::string& tag, Parser& args, bool uid) {
    const auto request = args.SearchArguments();
    if (!request) {
        Bad(tag, "Malformed SEARCH");
        return;
    }
    if (!request->charset.empty() && !EqualsIgnoringCase(request->charset, "UTF-8") &&
        !EqualsIgnoringCase(request->charset, "US-ASCII")) {
        Finish(tag, "NO [BADCHARSET (UTF-8 US-ASCII)] Unknown charset", uid);
        return;
    }
    if (request->returnSave) {
        Bad(tag, "SAVE is not offered");
        return;
    }
    const bool modSeqAsked = UsesModSeq(request->key);
    if (modSeqAsked) {
        EnableCondstore();
    }
    const imap::SequenceSet all{{{1, 0}}, false};
    auto named = m_selected->Resolve(all, false);
    const auto answer = [this, tag, uid, request = *request, modSeqAsked](const Found& found) {
        const auto& numbers = uid ? found.uids : found.sequences;
        // RFC 7162 §3.1.5: a search by mod-sequence tells the highest among the messages found.
        std::uint64_t highest = 0;
        for (const std::uint32_t id : modSeqAsked ? found.uids : std::vector<std::uint32_t>{}) {
            if (const IndexedMessage* message = m_selected->Latest()->Find(id)) {
                highest = std::max(highest, message->modSeq);
            }
        }
        if (m_rev2 || request.esearch) {
            std::string line = "* ESEARCH (TAG " + imap::Quote(tag) + ")";
            line += uid ? " UID" : "";
            const bool allAsked = request.returnAll ||
                                  !(request.returnMin || request.returnMax || request.returnCount);
            if (request.returnMin && !numbers.empty()) {
                line += " MIN " + std::to_string(numbers.front());
            }
            if (request.returnMax && !numbers.empty()) {
                line += " MAX " + std::to_string(numbers.back());
            }
            if (request.returnCount) {
                line += " COUNT " + std::to_string(numbers.size());
            }
            if (allAsked && !numbers.empty()) {
                line += " ALL " + imap::SetText(numbers);
            }
            if (highest != 0) {
                line += " MODSEQ " + std::to_string(highest);
            }
            AddLine(line);
        } else {
            std::string line = "* SEARCH";
            for (const std::uint32_t number : numbers) {
                line += " " + std::to_string(number);
            }
            if (highest != 0) {
                line += " (MODSEQ " + std::to_string(highest) + ")";
            }
            AddLine(line);
        }
    };
    SearchContext context{nullptr, m_selected->Latest().get(), m_selected->Count(),
                          m_selected->Count() == 0 ? 0 : m_selected->UidAt(m_selected->Count())};
    if (!NeedsContent(request->key)) {
        answer(RunSearch(request->key, named, context));
        Finish(tag, "OK SEARCH completed", uid);
        return;
    }
    auto found = std::make_shared<Found>();
    Hold();
    m_work = m_folders.Change(
        m_selected->Path(),
        [named = std::move(named), key = request->key, context, found,
         snapshot = m_selected->Latest(), folder = m_selected->Path()](FolderIndex&) mutable {
            MessageReader reader(folder);
            context.reader = &reader;
            *found = RunSearch(key, named, context);
        },
        [this, tag, uid, answer, found](const FolderService::Snapshot&) {
            answer(*found);
            FinishHeld(tag, "OK SEARCH completed", uid);
        });
}

void ImapSession::CopyMessages(const std::string& tag, Parser& args, bool uid, bool move) {
    const auto set = args.Sequence();
    const bool spaced = set && args.Space();
    const auto wire = spaced ? args.Mailbox() : std::nullopt;
    if (!wire || !args.AtEnd()) {
        Bad(tag, move ? "MOVE needs messages and a mailbox" : "COPY needs messages and a mailbox");
        return;
    }
    const auto target = MailboxName(tag, *wire);
    if (!target) {
        return;
    }
    if (move && m_selected->ReadOnly()) {
        Finish(tag, "NO [READ-ONLY] The mailbox is read-only", uid);
        return;
    }
    struct Source {
        std::uint32_t uid;
        std::string name;
        std::int64_t date;
        std::vector<std::string> flags;
        std::uint64_t size;
    };
    std::vector<Source> sources;
    const FolderSnapshot& snapshot = *m_selected->Latest();
    for (const auto& n : m_selected->Resolve(*set, uid)) {
        if (n.message != nullptr) {
            sources.push_back({n.uid, n.message->name, n.message->internalDate,
                               imap::FlagNames(n.message->flags, snapshot.keywords),
                               n.message->size});
        }
    }
    struct Result {
        std::string problem;
        std::string path;
        std::uint32_t validity = 0;
        std::vector<std::uint32_t> from;
        std::vector<std::uint32_t> to;
        FolderService::Snapshot snapshot;
    };
    auto result = std::make_shared<Result>();
    Hold();
    m_work = m_folders.Run(
        [inbox = m_inbox, source = m_selected->Path(), folder = *target, sources, move,
         quota = QuotaBytes(), result](FolderService::WorkerSide& side) {
            const auto path = FolderTree(inbox).PathOf(folder);
            MessageNumbers* numbers = side.Numbers();
            if (!path || numbers == nullptr) {
                result->problem =
                    path ? "[UNAVAILABLE] Cannot make files now" : "[TRYCREATE] No such mailbox";
                return;
            }
            // A move takes no room the mailbox did not hold already.
            std::uint64_t adding = 0;
            for (const Source& s : sources) {
                adding += move ? 0 : s.size;
            }
            if (quota != 0 && adding != 0 && side.Usage(inbox) + adding > quota) {
                result->problem = "[OVERQUOTA] The mailbox would exceed its quota";
                return;
            }
            result->path = *path;
            FolderIndex& index = side.Index(*path);
            index.Refresh();
            std::vector<std::string> names;
            std::vector<std::int64_t> dates;
            std::vector<const Source*> copied;
            for (const Source& s : sources) {
                if (const auto name = CopyMessageFile(source, s.name, *path, *numbers)) {
                    names.push_back(*name);
                    dates.push_back(s.date);
                    copied.push_back(&s);
                } else {
                    result->problem = "[SERVERBUG] A message could not be copied";
                    break;
                }
            }
            if (result->problem.empty() && !FlushCopies(*path)) {
                result->problem = "[SERVERBUG] The copies could not be flushed";
            }
            const std::vector<std::uint32_t> uids = index.Add(names, dates);
            std::vector<FlagChange> flags;
            for (std::size_t i = 0; i < uids.size(); ++i) {
                if (uids[i] == 0) {
                    continue;
                }
                result->from.push_back(copied[i]->uid);
                result->to.push_back(uids[i]);
                if (const auto bits = FlagBits(copied[i]->flags, index)) {
                    flags.push_back({uids[i], *bits});
                }
            }
            index.SetFlags(flags);
            result->snapshot = index.Current();
            result->validity = result->snapshot->uidValidity;
            if (move && result->problem.empty()) {
                FolderIndex& from = side.Index(source);
                from.Refresh();
                from.Expunge(result->from);
            }
        },
        [this, tag, uid, move, result] {
            if (!result->path.empty()) {
                m_folders.Changed(result->path);
            }
            // RFC 9051 §6.3.12: a message put into the selected mailbox shows at once.
            if (m_selected && result->snapshot && m_selected->Path() == result->path) {
                m_selected->Update(result->snapshot);
            }
            if (!result->problem.empty()) {
                FinishHeld(tag, "NO " + result->problem, uid);
                return;
            }
            const std::string code = "[COPYUID " + std::to_string(result->validity) + " " +
                                     imap::SetText(result->from) + " " + imap::SetText(result->to) +
                                     "]";
            if (!move || !m_selected) {
                FinishHeld(tag,
                           result->from.empty() ? "OK COPY completed"
                                                : "OK " + code + " COPY completed",
                           uid);
                return;
            }
            if (!result->from.empty()) {
                AddLine("* OK " + code + " Moved");
            }
            m_work =
                m_folders.Open(m_selected->Path(), [this, tag](const FolderService::Snapshot& s) {
                    if (m_selected) {
                        m_selected->Update(s);
                    }
                    FinishHeld(tag, "OK MOVE completed");
                });
        });
}

std::uint64_t ImapSession::QuotaBytes() const {
    return Recipients(m_logins.Users()).QuotaBytes(m_user).value_or(0);
}

void ImapSession::GetQuotaRoot(const std::string& tag, Parser& args) {
    const auto wire = args.Mailbox();
    if (!wire || !args.AtEnd()) {
        Bad(tag, "GETQUOTAROOT needs a mailbox name");
        return;
    }
    if (const auto name = MailboxName(tag, *wire)) {
        // One quota for the whole mailbox, its root named "".
        const std::uint64_t quota = QuotaBytes();
        AddLine("* QUOTAROOT " + WireName(*name) + (quota != 0 ? " \"\"" : ""));
        TellQuota(tag, "OK GETQUOTAROOT completed");
    }
}

void ImapSession::GetQuota(const std::string& tag, Parser& args) {
    const auto root = args.Astring();
    if (!root || !args.AtEnd()) {
        Bad(tag, "GETQUOTA needs a quota root");
        return;
    }
    if (!root->empty() || QuotaBytes() == 0) {
        Finish(tag, "NO [NONEXISTENT] No such quota root");
        return;
    }
    TellQuota(tag, "OK GETQUOTA completed");
}

void ImapSession::SetQuota(const std::string& tag, Parser& /*args*/) {
    Finish(tag, "NO [NOPERM] Quotas are set by the administrator");
}

void ImapSession::TellQuota(const std::string& tag, std::string_view done) {
    const std::uint64_t quota = QuotaBytes();
    if (quota == 0) {
        Finish(tag, done);
        return;
    }
    Hold();
    auto used = std::make_shared<std::uint64_t>(0);
    m_work = m_folders.Run(
        [inbox = m_inbox, used](FolderService::WorkerSide& side) { *used = side.Usage(inbox); },
        [this, tag, done = std::string(done), used, quota] {
            // RFC 9208 §5.1: STORAGE counts units of 1,024 octets.
            AddLine("* QUOTA \"\" (STORAGE " + std::to_string((*used + 1023) / 1024) + " " +
                    std::to_string(quota / 1024) + ")");
            FinishHeld(tag, done);
        });
}

void ImapSession::Append(const std::string& tag, Parser& args) {
    const auto request = args.AppendArguments();
    if (request) {
        args.Space(); // before the message literal, unless the arguments took it
    }
    const auto text = request ? args.String() : std::nullopt;
    if (!text || !args.AtEnd()) {
        Bad(tag, "Malformed APPEND");
        return;
    }
    const auto folder = MailboxName(tag, request->mailbox);
    if (!folder) {
        return;
    }
    for (const std::string& flag : request->flags) {
        if (flag.starts_with('\\') && !SystemFlag(flag)) {
            Bad(tag, "Unknown system flag " + flag);
            return;
        }
    }
    struct Result {
        std::string problem;
        std::string path;
        std::uint32_t validity = 0;
        std::uint32_t uid = 0;
        FolderService::Snapshot snapshot;
    };
    auto result = std::make_shared<Result>();
    const std::int64_t date = request->date.value_or(static_cast<std::int64_t>(::time(nullptr)));
    const std::uint64_t reserve = m_limits.minFreeBytes;
    Hold();
    m_work = m_folders.Run(
        [inbox = m_inbox, name = *folder, stored = StoredForm(*text), flags = request->flags, date,
         reserve, quota = QuotaBytes(), result](FolderService::WorkerSide& side) {
            const auto path = FolderTree(inbox).PathOf(name);
            MessageNumbers* numbers = side.Numbers();
            if (!path || numbers == nullptr) {
                result->problem =
                    path ? "[UNAVAILABLE] Cannot make files now" : "[TRYCREATE] No such mailbox";
                return;
            }
            const auto free = FreeBytes(*path);
            if (reserve != 0 && free && *free < reserve + stored.size()) {
                result->problem = "[OVERQUOTA] The mail store is nearly full";
                return;
            }
            if (quota != 0 && side.Usage(inbox) + stored.size() > quota) {
                result->problem = "[OVERQUOTA] The mailbox would exceed its quota";
                return;
            }
            result->path = *path;
            FolderIndex& index = side.Index(*path);
            index.Refresh();
            const auto file = FileMessageText(*path, stored, *numbers);
            if (!file) {
                result->problem = errno == ENOSPC || errno == EDQUOT
                                      ? "[OVERQUOTA] The mail store is full"
                                      : "[SERVERBUG] The message could not be stored";
                return;
            }
            const std::vector<std::string> names{*file};
            const std::vector<std::int64_t> dates{date};
            result->uid = index.Add(names, dates).front();
            if (const auto bits = FlagBits(flags, index); bits && result->uid != 0) {
                const FlagChange change{result->uid, *bits};
                index.SetFlags({&change, 1});
            }
            result->snapshot = index.Current();
            result->validity = result->snapshot->uidValidity;
            if (result->uid == 0) {
                result->problem = "[SERVERBUG] The message could not be indexed";
            }
        },
        [this, tag, result, size = text->size(), name = *folder] {
            if (!result->path.empty()) {
                m_folders.Changed(result->path);
            }
            // RFC 9051 §6.3.12: a message put into the selected mailbox shows at once.
            if (m_selected && result->snapshot && m_selected->Path() == result->path) {
                m_selected->Update(result->snapshot);
            }
            LogEvent event("imap", "append");
            event.Add("user", m_user).Add("session", Id()).Add("mailbox", name).Add("size", size);
            if (!result->problem.empty()) {
                event.Failed();
                FinishHeld(tag, "NO " + result->problem);
                return;
            }
            FinishHeld(tag, "OK [APPENDUID " + std::to_string(result->validity) + " " +
                                std::to_string(result->uid) + "] APPEND completed");
        });
}

} // namespace brevin
