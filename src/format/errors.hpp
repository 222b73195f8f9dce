// Error values of the trie byte format.
//
// Decoding reports failures as values, never by throwing; from_bytes turns
// them into internal faults whose message ends in the one-line rendering
// produced by render(). Only the kinds that the format can produce are here;
// their texts are in base/texts.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace morlatch::format {

// Integer types named in errors.
enum class IntegerType : std::uint8_t { U32, U64, U128, Reserved };

std::string_view name(IntegerType type);

// The values a presence tag may take.
struct AllowedRange {
    std::uint32_t min;
    std::uint32_t max;
    bool operator==(const AllowedRange&) const = default;
};

struct DecodeError {
    struct UnexpectedEnd {
        std::size_t additional;  // bytes still needed
        bool operator==(const UnexpectedEnd&) const = default;
    };
    struct InvalidIntegerType {
        IntegerType expected;
        IntegerType found;
        bool operator==(const InvalidIntegerType&) const = default;
    };
    struct UnexpectedVariant {
        std::string_view type_name;  // always a static string
        AllowedRange allowed;
        std::uint32_t found;
        bool operator==(const UnexpectedVariant&) const = default;
    };
    struct InvalidCharEncoding {
        std::array<std::uint8_t, 4> bytes;  // the bytes read so far, zero-filled
        bool operator==(const InvalidCharEncoding&) const = default;
    };
    // An element count beyond std::size_t; only where that is narrower than 64 bits.
    struct OutsideUsizeRange {
        std::uint64_t value;
        bool operator==(const OutsideUsizeRange&) const = default;
    };

    using Kind = std::variant<UnexpectedEnd, InvalidIntegerType, UnexpectedVariant,
                              InvalidCharEncoding, OutsideUsizeRange>;

    Kind kind;

    bool operator==(const DecodeError&) const = default;
};

// One-line debug rendering, e.g. "UnexpectedEnd { additional: 3 }".
std::string render(const DecodeError& error);

}  // namespace morlatch::format
