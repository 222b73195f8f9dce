// Laying keys out as a trie in level order: the one builder behind
// morlatch.build, Index and layout (the forward trie) and behind the reverse
// index (a trie of the reversed keys).
//
// Nodes are numbered breadth first with the children of every node in
// code-point order, so the children of one node get consecutive ids. The keys
// are sorted as UTF-8 byte strings (UTF-8 byte order is code-point order),
// then laid out one level at a time: the keys below a node are a run of the
// sorted keys that share its path, and its children are the groups of that
// run with the same next character. The work grows with the keys' total
// length, and nothing recurses, whatever the keys' length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/trie.hpp"
#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/layout/scratch.hpp"

namespace morlatch {

// Keys for the builder, their UTF-8 text one after the other in one buffer:
// no allocation per key. Key i is text()[offset(i), offset(i + 1)).
class KeyList {
public:
    KeyList() : offsets_{0} {}

    std::size_t size() const noexcept { return payloads_.size(); }
    std::string_view key(std::size_t i) const noexcept {
        return std::string_view(text_).substr(offsets_[i], offsets_[i + 1] - offsets_[i]);
    }
    Payload payload(std::size_t i) const noexcept { return payloads_[i]; }
    std::size_t text_bytes() const noexcept { return text_.size(); }

    void reserve(std::size_t keys, std::size_t bytes) {
        text_.reserve(bytes);
        offsets_.reserve(keys + 1);
        payloads_.reserve(keys);
    }

    // Appends a key given as code points; false, with nothing appended, when
    // one is past U+10FFFF. Surrogates are encoded as any other code point
    // (the package refuses them before; arrays may still hold them), which
    // keeps byte order equal to code-point order.
    template <class Iterator>
    bool add(Iterator first, Iterator last, Payload payload);
    template <class Unit>
    bool add(const Unit* chars, std::size_t count, Payload payload) {
        return add(chars, chars + count, payload);
    }
    // Appends a key that is valid UTF-8 already (the caller checked it).
    void add_utf8(std::string_view text, Payload payload) {
        text_.append(text);
        offsets_.push_back(text_.size());
        payloads_.push_back(payload);
    }

private:
    friend class LevelOrderBuilder;

    // Build scratch: mapped when large, so that freeing it unmaps it.
    ScratchString text_;
    ScratchVector<std::size_t> offsets_;
    ScratchVector<Payload> payloads_;
};

// A layout made by the builder: the nodes in level order plus the closing
// entry that CompactTrie keeps (its first_child is the node count), with the
// key lengths below every node filled in.
struct LevelOrder {
    ScratchVector<LayoutNode> nodes;
    std::size_t key_count = 0;
    // Code points over all keys.
    std::uint64_t total_key_length = 0;
};

// The keys would make more nodes than 32-bit ids can number.
class TooManyNodes : public std::length_error {
public:
    explicit TooManyNodes(std::uint64_t nodes)
        : std::length_error("the trie would have too many nodes"), nodes_(nodes) {}
    std::uint64_t nodes() const noexcept { return nodes_; }

private:
    std::uint64_t nodes_;
};

// Called now and then while keys are placed, and once when the last one is,
// with the number of keys placed so far and the number of distinct keys.
using BuildProgress = std::function<void(std::size_t placed, std::size_t total)>;

// Lays `keys` out in level order. They may come in any order and more than
// once: a key given again keeps its last payload. The empty key puts its
// payload on the root. Consumes the key list, whose memory is reused.
LevelOrder lay_out(KeyList keys, Interrupt& interrupt, const BuildProgress& progress = {});

// lay_out, or nothing when the keys would make more than `max_nodes` nodes
// (or more than ids can number): the nodes are counted on the sorted keys
// before any is allocated, and the count stops as soon as it passes the
// limit.
std::optional<LevelOrder> lay_out_within(KeyList keys, std::uint64_t max_nodes,
                                         Interrupt& interrupt);

// Sorts `keys` in code-point order, a repeated key keeping only its last
// payload. lay_out does this itself; on keys sorted already it costs one
// pass.
void sort_keys(KeyList& keys);

// The search layout of `keys`: the same nodes, node for node, that
// CompactTrie::build makes from the arrays of the same trie.
std::unique_ptr<CompactTrie> build_compact_trie(KeyList keys, Interrupt& interrupt,
                                                const BuildProgress& progress = {});

// Reads a word list into `keys`: UTF-8 text, one key per line (the line end,
// `\n` or `\r\n`, removed), optionally a TAB and a payload in decimal digits
// up to 4294967295; a key without one gets its 0-based line number. Blank
// lines are skipped and a leading byte-order mark is ignored. False at the
// first bad line (invalid or non-shortest UTF-8, a surrogate, a TAB with no
// key before it, a bad payload), leaving `keys` partly filled: the caller
// names the line.
bool read_word_list(std::string_view data, KeyList& keys);

// Fills in the shortest and longest key length below every node of a level
// order whose ids, labels, first children and key flags are set.
void compute_key_lengths(std::span<LayoutNode> nodes);

// ---- inline definitions ------------------------------------------------------

template <class Iterator>
bool KeyList::add(Iterator first, Iterator last, Payload payload) {
    const std::size_t start = text_.size();
    for (; first != last; ++first) {
        const auto c = static_cast<std::uint32_t>(*first);
        if (c < 0x80) {
            text_.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            const char bytes[] = {static_cast<char>(0xC0 | (c >> 6)),
                                  static_cast<char>(0x80 | (c & 0x3F))};
            text_.append(bytes, sizeof bytes);
        } else if (c < 0x10000) {
            const char bytes[] = {static_cast<char>(0xE0 | (c >> 12)),
                                  static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                                  static_cast<char>(0x80 | (c & 0x3F))};
            text_.append(bytes, sizeof bytes);
        } else if (c < 0x110000) {
            const char bytes[] = {
                static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
            text_.append(bytes, sizeof bytes);
        } else {
            text_.resize(start);
            return false;
        }
    }
    offsets_.push_back(text_.size());
    payloads_.push_back(payload);
    return true;
}

}  // namespace morlatch
