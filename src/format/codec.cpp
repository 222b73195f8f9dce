#include "format/codec.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "base/fault.hpp"
#include "base/texts.hpp"
#include "format/varint.hpp"

namespace morlatch::format {

namespace {

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
