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
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "prefix/file/mapped.hpp"
#include "prefix/file/store.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/ranked.hpp"

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
    std::vector<std::uint8_t> file;  // forward image, then reverse image
    std::size_t reverse_at = 0;
};

template <class Bytes>
Stored stored_of(const Bytes& forward, const Bytes& reverse) {
    Stored stored;
    stored.file.assign(forward.begin(), forward.end());
    stored.reverse_at = stored.file.size();
    stored.file.insert(stored.file.end(), reverse.begin(), reverse.end());
    return stored;
}

Stored store_of(const CompactTrie& layout) {
    return stored_of(layout.image_bytes(), layout.reverse_index()->image_bytes());
}

std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> open(const std::uint8_t* data,
                                                               const Stored& stored) {
    const std::span<const std::uint8_t> all(data, stored.file.size());
    const StoredNodes forward{all.first(stored.reverse_at), 0};
    const StoredNodes reverse{all.subspan(stored.reverse_at), stored.reverse_at};
    return open_stored_layout(forward, reverse, nullptr);
}

std::vector<Match> every_search(const Store& store, const std::vector<std::u32string>& queries) {
    std::vector<Match> all;
    NoLock lock;
    for (const std::u32string& query : queries) {
        for (std::uint64_t k = 0; k <= 2; ++k) {
            const HitList found = store.fuzzy_match(query, k, std::nullopt, lock);
            for (const HitList::Hit& hit : found.hits) {
                all.push_back(found.match(hit));
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
        auto opened = open(stored.file.data(), stored);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<CompactTrie>>(opened))
            << std::get<LayoutProblem>(opened).what;
        const Store mapped(std::move(std::get<std::unique_ptr<CompactTrie>>(opened)));
        EXPECT_TRUE(mapped.info().borrowed);
        EXPECT_TRUE(mapped.info().reverse_index_built);
        EXPECT_EQ(mapped.key_count(), keys.size());
        EXPECT_EQ(every_search(mapped, queries), every_search(built, queries));
        std::vector<std::uint8_t> a(built.encoded_size());
        std::vector<std::uint8_t> b(mapped.encoded_size());
        built.encode_into(a);
        mapped.encode_into(b);
        EXPECT_EQ(a, b);

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

// A layout's image with the reverse index of other keys: opened exactly
// when those are the layout's keys (the empty key, which has no reversed
// key, aside).
bool opens_with_reverse_of(const std::set<std::u32string>& keys,
                           const std::set<std::u32string>& other) {
    std::map<std::u32string, Payload> table;
    std::map<std::u32string, Payload> other_table;
    for (const std::u32string& key : keys) {
        table[key] = 1;
    }
    for (const std::u32string& key : other) {
        other_table[key] = 1;
    }
    const std::unique_ptr<CompactTrie> layout = CompactTrie::build(level_order(table));
    const std::unique_ptr<CompactTrie> other_layout = CompactTrie::build(level_order(other_table));
    const ReverseIndex* reverse = other_layout->reverse_index();
    if (reverse == nullptr) {
        return false;
    }
    const Stored stored = stored_of(layout->image_bytes(), reverse->image_bytes());
    return std::holds_alternative<std::unique_ptr<CompactTrie>>(open(stored.file.data(), stored));
}

// A Thue-Morse word of 2**order letters over {a, b} and its complement: a
// pair whose polynomial hashes modulo 2**64 agree for every odd base.
std::pair<std::u32string, std::u32string> thue_morse(int order) {
    std::u32string word = U"a";
    std::u32string complement = U"b";
    for (int i = 0; i < order; ++i) {
        std::u32string longer = word + complement;
        complement += word;
        word = std::move(longer);
    }
    return {word, complement};
}

TEST(StoredLayout, AReverseIndexOpensOnlyWithTheLayoutsKeys) {
    const auto [word, complement] = thue_morse(10);
    const std::set<std::u32string> keys{U"jello", U"hello", U"help", word};
    EXPECT_TRUE(opens_with_reverse_of(keys, keys));
    // The same count, and keys that sum alike under a fixed hash.
    EXPECT_FALSE(
        opens_with_reverse_of(keys, {std::u32string(U"jello") + U'\0', U"hello", U"help", word}));
    EXPECT_FALSE(opens_with_reverse_of(keys, {U"jello", U"hello", U"help", complement}));
    EXPECT_FALSE(opens_with_reverse_of(keys, {U"jello", U"hellp", U"helo", word}));
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        std::set<std::u32string> some;
        const int count = std::uniform_int_distribution<int>(1, 8)(rng);
        while (static_cast<int>(some.size()) < count) {
            some.insert(random_text(rng, 4) + U"x");
        }
        std::set<std::u32string> other = some;
        // Change one key a little: a letter, a trailing U+0000, or keep it.
        const auto victim = std::next(other.begin(), static_cast<long>(rng() % other.size()));
        std::u32string changed = *victim;
        switch (rng() % 3) {
            case 0:
                changed[rng() % changed.size()] = kAlphabet[rng() % kAlphabet.size()];
                break;
            case 1:
                changed.push_back(U'\0');
                break;
            default:
                break;
        }
        other.erase(victim);
        other.insert(changed);
        EXPECT_EQ(opens_with_reverse_of(some, other), some == other);
    }
}

void expect_damage_refused_or_harmless(const Stored& good);

TEST(StoredLayout, DamagedBytesAreRefusedInsideTheRecordsOrStillAnswer) {
    const std::map<std::u32string, Payload> keys{{U"ab", 1},      {U"abc", 2}, {U"b", 3},
                                                 {U"b\u00e9", 4}, {U"cab", 5}, {U"\U0001F600", 6}};
    std::unique_ptr<const CompactTrie> layout = CompactTrie::build(level_order(keys));
    expect_damage_refused_or_harmless(store_of(*layout));
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
    EXPECT_GT(refused, static_cast<int>(good.file.size()));
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
