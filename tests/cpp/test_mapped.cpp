// Stored layouts (mapped.hpp): a layout and reverse index written as bytes
// and opened again answer exactly as the built ones; damaged bytes are
// refused at a byte inside the stored records, or open into a layout that
// answers without reading out of bounds (the sanitizer build checks that).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "prefix/builder.hpp"
#include "prefix/compact.hpp"
#include "prefix/mapped.hpp"
#include "prefix/ranked.hpp"
#include "prefix/store.hpp"

namespace morlatch {
namespace {

const std::u32string kAlphabet = U"abc\u00e9\U0001F600";

std::u32string random_text(std::mt19937& rng, std::size_t max_length) {
    std::u32string text(std::uniform_int_distribution<std::size_t>(0, max_length)(rng), U'a');
    for (char32_t& ch : text) {
        ch = kAlphabet[std::uniform_int_distribution<std::size_t>(0, kAlphabet.size() - 1)(rng)];
    }
    return text;
}

// The level-order arrays of `keys` (as the package's builder lays them out).
Trie level_order(const std::map<std::u32string, Payload>& keys) {
    struct Node {
        std::map<char32_t, std::size_t> children;
        std::optional<Payload> payload;
    };
    std::vector<Node> nodes(1);
    for (const auto& [key, payload] : keys) {
        std::size_t at = 0;
        for (const char32_t ch : key) {
            auto found = nodes[at].children.find(ch);
            if (found == nodes[at].children.end()) {
                nodes.push_back({});
                found = nodes[at].children.emplace(ch, nodes.size() - 1).first;
            }
            at = found->second;
        }
        nodes[at].payload = payload;
    }
    Trie trie;
    std::vector<std::pair<std::size_t, std::optional<char32_t>>> order{{0, std::nullopt}};
    for (std::size_t i = 0; i < order.size(); ++i) {
        const Node& node = nodes[order[i].first];
        trie.node_shifts.push_back(static_cast<std::uint32_t>(order.size() - 1));
        trie.node_chars.push_back(order[i].second);
        trie.node_payloads.push_back(node.payload);
        for (const auto& [ch, child] : node.children) {
            trie.child_indices.push_back(static_cast<std::uint32_t>(order.size()));
            order.emplace_back(child, ch);
        }
    }
    return trie;
}

struct Stored {
    std::vector<std::uint8_t> file;  // forward records, then reverse records
    std::size_t reverse_at = 0;
    bool packed = true;  // the packed images, or the 16-byte records of older files
};

template <class Bytes>
Stored stored_of(const Bytes& forward, const Bytes& reverse, bool packed) {
    Stored stored;
    stored.file.assign(forward.begin(), forward.end());
    stored.reverse_at = stored.file.size();
    stored.file.insert(stored.file.end(), reverse.begin(), reverse.end());
    stored.packed = packed;
    return stored;
}

Stored store_of(const CompactTrie& layout) {
    return stored_of(layout.image_bytes(), layout.reverse_index()->image_bytes(), true);
}

std::span<const std::uint8_t> bytes_of(std::span<const LayoutNode> nodes) {
    return {reinterpret_cast<const std::uint8_t*>(nodes.data()), nodes.size() * sizeof(LayoutNode)};
}

// The 16-byte records that older files hold: the builder's nodes, the
// reverse index's payloads naming forward nodes.
Stored old_store_of(const std::map<std::u32string, Payload>& keys) {
    Interrupt none;
    KeyList forward_keys;
    for (const auto& [key, payload] : keys) {
        forward_keys.add(key.data(), key.size(), payload);
    }
    const LevelOrder forward = lay_out(std::move(forward_keys), none);
    const std::unique_ptr<CompactTrie> layout = CompactTrie::build(level_order(keys));
    KeyList reversed_keys;
    for (const auto& [key, payload] : keys) {
        if (!key.empty()) {
            const std::u32string reversed(key.rbegin(), key.rend());
            reversed_keys.add(reversed.data(), reversed.size(), *layout->find(key));
        }
    }
    const LevelOrder reversed = lay_out(std::move(reversed_keys), none);
    return stored_of(bytes_of(forward.nodes), bytes_of(reversed.nodes), false);
}

std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> open(const std::uint8_t* data,
                                                               const Stored& stored) {
    const std::span<const std::uint8_t> all(data, stored.file.size());
    const StoredNodes forward{all.first(stored.reverse_at), 0};
    const StoredNodes reverse{all.subspan(stored.reverse_at), stored.reverse_at};
    return stored.packed ? open_stored_layout(forward, reverse, nullptr)
                         : open_stored_records(forward, reverse);
}

std::vector<Match> every_search(const Store& store, const std::vector<std::u32string>& queries) {
    std::vector<Match> all;
    NoLock lock;
    for (const std::u32string& query : queries) {
        for (std::uint64_t k = 0; k <= 2; ++k) {
            const HitList found = store.fuzzy_match(query, k, std::nullopt, lock);
            for (const HitList::Hit& hit : found.hits) {
                all.push_back(Match{std::u32string(found.key(hit)), hit.payload, hit.distance});
            }
        }
        if (std::optional<Match> exact = store.exact_match(query, lock)) {
            all.push_back(*exact);
        }
        Interrupt none;
        for (const Match& match :
             store.complete(query.substr(0, 2), RankedOptions{1, 5, false}, none)) {
            all.push_back(match);
        }
    }
    std::unique_ptr<KeyCursor> keys = store.keys(U"");
    std::u32string key;
    Payload payload = 0;
    while (keys->next(key, payload)) {
        all.push_back(Match{key, payload, 0});
    }
    return all;
}

TEST(StoredLayout, OpensToTheSameAnswersAsTheBuiltLayout) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        std::map<std::u32string, Payload> keys;
        const int count = std::uniform_int_distribution<int>(0, 30)(rng);
        for (int i = 0; i < count; ++i) {
            keys[random_text(rng, 7)] = static_cast<Payload>(rng());
        }
        const Store built(level_order(keys));
        std::unique_ptr<const CompactTrie> layout = CompactTrie::build(level_order(keys));
        std::vector<std::u32string> queries;
        for (int i = 0; i < 12; ++i) {
            queries.push_back(random_text(rng, 8));
        }
        const Stored stored = store_of(*layout);
        // Older files' records answer the same, packed when read.
        for (const Stored& each : {stored, old_store_of(keys)}) {
            auto opened = open(each.file.data(), each);
            ASSERT_TRUE(std::holds_alternative<std::unique_ptr<CompactTrie>>(opened))
                << std::get<LayoutProblem>(opened).what;
            const Store mapped(std::move(std::get<std::unique_ptr<CompactTrie>>(opened)));
            EXPECT_EQ(mapped.info().borrowed, each.packed);
            EXPECT_TRUE(mapped.info().reverse_index_built);
            EXPECT_EQ(mapped.key_count(), keys.size());
            EXPECT_EQ(every_search(mapped, queries), every_search(built, queries));
            std::vector<std::uint8_t> a(built.encoded_size());
            std::vector<std::uint8_t> b(mapped.encoded_size());
            built.encode_into(a);
            mapped.encode_into(b);
            EXPECT_EQ(a, b);
        }

        // Not aligned for the records: read from a copy, same answers.
        std::vector<std::uint8_t> shifted(stored.file.size() + 1);
        std::memcpy(shifted.data() + 1, stored.file.data(), stored.file.size());
        auto copied = open(shifted.data() + 1, stored);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<CompactTrie>>(copied));
        const Store from_copy(std::move(std::get<std::unique_ptr<CompactTrie>>(copied)));
        EXPECT_FALSE(from_copy.info().borrowed);
        EXPECT_EQ(every_search(from_copy, queries), every_search(built, queries));
    }
}

void expect_damage_refused_or_harmless(const Stored& good);

TEST(StoredLayout, DamagedBytesAreRefusedInsideTheRecordsOrStillAnswer) {
    const std::map<std::u32string, Payload> keys{{U"ab", 1},      {U"abc", 2}, {U"b", 3},
                                                 {U"b\u00e9", 4}, {U"cab", 5}, {U"\U0001F600", 6}};
    std::unique_ptr<const CompactTrie> layout = CompactTrie::build(level_order(keys));
    for (const Stored& good : {store_of(*layout), old_store_of(keys)}) {
        expect_damage_refused_or_harmless(good);
    }
}

void expect_damage_refused_or_harmless(const Stored& good) {
    const std::vector<std::u32string> queries{U"ab", U"abcd", U"b\u00e9x", U"cb", U""};
    int refused = 0;
    for (std::size_t position = 0; position < good.file.size(); ++position) {
        for (const std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            Stored damaged = good;
            damaged.file[position] ^= flip;
            auto opened = open(damaged.file.data(), damaged);
            if (const LayoutProblem* problem = std::get_if<LayoutProblem>(&opened)) {
                ++refused;
                EXPECT_LT(problem->offset, good.file.size()) << problem->what;
                continue;
            }
            const Store store(std::move(std::get<std::unique_ptr<CompactTrie>>(opened)));
            every_search(store, queries);
        }
    }
    EXPECT_GT(refused, static_cast<int>(good.file.size())) << "packed: " << good.packed;
    // Cut short anywhere: a partial record, or a layout missing its end.
    for (std::size_t cut = 0; cut < good.reverse_at; ++cut) {
        Stored shorter = good;
        shorter.file.erase(shorter.file.begin() + static_cast<std::ptrdiff_t>(cut),
                           shorter.file.begin() + static_cast<std::ptrdiff_t>(good.reverse_at));
        shorter.reverse_at = cut;
        EXPECT_TRUE(std::holds_alternative<LayoutProblem>(open(shorter.file.data(), shorter)));
    }
}

}  // namespace
}  // namespace morlatch
