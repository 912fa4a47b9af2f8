// Arbitrary bytes, cut into arbitrary reads, through a POP3 session over a small mailbox.

#include "pop3/pop3_session.h"
#include "session_harness.h"

#include <fstream>

namespace {

void FillMailbox(const std::filesystem::path& folder) {
    const char* messages[] = {"Subject: one\r\n\r\nbody\r\n.\r\n", "", "no end at all",
                              "Subject: two\r\n\r\n..dot\r\n.\r\n"};
    int number = 1;
    for (const char* text : messages) {
        char name[32];
        std::snprintf(name, sizeof name, "MSG%05d.bvn", number++);
        if (!std::filesystem::exists(folder / name)) {
            std::ofstream(folder / name, std::ios::binary) << text;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static brevin::fuzzing::SessionHarness harness;
    FillMailbox(harness.Dir() / "store" / "alice"); // DELE of an earlier run removed some
    harness.Run(std::make_unique<brevin::Pop3Session>(harness.Loop(), harness.Options(data, size),
                                                      harness.Logins(), harness.Folders()),
                data, size);
    return 0;
}
