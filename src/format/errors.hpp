// Error values of the trie byte format.
//
// Decoding and encoding report failures as values, never by throwing; the
// module boundary turns them into internal faults whose message ends in the
// one-line debug rendering produced by render(). Every kind of the error
// vocabulary is representable, although the trie format itself only ever
// produces UnexpectedEnd, InvalidIntegerType, UnexpectedVariant and
// InvalidCharEncoding when decoding, and nothing at all when encoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morlatch::format {

// Integer types named in errors, in their declared order.
enum class IntegerType : std::uint8_t {
    U8,
    U16,
    U32,
    U64,
    U128,
    Usize,
    I8,
    I16,
    I32,
    I64,
    I128,
    Isize,
    Reserved,
};

std::string_view name(IntegerType type);

// The variants an enum-like value may take.
struct AllowedRange {
    std::uint32_t min;
    std::uint32_t max;
    bool operator==(const AllowedRange&) const = default;
};
struct AllowedList {
    std::vector<std::uint32_t> values;
    bool operator==(const AllowedList&) const = default;
};
using AllowedVariants = std::variant<AllowedRange, AllowedList>;

// Where a UTF-8 text stopped being valid.
struct Utf8Error {
    std::size_t valid_up_to = 0;
    std::optional<std::uint8_t> error_len;  // absent: the input ended mid-sequence
    bool operator==(const Utf8Error&) const = default;
};

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;
    bool operator==(const Duration&) const = default;
};

struct DecodeError {
    struct UnexpectedEnd {
        std::size_t additional;  // bytes still needed
        bool operator==(const UnexpectedEnd&) const = default;
    };
    struct LimitExceeded {
        bool operator==(const LimitExceeded&) const = default;
    };
    struct InvalidIntegerType {
        IntegerType expected;
        IntegerType found;
        bool operator==(const InvalidIntegerType&) const = default;
    };
    struct NonZeroTypeIsZero {
        IntegerType non_zero_type;
        bool operator==(const NonZeroTypeIsZero&) const = default;
    };
    struct UnexpectedVariant {
        std::string_view type_name;  // always a static string
        AllowedVariants allowed;
        std::uint32_t found;
        bool operator==(const UnexpectedVariant&) const = default;
    };
    struct Utf8 {
        Utf8Error inner;
        bool operator==(const Utf8&) const = default;
    };
    struct InvalidCharEncoding {
        std::array<std::uint8_t, 4> bytes;  // the bytes read so far, zero-filled
        bool operator==(const InvalidCharEncoding&) const = default;
    };
    struct InvalidBooleanValue {
        std::uint8_t value;
        bool operator==(const InvalidBooleanValue&) const = default;
    };
    struct ArrayLengthMismatch {
        std::size_t required;
        std::size_t found;
        bool operator==(const ArrayLengthMismatch&) const = default;
    };
    struct OutsideUsizeRange {
        std::uint64_t value;
        bool operator==(const OutsideUsizeRange&) const = default;
    };
    struct EmptyEnum {
        std::string_view type_name;
        bool operator==(const EmptyEnum&) const = default;
    };
    struct InvalidDuration {
        std::uint64_t secs;
        std::uint32_t nanos;
        bool operator==(const InvalidDuration&) const = default;
    };
    struct InvalidSystemTime {
        Duration duration;
        bool operator==(const InvalidSystemTime&) const = default;
    };
    struct CStringNulError {
        std::size_t position;
        bool operator==(const CStringNulError&) const = default;
    };
    struct Io {
        std::string inner;  // the I/O error's own debug rendering
        std::size_t additional;
        bool operator==(const Io&) const = default;
    };
    struct Other {
        std::string_view message;  // always a static string
        bool operator==(const Other&) const = default;
    };
    struct OtherString {
        std::string message;
        bool operator==(const OtherString&) const = default;
    };

    using Kind = std::variant<UnexpectedEnd, LimitExceeded, InvalidIntegerType, NonZeroTypeIsZero,
                              UnexpectedVariant, Utf8, InvalidCharEncoding, InvalidBooleanValue,
                              ArrayLengthMismatch, OutsideUsizeRange, EmptyEnum, InvalidDuration,
                              InvalidSystemTime, CStringNulError, Io, Other, OtherString>;

    Kind kind;

    bool operator==(const DecodeError&) const = default;
};

struct EncodeError {
    struct UnexpectedEnd {
        bool operator==(const UnexpectedEnd&) const = default;
    };
    struct RefCellAlreadyBorrowed {
        std::string_view type_name;
        bool operator==(const RefCellAlreadyBorrowed&) const = default;
    };
    struct Other {
        std::string_view message;
        bool operator==(const Other&) const = default;
    };
    struct OtherString {
        std::string message;
        bool operator==(const OtherString&) const = default;
    };
    struct InvalidPathCharacters {
        bool operator==(const InvalidPathCharacters&) const = default;
    };
    struct Io {
        std::string inner;  // the I/O error's own debug rendering
        std::size_t index;
        bool operator==(const Io&) const = default;
    };
    struct LockFailed {
        std::string_view type_name;
        bool operator==(const LockFailed&) const = default;
    };
    struct InvalidSystemTime {
        std::string inner;  // debug renderings of the clock error and the time
        std::string time;
        bool operator==(const InvalidSystemTime&) const = default;
    };

    using Kind = std::variant<UnexpectedEnd, RefCellAlreadyBorrowed, Other, OtherString,
                              InvalidPathCharacters, Io, LockFailed, InvalidSystemTime>;

    Kind kind;

    bool operator==(const EncodeError&) const = default;
};

// One-line debug renderings, e.g. "UnexpectedEnd { additional: 3 }".
std::string render(const DecodeError& error);
std::string render(const EncodeError& error);
std::string render(const Duration& duration);  // e.g. "1.5s", "250ms", "0ns"

// A text in double quotes with debug escapes.
std::string quoted(std::string_view text);

}  // namespace morlatch::format
