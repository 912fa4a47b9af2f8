#include "shell/user_command.h"

#include <ostream>

namespace brevin {

int RunUserCommand(const std::vector<std::string>& /*args*/,
                   const std::filesystem::path& /*profilePath*/,
                   const std::filesystem::path& /*workingDirectory*/, std::istream& /*in*/,
                   std::ostream& /*out*/, std::ostream& err) {
    err << "brevin: user administration is not available in this build\n";
    return 2;
}

} // namespace brevin
