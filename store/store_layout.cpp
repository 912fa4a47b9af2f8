#include "store/store_layout.h"

#include "base/text.h"

#include <charconv>
#include <cstdio>
#include <sys/xattr.h>

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

std::string MetadataFolder(const std::string& folder) {
    return folder + "/" + std::string(kMetadataName);
}

std::string IndexPath(const std::string& folder) {
    return MetadataFolder(folder) + "/index";
}

std::string StructurePath(const std::string& folder) {
    return MetadataFolder(folder) + "/structure";
}

std::string QuotaNoticePath(const std::string& inbox) {
    return MetadataFolder(inbox) + "/quota-notice";
}

namespace {
constexpr const char* kSizeAttribute = "user.brevin.size";
} // namespace

void RecordSize(int fd, std::uint64_t size) {
    const std::string text = std::to_string(size);
    ::fsetxattr(fd, kSizeAttribute, text.data(), text.size(), 0);
}

std::optional<std::uint64_t> ReadRecordedSize(const std::string& path) {
    char text[24];
    const ssize_t length = ::getxattr(path.c_str(), kSizeAttribute, text, sizeof text);
    if (length <= 0) {
        return std::nullopt;
    }
    std::uint64_t size = 0;
    const auto [end, ec] = std::from_chars(text, text + length, size);
    if (ec != std::errc{} || end != text + length) {
        return std::nullopt;
    }
    return size;
}

} // namespace brevin::layout
