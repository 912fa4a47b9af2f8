// Base64 both ways: what POP3 ids are made of, and what authentication answers are read with.
// Decoding takes only what encoding makes, so a malformed answer is refused, never guessed at.

#include "base/base64.h"

#include <gtest/gtest.h>
#include <string>

namespace brevin {
namespace {

TEST(Base64Test, DecodingGivesBackWhatWasEncoded) {
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {std::string("\0alice\0pw", 9), "AGFsaWNlAHB3"},
        {"\xff\xfe\xfd", "//79"},
    };
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(EncodeBase64(bytes), text);
        EXPECT_EQ(DecodeBase64(text), bytes);
    }
}

TEST(Base64Test, MalformedTextDecodesToNothing) {
    for (const char* text : {"Zg", "Zg=", "Zm9", "Zm9v=", "Z===", "====", "Zg==Zg==", "Zm=v",
                             "Zh==", "Zm9=", "Zm9v\r\n", "Zm 9", "Zm9-", "Zm9_", "*m9v"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(DecodeBase64(text), std::nullopt);
    }
}

} // namespace
} // namespace brevin
