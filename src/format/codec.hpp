// The trie byte format: the four arrays of a Trie one after the other, each
// as an element count (64-bit varint form) followed by its elements:
//
//   node_shifts    32-bit varints
//   node_chars     tag 0x00, or tag 0x01 and the character as UTF-8
//   node_payloads  tag 0x00, or tag 0x01 and a 32-bit varint
//   child_indices  32-bit varints
//
// No header, no checksum. Bytes after the fourth list are ignored. Decoding
// does not cross-check the arrays; queries fault on inconsistent ones.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/fault.hpp"
#include "base/texts.hpp"
#include "base/trie.hpp"
#include "format/errors.hpp"
#include "format/varint.hpp"

namespace morlatch::format {

// Either a decoded trie or the reason decoding failed.
class DecodeResult {
public:
    DecodeResult(Trie trie) : value_(std::move(trie)) {}
    DecodeResult(DecodeError error, std::size_t error_offset)
        : value_(std::move(error)), error_offset_(error_offset) {}

    bool has_value() const noexcept { return value_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    // Fault with "called `Result::unwrap()` on an `Err` value: ..." on an error.
    Trie& value(std::source_location where = std::source_location::current()) &;
    Trie&& value(std::source_location where = std::source_location::current()) &&;

    // Precondition: !has_value().
    const DecodeError& error() const { return std::get<DecodeError>(value_); }
    // Precondition: !has_value(). The offset of the first byte of the value
    // that could not be read (a count, element, tag or character).
    std::size_t error_offset() const { return error_offset_; }

private:
    std::variant<Trie, DecodeError> value_;
    std::size_t error_offset_ = 0;
};

// ---- encoding ---------------------------------------------------------------
//
// The encoder reads the four lists through any type shaped like Trie: members
// node_shifts, node_chars, node_payloads and child_indices, each with size()
// and operator[] giving the element (std::uint32_t, std::optional<char32_t>,
// std::optional<Payload>, std::uint32_t). A Trie is one; the store encodes
// its search layout through views of that shape without building the arrays.

namespace detail {

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

template <class Sink, class List, class WriteElement>
void write_list(Sink& sink, const List& list, WriteElement write_element) {
    const std::size_t count = list.size();
    write_varint(sink, count);
    for (std::size_t i = 0; i < count; ++i) write_element(sink, list[i]);
}

// The layout, once, for both passes and every source.
template <class Sink, class Arrays>
void write_trie(Sink& sink, const Arrays& arrays) {
    const auto u32 = [](Sink& s, std::uint32_t v) { write_varint(s, v); };
    write_list(sink, arrays.node_shifts, u32);
    write_list(sink, arrays.node_chars, [](Sink& s, const std::optional<char32_t>& c) {
        if (c) {
            write_byte(s, tag_present);
            write_char(s, *c);
        } else {
            write_byte(s, tag_absent);
        }
    });
    write_list(sink, arrays.node_payloads, [](Sink& s, const std::optional<std::uint32_t>& p) {
        if (p) {
            write_byte(s, tag_present);
            write_varint(s, *p);
        } else {
            write_byte(s, tag_absent);
        }
    });
    write_list(sink, arrays.child_indices, u32);
}

}  // namespace detail

// The measuring pass: the exact length of the encoding.
template <class Arrays>
std::size_t encoded_size(const Arrays& arrays) {
    CountingSink sink;
    detail::write_trie(sink, arrays);
    return sink.size;
}

// The writing pass. out.size() must equal encoded_size(arrays); a smaller
// buffer is a fault ("... `Err` value: UnexpectedEnd"), and so is a larger
// one, since part of it would be left unwritten.
template <class Arrays>
void encode_into(const Arrays& arrays, std::span<std::uint8_t> out) {
    detail::SpanSink sink(out);
    detail::write_trie(sink, arrays);
    if (sink.left() != 0) [[unlikely]] {
        fault(encoded_size_mismatch_message(out.size() - sink.left(), out.size()));
    }
}

// Both passes into one exactly-sized buffer.
template <class Arrays>
std::vector<std::uint8_t> encode(const Arrays& arrays) {
    std::vector<std::uint8_t> out(encoded_size(arrays));
    encode_into(arrays, out);
    return out;
}

namespace detail {

// Fills a buffer of fixed size and hands it on each time it is full.
template <class Emit>
class PieceSink {
public:
    PieceSink(std::size_t size, Emit& emit)
        : buffer_(std::max<std::size_t>(size, 16)), emit_(emit) {}

    template <std::size_t N>
    void put(const std::uint8_t (&bytes)[N]) {
        if (buffer_.size() - used_ < N) [[unlikely]] {
            flush();
        }
        std::memcpy(buffer_.data() + used_, bytes, N);
        used_ += N;
    }
    void flush() {
        if (used_ > 0) {
            emit_(std::span<const std::uint8_t>(buffer_.data(), used_));
            used_ = 0;
        }
    }

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t used_ = 0;
    Emit& emit_;
};

}  // namespace detail

// The encoding handed to emit(std::span<const std::uint8_t>) in order, in
// pieces of at most `piece` bytes, so that no buffer holds the whole image.
template <class Arrays, class Emit>
void encode_in_pieces(const Arrays& arrays, std::size_t piece, Emit& emit) {
    detail::PieceSink<Emit> sink(piece, emit);
    detail::write_trie(sink, arrays);
    sink.flush();
}

// ---- decoding ---------------------------------------------------------------

DecodeResult decode(std::span<const std::uint8_t> bytes);

// decode(), faulting with "called `Result::unwrap()` on an `Err` value: "
// followed by the error's rendering.
Trie decode_or_fault(std::span<const std::uint8_t> bytes,
                     std::source_location where = std::source_location::current());

}  // namespace morlatch::format
