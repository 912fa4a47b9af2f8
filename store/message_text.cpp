#include "store/message_text.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace brevin {

namespace {

constexpr std::string_view kTerminator = "\r\n.\r\n";

/// Whether `stored` ends with the "." line. The message starts a line, as if CR LF preceded
/// it, so a lone ".\r\n" is an empty message.
bool Terminated(std::string_view stored) {
    if (stored.size() >= kTerminator.size()) {
        return stored.ends_with(kTerminator);
    }
    return stored == ".\r\n";
}

} // namespace

std::string MessageText(std::string_view stored) {
    const bool terminated = Terminated(stored);
    const std::string_view body = terminated ? stored.substr(0, stored.size() - 3) : stored;
    std::string text;
    text.reserve(body.size() + 2);
    // The message starts a line, as if after CR LF: a first "." is a stuffed one.
    std::size_t copied = !body.empty() && body[0] == '.' ? 1 : 0; // body[copied, ...) is next
    for (std::size_t lf = body.find('\n'); lf != std::string_view::npos;
         lf = body.find('\n', lf + 1)) {
        const std::size_t at = lf + 1;
        if (at == body.size() || body[at] != '.') {
            continue;
        }
        text.append(body, copied, at - copied);
        const char beforeLf = lf > 0 ? body[lf - 1] : '\n';
        if (beforeLf == '\r') {
            copied = at + 1; // the stuffed dot goes
        } else {
            text += '.'; // after a bare LF the dot is doubled on the way out
            copied = at;
        }
    }
    text.append(body, copied, std::string_view::npos);
    if (!terminated && !body.empty() && !body.ends_with("\r\n")) {
        text += "\r\n";
    }
    return text;
}

bool ReadMessageText(int fd, std::string& text) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    std::string stored(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t have = 0;
    while (have < stored.size()) {
        const ssize_t got =
            ::pread(fd, stored.data() + have, stored.size() - have, static_cast<off_t>(have));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break; // shorter than it was a moment ago: take what is there
        }
        have += static_cast<std::size_t>(got);
    }
    stored.resize(have);
    text = MessageText(stored);
    return true;
}

namespace {

/// Calls `line(content)` for each line of `text`, without its line end; a CR LF, a bare LF or a
/// bare CR each end one.
template <typename Line>
void ForEachLine(std::string_view text, Line line) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            line(text.substr(start));
            return;
        }
        line(text.substr(start, end - start));
        start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
}

} // namespace

std::string NormalisedText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32 + 2);
    ForEachLine(text, [&](std::string_view line) {
        out += line;
        out += "\r\n";
    });
    return out;
}

std::string StoredForm(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32 + 5);
    ForEachLine(text, [&](std::string_view line) {
        if (line.starts_with('.')) {
            out += '.';
        }
        out += line;
        out += "\r\n";
    });
    out += ".\r\n";
    return out;
}

} // namespace brevin
