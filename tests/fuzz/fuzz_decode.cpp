// libFuzzer target: the trie decoder against the plain reference decoder.
// Both must agree on success or failure; on success on the arrays, on failure
// on the error's rendering and offset. A decoded trie must also encode to at
// most the bytes it was read from (the encoder writes the shortest forms) and
// decode back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "format/codec.hpp"
#include "reference_format.hpp"

namespace {

void require(bool condition, const char* what, const std::string& detail = "") {
    if (!condition) {
        std::fprintf(stderr, "fuzz_decode: %s %s\n", what, detail.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morlatch;
    const std::span<const std::uint8_t> input(data, size);
    const format::DecodeResult result = format::decode(input);
    reference::byte_format::Decoder ref(data, size);
    const std::optional<reference::byte_format::DecodedTrie> expected = ref.decode();

    require(result.has_value() == expected.has_value(), "success differs:",
            result ? "decoder succeeded, reference: " + ref.failure().rendering
                   : "reference succeeded, decoder: " + format::render(result.error()));
    if (!expected) {
        require(format::render(result.error()) == ref.failure().rendering, "rendering differs:",
                format::render(result.error()) + " vs " + ref.failure().rendering);
        require(
            result.error_offset() == ref.failure().offset, "offset differs:",
            std::to_string(result.error_offset()) + " vs " + std::to_string(ref.failure().offset));
        return 0;
    }
    const Trie trie = format::DecodeResult(result).value();
    require(trie.node_shifts == expected->shifts, "node_shifts differ");
    require(trie.node_chars == expected->chars, "node_chars differ");
    require(trie.node_payloads == expected->payloads, "node_payloads differ");
    require(trie.child_indices == expected->children, "child_indices differ");

    const std::vector<std::uint8_t> again = format::encode(trie);
    require(again.size() == format::encoded_size(trie), "encoded_size differs from encode");
    require(again.size() <= ref.used(), "re-encoding is longer than the input it came from");
    const format::DecodeResult back = format::decode(again);
    require(back.has_value() && format::DecodeResult(back).value() == trie,
            "re-encoding does not decode to the same trie");
    return 0;
}
