// The IMAP command syntax on arbitrary bytes: every entry point either parses or leaves the
// cursor where it was, and any bytes the server quotes read back as the same bytes.

#include "imap/imap_parser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

using brevin::imap::Parser;

// A failed parse must consume nothing, so that a caller can try the next alternative.
template <typename Method>
void Try(std::string_view text, Method method) {
    Parser parser(text);
    if (!(parser.*method)() && parser.Position() != 0) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Try(text, &Parser::Tag);
    Try(text, &Parser::Atom);
    Try(text, &Parser::AstringAtom);
    Try(text, &Parser::String);
    Try(text, &Parser::Astring);
    Try(text, &Parser::Nstring);
    Try(text, &Parser::Number);
    Try(text, &Parser::Number64);
    Try(text, &Parser::NzNumber);
    Try(text, &Parser::FlagList);
    Try(text, &Parser::Mailbox);
    Try(text, &Parser::ListMailbox);
    Try(text, &Parser::DateTime);
    Try(text, &Parser::Date);
    Try(text, &Parser::FetchArguments);
    Try(text, &Parser::SearchArguments);
    Try(text, &Parser::StoreArguments);
    Try(text, &Parser::ListArguments);
    Try(text, &Parser::AppendArguments);
    Try(text, &Parser::StatusItems);
    {
        Parser parser(text);
        if (const auto flag = parser.Flag(true); !flag && parser.Position() != 0) {
            std::abort();
        }
    }
    {
        Parser parser(text);
        if (const auto set = parser.Sequence()) {
            (void)set->Contains(7, 9);
        } else if (parser.Position() != 0) {
            std::abort();
        }
    }
    {
        Parser parser(text);
        if (const auto date = parser.DateTime();
            date && Parser(brevin::imap::FormatDateTime(*date)).DateTime() != date && *date >= 0 &&
            *date < 253402300800) {
            std::abort();
        }
    }
    const std::string quoted = brevin::imap::Quote(text);
    Parser parser(quoted);
    if (parser.String() != text || !parser.AtEnd()) {
        std::abort();
    }
    return 0;
}
