// One-line debug renderings of every error kind.
#include <gtest/gtest.h>

#include <string>

#include "format/errors.hpp"

namespace morlatch::format {
namespace {

using D = DecodeError;
using E = EncodeError;

struct DecodeRendering {
    D::Kind kind;
    std::string expected;
};

void PrintTo(const DecodeRendering& c, std::ostream* os) {
    *os << c.expected;
}

class DecodeErrorRendering : public ::testing::TestWithParam<DecodeRendering> {};

TEST_P(DecodeErrorRendering, IsExact) {
    EXPECT_EQ(render(D{GetParam().kind}), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, DecodeErrorRendering,
    ::testing::Values(
        DecodeRendering{D::UnexpectedEnd{3}, "UnexpectedEnd { additional: 3 }"},
        DecodeRendering{D::UnexpectedEnd{18446744073709551615ull},
                        "UnexpectedEnd { additional: 18446744073709551615 }"},
        DecodeRendering{D::LimitExceeded{}, "LimitExceeded"},
        DecodeRendering{D::InvalidIntegerType{IntegerType::U32, IntegerType::Reserved},
                        "InvalidIntegerType { expected: U32, found: Reserved }"},
        DecodeRendering{D::InvalidIntegerType{IntegerType::U64, IntegerType::U128},
                        "InvalidIntegerType { expected: U64, found: U128 }"},
        DecodeRendering{D::InvalidIntegerType{IntegerType::Isize, IntegerType::I128},
                        "InvalidIntegerType { expected: Isize, found: I128 }"},
        DecodeRendering{D::NonZeroTypeIsZero{IntegerType::Usize},
                        "NonZeroTypeIsZero { non_zero_type: Usize }"},
        DecodeRendering{D::UnexpectedVariant{"core::option::Option<char>", AllowedRange{0, 1}, 2},
                        "UnexpectedVariant { type_name: \"core::option::Option<char>\", allowed: "
                        "Range { min: 0, max: 1 }, found: 2 }"},
        DecodeRendering{D::UnexpectedVariant{"E", AllowedList{{1, 5, 9}}, 4},
                        "UnexpectedVariant { type_name: \"E\", allowed: Allowed([1, 5, 9]), "
                        "found: 4 }"},
        DecodeRendering{D::Utf8{Utf8Error{3, 1}},
                        "Utf8 { inner: Utf8Error { valid_up_to: 3, error_len: Some(1) } }"},
        DecodeRendering{D::Utf8{Utf8Error{0, std::nullopt}},
                        "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: None } }"},
        DecodeRendering{D::InvalidCharEncoding{{192, 0, 0, 0}},
                        "InvalidCharEncoding([192, 0, 0, 0])"},
        DecodeRendering{D::InvalidCharEncoding{{237, 160, 128, 0}},
                        "InvalidCharEncoding([237, 160, 128, 0])"},
        DecodeRendering{D::InvalidBooleanValue{2}, "InvalidBooleanValue(2)"},
        DecodeRendering{D::ArrayLengthMismatch{4, 3},
                        "ArrayLengthMismatch { required: 4, found: 3 }"},
        DecodeRendering{D::OutsideUsizeRange{1ull << 40}, "OutsideUsizeRange(1099511627776)"},
        DecodeRendering{D::EmptyEnum{"Never"}, "EmptyEnum { type_name: \"Never\" }"},
        DecodeRendering{D::InvalidDuration{5, 1'000'000'000},
                        "InvalidDuration { secs: 5, nanos: 1000000000 }"},
        DecodeRendering{D::InvalidSystemTime{Duration{1, 500'000'000}},
                        "InvalidSystemTime { duration: 1.5s }"},
        DecodeRendering{D::CStringNulError{7}, "CStringNulError { position: 7 }"},
        DecodeRendering{D::Io{"Kind(UnexpectedEof)", 4},
                        "Io { inner: Kind(UnexpectedEof), additional: 4 }"},
        DecodeRendering{D::Other{"plain"}, "Other(\"plain\")"},
        DecodeRendering{D::OtherString{"say \"hi\"\\\n\t\x01"},
                        "OtherString(\"say \\\"hi\\\"\\\\\\n\\t\\u{1}\")"}));

struct EncodeRendering {
    E::Kind kind;
    std::string expected;
};

void PrintTo(const EncodeRendering& c, std::ostream* os) {
    *os << c.expected;
}

class EncodeErrorRendering : public ::testing::TestWithParam<EncodeRendering> {};

TEST_P(EncodeErrorRendering, IsExact) {
    EXPECT_EQ(render(E{GetParam().kind}), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, EncodeErrorRendering,
    ::testing::Values(
        EncodeRendering{E::UnexpectedEnd{}, "UnexpectedEnd"},
        EncodeRendering{E::RefCellAlreadyBorrowed{"Trie"},
                        "RefCellAlreadyBorrowed { inner: BorrowError, type_name: \"Trie\" }"},
        EncodeRendering{E::Other{"x"}, "Other(\"x\")"},
        EncodeRendering{E::OtherString{"y"}, "OtherString(\"y\")"},
        EncodeRendering{E::InvalidPathCharacters{}, "InvalidPathCharacters"},
        EncodeRendering{E::Io{"Kind(WriteZero)", 12}, "Io { inner: Kind(WriteZero), index: 12 }"},
        EncodeRendering{E::LockFailed{"Mutex"}, "LockFailed { type_name: \"Mutex\" }"},
        EncodeRendering{E::InvalidSystemTime{"SystemTimeError(1s)", "SystemTime(0)"},
                        "InvalidSystemTime { inner: SystemTimeError(1s), time: SystemTime(0) }"}));

struct DurationCase {
    Duration duration;
    std::string expected;
};

void PrintTo(const DurationCase& c, std::ostream* os) {
    *os << c.expected;
}

class DurationRendering : public ::testing::TestWithParam<DurationCase> {};

TEST_P(DurationRendering, PicksUnitAndDropsTrailingZeros) {
    EXPECT_EQ(render(GetParam().duration), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Units, DurationRendering,
    ::testing::Values(DurationCase{{0, 0}, "0ns"}, DurationCase{{0, 999}, "999ns"},
                      DurationCase{{0, 1000}, "1\u00B5s"}, DurationCase{{0, 1500}, "1.5\u00B5s"},
                      DurationCase{{0, 1'000'001}, "1.000001ms"},
                      DurationCase{{0, 250'000'000}, "250ms"}, DurationCase{{2, 0}, "2s"},
                      DurationCase{{1, 500'000'000}, "1.5s"},
                      DurationCase{{1, 1}, "1.000000001s"}));

}  // namespace
}  // namespace morlatch::format
