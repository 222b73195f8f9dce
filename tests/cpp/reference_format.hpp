// The trie byte format, modelled once for the C++ tests and fuzz targets,
// from the format's description alone (it shares no code with src/format):
// a plain writer that also records where each primitive value starts and
// how long it is, and a plain reader:
//
//   four lists, each an element count (64-bit varint) and its elements:
//   node_shifts (32-bit varints), node_chars (tag 0, or tag 1 and a UTF-8
//   character), node_payloads (tag 0, or tag 1 and a 32-bit varint),
//   child_indices (32-bit varints). Bytes after the fourth list are ignored.
//
//   varint: a byte 0..250 is the value; 251, 252, 253 announce 2, 4, 8
//   little-endian bytes; 254 (128-bit) and 255 (reserved) are refused, and so
//   is 253 where a 32-bit value is expected.
//
// A failure is its one-line rendering and the offset of the first byte of the
// value that could not be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/trie.hpp"

namespace morlatch::reference::byte_format {

using Bytes = std::vector<std::uint8_t>;

// ---- writing --------------------------------------------------------------------

// One primitive value of an encoding: a count, a varint element, a tag or a
// character.
struct Unit {
    std::size_t start;
    std::size_t length;
};

// Written from the format description alone, byte by byte.
class ReferenceEncoder {
public:
    Bytes out;
    std::vector<Unit> units;

    void varint(std::uint64_t v) {
        begin();
        if (v < 251) {
            out.push_back(static_cast<std::uint8_t>(v));
        } else if (v < 65536) {
            out.push_back(251);
            little_endian(v, 2);
        } else if (v < 4294967296ULL) {
            out.push_back(252);
            little_endian(v, 4);
        } else {
            out.push_back(253);
            little_endian(v, 8);
        }
        end();
    }

    void tag(bool present) {
        begin();
        out.push_back(present ? 1 : 0);
        end();
    }

    void character(char32_t c) {
        begin();
        const std::uint32_t v = c;
        if (v < 0x80) {
            out.push_back(static_cast<std::uint8_t>(v));
        } else if (v < 0x800) {
            out.push_back(static_cast<std::uint8_t>(0xC0 + v / 64));
            out.push_back(static_cast<std::uint8_t>(0x80 + v % 64));
        } else if (v < 0x10000) {
            out.push_back(static_cast<std::uint8_t>(0xE0 + v / 4096));
            out.push_back(static_cast<std::uint8_t>(0x80 + v / 64 % 64));
            out.push_back(static_cast<std::uint8_t>(0x80 + v % 64));
        } else {
            out.push_back(static_cast<std::uint8_t>(0xF0 + v / 262144));
            out.push_back(static_cast<std::uint8_t>(0x80 + v / 4096 % 64));
            out.push_back(static_cast<std::uint8_t>(0x80 + v / 64 % 64));
            out.push_back(static_cast<std::uint8_t>(0x80 + v % 64));
        }
        end();
    }

    void trie(const morlatch::Trie& t) {
        varint(t.node_shifts.size());
        for (auto v : t.node_shifts) varint(v);
        varint(t.node_chars.size());
        for (auto c : t.node_chars) {
            tag(c.has_value());
            if (c) character(*c);
        }
        varint(t.node_payloads.size());
        for (auto p : t.node_payloads) {
            tag(p.has_value());
            if (p) varint(*p);
        }
        varint(t.child_indices.size());
        for (auto v : t.child_indices) varint(v);
    }

private:
    void begin() { start_ = out.size(); }
    void end() { units.push_back(Unit{start_, out.size() - start_}); }
    void little_endian(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            out.push_back(static_cast<std::uint8_t>(v % 256));
            v /= 256;
        }
    }

    std::size_t start_ = 0;
};

// ---- reading --------------------------------------------------------------------

struct DecodedTrie {
    std::vector<std::uint32_t> shifts;
    std::vector<std::optional<char32_t>> chars;
    std::vector<std::optional<std::uint32_t>> payloads;
    std::vector<std::uint32_t> children;
};

struct Failure {
    std::string rendering;
    std::size_t offset;
};

class Decoder {
public:
    Decoder(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    // The trie, or nullopt with failure() set. used() is the number of bytes
    // a successful decode read.
    std::optional<DecodedTrie> decode() {
        DecodedTrie t;
        if (!list(t.shifts, &Decoder::u32) || !list(t.chars, &Decoder::option_char) ||
            !list(t.payloads, &Decoder::option_u32) || !list(t.children, &Decoder::u32)) {
            return std::nullopt;
        }
        return t;
    }
    const Failure& failure() const { return failure_; }
    std::size_t used() const { return pos_; }

private:
    std::size_t left() const { return size_ - pos_; }

    bool fail(std::string rendering, std::size_t at) {
        failure_ = Failure{std::move(rendering), at};
        return false;
    }
    bool fail_end(std::size_t missing, std::size_t at) {
        return fail("UnexpectedEnd { additional: " + std::to_string(missing) + " }", at);
    }

    bool varint(bool wide, std::uint64_t& out) {
        const std::size_t start = pos_;
        if (left() == 0) return fail_end(1, start);
        const std::uint8_t first = data_[pos_++];
        std::size_t width = 0;
        if (first <= 250) {
            out = first;
            return true;
        } else if (first == 251) {
            width = 2;
        } else if (first == 252) {
            width = 4;
        } else if (first == 253 && wide) {
            width = 8;
        } else {
            const char* found = first == 253 ? "U64" : first == 254 ? "U128" : "Reserved";
            return fail(std::string("InvalidIntegerType { expected: ") + (wide ? "U64" : "U32") +
                            ", found: " + found + " }",
                        start);
        }
        if (left() < width) return fail_end(width - left(), start);
        out = 0;
        for (std::size_t i = 0; i < width; ++i) out |= std::uint64_t{data_[pos_ + i]} << (8 * i);
        pos_ += width;
        return true;
    }

    bool u32(std::uint32_t& out) {
        std::uint64_t v = 0;
        if (!varint(false, v)) return false;
        out = static_cast<std::uint32_t>(v);
        return true;
    }

    bool tag(const char* type, bool& present) {
        if (left() == 0) return fail_end(1, pos_);
        const std::uint8_t t = data_[pos_++];
        if (t > 1) {
            return fail(std::string("UnexpectedVariant { type_name: \"") + type +
                            "\", allowed: Range { min: 0, max: 1 }, found: " + std::to_string(t) +
                            " }",
                        pos_ - 1);
        }
        present = t == 1;
        return true;
    }

    bool utf8(char32_t& out) {
        const std::size_t start = pos_;
        if (left() == 0) return fail_end(1, start);
        const std::uint8_t lead = data_[start];
        std::size_t width = 0;
        if (lead < 0x80) {
            width = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
        }
        std::uint8_t seen[4] = {lead, 0, 0, 0};
        const auto bad = [&] {
            std::string r = "InvalidCharEncoding([";
            for (int i = 0; i < 4; ++i) r += (i ? ", " : "") + std::to_string(seen[i]);
            return fail(r + "])", start);
        };
        if (width == 0) return bad();
        if (left() < width) return fail_end(width - left(), start);
        char32_t value = width == 1 ? lead : lead & (0xFF >> (width + 1));
        bool ok = true;
        for (std::size_t i = 1; i < width; ++i) {
            seen[i] = data_[start + i];
            ok = ok && (seen[i] & 0xC0) == 0x80;
            value = (value << 6) | (seen[i] & 0x3F);
        }
        const char32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && value >= smallest[width] && value <= 0x10FFFF &&
             !(value >= 0xD800 && value <= 0xDFFF);
        if (!ok) return bad();
        pos_ += width;
        out = value;
        return true;
    }

    bool option_char(std::optional<char32_t>& out) {
        bool present = false;
        if (!tag("core::option::Option<char>", present)) return false;
        if (!present) return true;
        char32_t c = 0;
        if (!utf8(c)) return false;
        out = c;
        return true;
    }

    bool option_u32(std::optional<std::uint32_t>& out) {
        bool present = false;
        if (!tag("core::option::Option<u32>", present)) return false;
        if (!present) return true;
        std::uint32_t v = 0;
        if (!u32(v)) return false;
        out = v;
        return true;
    }

    template <class T>
    bool list(std::vector<T>& out, bool (Decoder::*element)(T&)) {
        std::uint64_t count = 0;
        if (!varint(true, count)) return false;
        // Every element takes a byte at least, so a count beyond the input
        // fails at its end; the loop needs no other bound.
        for (std::uint64_t i = 0; i < count; ++i) {
            T value{};
            if (!(this->*element)(value)) return false;
            out.push_back(value);
        }
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    Failure failure_;
};

}  // namespace morlatch::reference::byte_format
