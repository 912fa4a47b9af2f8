// Arbitrary bytes as HTTP request heads, cut into lines as the session cycle cuts them, and
// as Autodiscover bodies: every head ends complete or refused with a status the responder
// knows, and a complete one keeps the reader's own promises.

#include "autoconfig/client_documents.h"
#include "autoconfig/http_request.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using brevin::http::RequestReader;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)brevin::AutodiscoverAddress(text);

    RequestReader reader({.maxLine = 512, .maxHead = 2048, .maxHeaders = 16, .maxBody = 64});
    while (!text.empty()) {
        // The session hands over a line up to its LF, or a cut one at the line limit.
        const std::size_t end = text.find('\n');
        const std::size_t length =
            end == std::string_view::npos ? text.size() : std::min(end + 1, text.size());
        const RequestReader::Step step = reader.AddLine(text.substr(0, length));
        text.remove_prefix(length);
        if (step == RequestReader::Step::Refused) {
            const int status = reader.Status();
            if (brevin::http::ReasonPhrase(status) == "Error") {
                std::abort();
            }
            break;
        }
        if (step == RequestReader::Step::Complete) {
            const brevin::http::Request request = reader.Take();
            if (!request.path.starts_with('/') || request.contentLength > 64 ||
                request.path.find("/../") != std::string::npos) {
                std::abort();
            }
            (void)brevin::http::QueryValue(request.query, "emailaddress");
        }
    }
    return 0;
}
