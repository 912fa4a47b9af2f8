#include "smtp/address.h"

#include "base/text.h"
#include "store/users.h"

namespace brevin {

namespace {

/// The field's value with its folding undone, comments and quoted strings dropped.
std::string PlainFieldValue(std::string_view value) {
    std::string plain;
    int comment = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && (quoted || comment > 0)) {
            ++i; // a quoted pair stays inside what it is in
        } else if (quoted) {
            quoted = c != '"';
        } else if (c == '(') {
            ++comment;
        } else if (c == ')' && comment > 0) {
            --comment;
        } else if (comment == 0 && c == '"') {
            quoted = true;
        } else if (comment == 0) {
            plain += c == '\r' || c == '\n' || c == '\t' ? ' ' : c;
        }
    }
    return plain;
}

} // namespace

bool AddressToUserName(std::string_view text, std::string& name) {
    name.assign(text);
    const auto at = text.find('@');
    if (at == std::string_view::npos || at == 0) {
        return false;
    }
    std::string_view local = text.substr(0, at);
    // Cutting at the first blank for as long as one is left ends after the last blank.
    if (const auto blank = local.rfind(' '); blank != std::string_view::npos) {
        local.remove_prefix(blank + 1);
    }
    if (const auto angle = local.rfind('<'); angle != std::string_view::npos) {
        local.remove_prefix(angle + 1);
    }
    name.assign(local);
    return !name.empty();
}

std::vector<std::string> FromHeaderUsers(std::string_view header) {
    std::vector<std::string> users;
    std::size_t start = 0;
    while (start < header.size()) {
        // A field runs on over the lines that begin with a blank.
        std::size_t end = start;
        do {
            const std::size_t newline = header.find('\n', end);
            end = newline == std::string_view::npos ? header.size() : newline + 1;
        } while (end < header.size() && (header[end] == ' ' || header[end] == '\t'));
        const std::string_view field = header.substr(start, end - start);
        start = end;
        if (field.size() < 5 || !EqualsIgnoringCase(field.substr(0, 5), "from:")) {
            continue;
        }
        const std::string value = PlainFieldValue(field.substr(5));
        std::size_t from = 0;
        while (from <= value.size()) {
            std::size_t comma = value.find(',', from);
            comma = comma == std::string::npos ? value.size() : comma;
            std::string_view address = std::string_view(value).substr(from, comma - from);
            address.remove_prefix(std::min(address.size(), address.find_first_not_of(' ')));
            address.remove_suffix(address.size() - (address.find_last_not_of(' ') + 1));
            if (!address.empty()) {
                std::string name;
                if (!AddressToUserName(address.substr(0, address.find('>')), name)) {
                    name = address; // names nobody
                }
                users.push_back(std::move(name));
            }
            from = comma + 1;
        }
    }
    return users;
}

std::string RecipientKey(std::string_view userName) {
    return NormaliseUserName(userName);
}

} // namespace brevin
