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

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "format/errors.hpp"
#include "prefix/trie.hpp"

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

// The measuring pass: the exact length of the encoding.
std::size_t encoded_size(const Trie& trie);

// The writing pass. out.size() must equal encoded_size(trie); a smaller
// buffer is a fault ("... `Err` value: UnexpectedEnd"), and so is a larger
// one, since part of it would be left unwritten.
void encode_into(const Trie& trie, std::span<std::uint8_t> out);

// Both passes into one exactly-sized buffer.
std::vector<std::uint8_t> encode(const Trie& trie);

DecodeResult decode(std::span<const std::uint8_t> bytes);

// decode(), faulting with "called `Result::unwrap()` on an `Err` value: "
// followed by the error's rendering.
Trie decode_or_fault(std::span<const std::uint8_t> bytes,
                     std::source_location where = std::source_location::current());

}  // namespace morlatch::format
