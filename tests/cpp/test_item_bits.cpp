// The item sets a search keeps per thread: over random queries of random
// catalogue sizes (growing and shrinking), each added one by one (asked
// first whether it is in) or in runs, the set holds exactly what an ordinary set holds, and a
// reset leaves nothing of the query before.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "catalog/item_bits.hpp"

namespace morlatch::catalog {
namespace {

TEST(ItemBits, HoldsWhatASetHoldsAcrossResets) {
    std::mt19937 rng(20261210);
    ItemBits bits;
    for (int query = 0; query < 300; ++query) {
        const std::uint32_t items = 1 + rng() % (query % 3 == 0 ? 5000 : 200);
        bits.reset(items);
        std::set<std::uint32_t> expected;
        // Dense queries fill most words; sparse ones touch a few.
        const std::uint32_t adds = rng() % (query % 2 == 0 ? items * 2 : 20);
        std::vector<std::uint32_t> run;
        for (std::uint32_t a = 0; a < adds; ++a) {
            const std::uint32_t item = rng() % items;
            switch (rng() % 3) {
                case 0:
                    bits.insert(item);
                    expected.insert(item);
                    break;
                case 1:
                    EXPECT_EQ(bits.contains(item), !expected.insert(item).second);
                    bits.insert(item);
                    break;
                default:
                    run.push_back(item);
                    if (rng() % 4 == 0) {
                        bits.insert_all(run.data(), run.data() + run.size());
                        expected.insert(run.begin(), run.end());
                        run.clear();
                    }
            }
        }
        for (std::uint32_t item = 0; item < items; ++item) {
            ASSERT_EQ(bits.contains(item), expected.count(item) == 1) << query << " " << item;
        }
    }
}

}  // namespace
}  // namespace morlatch::catalog
