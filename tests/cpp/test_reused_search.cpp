// The layout's typo search run again and again with one SearchScratch: its
// walks keep their rows, padding, stacks and lists from one search to the
// next, so every search must find exactly what a fresh search finds (the
// same keys, payloads, distances and nodes, in the same order), whatever the
// searches before it left behind: other tries (narrow and wide layouts),
// longer and shorter queries, other budgets, with and without swaps.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "prefix/layout/compact.hpp"
#include "prefix/search/reused.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace morlatch {
namespace {

using Found = std::tuple<std::u32string, Payload, std::uint64_t, NodeId>;

std::vector<Found> listed(const HitList& found) {
    std::vector<Found> out;
    for (const HitList::Hit& hit : found.hits) {
        out.emplace_back(std::u32string(found.key(hit)), hit.payload, hit.distance, hit.node);
    }
    return out;
}

struct Subject {
    std::vector<std::u32string> keys;
    std::u32string alphabet;
    std::unique_ptr<CompactTrie> trie;
};

// Keys over `letters` letters (300 make a layout with explicit labels, fewer
// one with ranks); a few long ones, so that some walks go deeper than the
// rows first made and some queries are long enough for wide windows.
Subject subject(std::mt19937& rng, std::size_t letters, std::size_t count) {
    Subject s;
    for (std::size_t i = 0; i < letters; ++i) s.alphabet.push_back(U'a' + static_cast<char32_t>(i));
    std::map<std::u32string, Payload> keys;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t longest = i % 50 == 0 ? 60 : 10;
        std::u32string key = testing::random_text(rng, longest, s.alphabet);
        if (!key.empty()) keys[key] = static_cast<Payload>(rng() % 1000);
    }
    reference::Keys pairs(keys.begin(), keys.end());
    for (const auto& [key, payload] : pairs) s.keys.push_back(key);
    s.trie = CompactTrie::build(reference::build_trie(pairs));
    return s;
}

TEST(ReusedSearch, FindsWhatAFreshSearchFindsWhateverCameBefore) {
    std::mt19937 rng(20261210);
    std::vector<Subject> subjects;
    for (const std::size_t letters : {3, 26, 300}) {
        for (const std::size_t count : {40, 1500}) {
            subjects.push_back(subject(rng, letters, count));
            ASSERT_NE(subjects.back().trie, nullptr);
        }
    }
    Interrupt none;
    SearchScratch scratch;
    for (int round = 0; round < 3000; ++round) {
        const Subject& s = subjects[rng() % subjects.size()];
        // A key with a few letters changed, or letters at random.
        std::u32string query = rng() % 4 == 0 ? testing::random_text(rng, 30, s.alphabet)
                                              : s.keys[rng() % s.keys.size()];
        for (int e = static_cast<int>(rng() % 3); e > 0 && !query.empty(); --e) {
            query[rng() % query.size()] = s.alphabet[rng() % s.alphabet.size()];
        }
        const std::uint64_t k = rng() % 10;
        const bool swaps = rng() % 2 == 0;
        const std::vector<Found> want = listed(s.trie->search(query, k, std::nullopt, none, swaps));
        const std::vector<Found> got = listed(search(*s.trie, query, k, none, swaps, scratch));
        ASSERT_EQ(got, want) << "round " << round << ", k " << k << ", swaps " << swaps
                             << ", query length " << query.size() << ", letters "
                             << s.alphabet.size();
    }
}

}  // namespace
}  // namespace morlatch
