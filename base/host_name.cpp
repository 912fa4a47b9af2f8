#include "base/host_name.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brevin {

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

const std::string& OfficialHostName() {
    static const std::string official = [] {
        std::string name = HostName();
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        if (!name.empty() && ::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0) {
            if (found != nullptr && found->ai_canonname != nullptr) {
                name = found->ai_canonname;
            }
            ::freeaddrinfo(found);
        }
        return name.empty() ? std::string("localhost") : name;
    }();
    return official;
}

} // namespace brevin
