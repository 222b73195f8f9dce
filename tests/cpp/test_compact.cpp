// The search layout against the plain walk: on every well-formed trie the
// fast search must return exactly the plain walk's list; every other trie
// must be refused by the check, so that it keeps the plain walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "format/codec.hpp"
#include "prefix/file/store.hpp"
#include "prefix/layout/builder.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/query.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace morlatch {
namespace {

using Keys = std::map<std::u32string, Payload>;

const std::u32string kAlphabet = U"abcZ\u00e9\U0001F600";

std::u32string random_text(std::mt19937& rng, std::size_t max_length) {
    return testing::random_text(rng, max_length, kAlphabet);
}

// A trie of `keys` with node ids assigned in `numbering` order ("level",
// "depth" or "random") and children in code-point order.
Trie lay_out(const Keys& keys, const std::string& numbering, std::mt19937& rng) {
    const auto order = numbering == "level"   ? reference::Numbering::level
                       : numbering == "depth" ? reference::Numbering::depth
                                              : reference::Numbering::random;
    return reference::build_trie(reference::Keys(keys.begin(), keys.end()), order, &rng);
}

Keys random_keys(std::mt19937& rng, std::size_t count, std::size_t max_length) {
    Keys keys;
    for (std::size_t i = 0; i < count; ++i) {
        std::u32string key = random_text(rng, max_length);
        if (!key.empty()) {
            keys[key] = static_cast<Payload>(rng());
        }
    }
    return keys;
}

// A query near a key (a few random edits) or anywhere.
std::u32string random_query(std::mt19937& rng, const Keys& keys, std::size_t max_length) {
    if (keys.empty() || rng() % 3 == 0) {
        return random_text(rng, max_length);
    }
    auto it = keys.begin();
    std::advance(it, rng() % keys.size());
    return reference::typo(rng, it->first, static_cast<int>(rng() % 4), kAlphabet);
}

std::vector<Match> compact_fuzzy_match(const CompactTrie& compact, std::u32string_view query,
                                       std::uint64_t k, std::optional<std::uint64_t> limit) {
    Interrupt none;
    const HitList found = compact.search(query, k, limit, none);
    std::vector<Match> matches;
    for (const HitList::Hit& hit : found.hits) {
        // Each hit carries its key's node, whichever walk found it, and keeps
        // it when copied out.
        const Match& match = matches.emplace_back(found.match(hit));
        EXPECT_EQ(std::optional<NodeId>(match.node), compact.find_key(match.key));
    }
    return matches;
}

void expect_same_as_plain_walk(const Trie& trie, const CompactTrie& compact,
                               const std::u32string& query, std::uint64_t k,
                               std::optional<std::uint64_t> limit) {
    const std::vector<Match> plain = fuzzy_match(trie, query, k, limit);
    const std::vector<Match> fast = compact_fuzzy_match(compact, query, k, limit);
    ASSERT_EQ(fast, plain) << "query length " << query.size() << ", k " << k << ", limit "
                           << (limit ? std::to_string(*limit) : "none");
}

TEST(CompactTrie, SameListAsThePlainWalkOnRandomTries) {
    std::mt19937 rng(20261208);
    const std::vector<std::optional<std::uint64_t>> limits{std::nullopt, 0, 1, 3, 10};
    for (int round = 0; round < 300; ++round) {
        const std::size_t max_length = round % 10 == 0 ? 80 : 9;
        const Keys keys = random_keys(rng, rng() % 200, max_length);
        const std::string numbering =
            std::vector<std::string>{"level", "depth", "random"}[round % 3];
        const Trie trie = lay_out(keys, numbering, rng);
        const std::unique_ptr<CompactTrie> compact = CompactTrie::build(trie);
        ASSERT_NE(compact, nullptr) << numbering;
        ASSERT_EQ(compact->key_count(), keys.size());
        for (int q = 0; q < 12; ++q) {
            const std::u32string query = random_query(rng, keys, max_length + 2);
            for (std::uint64_t k = 0; k <= 5; ++k) {
                expect_same_as_plain_walk(trie, *compact, query, k, limits[rng() % limits.size()]);
            }
            expect_same_as_plain_walk(trie, *compact, query, UINT64_MAX, std::nullopt);
        }
    }
}

TEST(CompactTrie, LongQueriesStayExact) {
    // Queries past 64 characters, against keys of the same length.
    std::mt19937 rng(7);
    Keys keys;
    std::u32string base = random_text(rng, 0);
    for (int i = 0; i < 120; ++i) base.push_back(kAlphabet[rng() % 3]);
    for (int i = 0; i < 60; ++i) {
        keys[random_query(rng, Keys{{base, 0}}, 0)] = static_cast<Payload>(i);
    }
    const Trie trie = lay_out(keys, "level", rng);
    const std::unique_ptr<CompactTrie> compact = CompactTrie::build(trie);
    ASSERT_NE(compact, nullptr);
    for (int q = 0; q < 40; ++q) {
        const std::u32string query = random_query(rng, keys, 0);
        for (std::uint64_t k : {1u, 2u, 3u, 5u, 9u}) {
            expect_same_as_plain_walk(trie, *compact, query, k, std::nullopt);
        }
    }
}

// Keys that share one long stem and end apart make a small trie but a
// reversed trie with the whole stem once per key: the reverse index is not
// built, and the single walk finds every key within k.
TEST(CompactTrie, StemSharingKeysKeepToOneWalkWithTheSameHits) {
    std::mt19937 rng(11);
    const std::u32string stem = std::u32string(9, U'a') + U"b\u00e9c";
    Keys keys;
    while (keys.size() < 3000) {
        std::u32string tail(4 + rng() % 5, U'a');
        for (char32_t& ch : tail) ch = kAlphabet[rng() % kAlphabet.size()];
        keys[stem + tail] = static_cast<Payload>(keys.size());
    }
    const Trie trie = lay_out(keys, "level", rng);
    const std::unique_ptr<CompactTrie> compact = CompactTrie::build(trie);
    ASSERT_NE(compact, nullptr);
    // The keys are not too long for the reversed text: the node count decides.
    ASSERT_LE(compact->total_key_length(), ReverseIndex::kMaxTextPerNode * compact->node_count());
    for (int q = 0; q < 30; ++q) {
        const std::u32string query = random_query(rng, keys, 20);
        for (std::uint64_t k : {1u, 2u, 3u}) {
            const std::vector<Match> fast = compact_fuzzy_match(*compact, query, k, std::nullopt);
            std::multiset<std::pair<std::u32string, std::uint64_t>> found;
            for (const Match& m : fast) found.emplace(m.key, m.distance);
            std::multiset<std::pair<std::u32string, std::uint64_t>> expected;
            for (const auto& [key, payload] : keys) {
                const std::uint64_t d = reference::levenshtein(key, query);
                if (d <= k) expected.emplace(key, d);
            }
            ASSERT_EQ(found, expected) << "query " << q << ", k " << k;
            expect_same_as_plain_walk(trie, *compact, query, k, std::nullopt);
        }
    }
    // Asked for by the split searches above, and refused for its size.
    EXPECT_TRUE(compact->reverse_index_refused());
    EXPECT_FALSE(compact->reverse_index_built());
    EXPECT_EQ(compact->reverse_index(), nullptr);
}

// Whether the plain walk could ever fault on these arrays, or see a node
// twice, or children out of code-point order: what the check must refuse.
bool well_formed(const Trie& trie) {
    const std::size_t count = trie.node_payloads.size();
    if (count == 0) return false;
    std::vector<int> seen(count);
    std::vector<NodeId> todo{0};
    seen[0] = 1;
    while (!todo.empty()) {
        const NodeId node = todo.back();
        todo.pop_back();
        const auto children = reference::child_ids(trie, node);
        if (!children) return false;
        std::optional<char32_t> previous;
        for (const NodeId child : *children) {
            if (child >= count || child >= trie.node_chars.size() || !trie.node_chars[child]) {
                return false;
            }
            if (seen[child]++ || (previous && *previous >= *trie.node_chars[child])) return false;
            previous = trie.node_chars[child];
            todo.push_back(child);
        }
    }
    return true;
}

TEST(CompactTrie, CheckRefusesExactlyTheArraysThePlainWalkCannotTrust) {
    std::mt19937 rng(11);
    int refused = 0;
    for (int round = 0; round < 4000; ++round) {
        Trie trie = lay_out(random_keys(rng, rng() % 8, 4), "level", rng);
        // One or two random breakages: an id or a shift anywhere, a missing
        // or changed character, swapped children, a shorter list.
        for (int damage = static_cast<int>(rng() % 3); damage > 0; --damage) {
            switch (rng() % 6) {
                case 0:
                    if (!trie.child_indices.empty())
                        trie.child_indices[rng() % trie.child_indices.size()] =
                            static_cast<NodeId>(rng() % (trie.node_payloads.size() + 2));
                    break;
                case 1:
                    trie.node_shifts[rng() % trie.node_shifts.size()] =
                        static_cast<std::uint32_t>(rng() % (trie.child_indices.size() + 2));
                    break;
                case 2:
                    if (trie.node_chars.empty()) break;
                    trie.node_chars[rng() % trie.node_chars.size()] =
                        rng() % 2 ? std::optional<char32_t>() : kAlphabet[rng() % 3];
                    break;
                case 3:
                    if (trie.child_indices.size() >= 2) {
                        const std::size_t i = rng() % (trie.child_indices.size() - 1);
                        std::swap(trie.child_indices[i], trie.child_indices[i + 1]);
                    }
                    break;
                case 4:
                    trie.node_payloads.resize(rng() % (trie.node_payloads.size() + 1));
                    break;
                default:
                    trie.node_chars.resize(rng() % (trie.node_chars.size() + 1));
            }
        }
        const std::unique_ptr<CompactTrie> compact = CompactTrie::build(trie);
        ASSERT_EQ(compact != nullptr, well_formed(trie)) << "round " << round;
        refused += compact == nullptr;
        if (compact) {
            for (int q = 0; q < 4; ++q) {
                expect_same_as_plain_walk(trie, *compact, random_text(rng, 5), rng() % 4,
                                          std::nullopt);
            }
        }
    }
    EXPECT_GT(refused, 1000);
}

// ---- the store: one answer to every query, whatever form it holds ---------

// What a call gives: its result, or the text of the fault it raises.
template <class T, class Fn>
std::pair<std::optional<T>, std::string> outcome(Fn&& fn) {
    std::optional<T> result;
    const std::string fault = reference::fault_message([&] { result = fn(); });
    return {std::move(result), fault};
}

std::vector<Match> matches_of(const HitList& found) {
    std::vector<Match> matches;
    for (const HitList::Hit& hit : found.hits) {
        matches.push_back(found.match(hit));
    }
    return matches;
}

// Every query of `store` answers as the plain arrays do: same value, or the
// same fault. Node ids run one past each list's end.
void expect_store_answers_as(const Trie& trie, const Store& store, std::mt19937& rng) {
    NoLock lock;
    const std::size_t ids = std::max({trie.node_shifts.size(), trie.node_payloads.size()}) + 2;
    for (NodeId n = 0; n < ids; ++n) {
        ASSERT_EQ(outcome<std::vector<Child>>([&] { return store.get_children(n); }),
                  outcome<std::vector<Child>>([&] { return trie.get_children(n); }))
            << "node " << n;
        ASSERT_EQ(outcome<std::optional<Payload>>([&] { return store.get_payload(n); }),
                  outcome<std::optional<Payload>>([&] { return trie.get_payload(n); }))
            << "node " << n;
    }
    std::vector<std::uint8_t> bytes(store.encoded_size());
    store.encode_into(bytes);
    ASSERT_EQ(bytes, format::encode(trie));
    for (int q = 0; q < 4; ++q) {
        const std::u32string query = random_text(rng, 5);
        const std::uint64_t k = rng() % 4;
        const std::optional<std::uint64_t> limit =
            rng() % 2 ? std::nullopt : std::optional<std::uint64_t>(rng() % 4);
        ASSERT_EQ(outcome<std::vector<Match>>(
                      [&] { return matches_of(store.fuzzy_match(query, k, limit, lock)); }),
                  outcome<std::vector<Match>>([&] { return fuzzy_match(trie, query, k, limit); }));
        ASSERT_EQ(outcome<std::optional<Match>>([&] { return store.exact_match(query, lock); }),
                  outcome<std::optional<Match>>([&] { return exact_match(trie, query); }));
    }
}

TEST(Store, AnswersEveryQueryAsTheArraysDoInEveryForm) {
    std::mt19937 rng(5);
    int kept = 0;
    int dropped = 0;
    for (int round = 0; round < 1500; ++round) {
        const Keys keys = random_keys(rng, rng() % 12, 4);
        const std::string numbering =
            std::vector<std::string>{"level", "depth", "random"}[round % 3];
        Trie trie = lay_out(keys, numbering, rng);
        // Every other round damaged as above, so that some fail the check.
        const bool damaged = round % 2 == 1;
        if (damaged && !trie.child_indices.empty()) {
            trie.child_indices[rng() % trie.child_indices.size()] =
                static_cast<NodeId>(rng() % (trie.node_payloads.size() + 1));
        }
        if (damaged && rng() % 2) {
            trie.node_chars.resize(rng() % (trie.node_chars.size() + 1));
        }
        const Store store(trie);
        ASSERT_EQ(store.searchable(), CompactTrie::build(trie) != nullptr);
        if (store.searchable()) {
            // The builder's level order is what the layout stands for.
            const bool level_order = trie == lay_out(keys, "level", rng);
            if (!damaged) {
                ASSERT_EQ(store.info().arrays_kept, !level_order) << numbering;
            }
            (store.info().arrays_kept ? kept : dropped) += 1;
        }
        expect_store_answers_as(trie, store, rng);
    }
    EXPECT_GT(kept, 100);
    EXPECT_GT(dropped, 100);
}

TEST(Store, ANativeLayoutStandsForItsLevelOrderArrays) {
    std::mt19937 rng(9);
    for (int round = 0; round < 200; ++round) {
        const Keys keys = random_keys(rng, 1 + rng() % 30, 6);
        const Trie level = lay_out(keys, "level", rng);
        // The same layout, reached from ids numbered depth first.
        const Store store(CompactTrie::build(lay_out(keys, "depth", rng)));
        const StoreInfo info = store.info();
        ASSERT_FALSE(info.arrays_kept);
        ASSERT_EQ(info.nodes, level.node_payloads.size());
        ASSERT_EQ(store.key_count(), keys.size());
        expect_store_answers_as(level, store, rng);
    }
}

// Records what a store does with the caller's lock.
class RecordingLock final : public CallerLock {
public:
    void release() override { events += "r"; }
    void reacquire() noexcept override { events += "a"; }
    Interrupt interrupt() noexcept override { return Interrupt(); }
    std::string events;
};

TEST(Store, OnlyLayoutSearchesLetTheLockGo) {
    std::mt19937 rng(3);
    const Keys keys{{U"cat", 1}, {U"cart", 2}, {U"dog", 3}};
    struct Case {
        const char* what;
        Trie arrays;
        std::uint64_t k;
        const char* events;
    };
    Trie broken = lay_out(keys, "level", rng);
    // The root's children 'd' before 'c': walkable, but fails the check.
    std::swap(broken.child_indices[0], broken.child_indices[1]);
    const std::vector<Case> cases{
        {"layout, k = 1", lay_out(keys, "random", rng), 1, "ra"},
        {"layout, k = 0", lay_out(keys, "random", rng), 0, ""},
        {"plain walk", broken, 1, ""},
    };
    for (const Case& c : cases) {
        const Store store(c.arrays);
        RecordingLock lock;
        store.fuzzy_match(U"cat", c.k, std::nullopt, lock);
        store.exact_match(U"cat", lock);
        EXPECT_EQ(lock.events, c.events) << c.what;
    }
}

TEST(Store, QueriesThatNeedTheLayoutFaultWithoutIt) {
    Trie broken;
    broken.node_shifts = {0};
    broken.node_chars = {std::nullopt};
    broken.node_payloads = {std::nullopt};
    broken.child_indices = {0};
    const Store store(broken);
    ASSERT_FALSE(store.searchable());
    EXPECT_EQ(reference::fault_message([&] { store.key_count(); }),
              "called `Option::unwrap()` on a `None` value");
    EXPECT_EQ(reference::fault_message([&] { store.keys(U""); }),
              "called `Option::unwrap()` on a `None` value");
}

}  // namespace
}  // namespace morlatch

namespace morlatch {
namespace {

// The packed records give back every figure of the builder's nodes, at the
// edges of their fields: lines whose earlier nodes hold nearly 15 * 255
// children (255 labels, nodes below the root with 254 children each), and
// one label more, which makes the layout wide.
TEST(NodeImage, PackedRecordsGiveBackTheBuildersNodes) {
    for (const std::size_t labels : {std::size_t{254}, std::size_t{255}}) {
        KeyList keys;
        Payload payload = 0;
        for (std::size_t a = 0; a < 20; ++a) {
            for (std::size_t b = 0; b < labels; ++b) {
                // Keys of 1, 2 and (for some) 70 characters: lengths past 63.
                const std::u32string key{static_cast<char32_t>(0x100 + a),
                                         static_cast<char32_t>(0x100 + b)};
                keys.add(key.data(), key.size(), payload++);
                if (b % 97 == 0) {
                    const std::u32string longer = key + std::u32string(68, U'x');
                    keys.add(longer.data(), longer.size(), payload++);
                }
            }
            const char32_t single = static_cast<char32_t>(0x100 + a);
            keys.add(&single, 1, payload++);
        }
        Interrupt none;
        const LevelOrder order = lay_out(std::move(keys), none);
        const NodeImage image =
            NodeImage::pack(order.nodes, true, order.key_count, order.total_key_length);
        const NodeView& view = image.view();
        const std::size_t n = order.nodes.size() - 1;
        ASSERT_EQ(image.node_count(), n);
        EXPECT_EQ(image.wide(), labels + 1 > 255) << labels;  // with the x
        std::size_t widest_prefix = 0;
        for (std::size_t v = 0; v <= n; ++v) {
            const LayoutNode& node = order.nodes[v];
            ASSERT_EQ(view.first_child(static_cast<NodeId>(v)), node.first_child) << v;
            if (v == n) {
                break;
            }
            if (!image.wide()) {
                widest_prefix =
                    std::max<std::size_t>(widest_prefix, records::prefix(view.record(v)));
            }
            ASSERT_EQ(view.label(static_cast<NodeId>(v)), v == 0 ? 0 : node.label) << v;
            ASSERT_EQ(view.is_key(static_cast<NodeId>(v)), node.flags == 1) << v;
            if (node.flags == 1) {
                ASSERT_EQ(view.payload(static_cast<NodeId>(v)), node.payload) << v;
            }
            ASSERT_EQ(view.shortest(static_cast<NodeId>(v)), std::min<int>(node.shortest, 63));
            ASSERT_EQ(view.longest(static_cast<NodeId>(v)), std::min<int>(node.longest, 63));
        }
        if (!image.wide()) {
            // The lines really were that full.
            EXPECT_GT(widest_prefix, 14u * 254u);
        }
    }
}

}  // namespace
}  // namespace morlatch
