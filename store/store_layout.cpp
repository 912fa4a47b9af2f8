#include "store/store_layout.h"

#include "base/text.h"

#include <cstdio>

namespace brevin::layout {

std::string MessagePath(const std::string& folder, std::uint32_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "/MSG%05lu.bvn", static_cast<unsigned long>(number));
    return folder + name;
}

bool IsMessageName(std::string_view name) {
    return EndsWithIgnoringCase(name, ".bvn");
}

long long NumberInName(std::string_view name) {
    if (name.size() < 8 || !StartsWithIgnoringCase(name, "msg") || !IsMessageName(name)) {
        return -1;
    }
    const auto digits = name.substr(3, name.size() - 7);
    if (digits.empty() || digits.size() > 18) {
        return -1;
    }
    long long number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return -1;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

std::string TemporaryPath(const std::string& folder, std::uint32_t number, int attempt) {
    char name[48];
    std::snprintf(name, sizeof name, "/.MSG%05lu.%d.tmp", static_cast<unsigned long>(number),
                  attempt);
    return folder + name;
}

bool IsTemporaryName(std::string_view name) {
    return name.starts_with(".MSG") && name.ends_with(".tmp");
}

} // namespace brevin::layout
