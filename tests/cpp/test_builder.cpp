// The builder against the reference trie: from keys in any order, with
// repeats, it must make node for node what CompactTrie::build makes from the
// reference's level-order arrays; the reverse index must be the layout of the
// reversed keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "prefix/file/store.hpp"
#include "prefix/layout/builder.hpp"
#include "prefix/layout/compact.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace morlatch {
namespace {

using namespace std::string_literals;

// Code points of every UTF-8 length, around the surrogates, NUL and the last.
const std::u32string kAlphabet = U"ab\0z\u00e9\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010FFFF"s;

std::u32string random_text(std::mt19937& rng, std::size_t max_length) {
    return testing::random_text(rng, max_length, kAlphabet);
}

// Keys in random order, some given twice; many share long beginnings, so
// the sort has to look past its first seven bytes.
reference::Keys random_keys(std::mt19937& rng, std::size_t count, std::size_t max_length) {
    std::vector<std::u32string> stems{U"", random_text(rng, 12), random_text(rng, 30)};
    reference::Keys keys;
    for (std::size_t i = 0; i < count; ++i) {
        std::u32string key = stems[rng() % stems.size()] + random_text(rng, max_length);
        if (key.empty()) {
            key = U"a";
        }
        keys.emplace_back(key, static_cast<Payload>(rng()));
        if (rng() % 8 == 0) {
            keys.emplace_back(keys[rng() % keys.size()].first, static_cast<Payload>(rng()));
        }
    }
    return keys;
}

KeyList key_list(const reference::Keys& keys) {
    KeyList list;
    for (const auto& [key, payload] : keys) {
        EXPECT_TRUE(list.add(key.data(), key.size(), *payload));
    }
    return list;
}

// Node for node, the same records (payloads only where `got` has them).
void expect_same_nodes(const NodeView& got, const CompactTrie& expected) {
    for (NodeId v = 0; v <= expected.node_count(); ++v) {
        // The closing record past the last node holds the node count.
        const NodeId first =
            v < expected.node_count() ? expected.first_child(v) : static_cast<NodeId>(v);
        ASSERT_EQ(got.first_child(v), first) << "node " << v;
        if (v == expected.node_count()) {
            break;
        }
        ASSERT_EQ(got.label(v), expected.label(v)) << "node " << v;
        ASSERT_EQ(got.is_key(v), expected.is_key(v)) << "node " << v;
        if (expected.is_key(v) && got.payloads != nullptr) {
            ASSERT_EQ(got.payload(v), expected.payload(v)) << "node " << v;
        }
        ASSERT_EQ(got.shortest(v), expected.shortest_below(v)) << "node " << v;
        ASSERT_EQ(got.longest(v), expected.longest_below(v)) << "node " << v;
    }
}

TEST(Builder, SameLayoutAsTheReferenceArrays) {
    std::mt19937 rng(20261209);
    for (int round = 0; round < 400; ++round) {
        // Mostly small sets; now and then one long enough for the radix sort.
        const std::size_t count = round % 50 == 0 ? 20000 : rng() % 60;
        reference::Keys keys = random_keys(rng, count, round % 3 == 0 ? 40 : 6);
        if (round % 7 == 0) {
            keys.emplace_back(U"", 77);  // on the root
        }
        const std::unique_ptr<CompactTrie> expected =
            CompactTrie::build(reference::build_trie(keys));
        ASSERT_TRUE(expected);
        Interrupt none;
        const std::unique_ptr<CompactTrie> built = build_compact_trie(key_list(keys), none);
        ASSERT_EQ(built->node_count(), expected->node_count());
        ASSERT_EQ(built->key_count(), expected->key_count());
        ASSERT_EQ(built->total_key_length(), expected->total_key_length());
        expect_same_nodes(built->view(), *expected);
        // The builder's arrays are the reference's, so the layout answers
        // for them.
        EXPECT_FALSE(Store(reference::build_trie(keys)).info().arrays_kept);
    }
}

TEST(Builder, ReverseIndexIsTheLayoutOfTheReversedKeysOrNoneWhenTooLarge) {
    std::mt19937 rng(5);
    int built = 0;
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        // The keys share stems, so their reversed trie is often larger.
        const reference::Keys keys = random_keys(rng, rng() % 80, round % 2 == 0 ? 8 : 30);
        const std::unique_ptr<CompactTrie> forward =
            CompactTrie::build(reference::build_trie(keys));
        ASSERT_TRUE(forward);
        // Each key reversed, with its forward node as payload.
        reference::Keys reversed;
        for (const auto& entry : keys) {
            const std::u32string& key = entry.first;
            reversed.emplace_back(std::u32string(key.rbegin(), key.rend()), *forward->find(key));
        }
        const std::unique_ptr<CompactTrie> expected =
            CompactTrie::build(reference::build_trie(reversed));
        const ReverseIndex* index = forward->reverse_index();
        const bool fits =
            expected->node_count() <= LazyReverseIndex::kMaxGrowth * forward->node_count() &&
            forward->total_key_length() <= ReverseIndex::kMaxTextPerNode * forward->node_count();
        ASSERT_EQ(index != nullptr, fits)
            << expected->node_count() << " reversed nodes for " << forward->node_count();
        ASSERT_EQ(forward->reverse_index_built(), fits);
        ASSERT_EQ(forward->reverse_index_refused(), !fits);
        if (index == nullptr) {
            ++refused;
            continue;
        }
        ++built;
        ASSERT_EQ(index->node_count(), expected->node_count());
        ASSERT_GE(index->memory_bytes(), (expected->node_count() + 1) * sizeof(std::uint32_t));
        expect_same_nodes(index->view(), *expected);
    }
    // Both outcomes were exercised.
    EXPECT_GT(built, 50);
    EXPECT_GT(refused, 50);
}

TEST(Builder, LastPayloadOfARepeatedKeyWins) {
    Interrupt none;
    const std::u32string key = U"same key, longer than seven bytes";
    KeyList list;
    for (Payload p : {3u, 1u, 4u, 1u, 5u}) {
        list.add(key.data(), key.size(), p);
        list.add(U"other", 5, p + 10);
    }
    const std::unique_ptr<CompactTrie> built = build_compact_trie(std::move(list), none);
    EXPECT_EQ(built->key_count(), 2u);
    EXPECT_EQ(built->payload(*built->find(key)), 5u);
    EXPECT_EQ(built->payload(*built->find(U"other")), 15u);
}

TEST(Builder, ProgressCountsDistinctKeysUpToAll) {
    std::mt19937 rng(3);
    const reference::Keys keys = random_keys(rng, 5000, 10);
    std::vector<std::pair<std::size_t, std::size_t>> calls;
    Interrupt none;
    const LevelOrder layout = lay_out(key_list(keys), none, [&](std::size_t done, std::size_t all) {
        calls.emplace_back(done, all);
    });
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::make_pair(layout.key_count, layout.key_count));
    for (std::size_t i = 1; i < calls.size(); ++i) {
        EXPECT_LT(calls[i - 1].first, calls[i].first);
        EXPECT_EQ(calls[i].second, layout.key_count);
    }
}

TEST(Builder, InterruptAbandonsTheBuild) {
    std::mt19937 rng(4);
    struct Stop {};
    Interrupt stop([](void*) { throw Stop{}; }, nullptr);
    EXPECT_THROW(lay_out(key_list(random_keys(rng, 20000, 20)), stop), Stop);
}

TEST(Builder, KeysMillionsOfCharactersLongNeedNoRecursion) {
    // Two keys that share all but their last character, and one prefix.
    const std::size_t length = 3'000'000;
    std::u32string key(length, U'\u00e9');
    KeyList list;
    list.add(key.data(), key.size(), 1);
    key.back() = U'z';
    list.add(key.data(), key.size(), 2);
    list.add(key.data(), 5, 3);
    Interrupt none;
    const LevelOrder layout = lay_out(std::move(list), none);
    ASSERT_EQ(layout.nodes.size(), length + 3);  // a chain, a fork, the closing entry
    EXPECT_EQ(layout.key_count, 3u);
    EXPECT_EQ(layout.total_key_length, 2 * length + 5);
    const LayoutNode& fork = layout.nodes[length - 1];
    // z (U+007A) before \u00e9 in code-point order.
    EXPECT_EQ(layout.nodes[fork.first_child].label, U'z');
    EXPECT_EQ(layout.nodes[fork.first_child].payload, 2u);
    EXPECT_EQ(layout.nodes[fork.first_child + 1].label, U'\u00e9');
    EXPECT_EQ(layout.nodes[fork.first_child + 1].payload, 1u);
    EXPECT_EQ(layout.nodes[5].payload, 3u);
    EXPECT_EQ(layout.nodes[0].longest, 255);  // the builder's records saturate at 255
}

TEST(Builder, CodePointsPastTheLastAreRefused) {
    KeyList list;
    const char32_t bad[] = {U'a', 0x110000};
    EXPECT_FALSE(list.add(bad, 2, 0));
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(list.text_bytes(), 0u);
}

}  // namespace
}  // namespace morlatch
