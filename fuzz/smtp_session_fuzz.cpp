// Arbitrary bytes, cut into arbitrary reads, through an SMTP session: the interpreter, the
// data phase and the filing of messages into a store in a temporary folder.

#include "session_harness.h"
#include "smtp/smtp_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static brevin::fuzzing::SessionHarness harness;
    harness.Run(std::make_unique<brevin::SmtpSession>(harness.Loop(), harness.Options(data, size),
                                                      harness.Deliveries(), harness.Logins()),
                data, size);
    // Keep the store small: filed messages are of no further use.
    static int runs = 0;
    if (++runs % 256 == 0) {
        for (const char* user : {"alice", "bob"}) {
            std::error_code ec;
            for (const auto& entry :
                 std::filesystem::directory_iterator(harness.Dir() / "store" / user, ec)) {
                std::filesystem::remove(entry.path(), ec);
            }
        }
    }
    return 0;
}
