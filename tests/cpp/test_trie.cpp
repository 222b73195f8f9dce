#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/fault.hpp"
#include "base/trie.hpp"
#include "reference.hpp"

namespace morlatch {
namespace {

using reference::fault_message;

TEST(Fault, CheckedAccessorsUseTheFixedTexts) {
    const std::vector<int> v{1, 2, 3};
    EXPECT_EQ(at(v, 2), 3);
    EXPECT_EQ(fault_message([&] { at(v, 3); }),
              "index out of bounds: the len is 3 but the index is 3");
    const std::optional<int> none;
    EXPECT_EQ(fault_message([&] { unwrap(none); }), "called `Option::unwrap()` on a `None` value");
    EXPECT_EQ(unwrap(std::optional<int>(4)), 4);
}

TEST(Fault, CarriesTheLocationOfTheCaller) {
    const std::vector<int> v;
    const int line = __LINE__ + 1;
    const std::optional<Fault> f = reference::fault_of([&] { at(v, 0); });
    ASSERT_TRUE(f);
    EXPECT_EQ(f->where().line(), static_cast<unsigned>(line));
    EXPECT_NE(std::string(f->where().file_name()).find("test_trie.cpp"), std::string::npos);
    EXPECT_STREQ(f->what(), f->message().c_str());
}

Trie sample() {
    // root -a-> 1 -b-> 3 ; root -c-> 2
    Trie t;
    t.node_shifts = {0, 2, 3, 3};
    t.node_chars = {std::nullopt, U'a', U'c', U'b'};
    t.node_payloads = {std::nullopt, 1, std::nullopt, 0};
    t.child_indices = {1, 2, 3};
    return t;
}

TEST(Trie, ChildrenInChildIndicesOrder) {
    const Trie t = sample();
    EXPECT_EQ(t.get_children(0), (std::vector<Child>{{U'a', 1}, {U'c', 2}}));
    EXPECT_EQ(t.get_children(1), (std::vector<Child>{{U'b', 3}}));
    EXPECT_TRUE(t.get_children(2).empty());
    EXPECT_TRUE(t.get_children(3).empty());  // the last node runs to the end
}

TEST(Trie, AppendChildrenKeepsWhatIsInTheBuffer) {
    const Trie t = sample();
    std::vector<Child> buffer{{U'x', 9}};
    t.append_children(1, buffer);
    EXPECT_EQ(buffer, (std::vector<Child>{{U'x', 9}, {U'b', 3}}));
}

TEST(Trie, PayloadsAbsentAndPresent) {
    const Trie t = sample();
    EXPECT_EQ(t.get_payload(0), std::nullopt);
    EXPECT_EQ(t.get_payload(3), 0u);
    EXPECT_EQ(fault_message([&] { t.get_payload(4); }),
              "index out of bounds: the len is 4 but the index is 4");
}

struct BrokenCase {
    const char* name;
    Trie trie;
    NodeId node;
    std::string message;
};

class TrieFaults : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(TrieFaults, ReadsPastAListFault) {
    const BrokenCase& c = GetParam();
    EXPECT_EQ(fault_message([&] { c.trie.get_children(c.node); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Trie, TrieFaults,
    ::testing::Values(
        BrokenCase{"empty", Trie{}, 0, "index out of bounds: the len is 0 but the index is 0"},
        BrokenCase{"child_without_character", Trie{{0, 1}, {std::nullopt, std::nullopt}, {}, {1}},
                   0, "called `Option::unwrap()` on a `None` value"},
        BrokenCase{"child_id_past_the_end", Trie{{0, 1}, {std::nullopt, U'a'}, {}, {5}}, 0,
                   "index out of bounds: the len is 2 but the index is 5"},
        BrokenCase{"shift_past_child_indices", Trie{{0, 3}, {std::nullopt, U'a'}, {}, {1}}, 0,
                   "index out of bounds: the len is 1 but the index is 1"},
        BrokenCase{"largest_node_id", Trie{{0}, {std::nullopt}, {}, {}}, 0xFFFFFFFFu,
                   "index out of bounds: the len is 1 but the index is 4294967295"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Trie, StartBeyondEndIsEmpty) {
    const Trie t{{3, 1}, {std::nullopt, U'a'}, {}, {1, 1, 1}};
    EXPECT_TRUE(t.get_children(0).empty());
}

}  // namespace
}  // namespace morlatch
