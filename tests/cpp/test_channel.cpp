// The channel's per-word query keeps each word's cost between requests: on
// random edits, words and bounds, every answer must be what a fresh search
// under the same bound gives (the exact cost when that is within the bound,
// something above the bound otherwise).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

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
    for (int round = 0; round < 100; ++round) {
        std::vector<Edit> edits;
        for (std::size_t i = rng() % 40; i-- > 0;) {
            edits.push_back({random_text(rng, 3), random_text(rng, 3),
                             0.7 + static_cast<double>(rng() % 60) / 10.0});
        }
        const Channel channel(edits, Rates{3.8, 4.2, 5.2, 6.7});
        const std::u32string typed = marked_text(rng);
        Channel::Query query(channel, typed, 3);
        for (int ask = 0; ask < 30; ++ask) {
            const std::u32string word = marked_text(rng);
            const double bound = static_cast<double>(rng() % 200) / 10.0;
            const double exact = channel.cost(typed, word, 3);
            const double got = query.cost(word, bound);
            if (exact <= bound) {
                EXPECT_EQ(got, exact);
            } else {
                EXPECT_GT(got, bound);
            }
        }
    }
}

}  // namespace
}  // namespace morlatch::spell
