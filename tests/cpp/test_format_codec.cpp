// Encoding and decoding whole tries.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "format/codec.hpp"
#include "test_support.hpp"

namespace morlatch::format {
namespace {

using testing::Bytes;
using testing::bytes;
using testing::concat;

std::string outcome(const Bytes& in) {
    const DecodeResult r = decode(in);
    return r ? "ok" : render(r.error());
}

Trie two_node_trie() {
    return Trie{{0, 1}, {std::nullopt, U'a'}, {std::nullopt, 7}, {1}};
}

const Bytes two_node_bytes = bytes({0x02, 0x00, 0x01,        // node_shifts
                                    0x02, 0x00, 0x01, 0x61,  // node_chars
                                    0x02, 0x00, 0x01, 0x07,  // node_payloads
                                    0x01, 0x01});            // child_indices

// The worked examples, both ways.
struct Example {
    std::string name;
    Trie trie;
    Bytes encoding;
};
void PrintTo(const Example& e, std::ostream* os) {
    *os << e.name;
}

class WorkedExample : public ::testing::TestWithParam<Example> {};

TEST_P(WorkedExample, EncodesToExactBytes) {
    EXPECT_EQ(encode(GetParam().trie), GetParam().encoding);
    EXPECT_EQ(encoded_size(GetParam().trie), GetParam().encoding.size());
}

TEST_P(WorkedExample, DecodesToTheTrie) {
    const DecodeResult r = decode(GetParam().encoding);
    ASSERT_TRUE(r) << render(r.error());
    EXPECT_EQ(DecodeResult(r).value(), GetParam().trie);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkedExample,
    ::testing::Values(
        Example{"Empty", Trie{}, bytes({0, 0, 0, 0})},
        Example{"TwoNodes", two_node_trie(), two_node_bytes},
        Example{"ThirdNodeWithEAcuteAnd300",
                Trie{{0, 1, 1}, {std::nullopt, U'a', U'\u00E9'}, {std::nullopt, 7, 300}, {1, 2}},
                bytes({0x03, 0x00, 0x01, 0x01,                          //
                       0x03, 0x00, 0x01, 0x61, 0x01, 0xC3, 0xA9,        //
                       0x03, 0x00, 0x01, 0x07, 0x01, 0xFB, 0x2C, 0x01,  //
                       0x02, 0x01, 0x02})},
        Example{"Payload70000", Trie{{}, {}, {70000}, {}},
                bytes({0x00, 0x00, 0x01, 0x01, 0xFC, 0x70, 0x11, 0x01, 0x00, 0x00})},
        Example{"VarintBoundaries", Trie{{250, 251, 65535, 65536}, {}, {}, {}},
                bytes({0x04, 0xFA, 0xFB, 0xFB, 0x00, 0xFB, 0xFF, 0xFF, 0xFC, 0x00, 0x00, 0x01, 0x00,
                       0x00, 0x00, 0x00})},
        Example{"LargestValuesAndAstralChar",
                Trie{{0xFFFF'FFFF}, {U'\U0010FFFF'}, {0xFFFF'FFFF}, {0xFFFF'FFFF}},
                bytes({0x01, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0xF4, 0x8F, 0xBF, 0xBF, 0x01,
                       0x01, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF})}),
    [](const auto& info) { return info.param.name; });

TEST(Decode, CountOf251UsesTheSixteenBitForm) {
    Trie t;
    t.child_indices.assign(251, 3);
    const Bytes enc = encode(t);
    ASSERT_EQ(enc.size(), 3 + 3 + 251);
    EXPECT_EQ(Bytes(enc.begin() + 3, enc.begin() + 6), bytes({0xFB, 0xFB, 0x00}));
    EXPECT_EQ(decode_or_fault(enc), t);
}

// Every failure the format can produce, with its exact rendering.
struct Failure {
    std::string name;
    Bytes input;
    std::string rendering;
};
void PrintTo(const Failure& f, std::ostream* os) {
    *os << f.name;
}

class DecodeFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(DecodeFailure, RendersExactly) {
    EXPECT_EQ(outcome(GetParam().input), GetParam().rendering);
}

TEST_P(DecodeFailure, FaultCarriesUnwrapMessage) {
    try {
        decode_or_fault(GetParam().input);
        FAIL() << "no fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(),
                  "called `Result::unwrap()` on an `Err` value: " + GetParam().rendering);
    }
}

const std::string option_char =
    R"(UnexpectedVariant { type_name: "core::option::Option<char>", allowed: Range { min: 0, max: 1 }, found: )";
const std::string option_u32 =
    R"(UnexpectedVariant { type_name: "core::option::Option<u32>", allowed: Range { min: 0, max: 1 }, found: )";

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeFailure,
    ::testing::Values(
        Failure{"EmptyInput", Bytes{}, "UnexpectedEnd { additional: 1 }"},
        Failure{"MissingSecondCount", bytes({0x00}), "UnexpectedEnd { additional: 1 }"},
        Failure{"MissingFourthCount", bytes({0x00, 0x00, 0x00}), "UnexpectedEnd { additional: 1 }"},
        Failure{"MissingElement", bytes({0x02, 0x05}), "UnexpectedEnd { additional: 1 }"},
        Failure{"MissingTag", bytes({0x00, 0x01}), "UnexpectedEnd { additional: 1 }"},
        Failure{"MissingLeadByte", bytes({0x00, 0x01, 0x01}), "UnexpectedEnd { additional: 1 }"},
        Failure{"MissingPayloadTag", bytes({0x00, 0x00, 0x01}), "UnexpectedEnd { additional: 1 }"},
        Failure{"MissingPayloadValue", bytes({0x00, 0x00, 0x01, 0x01}),
                "UnexpectedEnd { additional: 1 }"},
        Failure{"U16MarkerAlone", bytes({0x01, 0xFB}), "UnexpectedEnd { additional: 2 }"},
        Failure{"U16MarkerOneByte", bytes({0x01, 0xFB, 0x00}), "UnexpectedEnd { additional: 1 }"},
        Failure{"U32MarkerAlone", bytes({0x01, 0xFC}), "UnexpectedEnd { additional: 4 }"},
        Failure{"U32MarkerOneByte", bytes({0x01, 0xFC, 0x00}), "UnexpectedEnd { additional: 3 }"},
        Failure{"U32MarkerThreeBytes", bytes({0x01, 0xFC, 0x00, 0x00, 0x00}),
                "UnexpectedEnd { additional: 1 }"},
        Failure{"CountU16Cut", bytes({0xFB, 0x01}), "UnexpectedEnd { additional: 1 }"},
        Failure{"CountU32Cut", bytes({0xFC, 0x01, 0x00}), "UnexpectedEnd { additional: 2 }"},
        Failure{"CountU64Alone", bytes({0xFD}), "UnexpectedEnd { additional: 8 }"},
        Failure{"CountU64Cut", bytes({0xFD, 0x01, 0x02}), "UnexpectedEnd { additional: 6 }"},
        Failure{"CountU64OneShort", bytes({0xFD, 0, 0, 0, 0, 0, 0, 0}),
                "UnexpectedEnd { additional: 1 }"},
        Failure{"PayloadU32Cut", bytes({0x00, 0x00, 0x01, 0x01, 0xFC, 0x70}),
                "UnexpectedEnd { additional: 3 }"},
        Failure{"CharCutTwoByte", bytes({0x00, 0x01, 0x01, 0xC3}),
                "UnexpectedEnd { additional: 1 }"},
        Failure{"CharCutThreeByte", bytes({0x00, 0x01, 0x01, 0xE2}),
                "UnexpectedEnd { additional: 2 }"},
        Failure{"CharCutFourByte", bytes({0x00, 0x01, 0x01, 0xF0, 0x9F}),
                "UnexpectedEnd { additional: 2 }"},
        Failure{"ElementU64Marker", bytes({0x01, 0xFD}),
                "InvalidIntegerType { expected: U32, found: U64 }"},
        Failure{"ElementU64MarkerWithBytes", bytes({0x01, 0xFD, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
                "InvalidIntegerType { expected: U32, found: U64 }"},
        Failure{"ElementU128Marker", bytes({0x01, 0xFE}),
                "InvalidIntegerType { expected: U32, found: U128 }"},
        Failure{"ElementReserved", bytes({0x01, 0xFF}),
                "InvalidIntegerType { expected: U32, found: Reserved }"},
        Failure{"ElementReservedWithBytes", bytes({0x01, 0xFF, 0, 0, 0, 0, 0, 0}),
                "InvalidIntegerType { expected: U32, found: Reserved }"},
        Failure{"PayloadU64Marker", bytes({0x00, 0x00, 0x01, 0x01, 0xFD}),
                "InvalidIntegerType { expected: U32, found: U64 }"},
        Failure{"ChildU128Marker", bytes({0x00, 0x00, 0x00, 0x01, 0xFE}),
                "InvalidIntegerType { expected: U32, found: U128 }"},
        Failure{"CountU128Marker", bytes({0xFE}),
                "InvalidIntegerType { expected: U64, found: U128 }"},
        Failure{"CountReserved", bytes({0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                "InvalidIntegerType { expected: U64, found: Reserved }"},
        Failure{"ThirdCountReserved", bytes({0x00, 0x00, 0xFF}),
                "InvalidIntegerType { expected: U64, found: Reserved }"},
        Failure{"CharTag2", bytes({0x00, 0x01, 0x02}), option_char + "2 }"},
        Failure{"CharTag255", bytes({0x00, 0x01, 0xFF}), option_char + "255 }"},
        Failure{"PayloadTag2", bytes({0x00, 0x00, 0x01, 0x02}), option_u32 + "2 }"},
        Failure{"PayloadTag200", bytes({0x00, 0x00, 0x02, 0x00, 0xC8}), option_u32 + "200 }"},
        Failure{"CharContinuationLead", bytes({0x00, 0x01, 0x01, 0x80}),
                "InvalidCharEncoding([128, 0, 0, 0])"},
        Failure{"CharOverlongLead", bytes({0x00, 0x01, 0x01, 0xC0}),
                "InvalidCharEncoding([192, 0, 0, 0])"},
        Failure{"CharFF", bytes({0x00, 0x01, 0x01, 0xFF}), "InvalidCharEncoding([255, 0, 0, 0])"},
        Failure{"CharSurrogate", bytes({0x00, 0x01, 0x01, 0xED, 0xA0, 0x80}),
                "InvalidCharEncoding([237, 160, 128, 0])"},
        Failure{"CharAboveMax", bytes({0x00, 0x01, 0x01, 0xF4, 0x90, 0x80, 0x80}),
                "InvalidCharEncoding([244, 144, 128, 128])"},
        Failure{"SecondCharBad", bytes({0x00, 0x02, 0x00, 0x01, 0xC3, 0x28}),
                "InvalidCharEncoding([195, 40, 0, 0])"}),
    [](const auto& info) { return info.param.name; });

// The offset names the first byte of the value that could not be read.
TEST(Decode, ErrorOffsetIsWhereTheBadValueStarts) {
    const std::vector<std::pair<Bytes, std::size_t>> cases = {
        {bytes({0x01, 0xFC, 0x00}), 1},                             // cut u32 element
        {bytes({0x00, 0x00, 0xFF}), 2},                             // reserved count marker
        {bytes({0x00, 0x02, 0x00, 0x05}), 3},                       // bad char tag
        {bytes({0x00, 0x02, 0x00, 0x01, 0xC3, 0x28}), 4},           // bad char
        {bytes({0x00, 0x02, 0x00, 0x01, 0x80}), 4},                 // bad lead byte
        {bytes({0x00, 0x00, 0x02, 0x00, 0x01, 0xFD, 1, 2, 3}), 5},  // u64 payload
        {bytes({0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0xFE}), 6},     // u128 child
    };
    for (const auto& [input, offset] : cases) {
        const DecodeResult r = decode(input);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error_offset(), offset) << render(r.error());
    }
}

TEST(Decode, LongerFormCountsAndElementsAreAccepted) {
    const Bytes in = bytes({0xFB, 0x02, 0x00, 0xFB, 0x00, 0x00, 0xFC, 0x01, 0,   0,    0,  //
                            0xFC, 0x02, 0,    0,    0,    0x00, 0x01, 0x61,                //
                            0xFD, 0x02, 0,    0,    0,    0,    0,    0,    0,   0x00, 0x01,
                            0xFB, 0x07, 0x00, 0x01, 0xFC, 0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(decode_or_fault(in), two_node_trie());
}

TEST(Decode, TrailingBytesAreIgnored) {
    for (const Bytes& tail : {bytes({0x00}), bytes({0xFF}), bytes({0xFD, 0xFF, 0xFF}),
                              Bytes(20, 0xFE), two_node_bytes}) {
        EXPECT_EQ(decode_or_fault(concat(two_node_bytes, tail)), two_node_trie());
        EXPECT_EQ(decode_or_fault(concat(bytes({0, 0, 0, 0}), tail)), Trie{});
    }
}

// A count far beyond the input must neither be trusted for a reservation
// (that would throw std::length_error or std::bad_alloc) nor stop early.
TEST(Decode, HugeCountOverShortRemainderEndsAtTheEnd) {
    const Bytes huge = bytes({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
    EXPECT_EQ(outcome(huge), "UnexpectedEnd { additional: 1 }");
    EXPECT_EQ(outcome(concat(huge, bytes({0x00, 0x05, 0x07}))), "UnexpectedEnd { additional: 1 }");
    EXPECT_EQ(outcome(concat(huge, bytes({0x00, 0xFC, 0x07}))), "UnexpectedEnd { additional: 3 }");
    EXPECT_EQ(outcome(concat(huge, bytes({0x00, 0xFF, 0x07}))),
              "InvalidIntegerType { expected: U32, found: Reserved }");
    // In the other lists too, and with every byte of the count set.
    const Bytes all_ones = bytes({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(outcome(concat(bytes({0x00}), concat(all_ones, bytes({0x01, 0x61, 0x00})))),
              "UnexpectedEnd { additional: 1 }");
    EXPECT_EQ(outcome(concat(bytes({0x00, 0x00}), concat(all_ones, bytes({0x01, 0x05, 0x03})))),
              option_u32 + "3 }");
    EXPECT_EQ(outcome(concat(bytes({0x00, 0x00, 0x00}), concat(all_ones, Bytes(1000, 0x01)))),
              "UnexpectedEnd { additional: 1 }");
}

// Only where std::size_t is narrower than a count can be; not reachable here.
TEST(Decode, CountBeyondSizeTypeRendering) {
    EXPECT_EQ(render(DecodeError{DecodeError::OutsideUsizeRange{1ull << 40}}),
              "OutsideUsizeRange(1099511627776)");
}

TEST(Decode, ResultValueOnErrorFaultsWithRendering) {
    DecodeResult r = decode(bytes({0x01, 0xFC, 0x00}));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), DecodeError{DecodeError::UnexpectedEnd{3}});
    try {
        r.value();
        FAIL() << "no fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(),
                  "called `Result::unwrap()` on an `Err` value: UnexpectedEnd { additional: 3 }");
    }
}

// Random tries, with a plain reference encoder as oracle.
class RandomTries : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RandomTries, EncodingMatchesReferenceAndRoundTrips) {
    testing::TrieGenerator gen(GetParam());
    for (int i = 0; i < 200; ++i) {
        const Trie t = gen.trie(i % 10 == 0 ? 400 : 12);
        testing::ReferenceEncoder ref;
        ref.trie(t);
        const Bytes enc = encode(t);
        ASSERT_EQ(enc, ref.out);
        ASSERT_EQ(encoded_size(t), enc.size());
        const DecodeResult back = decode(enc);
        ASSERT_TRUE(back) << render(back.error());
        ASSERT_EQ(DecodeResult(back).value(), t);
    }
}

// Cutting a valid encoding anywhere fails with the number of bytes missing
// from the primitive value that the cut falls into (or 1 if the cut falls
// just before one), at the offset where that value starts.
TEST_P(RandomTries, EveryTruncationNeedsTheMissingBytesOfTheCutValue) {
    testing::TrieGenerator gen(GetParam() + 1000);
    for (int i = 0; i < 30; ++i) {
        const Trie t = gen.trie(8);
        testing::ReferenceEncoder ref;
        ref.trie(t);
        const Bytes& full = ref.out;
        std::size_t unit = 0;
        for (std::size_t cut = 0; cut < full.size(); ++cut) {
            while (ref.units[unit].start + ref.units[unit].length <= cut) ++unit;
            const auto& u = ref.units[unit];
            const std::size_t missing = cut == u.start ? 1 : u.length - (cut - u.start);
            const DecodeResult r = decode(std::span(full).first(cut));
            ASSERT_FALSE(r) << "cut " << cut;
            ASSERT_EQ(r.error(), DecodeError{DecodeError::UnexpectedEnd{missing}}) << "cut " << cut;
            ASSERT_EQ(r.error_offset(), u.start) << "cut " << cut;
        }
    }
}

// Arbitrary damage gives a trie or an error, and a trie read from damaged
// bytes is itself a fixed point of encode/decode.
TEST_P(RandomTries, MutatedEncodingsNeverMisbehave) {
    testing::TrieGenerator gen(GetParam() + 2000);
    for (int i = 0; i < 300; ++i) {
        Bytes b = encode(gen.trie(10));
        const std::size_t flips = 1 + gen.pick(3);
        for (std::size_t k = 0; k < flips && !b.empty(); ++k) b[gen.pick(b.size())] = gen.byte();
        const DecodeResult r = decode(b);
        if (!r) continue;
        const Trie t = DecodeResult(r).value();
        const Bytes again = encode(t);
        EXPECT_LE(again.size(), b.size());
        EXPECT_EQ(decode_or_fault(again), t);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomTries, ::testing::Values(1u, 2u, 3u, 4u));

TEST(Encode, IntoBufferOfWrongSizeFaults) {
    const Trie t = two_node_trie();
    Bytes small(encoded_size(t) - 1);
    try {
        encode_into(t, small);
        FAIL() << "no fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "called `Result::unwrap()` on an `Err` value: UnexpectedEnd");
    }
    Bytes large(encoded_size(t) + 1);
    EXPECT_THROW(encode_into(t, large), Fault);
    Bytes none;
    EXPECT_THROW(encode_into(Trie{}, none), Fault);
}

}  // namespace
}  // namespace morlatch::format
