#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace brevin {

/// `brevin user list|set|remove ...`: user administration without a desktop. `args` are the
/// words after "user". Writes the same profile keys as the desktop dialog. Returns the exit
/// status.
int RunUserCommand(const std::vector<std::string>& args, const std::filesystem::path& profilePath,
                   std::istream& in, std::ostream& out, std::ostream& err);

} // namespace brevin
