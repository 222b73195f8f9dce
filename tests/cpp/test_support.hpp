// Helpers that the C++ tests share (the references they compare against are
// in reference.hpp): random texts, the number of root paths of some arrays,
// and for the byte format tests byte literals and a random trie generator
// (the format's model is reference_format.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/trie.hpp"
#include "reference.hpp"
#include "reference_format.hpp"

namespace morlatch::testing {

// Up to max_length characters drawn from `alphabet`.
inline std::u32string random_text(std::mt19937& rng, std::size_t max_length,
                                  const std::u32string& alphabet) {
    std::u32string text(std::uniform_int_distribution<std::size_t>(0, max_length)(rng), U'a');
    for (char32_t& ch : text) {
        ch = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
    }
    return text;
}

// Root paths of at most node-count edges (the walk's own bound), capped; a
// child list that the walk cannot read leads nowhere.
// Sorts (key, payload) pairs and keeps the first pair of each key, as a trie
// holds one payload per key.
template <typename Pairs>
void keep_first_of_each_key(Pairs& keys) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end(),
                           [](const auto& a, const auto& b) { return a.first == b.first; }),
               keys.end());
}

inline std::uint64_t path_count(const Trie& t, std::uint64_t cap) {
    const std::size_t nodes = t.node_payloads.size();
    std::vector<std::uint64_t> here(nodes), next(nodes);
    if (nodes == 0) return 0;
    here[0] = 1;
    std::uint64_t total = 1;
    for (std::size_t depth = 0; depth < nodes && total < cap; ++depth) {
        std::fill(next.begin(), next.end(), 0);
        for (std::size_t n = 0; n < nodes; ++n) {
            if (here[n] == 0) continue;
            const auto ids = reference::child_ids(t, n);
            if (!ids) continue;
            for (std::uint32_t id : *ids) {
                if (id < nodes) next[id] = std::min(cap, next[id] + here[n]);
                total = std::min(cap, total + here[n]);
            }
        }
        std::swap(here, next);
    }
    return total;
}

}  // namespace morlatch::testing

namespace morlatch::format::testing {

using reference::byte_format::Bytes;
using reference::byte_format::ReferenceEncoder;
using reference::byte_format::Unit;

inline Bytes bytes(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Random tries whose values hit every varint form and every UTF-8 width.
// The lists have independent lengths: nothing requires them to agree.
class TrieGenerator {
public:
    explicit TrieGenerator(std::uint32_t seed) : rng_(seed) {}

    std::uint32_t u32() {
        static constexpr std::uint32_t edges[] = {
            0,     1,     250,   251,      252,          255,          256,
            65535, 65536, 65537, 1u << 24, 0x7FFF'FFFFu, 0xFFFF'FFFEu, 0xFFFF'FFFFu};
        switch (pick(4)) {
            case 0:
                return edges[pick(std::size(edges))];
            case 1:
                return static_cast<std::uint32_t>(pick(251));
            case 2:
                return static_cast<std::uint32_t>(pick(65536));
            default:
                return static_cast<std::uint32_t>(rng_());
        }
    }

    char32_t scalar() {
        static constexpr char32_t edges[] = {0,      0x7F,   0x80,   0x7FF,   0x800,   0xD7FF,
                                             0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF};
        switch (pick(5)) {
            case 0:
                return edges[pick(std::size(edges))];
            case 1:
                return static_cast<char32_t>(pick(0x80));
            case 2:
                return static_cast<char32_t>(0x80 + pick(0x800 - 0x80));
            case 3: {
                char32_t c = static_cast<char32_t>(0x800 + pick(0x10000 - 0x800));
                return (c >= 0xD800 && c <= 0xDFFF) ? c - 0x800 : c;
            }
            default:
                return static_cast<char32_t>(0x10000 + pick(0x110000 - 0x10000));
        }
    }

    Trie trie(std::size_t max_len) {
        Trie t;
        t.node_shifts.resize(pick(max_len + 1));
        for (auto& v : t.node_shifts) v = u32();
        t.node_chars.resize(pick(max_len + 1));
        for (auto& c : t.node_chars) c = pick(5) == 0 ? std::nullopt : std::optional(scalar());
        t.node_payloads.resize(pick(max_len + 1));
        for (auto& p : t.node_payloads) p = pick(3) == 0 ? std::nullopt : std::optional(u32());
        t.child_indices.resize(pick(max_len + 1));
        for (auto& v : t.child_indices) v = u32();
        return t;
    }

    std::size_t pick(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(pick(256)); }

private:
    std::mt19937 rng_;
};

}  // namespace morlatch::format::testing
