#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <string>
#include <utility>
#include <vector>

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

// The index groups keys by length; keys that share a group, or share their
// first 16 bytes, must still be told apart and replaced one by one.
TEST(State, KeysSharingAnIndexGroupOrALongPrefixStayDistinct) {
    const std::vector<std::string> keys = {"a",
                                           "bcde",
                                           "fghijklm",
                                           "",
                                           "wxyz",
                                           "nopq",
                                           "a key of more than sixteen bytes, one",
                                           "a key of more than sixteen bytes, two",
                                           "a key of more than sixteen bytes",
                                           "CUR_ROW"};
    State state;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(state.get<SizeList>(keys[i]), nullptr) << keys[i];
        state.put(keys[i], sizes({i}));
    }
    // Replace every other one, some with the other type.
    for (std::size_t i = 0; i < keys.size(); i += 2) {
        if (i % 4 == 0) {
            state.put(keys[i], chars(std::u32string(i + 1, U'z')));
        } else {
            state.put(keys[i], sizes({100 + i}));
        }
    }
    EXPECT_EQ(state.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i % 4 == 0) {
            EXPECT_EQ(state.get<SizeList>(keys[i]), nullptr) << keys[i];
            ASSERT_NE(state.get<CharList>(keys[i]), nullptr) << keys[i];
            EXPECT_EQ(*state.get<CharList>(keys[i]), chars(std::u32string(i + 1, U'z')));
        } else {
            const std::uint64_t expected = i % 2 == 0 ? 100 + i : i;
            EXPECT_EQ(state.get<CharList>(keys[i]), nullptr) << keys[i];
            ASSERT_NE(state.get<SizeList>(keys[i]), nullptr) << keys[i];
            EXPECT_EQ(*state.get<SizeList>(keys[i]), sizes({expected})) << keys[i];
        }
    }
    EXPECT_EQ(state.get<SizeList>("a key of more than sixteen bytes, thr"), nullptr);
    EXPECT_EQ(state.get<SizeList>("CUR_RAW"), nullptr);
    EXPECT_EQ(state.get<SizeList>("xyzw"), nullptr);
}

TEST(State, MoveTransfersTheEntries) {
    State source;
    source.put("CUR_PREFIX", chars(U"ab"));
    State target = std::move(source);
    ASSERT_NE(target.get<CharList>("CUR_PREFIX"), nullptr);
    EXPECT_EQ(*target.get<CharList>("CUR_PREFIX"), chars(U"ab"));
}

TEST(State, MovedFromStateIsEmptyAndReusable) {
    State source;
    source.put("CUR_ROW", sizes({3}));
    source.put("CUR_PREFIX", chars(U"q"));
    State target;
    target.put("OLD", sizes({1}));
    target = std::move(source);
    EXPECT_EQ(target.size(), 2u);
    EXPECT_EQ(target.get<SizeList>("OLD"), nullptr);
    EXPECT_EQ(*target.get<SizeList>("CUR_ROW"), sizes({3}));
    EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(source.get<SizeList>("CUR_ROW"), nullptr);
    source.put("CUR_ROW", sizes({4}));
    EXPECT_EQ(*source.get<SizeList>("CUR_ROW"), sizes({4}));
    EXPECT_EQ(*target.get<SizeList>("CUR_ROW"), sizes({3}));
}

// Lists from a pool and from the heap: copies are deep, growth keeps the
// cells, and every block goes back to the pool.
class ListTest : public ::testing::TestWithParam<bool> {};

TEST_P(ListTest, CopiesAreIndependentAndGrowthKeepsCells) {
    StatePool pool;
    StatePool* from = GetParam() ? &pool : nullptr;
    SizeList row(from);
    for (std::uint64_t i = 0; i < 300; ++i) {
        row.push_back(i * 7);
    }
    ASSERT_EQ(row.size(), 300u);
    for (std::uint64_t i = 0; i < 300; ++i) {
        ASSERT_EQ(row[i], i * 7);
    }
    SizeList copy(row, from);
    EXPECT_EQ(copy, row);
    EXPECT_NE(copy.data(), row.data());
    copy[5] = 1;
    EXPECT_EQ(row[5], 35u);
    EXPECT_FALSE(copy == row);

    CharList text(U"abc", U"abc" + 3, from);
    CharList moved = std::move(text);
    EXPECT_EQ(moved, chars(U"abc"));
    EXPECT_TRUE(text.empty());  // NOLINT(bugprone-use-after-move)
    moved = CharList(2, U'x', from);
    EXPECT_EQ(moved, chars(U"xx"));
    EXPECT_EQ(SizeList(), SizeList(from));
}

INSTANTIATE_TEST_SUITE_P(Memory, ListTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "pool" : "heap"; });

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

TEST(StatePool, ListsAndStatesReturnEveryBlockForReuse) {
    CountingResource upstream;
    StatePool pool(&upstream);
    auto fill = [&] {
        State state(&pool);
        // Short lists sit inline, longer ones come from the pool.
        state.put("PREV_ROW", SizeList(40, 3, &pool));
        state.put("CUR_PREFIX", CharList(5, U'a', &pool));
        state.emplace<CharList>("LONG_PREFIX", 50, U'b', &pool);
        state.emplace<SizeList>("CUR_ROW", 12, 4, &pool);
        EXPECT_EQ(*state.get<SizeList>("CUR_ROW"), SizeList(12, 4));
        State moved = std::move(state);
        EXPECT_EQ(moved.size(), 4u);
    };
    fill();
    const std::size_t after_first = upstream.outstanding_bytes;
    // The same shapes again are served from the free lists alone.
    for (int i = 0; i < 50; ++i) {
        fill();
    }
    EXPECT_EQ(upstream.outstanding_bytes, after_first);
}

TEST(StatePool, FirstBlocksComeFromTheGivenBufferThenFromUpstream) {
    CountingResource upstream;
    alignas(StatePool::kGrain) std::byte first[1024];
    {
        StatePool pool(first, &upstream);
        std::vector<std::byte*> blocks;
        for (int i = 0; i < 8; ++i) {
            blocks.push_back(static_cast<std::byte*>(pool.allocate(64, 8)));
            EXPECT_TRUE(blocks.back() >= first && blocks.back() + 64 <= first + sizeof first);
        }
        EXPECT_EQ(upstream.allocations, 0u);
        // The buffer is spent: the next new block comes from upstream.
        for (int i = 0; i < 16; ++i) {
            blocks.push_back(static_cast<std::byte*>(pool.allocate(64, 8)));
        }
        EXPECT_GT(upstream.allocations, 0u);
        for (std::byte* p : blocks) {
            pool.deallocate(p, 64, 8);
        }
    }
    EXPECT_EQ(upstream.outstanding_bytes, 0u);
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
        State state;
        state.put("CUR_ROW", SizeList(40, 1, &pool));  // too long to sit in the list
        EXPECT_GT(upstream.outstanding_bytes, 0u);
    }
    EXPECT_EQ(upstream.outstanding_bytes, 0u);
}

}  // namespace
}  // namespace morlatch
