#include "store/message_reader.h"

#include "base/unique_fd.h"
#include "store/message_text.h"
#include "store/store_layout.h"

#include <fcntl.h>

namespace brevin {

MessageReader::MessageReader(std::string folder)
    : m_folder(std::move(folder)), m_cache(layout::StructurePath(m_folder)) {}

bool MessageReader::Text(const std::string& name, std::string& text) const {
    const UniqueFd fd(::open((m_folder + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return fd && ReadMessageText(fd.Get(), text);
}

std::optional<MessageStructure> MessageReader::Structure(const std::string& name,
                                                         std::uint64_t size) {
    // A file never changes under its name, so name and size make a key that cannot go stale.
    return StructureOf(m_cache, name + "/" + std::to_string(size), m_folder + "/" + name);
}

} // namespace brevin
