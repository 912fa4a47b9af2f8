#pragma once

#include "store/message_structure.h"
#include "store/structure_cache.h"

#include <cstdint>
#include <optional>
#include <string>

namespace brevin {

/// The messages of one folder as a client reads them: a file's text, and its MIME structure,
/// parsed at most once and kept in the folder's cache. Blocking file work, for one thread.
class MessageReader {
public:
    explicit MessageReader(std::string folder);

    /// The message as the client sees it (`MessageText`); false when the file is gone.
    bool Text(const std::string& name, std::string& text) const;
    /// Its structure, from the cache or parsed now (and kept); nothing when the file is gone.
    std::optional<MessageStructure> Structure(const std::string& name, std::uint64_t size);

private:
    std::string m_folder;
    StructureCache m_cache;
};

} // namespace brevin
