#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// Whether `word` names one of the commands below.
bool IsOfficeCommand(std::string_view word);

/// `brevin alias|group|quota list|set|remove ...`: aliases, distribution lists and quotas
/// without a desktop, refused for the same reasons as in the dialog. `args` are the words
/// after the command. Returns the exit status.
int RunOfficeCommand(std::string_view command, const std::vector<std::string>& args,
                     const std::filesystem::path& profilePath, std::ostream& out,
                     std::ostream& err);

} // namespace brevin
