// Varints, presence tags and UTF-8 characters of the trie byte format.
#include <gtest/gtest.h>

#include <optional>
#include <span>

#include "format/varint.hpp"
#include "test_support.hpp"

namespace morlatch::format {
namespace {

using testing::Bytes;
using testing::bytes;

struct VectorSink {
    Bytes out;
    template <std::size_t N>
    void put(const std::uint8_t (&b)[N]) {
        out.insert(out.end(), b, b + N);
    }
};

// Outcome of one read: the value and bytes consumed, or the error.
template <class T>
struct Outcome {
    std::optional<T> value;
    std::size_t consumed = 0;
    std::optional<DecodeError> error;

    bool operator==(const Outcome&) const = default;
};

template <class T>
void PrintTo(const Outcome<T>& o, std::ostream* os) {
    if (o.value) *os << "value " << static_cast<std::uint64_t>(*o.value) << " after " << o.consumed;
    if (o.error) *os << render(*o.error);
}

template <class T, class Read>
Outcome<T> run(const Bytes& in, Read read) {
    Cursor c(in);
    T value{};
    Outcome<T> o;
    if (read(c, value)) {
        o.value = value;
        o.consumed = static_cast<std::size_t>(c.pos - in.data());
    } else {
        o.error = c.error;
    }
    return o;
}

template <class T>
Outcome<T> ok(T value, std::size_t consumed) {
    return Outcome<T>{value, consumed, std::nullopt};
}
template <class T>
Outcome<T> err(DecodeError::Kind kind) {
    return Outcome<T>{std::nullopt, 0, DecodeError{std::move(kind)}};
}

Bytes written(std::uint64_t v) {
    VectorSink sink;
    write_varint(sink, v);
    return sink.out;
}

// Shortest forms at every boundary between them.
struct VarintCase {
    std::uint64_t value;
    Bytes encoding;
};
void PrintTo(const VarintCase& c, std::ostream* os) {
    *os << c.value;
}

class VarintEncoding : public ::testing::TestWithParam<VarintCase> {};

TEST_P(VarintEncoding, WritesShortestFormAndReadsItBack) {
    const auto& [value, encoding] = GetParam();
    EXPECT_EQ(written(value), encoding);

    CountingSink counter;
    write_varint(counter, value);
    EXPECT_EQ(counter.size, encoding.size());

    EXPECT_EQ(run<std::uint64_t>(encoding, read_varint<std::uint64_t>), ok(value, encoding.size()));
    if (value <= 0xFFFF'FFFF) {
        EXPECT_EQ(run<std::uint32_t>(encoding, read_varint<std::uint32_t>),
                  ok(static_cast<std::uint32_t>(value), encoding.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, VarintEncoding,
    ::testing::Values(VarintCase{0, bytes({0x00})}, VarintCase{7, bytes({0x07})},
                      VarintCase{250, bytes({0xFA})}, VarintCase{251, bytes({0xFB, 0xFB, 0x00})},
                      VarintCase{300, bytes({0xFB, 0x2C, 0x01})},
                      VarintCase{65535, bytes({0xFB, 0xFF, 0xFF})},
                      VarintCase{65536, bytes({0xFC, 0x00, 0x00, 0x01, 0x00})},
                      VarintCase{70000, bytes({0xFC, 0x70, 0x11, 0x01, 0x00})},
                      VarintCase{0xFFFF'FFFF, bytes({0xFC, 0xFF, 0xFF, 0xFF, 0xFF})},
                      VarintCase{0x1'0000'0000,
                                 bytes({0xFD, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00})},
                      VarintCase{0xFFFF'FFFF'FFFF'FFFF,
                                 bytes({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}));

TEST(Varint, LongerFormsThanNeededAreAccepted) {
    EXPECT_EQ(run<std::uint32_t>(bytes({0xFB, 0x05, 0x00}), read_varint<std::uint32_t>), ok(5u, 3));
    EXPECT_EQ(run<std::uint32_t>(bytes({0xFC, 0x05, 0, 0, 0}), read_varint<std::uint32_t>),
              ok(5u, 5));
    EXPECT_EQ(
        run<std::uint64_t>(bytes({0xFD, 0x02, 0, 0, 0, 0, 0, 0, 0}), read_varint<std::uint64_t>),
        ok<std::uint64_t>(2, 9));
}

// Independent model of a read near the end of the input, straight from the
// format's table.
template <class T>
Outcome<T> model(const Bytes& in) {
    const IntegerType expected = sizeof(T) == 4 ? IntegerType::U32 : IntegerType::U64;
    if (in.empty()) return err<T>(DecodeError::UnexpectedEnd{1});
    const int first = in[0];
    if (first <= 250) return ok<T>(static_cast<T>(first), 1);
    if (first == 0xFE) return err<T>(DecodeError::InvalidIntegerType{expected, IntegerType::U128});
    if (first == 0xFF)
        return err<T>(DecodeError::InvalidIntegerType{expected, IntegerType::Reserved});
    if (first == 0xFD && sizeof(T) == 4)
        return err<T>(DecodeError::InvalidIntegerType{expected, IntegerType::U64});
    const std::size_t total = first == 0xFB ? 3 : first == 0xFC ? 5 : 9;
    if (in.size() < total) return err<T>(DecodeError::UnexpectedEnd{total - in.size()});
    std::uint64_t v = 0;
    for (std::size_t i = total - 1; i >= 1; --i) v = v * 256 + in[i];
    return ok<T>(static_cast<T>(v), total);
}

template <class T>
void check_paths_agree() {
    testing::TrieGenerator gen(17);
    for (int first = 0; first < 256; ++first) {
        for (std::size_t len = 1; len <= 12; ++len) {
            for (int trial = 0; trial < 4; ++trial) {
                Bytes in{static_cast<std::uint8_t>(first)};
                while (in.size() < len) in.push_back(gen.byte());
                SCOPED_TRACE(::testing::Message() << "first " << first << " len " << len);
                const auto careful = run<T>(in, read_varint_careful<T>);
                EXPECT_EQ(careful, model<T>(in));
                EXPECT_EQ(run<T>(in, read_varint<T>), careful);
                if (len >= varint_fast_min<T>) {
                    EXPECT_EQ(run<T>(in, read_varint_fast<T>), careful);
                }
            }
        }
    }
    EXPECT_EQ(run<T>(Bytes{}, read_varint_careful<T>), err<T>(DecodeError::UnexpectedEnd{1}));
    EXPECT_EQ(run<T>(Bytes{}, read_varint<T>), err<T>(DecodeError::UnexpectedEnd{1}));
}

TEST(Varint, FastAndCarefulPathsAgreeOn32BitForm) {
    check_paths_agree<std::uint32_t>();
}
TEST(Varint, FastAndCarefulPathsAgreeOn64BitForm) {
    check_paths_agree<std::uint64_t>();
}

// The dispatching reader switches paths at 5 (32-bit form) and 9 (64-bit
// form) remaining bytes: padding after a value must not change it.
TEST(Varint, PaddingAcrossThePathThresholdDoesNotChangeTheResult) {
    for (std::uint64_t v : {0ull, 250ull, 251ull, 65535ull, 65536ull, 0xFFFF'FFFFull}) {
        const Bytes enc = written(v);
        for (std::size_t pad = 0; pad <= 9; ++pad) {
            Bytes in = enc;
            in.resize(enc.size() + pad, 0xFF);
            EXPECT_EQ(run<std::uint32_t>(in, read_varint<std::uint32_t>),
                      ok(static_cast<std::uint32_t>(v), enc.size()))
                << v << " pad " << pad;
            EXPECT_EQ(run<std::uint64_t>(in, read_varint<std::uint64_t>), ok(v, enc.size()))
                << v << " pad " << pad;
        }
    }
    for (int marker : {0xFD, 0xFE, 0xFF}) {
        const auto alone = run<std::uint32_t>(bytes({marker}), read_varint<std::uint32_t>);
        ASSERT_TRUE(alone.error);
        for (std::size_t pad = 1; pad <= 9; ++pad) {
            Bytes in(1 + pad, 0);
            in[0] = static_cast<std::uint8_t>(marker);
            EXPECT_EQ(run<std::uint32_t>(in, read_varint<std::uint32_t>), alone);
        }
    }
}

// Characters.

Bytes utf8(char32_t c) {
    VectorSink sink;
    write_char(sink, c);
    return sink.out;
}

struct CharCase {
    char32_t value;
    Bytes encoding;
};
void PrintTo(const CharCase& c, std::ostream* os) {
    *os << "U+" << std::hex << static_cast<std::uint32_t>(c.value);
}

class CharEncoding : public ::testing::TestWithParam<CharCase> {};

TEST_P(CharEncoding, WritesStandardUtf8AndReadsItBack) {
    const auto& [value, encoding] = GetParam();
    EXPECT_EQ(utf8(value), encoding);
    EXPECT_EQ(run<char32_t>(encoding, read_char), ok(value, encoding.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Widths, CharEncoding,
    ::testing::Values(CharCase{U'\0', bytes({0x00})}, CharCase{U'a', bytes({0x61})},
                      CharCase{0x7F, bytes({0x7F})}, CharCase{0x80, bytes({0xC2, 0x80})},
                      CharCase{0xE9, bytes({0xC3, 0xA9})}, CharCase{0x7FF, bytes({0xDF, 0xBF})},
                      CharCase{0x800, bytes({0xE0, 0xA0, 0x80})},
                      CharCase{0x20AC, bytes({0xE2, 0x82, 0xAC})},
                      CharCase{0xD7FF, bytes({0xED, 0x9F, 0xBF})},
                      CharCase{0xE000, bytes({0xEE, 0x80, 0x80})},
                      CharCase{0xFFFF, bytes({0xEF, 0xBF, 0xBF})},
                      CharCase{0x10000, bytes({0xF0, 0x90, 0x80, 0x80})},
                      CharCase{0x1F600, bytes({0xF0, 0x9F, 0x98, 0x80})},
                      CharCase{0x10FFFF, bytes({0xF4, 0x8F, 0xBF, 0xBF})}));

// Every scalar value survives a write and a read.
TEST(Char, EveryScalarValueRoundTrips) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c == 0xD800) c = 0xE000;
        const Bytes enc = utf8(c);
        const auto got = run<char32_t>(enc, read_char);
        ASSERT_EQ(got, ok(c, enc.size())) << std::hex << static_cast<std::uint32_t>(c);
    }
}

struct BadChar {
    Bytes input;
    DecodeError::Kind error;
};
void PrintTo(const BadChar& c, std::ostream* os) {
    *os << ::testing::PrintToString(c.input) << " -> " << render(DecodeError{c.error});
}

class CharRejected : public ::testing::TestWithParam<BadChar> {};

TEST_P(CharRejected, WithExactError) {
    EXPECT_EQ(run<char32_t>(GetParam().input, read_char), err<char32_t>(GetParam().error));
}

using ICE = DecodeError::InvalidCharEncoding;
using End = DecodeError::UnexpectedEnd;

INSTANTIATE_TEST_SUITE_P(
    Cases, CharRejected,
    ::testing::Values(BadChar{Bytes{}, End{1}}, BadChar{bytes({0x80}), ICE{{0x80, 0, 0, 0}}},
                      BadChar{bytes({0xBF, 0x80}), ICE{{0xBF, 0, 0, 0}}},
                      BadChar{bytes({0xC0, 0x80}), ICE{{0xC0, 0, 0, 0}}},
                      BadChar{bytes({0xC1, 0xBF}), ICE{{0xC1, 0, 0, 0}}},
                      BadChar{bytes({0xF5, 0x80, 0x80, 0x80}), ICE{{0xF5, 0, 0, 0}}},
                      BadChar{bytes({0xFF}), ICE{{0xFF, 0, 0, 0}}},
                      // Bad continuation bytes: the whole sequence read so far is reported.
                      BadChar{bytes({0xC3, 0x41}), ICE{{0xC3, 0x41, 0, 0}}},
                      BadChar{bytes({0xC3, 0xC0}), ICE{{0xC3, 0xC0, 0, 0}}},
                      BadChar{bytes({0xE2, 0x82, 0x41}), ICE{{0xE2, 0x82, 0x41, 0}}},
                      BadChar{bytes({0xF0, 0x9F, 0x98, 0x00}), ICE{{0xF0, 0x9F, 0x98, 0x00}}},
                      // Overlong forms, surrogates, beyond U+10FFFF.
                      BadChar{bytes({0xE0, 0x80, 0x80}), ICE{{0xE0, 0x80, 0x80, 0}}},
                      BadChar{bytes({0xE0, 0x9F, 0xBF}), ICE{{0xE0, 0x9F, 0xBF, 0}}},
                      BadChar{bytes({0xED, 0xA0, 0x80}), ICE{{0xED, 0xA0, 0x80, 0}}},
                      BadChar{bytes({0xED, 0xBF, 0xBF}), ICE{{0xED, 0xBF, 0xBF, 0}}},
                      BadChar{bytes({0xF0, 0x8F, 0xBF, 0xBF}), ICE{{0xF0, 0x8F, 0xBF, 0xBF}}},
                      BadChar{bytes({0xF4, 0x90, 0x80, 0x80}), ICE{{0xF4, 0x90, 0x80, 0x80}}},
                      // Cut short: width minus the bytes left, lead included.
                      BadChar{bytes({0xC3}), End{1}}, BadChar{bytes({0xE2}), End{2}},
                      BadChar{bytes({0xE2, 0x82}), End{1}}, BadChar{bytes({0xF0}), End{3}},
                      BadChar{bytes({0xF0, 0x9F}), End{2}},
                      BadChar{bytes({0xF0, 0x9F, 0x98}), End{1}},
                      // Cut short is reported before invalid continuation bytes are seen.
                      BadChar{bytes({0xED, 0xA0}), End{1}}));

TEST(Byte, TagByteNeedsOneByte) {
    EXPECT_EQ(run<std::uint8_t>(Bytes{}, read_byte), err<std::uint8_t>(End{1}));
    EXPECT_EQ(run<std::uint8_t>(bytes({0x02, 0x03}), read_byte), ok<std::uint8_t>(2, 1));
}

}  // namespace
}  // namespace morlatch::format
