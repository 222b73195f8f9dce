#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <string>
#include <utility>

#include "prefix/state.hpp"

namespace morlatch {
namespace {

CharList chars(std::u32string_view text) {
    return CharList(text.begin(), text.end());
}
SizeList sizes(std::initializer_list<std::uint64_t> cells) {
    return SizeList(cells);
}

TEST(State, EmptyStateHasNothing) {
    const State state;
    EXPECT_TRUE(state.empty());
    EXPECT_EQ(state.get<CharList>("CUR_PREFIX"), nullptr);
    EXPECT_EQ(state.get<SizeList>("CUR_PREFIX"), nullptr);
    EXPECT_EQ(state.get<SizeList>(""), nullptr);
}

TEST(State, PutTwiceKeepsOneEntryWithTheSecondValue) {
    State state;
    state.put("CUR_ROW", sizes({1, 2, 3}));
    state.put("CUR_ROW", sizes({7}));
    EXPECT_EQ(state.size(), 1u);
    ASSERT_NE(state.get<SizeList>("CUR_ROW"), nullptr);
    EXPECT_EQ(*state.get<SizeList>("CUR_ROW"), sizes({7}));
}

TEST(State, ReputWithTheOtherTypeReplacesTheType) {
    State state;
    state.put("K", chars(U"ab"));
    state.put("K", sizes({4}));
    EXPECT_EQ(state.size(), 1u);
    EXPECT_EQ(state.get<CharList>("K"), nullptr);
    ASSERT_NE(state.get<SizeList>("K"), nullptr);
    EXPECT_EQ(*state.get<SizeList>("K"), sizes({4}));
}

TEST(State, GetWithTheWrongTypeYieldsNothing) {
    State state;
    state.put("CUR_PREFIX", chars(U"x\U0001F600"));
    state.put("CUR_ROW", sizes({0, 1}));
    EXPECT_EQ(state.get<SizeList>("CUR_PREFIX"), nullptr);
    EXPECT_EQ(state.get<CharList>("CUR_ROW"), nullptr);
    ASSERT_NE(state.get<CharList>("CUR_PREFIX"), nullptr);
    EXPECT_EQ(*state.get<CharList>("CUR_PREFIX"), chars(U"x\U0001F600"));
    // Reading leaves the value in place.
    EXPECT_NE(state.get<CharList>("CUR_PREFIX"), nullptr);
}

// Keys match only when equal byte for byte: not by case, not by prefix.
class StateKeyTest : public ::testing::TestWithParam<const char*> {};

TEST_P(StateKeyTest, NearMissKeyIsAnotherKey) {
    State state;
    state.put("CUR_ROW", sizes({1}));
    const std::string other = GetParam();
    EXPECT_EQ(state.get<SizeList>(other), nullptr);
    state.put(other, sizes({2}));
    EXPECT_EQ(state.size(), 2u);
    EXPECT_EQ(*state.get<SizeList>("CUR_ROW"), sizes({1}));
    EXPECT_EQ(*state.get<SizeList>(other), sizes({2}));
}

INSTANTIATE_TEST_SUITE_P(Keys, StateKeyTest,
                         ::testing::Values("cur_row", "Cur_Row", "CUR_RO", "CUR_ROWS", "CUR_ROX",
                                           "", "CUR_ROW ",
                                           "a key much longer than the short string buffer"));

TEST(State, ManyKeysStayDistinct) {
    State state;
    std::map<std::string, std::uint64_t> expected;
    for (std::uint64_t i = 0; i < 40; ++i) {
        const std::string key = "key" + std::to_string(i % 25);
        state.put(key, sizes({i}));
        expected[key] = i;
    }
    EXPECT_EQ(state.size(), expected.size());
    for (const auto& [key, value] : expected) {
        ASSERT_NE(state.get<SizeList>(key), nullptr) << key;
        EXPECT_EQ(*state.get<SizeList>(key), sizes({value})) << key;
    }
}

TEST(State, MoveTransfersTheEntries) {
    State source;
    source.put("CUR_PREFIX", chars(U"ab"));
    State target = std::move(source);
    ASSERT_NE(target.get<CharList>("CUR_PREFIX"), nullptr);
    EXPECT_EQ(*target.get<CharList>("CUR_PREFIX"), chars(U"ab"));
}

// Counts what passes through to the upstream, to see what the pool keeps.
class CountingResource : public std::pmr::memory_resource {
public:
    std::size_t allocations = 0;
    std::size_t outstanding_bytes = 0;

private:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        ++allocations;
        outstanding_bytes += bytes;
        return std::pmr::new_delete_resource()->allocate(bytes, alignment);
    }
    void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
        outstanding_bytes -= bytes;
        std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }
};

TEST(StatePool, FreedBlockIsReusedForTheSameSizeClass) {
    StatePool pool;
    void* first = pool.allocate(40, 8);
    pool.deallocate(first, 40, 8);
    // 33..48 bytes share a class; the block just freed comes back first.
    void* second = pool.allocate(33, 8);
    EXPECT_EQ(second, first);
    void* other_class = pool.allocate(64, 8);
    EXPECT_NE(other_class, second);
    pool.deallocate(second, 33, 8);
    pool.deallocate(other_class, 64, 8);
}

TEST(StatePool, LiveBlocksDoNotOverlap) {
    StatePool pool;
    std::vector<std::pair<std::byte*, std::size_t>> blocks;
    for (std::size_t bytes : {1, 16, 17, 100, 100, 1024, 1025, 4000, 8}) {
        auto* p = static_cast<std::byte*>(pool.allocate(bytes, alignof(std::max_align_t)));
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u);
        std::fill(p, p + bytes, std::byte{0x5a});
        for (const auto& [q, n] : blocks) {
            EXPECT_TRUE(p + bytes <= q || q + n <= p) << bytes << " overlaps " << n;
        }
        blocks.emplace_back(p, bytes);
    }
    for (const auto& [p, n] : blocks) {
        pool.deallocate(p, n, alignof(std::max_align_t));
    }
}

TEST(StatePool, LargeAndOveralignedBlocksPassThroughAndEverythingIsReturned) {
    CountingResource upstream;
    {
        StatePool pool(&upstream);
        void* large = pool.allocate(StatePool::kLargestPooled + 1, 8);
        EXPECT_EQ(upstream.allocations, 1u);
        pool.deallocate(large, StatePool::kLargestPooled + 1, 8);
        EXPECT_EQ(upstream.outstanding_bytes, 0u);

        void* aligned = pool.allocate(64, 64);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % 64, 0u);
        EXPECT_EQ(upstream.allocations, 2u);
        pool.deallocate(aligned, 64, 64);

        // Small blocks come from chunks the pool keeps until it goes.
        State state{State::allocator_type(&pool)};
        state.put("CUR_ROW", SizeList(10, 1, state.get_allocator()));
        EXPECT_GT(upstream.outstanding_bytes, 0u);
    }
    EXPECT_EQ(upstream.outstanding_bytes, 0u);
}

}  // namespace
}  // namespace morlatch
