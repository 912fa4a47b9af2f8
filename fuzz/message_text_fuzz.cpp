// Stored bytes to text and back: the text is exactly as long as MessageSizeCounter says, fed in
// two pieces cut anywhere; and a client's text, stored and read back, is that text normalised.

#include "store/message_size.h"
#include "store/message_text.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    brevin::MessageSizeCounter counter;
    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    counter.Feed(bytes.substr(0, cut));
    counter.Feed(bytes.substr(cut));
    if (brevin::MessageText(bytes).size() != counter.Size()) {
        std::abort();
    }
    if (brevin::MessageText(brevin::StoredForm(bytes)) != brevin::NormalisedText(bytes)) {
        std::abort();
    }
    return 0;
}
