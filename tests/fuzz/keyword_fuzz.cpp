// The disconnect keyword: escape processing of any text (not terminated where it fills its field),
// and its match in serial data cut anywhere, which must find the keyword at the same byte however
// the data was cut.
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "gateway/text_escapes.h"

namespace {

// The offset just past the keyword's completion in the data, or 0 when it never completes.
std::size_t completion(const std::uint8_t *keyword, std::size_t length, const std::uint8_t *data,
                       std::size_t size, const std::uint8_t *cuts, std::size_t cut_count) {
    std::size_t matched = 0;
    std::size_t at = 0;
    std::size_t cut = 0;
    while (at < size) {
        std::size_t piece = cut_count == 0 ? size - at : 1 + cuts[cut++ % cut_count] % 64;
        if (piece > size - at) piece = size - at;
        // Fed byte by byte within the piece is the same as the piece at once; the piece decides
        // where a completion is seen, the byte where it happened.
        for (std::size_t i = 0; i < piece; ++i) {
            if (keyword_feed(keyword, length, &matched, data + at + i, 1)) return at + i + 1;
            if (matched >= length) std::abort();
        }
        at += piece;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input{data, size};
    std::size_t text_length = 0;
    const std::uint8_t *text_bytes = input.bytes(1 + input.byte(), &text_length);
    std::size_t cut_count = 0;
    const std::uint8_t *cuts = input.bytes(input.byte() % 16, &cut_count);
    std::vector<char> text(text_bytes, text_bytes + text_length);
    std::vector<std::uint8_t> keyword(text_length + 1);
    std::size_t length = keyword_build(text.data(), text.size(), keyword.data());
    if (length > text_length || keyword[length] != 0) std::abort();
    if (length == 0) return 0;

    std::size_t whole = completion(keyword.data(), length, input.data, input.size, nullptr, 0);
    std::size_t pieces = completion(keyword.data(), length, input.data, input.size, cuts, cut_count);
    if (whole != pieces) std::abort();
    // The same data handed over in one call completes in that call exactly when a completion
    // exists.
    std::size_t matched = 0;
    if (keyword_feed(keyword.data(), length, &matched, input.data, input.size) != (whole != 0)) {
        std::abort();
    }
    return 0;
}
