// The channel's per-word query keeps each word's cost between requests: on
// random edits, words and bounds, every answer must be what a fresh search
// under the same bound gives (the exact cost when that is within the bound,
// something above the bound otherwise). One query serves every channel and
// typed word in turn, reset for each: the same words asked again of another
// typed word must not be answered from the costs kept for the one before.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "reference.hpp"
#include "spell/channel.hpp"

namespace morlatch::spell {
namespace {

std::u32string random_text(std::mt19937& rng, std::size_t longest) {
    std::u32string text(rng() % (longest + 1), U'a');
    for (char32_t& c : text) {
        c = U"aeinst"[rng() % 6];
    }
    return text;
}

// A random word between the boundary marks.
std::u32string marked_text(std::mt19937& rng) {
    std::u32string text = random_text(rng, 6);
    text.insert(text.begin(), U'^');
    text.push_back(U'$');
    return text;
}

TEST(ChannelQuery, KeptCostsAnswerEachBoundAsAFreshSearch) {
    std::mt19937 rng(20261210);
    std::optional<Channel::Query> query;
    for (int round = 0; round < 100; ++round) {
        std::vector<Edit> edits;
        for (std::size_t i = rng() % 40; i-- > 0;) {
            edits.push_back({random_text(rng, 3), random_text(rng, 3),
                             0.7 + static_cast<double>(rng() % 60) / 10.0});
        }
        const Channel channel(edits, Rates{3.8, 4.2, 5.2, 6.7});
        std::vector<std::u32string> words;
        for (int ask = 0; ask < 15; ++ask) {
            words.push_back(marked_text(rng));
        }
        for (int typed_word = 0; typed_word < 2; ++typed_word) {
            const std::u32string typed = marked_text(rng);
            if (query) {
                query->reset(channel, typed, 3);
            } else {
                query.emplace(channel, typed, 3);
            }
            for (const std::u32string& word : words) {
                const double bound = static_cast<double>(rng() % 200) / 10.0;
                const double exact = channel.cost(typed, word, 3);
                const double got = query->cost(word, bound);
                // No word is typed as another for less than the cheapest
                // change, and no change here costs less than 0.7.
                EXPECT_GE(channel.least_change(), 0.7);
                if (word != typed) {
                    EXPECT_GE(exact, channel.least_change());
                }
                if (exact <= bound) {
                    EXPECT_EQ(got, exact);
                } else {
                    EXPECT_GT(got, bound);
                }
            }
        }
    }
}

// With a band wider than any word, a query's exact costs are those of the
// brute-force table over every alignment, for word after word against the
// same typed word (the typed sides a query keeps from one word to the next
// included); learned edits with no source are ignored by both.
TEST(ChannelQuery, CostsMatchEveryAlignmentOfTheReference) {
    std::mt19937 rng(20261211);
    const Rates rates{3.8, 4.2, 5.2, 6.7};
    for (int round = 0; round < 150; ++round) {
        std::vector<Edit> edits;
        std::vector<reference::LearnedEdit> learned;
        for (std::size_t i = rng() % 60; i-- > 0;) {
            const std::u32string source = random_text(rng, 3);
            const std::u32string target = random_text(rng, 3);
            const double cost = 0.5 + static_cast<double>(rng() % 60) / 10.0;
            edits.push_back({source, target, cost});
            if (!source.empty()) {
                learned.push_back({source, target, cost});
            }
        }
        const Channel channel(edits, rates);
        const std::u32string typed = marked_text(rng);
        Channel::Query query(channel, typed, 16);
        for (int ask = 0; ask < 20; ++ask) {
            const std::u32string word = marked_text(rng);
            EXPECT_DOUBLE_EQ(query.cost(word, std::numeric_limits<double>::infinity()),
                             reference::channel_cost(typed, word, learned, rates.substitute,
                                                     rates.remove, rates.insert, rates.swap));
        }
    }
}

}  // namespace
}  // namespace morlatch::spell
