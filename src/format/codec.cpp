#include "format/codec.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "format/varint.hpp"
#include "prefix/fault.hpp"
#include "texts.hpp"

namespace morlatch::format {

namespace {

// Writes into a caller-provided buffer, refusing to run past its end.
class SpanSink {
public:
    explicit SpanSink(std::span<std::uint8_t> out)
        : pos_(out.data()), end_(out.data() + out.size()) {}

    template <std::size_t N>
    void put(const std::uint8_t (&bytes)[N]) {
        if (static_cast<std::size_t>(end_ - pos_) < N) [[unlikely]]
            overflow();
        std::memcpy(pos_, bytes, N);
        pos_ += N;
    }

    std::size_t left() const { return static_cast<std::size_t>(end_ - pos_); }

private:
    [[noreturn, gnu::cold, gnu::noinline]] static void overflow() {
        fault(std::string(unwrap_err_prefix) + encode_unexpected_end_rendering);
    }

    std::uint8_t* pos_;
    std::uint8_t* end_;
};

// The layout, once, for every sink.

template <class Sink, class T, class WriteElement>
void write_list(Sink& sink, const std::vector<T>& list, WriteElement write_element) {
    write_varint(sink, list.size());
    for (const T& element : list) write_element(sink, element);
}

template <class Sink>
void write_trie(Sink& sink, const Trie& trie) {
    const auto u32 = [](Sink& s, std::uint32_t v) { write_varint(s, v); };
    write_list(sink, trie.node_shifts, u32);
    write_list(sink, trie.node_chars, [](Sink& s, const std::optional<char32_t>& c) {
        if (c) {
            write_byte(s, tag_present);
            write_char(s, *c);
        } else {
            write_byte(s, tag_absent);
        }
    });
    write_list(sink, trie.node_payloads, [](Sink& s, const std::optional<std::uint32_t>& p) {
        if (p) {
            write_byte(s, tag_present);
            write_varint(s, *p);
        } else {
            write_byte(s, tag_absent);
        }
    });
    write_list(sink, trie.child_indices, u32);
}

// Decoding.

bool read_count(Cursor& c, std::size_t& count) {
    const std::uint8_t* const start = c.pos;
    std::uint64_t value = 0;
    if (!read_varint(c, value)) return false;
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (value > std::numeric_limits<std::size_t>::max())
            return c.fail_at(start, DecodeError::OutsideUsizeRange{value});
    }
    count = static_cast<std::size_t>(value);
    return true;
}

template <class T, class ReadElement>
bool read_list(Cursor& c, std::vector<T>& out, ReadElement read_element) {
    std::size_t count = 0;
    if (!read_count(c, count)) return false;
    // Every element takes at least one byte, so the remaining input bounds
    // what can really follow; the announced count is not to be trusted.
    if (count <= c.remaining()) [[likely]] {
        out.resize(count);
        T* elements = out.data();
        for (std::size_t i = 0; i < count; ++i) {
            if (!read_element(c, elements[i])) [[unlikely]]
                return false;
        }
        return true;
    }
    // Cannot succeed; read on only to report where and how it fails.
    out.reserve(c.remaining());
    for (std::size_t i = 0; i < count; ++i) {
        T element{};
        if (!read_element(c, element)) return false;
        out.push_back(element);
    }
    return true;
}

bool read_u32(Cursor& c, std::uint32_t& out) {
    return read_varint(c, out);
}

template <class T, bool (*read_value)(Cursor&, T&)>
bool read_optional(Cursor& c, std::optional<T>& out, std::string_view type_name) {
    std::uint8_t tag = 0;
    if (!read_byte(c, tag)) return false;
    if (tag == tag_absent) {
        out.reset();
        return true;
    }
    if (tag != tag_present) [[unlikely]]
        return c.fail_at(c.pos - 1,
                         DecodeError::UnexpectedVariant{type_name, AllowedRange{0, 1}, tag});
    T value{};
    if (!read_value(c, value)) return false;
    out = value;
    return true;
}

}  // namespace

Trie& DecodeResult::value(std::source_location where) & {
    if (!has_value()) throw Fault(std::string(unwrap_err_prefix) + render(error()), where);
    return std::get<Trie>(value_);
}

Trie&& DecodeResult::value(std::source_location where) && {
    return std::move(value(where));
}

std::size_t encoded_size(const Trie& trie) {
    CountingSink sink;
    write_trie(sink, trie);
    return sink.size;
}

void encode_into(const Trie& trie, std::span<std::uint8_t> out) {
    SpanSink sink(out);
    write_trie(sink, trie);
    if (sink.left() != 0) [[unlikely]] {
        fault(encoded_size_mismatch_message(out.size() - sink.left(), out.size()));
    }
}

std::vector<std::uint8_t> encode(const Trie& trie) {
    std::vector<std::uint8_t> out(encoded_size(trie));
    encode_into(trie, out);
    return out;
}

DecodeResult decode(std::span<const std::uint8_t> bytes) {
    Cursor c(bytes);
    Trie trie;
    // Lambdas rather than function pointers, so that the loops inline them.
    const auto u32 = [](Cursor& cur, std::uint32_t& out) { return read_varint(cur, out); };
    const bool ok =
        read_list(c, trie.node_shifts, u32) &&
        read_list(c, trie.node_chars,
                  [](Cursor& cur, std::optional<char32_t>& out) {
                      return read_optional<char32_t, read_char>(cur, out, option_char_type_name);
                  }) &&
        read_list(c, trie.node_payloads,
                  [](Cursor& cur, std::optional<std::uint32_t>& out) {
                      return read_optional<std::uint32_t, read_u32>(cur, out, option_u32_type_name);
                  }) &&
        read_list(c, trie.child_indices, u32);
    if (!ok) return DecodeResult(std::move(c.error), c.error_offset());
    return DecodeResult(std::move(trie));
}

Trie decode_or_fault(std::span<const std::uint8_t> bytes, std::source_location where) {
    return decode(bytes).value(where);
}

}  // namespace morlatch::format
