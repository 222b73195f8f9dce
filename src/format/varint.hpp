// Primitive values of the trie byte format: unsigned varints, presence tags
// and UTF-8 scalar values, read from a cursor and written to a sink.
//
// Varint layout (little-endian): 0..250 is the byte itself; 0xFB, 0xFC and
// 0xFD announce a 16-, 32- or 64-bit value; 0xFE (128-bit) and 0xFF
// (reserved) are never valid. The 32-bit form, used for elements, also
// refuses 0xFD; the 64-bit form is used for element counts.
//
// Readers return false after storing the failure in the cursor, with the
// offset of the value that could not be read (its first byte: the varint's
// marker, the presence tag, the character's lead byte); the cursor's
// position is then unspecified. They are header-only so that the per-element
// loops of the decoder inline them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "format/errors.hpp"

namespace morlatch::format {

inline constexpr std::uint8_t single_byte_max = 250;
inline constexpr std::uint8_t u16_marker = 0xFB;
inline constexpr std::uint8_t u32_marker = 0xFC;
inline constexpr std::uint8_t u64_marker = 0xFD;
inline constexpr std::uint8_t u128_marker = 0xFE;

inline constexpr std::uint8_t tag_absent = 0x00;
inline constexpr std::uint8_t tag_present = 0x01;

struct Cursor {
    const std::uint8_t* pos;
    const std::uint8_t* end;
    const std::uint8_t* begin;
    // Meaningful only after a reader returned false.
    DecodeError error{};
    const std::uint8_t* error_at = nullptr;

    explicit Cursor(std::span<const std::uint8_t> bytes)
        : pos(bytes.data()), end(bytes.data() + bytes.size()), begin(bytes.data()) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end - pos); }
    // Where the value that failed starts, counted from the start of the input.
    std::size_t error_offset() const { return static_cast<std::size_t>(error_at - begin); }

    // The value starting at `at` cannot be read.
    [[gnu::cold, gnu::noinline]] bool fail_at(const std::uint8_t* at, DecodeError::Kind kind) {
        error.kind = std::move(kind);
        error_at = at;
        return false;
    }
    // The value starting at the current position cannot be read.
    bool fail(DecodeError::Kind kind) { return fail_at(pos, std::move(kind)); }
    // `needed` bytes are required from the current position but only
    // remaining() are left; the value started at `at`.
    [[gnu::cold, gnu::noinline]] bool fail_end_at(const std::uint8_t* at, std::size_t needed) {
        return fail_at(at, DecodeError::UnexpectedEnd{needed - remaining()});
    }
    bool fail_end(std::size_t needed) { return fail_end_at(pos, needed); }
};

namespace detail {

template <class T>
T load_le(const std::uint8_t* p) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(p[i]) << (8 * i);
    return value;
}

template <class UInt>
constexpr IntegerType integer_type() {
    static_assert(std::is_same_v<UInt, std::uint32_t> || std::is_same_v<UInt, std::uint64_t>);
    return std::is_same_v<UInt, std::uint32_t> ? IntegerType::U32 : IntegerType::U64;
}

// The marker bytes that the form of UInt does not accept.
// `at` points to the marker.
template <class UInt>
[[gnu::cold, gnu::noinline]] bool fail_marker(Cursor& c, const std::uint8_t* at) {
    const std::uint8_t marker = *at;
    const IntegerType found = marker == u64_marker    ? IntegerType::U64
                              : marker == u128_marker ? IntegerType::U128
                                                      : IntegerType::Reserved;
    return c.fail_at(at, DecodeError::InvalidIntegerType{integer_type<UInt>(), found});
}

}  // namespace detail

// The fast path needs this many bytes left, enough for the widest value of
// UInt's form, so that no length check is needed after the marker.
template <class UInt>
inline constexpr std::size_t varint_fast_min = sizeof(UInt) + 1;

template <class UInt>
inline bool read_varint_fast(Cursor& c, UInt& out) {
    const std::uint8_t* p = c.pos;
    const std::uint8_t first = p[0];
    if (first <= single_byte_max) [[likely]] {
        out = first;
        c.pos = p + 1;
        return true;
    }
    switch (first) {
        case u16_marker:
            out = detail::load_le<std::uint16_t>(p + 1);
            c.pos = p + 3;
            return true;
        case u32_marker:
            out = detail::load_le<std::uint32_t>(p + 1);
            c.pos = p + 5;
            return true;
        case u64_marker:
            if constexpr (sizeof(UInt) == 8) {
                out = detail::load_le<std::uint64_t>(p + 1);
                c.pos = p + 9;
                return true;
            }
            [[fallthrough]];
        default:
            return detail::fail_marker<UInt>(c, p);
    }
}

// Near the end of the input: consumes the marker, then checks that the bytes
// it announces are there.
template <class UInt>
inline bool read_varint_careful(Cursor& c, UInt& out) {
    if (c.pos == c.end) return c.fail_end(1);
    const std::uint8_t* const start = c.pos;
    const std::uint8_t first = *c.pos++;
    if (first <= single_byte_max) {
        out = first;
        return true;
    }
    std::size_t width = 0;
    switch (first) {
        case u16_marker:
            width = 2;
            break;
        case u32_marker:
            width = 4;
            break;
        case u64_marker:
            if constexpr (sizeof(UInt) == 8) {
                width = 8;
                break;
            }
            [[fallthrough]];
        default:
            return detail::fail_marker<UInt>(c, start);
    }
    if (c.remaining() < width) return c.fail_end_at(start, width);
    const std::uint8_t* p = c.pos;
    c.pos += width;
    switch (width) {
        case 2:
            out = detail::load_le<std::uint16_t>(p);
            break;
        case 4:
            out = detail::load_le<std::uint32_t>(p);
            break;
        default:
            out = static_cast<UInt>(detail::load_le<std::uint64_t>(p));
            break;
    }
    return true;
}

template <class UInt>
inline bool read_varint(Cursor& c, UInt& out) {
    if (c.remaining() >= varint_fast_min<UInt>) [[likely]]
        return read_varint_fast(c, out);
    return read_varint_careful(c, out);
}

inline bool read_byte(Cursor& c, std::uint8_t& out) {
    if (c.pos == c.end) [[unlikely]]
        return c.fail_end(1);
    out = *c.pos++;
    return true;
}

// Sequence length announced by a UTF-8 lead byte; 0 for bytes that cannot
// start a sequence (continuation bytes, overlong leads C0/C1, F5 and up).
constexpr std::size_t utf8_width(std::uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF5) return 4;
    return 0;
}

// One scalar value as strict UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF.
inline bool read_char(Cursor& c, char32_t& out) {
    if (c.pos == c.end) [[unlikely]]
        return c.fail_end(1);
    const std::uint8_t lead = *c.pos;
    if (lead < 0x80) [[likely]] {
        out = lead;
        ++c.pos;
        return true;
    }
    const std::size_t width = utf8_width(lead);
    if (width == 0) return c.fail(DecodeError::InvalidCharEncoding{{lead, 0, 0, 0}});
    if (c.remaining() < width) return c.fail_end(width);
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), c.pos, width);
    c.pos += width;
    // The second byte's range depends on the lead; the rest are 80..BF.
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    switch (lead) {
        case 0xE0:  // overlong
            low = 0xA0;
            break;
        case 0xED:  // surrogates
            high = 0x9F;
            break;
        case 0xF0:  // overlong
            low = 0x90;
            break;
        case 0xF4:  // above U+10FFFF
            high = 0x8F;
            break;
        default:
            break;
    }
    bool valid = bytes[1] >= low && bytes[1] <= high;
    for (std::size_t i = 2; i < width; ++i) valid = valid && (bytes[i] & 0xC0) == 0x80;
    if (!valid) return c.fail_at(c.pos - width, DecodeError::InvalidCharEncoding{bytes});
    char32_t value = lead & (0x7F >> width);
    for (std::size_t i = 1; i < width; ++i) value = (value << 6) | (bytes[i] & 0x3F);
    out = value;
    return true;
}

// Writing. A sink takes whole primitives as fixed-size byte arrays:
// `template <std::size_t N> void put(const std::uint8_t (&bytes)[N])`.
// The counting sink only adds N, so the measuring pass and the writing pass
// run the same code and cannot disagree on lengths.

struct CountingSink {
    std::size_t size = 0;

    template <std::size_t N>
    void put(const std::uint8_t (&)[N]) {
        size += N;
    }
};

// Shortest form. Element values are 32-bit, so only counts can take 0xFD.
template <class Sink>
inline void write_varint(Sink& sink, std::uint64_t v) {
    if (v <= single_byte_max) [[likely]] {
        const std::uint8_t b[1] = {static_cast<std::uint8_t>(v)};
        sink.put(b);
    } else if (v <= 0xFFFF) {
        const std::uint8_t b[3] = {u16_marker, static_cast<std::uint8_t>(v),
                                   static_cast<std::uint8_t>(v >> 8)};
        sink.put(b);
    } else if (v <= 0xFFFF'FFFF) {
        std::uint8_t b[5] = {u32_marker};
        for (std::size_t i = 0; i < 4; ++i) b[1 + i] = static_cast<std::uint8_t>(v >> (8 * i));
        sink.put(b);
    } else {
        std::uint8_t b[9] = {u64_marker};
        for (std::size_t i = 0; i < 8; ++i) b[1 + i] = static_cast<std::uint8_t>(v >> (8 * i));
        sink.put(b);
    }
}

template <class Sink>
inline void write_byte(Sink& sink, std::uint8_t byte) {
    const std::uint8_t b[1] = {byte};
    sink.put(b);
}

// Standard UTF-8; node characters are scalar values, so no check is made.
template <class Sink>
inline void write_char(Sink& sink, char32_t v) {
    const auto cont = [](char32_t bits) { return static_cast<std::uint8_t>(0x80 | (bits & 0x3F)); };
    if (v < 0x80) [[likely]] {
        write_byte(sink, static_cast<std::uint8_t>(v));
    } else if (v < 0x800) {
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(0xC0 | (v >> 6)), cont(v)};
        sink.put(b);
    } else if (v < 0x10000) {
        const std::uint8_t b[3] = {static_cast<std::uint8_t>(0xE0 | (v >> 12)), cont(v >> 6),
                                   cont(v)};
        sink.put(b);
    } else {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(0xF0 | (v >> 18)), cont(v >> 12),
                                   cont(v >> 6), cont(v)};
        sink.put(b);
    }
}

}  // namespace morlatch::format
