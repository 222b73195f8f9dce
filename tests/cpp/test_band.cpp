// The banded kernel against plain distances: on random tries, every search
// over the search layout (the split or single walk, ranked search, completion)
// must find exactly the keys that the plain two-row Levenshtein or optimal
// string alignment distance puts within reach, at that distance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "prefix/layout/compact.hpp"
#include "prefix/search/band.hpp"
#include "prefix/search/descent.hpp"
#include "prefix/search/query.hpp"
#include "prefix/search/ranked.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace morlatch {
namespace {

// Few letters, so that keys share long paths and swaps meet equal pairs.
const std::u32string kAlphabet = U"abc\U0001F600";

char32_t letter(std::mt19937& rng) {
    return kAlphabet[rng() % kAlphabet.size()];
}

// `text` with `edits` random edits, swaps of neighbours among them; a swap
// across the middle (where the split search cuts the query) is favoured.
std::u32string edited(std::mt19937& rng, std::u32string text, int edits) {
    for (; edits > 0; --edits) {
        const std::size_t at = text.empty() ? 0 : rng() % (text.size() + 1);
        switch (rng() % 5) {
            case 0:
                text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), letter(rng));
                break;
            case 1:
                if (at < text.size()) text.erase(at, 1);
                break;
            case 2:
                if (at < text.size()) text[at] = letter(rng);
                break;
            case 3:
                if (at + 1 < text.size()) std::swap(text[at], text[at + 1]);
                break;
            default:
                if (text.size() >= 2) {
                    const std::size_t cut = text.size() / 2;
                    std::swap(text[cut - 1], text[cut]);
                }
        }
    }
    return text;
}

struct Case {
    std::map<std::u32string, Payload> keys;
    std::unique_ptr<CompactTrie> trie;
};

Case random_case(std::mt19937& rng, std::size_t max_length) {
    Case c;
    const std::size_t count = 1 + rng() % 120;
    std::u32string seed;
    for (std::size_t i = 0; i < count; ++i) {
        if (seed.empty() || rng() % 4 == 0) {
            seed.assign(1 + rng() % max_length, U'a');
            for (char32_t& ch : seed) ch = letter(rng);
        }
        const std::u32string key = edited(rng, seed, static_cast<int>(rng() % 4));
        if (!key.empty()) c.keys[key] = static_cast<Payload>(rng() % 1000);
    }
    reference::Keys listed;
    for (const auto& [key, payload] : c.keys) listed.emplace_back(key, payload);
    c.trie = CompactTrie::build(reference::build_trie(listed));
    return c;
}

using Row = std::tuple<std::uint64_t, std::u32string, Payload>;  // distance, key, payload

std::uint64_t distance(bool swaps, std::u32string_view a, std::u32string_view b) {
    return swaps ? reference::osa(a, b) : reference::levenshtein(a, b);
}

// Every key within k of the query, by (distance, key).
std::vector<Row> brute_force(const Case& c, const std::u32string& query, std::uint64_t k,
                             bool swaps) {
    std::vector<Row> rows;
    for (const auto& [key, payload] : c.keys) {
        const std::uint64_t d = distance(swaps, key, query);
        if (d <= k) rows.emplace_back(d, key, payload);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<Row> rows_of(const std::vector<Match>& matches) {
    std::vector<Row> rows;
    for (const Match& m : matches) rows.emplace_back(m.distance, m.key, m.payload);
    return rows;
}

TEST(BandKernel, SearchesFindExactlyThePlainDistancesOnRandomTries) {
    std::mt19937 rng(20261209);
    Interrupt none;
    for (int round = 0; round < 250; ++round) {
        const std::size_t max_length = round % 10 == 0 ? 70 : 10;
        const Case c = random_case(rng, max_length);
        ASSERT_NE(c.trie, nullptr);
        for (int q = 0; q < 8; ++q) {
            auto it = c.keys.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(rng() % c.keys.size()));
            const std::u32string query = edited(rng, it->first, static_cast<int>(rng() % 4));
            for (const bool swaps : {false, true}) {
                for (std::uint64_t k = 0; k <= 5; ++k) {
                    const std::vector<Row> want = brute_force(c, query, k, swaps);
                    const HitList found = c.trie->search(query, k, std::nullopt, none, swaps);
                    std::vector<Row> got;
                    for (const HitList::Hit& hit : found.hits) {
                        got.emplace_back(hit.distance, std::u32string(found.key(hit)), hit.payload);
                    }
                    std::sort(got.begin(), got.end());
                    ASSERT_EQ(got, want)
                        << "swaps " << swaps << ", k " << k << ", query length " << query.size();

                    const std::uint64_t limit = rng() % 6;
                    const std::vector<Row> ranked = rows_of(
                        ranked_search(*c.trie, query, RankedOptions{k, limit, swaps}, none));
                    const std::vector<Row> best(
                        want.begin(),
                        want.begin() + static_cast<std::ptrdiff_t>(
                                           std::min<std::uint64_t>(limit, want.size())));
                    ASSERT_EQ(ranked, best) << "ranked, swaps " << swaps << ", k " << k;
                }
            }
        }
    }
}

// Tries with many children per node, where the walk looks up the labels a
// match can keep alive instead of stepping every child: the same hits as
// the distances say, in the plain walk's order. 300 letters make a layout
// with explicit labels, 26 one with ranks.
class WideFanout : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WideFanout, SearchesFindThePlainHitsInThePlainOrder) {
    const std::size_t letters = GetParam();
    std::u32string alphabet;
    for (std::size_t i = 0; i < letters; ++i) alphabet.push_back(U'a' + static_cast<char32_t>(i));
    std::mt19937 rng(static_cast<std::uint32_t>(letters));
    Interrupt none;
    for (int round = 0; round < 40; ++round) {
        std::map<std::u32string, Payload> keys;
        const std::size_t count = 200 + rng() % 2000;
        for (std::size_t i = 0; i < count; ++i) {
            std::u32string key = testing::random_text(rng, 2 + rng() % 9, alphabet);
            if (!key.empty()) keys[key] = static_cast<Payload>(rng() % 1000);
        }
        reference::Keys listed(keys.begin(), keys.end());
        const Trie plain = reference::build_trie(listed);
        const std::unique_ptr<CompactTrie> trie = CompactTrie::build(plain);
        ASSERT_NE(trie, nullptr);
        for (int q = 0; q < 10; ++q) {
            auto it = keys.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(rng() % keys.size()));
            std::u32string query = it->first;
            for (int e = static_cast<int>(rng() % 3); e > 0; --e) {
                const std::size_t at = rng() % query.size();
                query[at] = alphabet[rng() % alphabet.size()];
                if (rng() % 2 == 0 && at + 1 < query.size()) std::swap(query[at], query[at + 1]);
            }
            for (const bool swaps : {false, true}) {
                for (std::uint64_t k = 1; k <= 3; ++k) {
                    std::vector<Row> want;
                    for (const auto& [key, payload] : keys) {
                        const std::uint64_t d = distance(swaps, key, query);
                        if (d <= k) want.emplace_back(d, key, payload);
                    }
                    const HitList found = trie->search(query, k, std::nullopt, none, swaps);
                    std::vector<Row> got;
                    for (const HitList::Hit& hit : found.hits) {
                        got.emplace_back(hit.distance, std::u32string(found.key(hit)), hit.payload);
                    }
                    if (!swaps) {
                        ASSERT_EQ(rows_of(fuzzy_match(plain, query, k, std::nullopt)), got)
                            << "order, k " << k;
                    }
                    std::sort(got.begin(), got.end());
                    std::sort(want.begin(), want.end());
                    ASSERT_EQ(got, want)
                        << "swaps " << swaps << ", k " << k << ", query length " << query.size();
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Letters, WideFanout, ::testing::Values(26, 300));

TEST(BandKernel, CompletionFindsThePlainClosestBeginning) {
    std::mt19937 rng(99);
    Interrupt none;
    for (int round = 0; round < 150; ++round) {
        const Case c = random_case(rng, round % 10 == 0 ? 40 : 9);
        ASSERT_NE(c.trie, nullptr);
        for (int q = 0; q < 6; ++q) {
            auto it = c.keys.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(rng() % c.keys.size()));
            const std::u32string whole = edited(rng, it->first, static_cast<int>(rng() % 3));
            const std::u32string prefix = whole.substr(0, rng() % (whole.size() + 1));
            for (const bool swaps : {false, true}) {
                for (std::uint64_t k = 0; k <= 4; ++k) {
                    // (distance, length, key) of every key with a beginning
                    // within k.
                    std::vector<std::tuple<std::uint64_t, std::size_t, std::u32string>> want;
                    for (const auto& [key, payload] : c.keys) {
                        std::uint64_t d = UINT64_MAX;
                        for (std::size_t i = 0; i <= key.size(); ++i) {
                            d = std::min(
                                d, distance(swaps, std::u32string_view(key).substr(0, i), prefix));
                        }
                        if (d <= k) want.emplace_back(d, key.size(), key);
                    }
                    std::sort(want.begin(), want.end());
                    std::vector<std::tuple<std::uint64_t, std::size_t, std::u32string>> got;
                    for (const Match& m :
                         complete(*c.trie, prefix, RankedOptions{k, std::nullopt, swaps}, none)) {
                        ASSERT_EQ(m.payload, c.keys.at(m.key));
                        got.emplace_back(m.distance, m.key.size(), m.key);
                    }
                    ASSERT_EQ(got, want) << "swaps " << swaps << ", k " << k;
                }
            }
        }
    }
}

TEST(BandKernel, DistanceCapLeavesResultsAlone) {
    // A max_dist past the cap behaves like the cap, and rows stay banded:
    // a long key and query cost a band per level, not a whole row.
    const std::u32string key(5000, U'a');
    const std::unique_ptr<CompactTrie> trie = CompactTrie::build(reference::build_trie({{key, 7}}));
    ASSERT_NE(trie, nullptr);
    Interrupt none;
    for (const bool swaps : {false, true}) {
        const std::vector<Match> far =
            ranked_search(*trie, U"b", RankedOptions{UINT64_MAX, std::nullopt, swaps}, none);
        ASSERT_EQ(far, (std::vector<Match>{Match{key, 7, 5000}}));
        const std::vector<Match> near = complete(*trie, std::u32string(4999, U'a') + U"b",
                                                 RankedOptions{1, std::nullopt, swaps}, none);
        ASSERT_EQ(near, (std::vector<Match>{Match{key, 7, 1}}));
    }
}

// ---- the row kernel against whole tables ---------------------------------------

// One row kernel for every policy: along a random path, each row's last cell,
// its minimum and whether a cell is within the budget must be those of the
// whole distance table (saturated at k + 1); with the model, a path within k
// must cost what the whole cost table says, and the floors must bound every
// row below. Where the narrowing rule leaves only some labels, a child with
// another label must have no cell within the bound.
template <Metric M, class Costs>
void check_rows(const std::u32string& query, const std::u32string& path, std::uint32_t k,
                Budget budget, const ErrorModel* model) {
    constexpr bool swaps = M == Metric::osa;
    const auto table = reference::distance_table(path, query, swaps);
    BandRows<M, Costs> rows(query, k, budget, model);
    const std::uint64_t inf = std::uint64_t{k} + 1;
    std::vector<std::uint64_t> floors;
    std::vector<std::uint64_t> cost_floors;
    for (std::size_t d = 0; d <= path.size(); ++d) {
        const bool alive =
            d == 0 ? rows.start() : rows.step(d, path[d - 1], d >= 2 ? path[d - 2] : 0);
        SCOPED_TRACE(::testing::Message()
                     << "depth " << d << " k " << k << " query length " << query.size());
        std::uint64_t least = inf;
        bool within = false;
        for (std::size_t i = 0; i <= query.size(); ++i) {
            least = std::min(least, table[d][i]);
            within = within || table[d][i] <= budget.at(i);
        }
        const std::uint64_t distance = table[d][query.size()];
        ASSERT_EQ(rows.last(d), std::min(distance, inf));
        ASSERT_EQ(rows.minimum(d), least);
        ASSERT_EQ(alive, within);
        floors.push_back(rows.floor(d));
        for (const std::uint64_t f : floors) ASSERT_LE(f, least);
        if constexpr (Costs::kModel) {
            cost_floors.push_back(rows.cost_floor(d));
            if (distance <= k) {
                const std::uint64_t cost =
                    reference::model_cost(std::u32string_view(path).substr(0, d), query,
                                          model->edit, model->cheap, model->vowels, swaps);
                ASSERT_EQ(rows.cost(d), cost);
                for (const std::uint64_t f : cost_floors) ASSERT_LE(f, cost);
            }
        }
        if (d == 0) continue;
        for (std::uint32_t t = 0; t <= std::min<std::uint64_t>(least + 1, k); ++t) {
            std::u32string labels;
            if (!rows.narrow(d, t, [&](char32_t ch) { labels.push_back(ch); })) {
                ASSERT_LT(least, t);  // every child may qualify only below the bound
                continue;
            }
            for (const char32_t other : kAlphabet) {
                if (labels.find(other) != std::u32string::npos) continue;
                rows.step(d + 1, other, path[d - 1]);
                ASSERT_GT(rows.minimum(d + 1), t) << "child " << static_cast<std::uint32_t>(other);
            }
        }
    }
}

TEST(BandKernel, RowsMatchWholeTablesForEveryCostPolicy) {
    std::mt19937 rng(9122026);
    // Costs that give a band of k, a wider one, the whole row (a cheap edit
    // of 0) and costs too dear for the lanes.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> costs{
        {7000, 4250}, {3, 1}, {5, 5}, {2, 9}, {5, 0}, {1000000, 7}};
    for (int round = 0; round < 1500; ++round) {
        const std::u32string query = testing::random_text(rng, rng() % 4 == 0 ? 40 : 14, kAlphabet);
        std::u32string path = rng() % 3 == 0 ? testing::random_text(rng, 44, kAlphabet)
                                             : edited(rng, query, static_cast<int>(rng() % 4));
        const std::uint32_t k = rng() % 10 == 0 ? 1000 : static_cast<std::uint32_t>(rng() % 6);
        const std::uint32_t low = static_cast<std::uint32_t>(rng() % (k + 1));
        const Budget budget =
            rng() % 2 ? Budget{k, k, 0} : Budget{low, k, rng() % (query.size() + 1)};
        const auto [edit, cheap] = costs[rng() % costs.size()];
        const ErrorModel model{edit, cheap, U"a\U0001F600"};
        check_rows<Metric::levenshtein, UnitCosts>(query, path, k, budget, nullptr);
        check_rows<Metric::osa, UnitCosts>(query, path, k, budget, nullptr);
        check_rows<Metric::levenshtein, ModelCosts>(query, path, k, budget, &model);
        check_rows<Metric::osa, ModelCosts>(query, path, k, budget, &model);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// A descent policy that enters every child, in label order, and notes at each
// visit the path handed over and the row's distance and cost; it stops the
// descent after `stop_after` visits.
template <class Rows>
struct EveryNode {
    struct Frame {
        NodeId next;
        NodeId end;
    };
    struct Seen {
        std::u32string path;
        std::uint64_t distance;
        std::uint64_t cost;
    };
    const CompactTrie& trie;
    const Rows& rows;
    Descent<Frame>& descent;
    std::size_t stop_after;
    std::vector<Seen> seen;

    Next next(Frame& frame, std::size_t, NodeId& node, char32_t& label) const {
        if (frame.next == frame.end) return Next::done;
        node = frame.next++;
        label = trie.label(node);
        return Next::visit;
    }
    bool visit(NodeId node, std::size_t depth, bool) {
        seen.push_back(Seen{std::u32string(descent.path()), rows.last(depth), rows.cost(depth)});
        if (seen.size() == stop_after) return false;
        descent.open(Frame{trie.first_child(node), trie.end_child(node)});
        return true;
    }
};

// Every node is visited once, in code-point order of the paths, with its own
// path, and its row (stepped with the parent's label, which swaps and the
// model's doubled letters read) holds the plain distance and the model's
// cost; a walk that stops ends the descent there.
template <Metric M>
void check_descent(std::mt19937& rng) {
    constexpr bool kSwaps = M == Metric::osa;
    const ErrorModel model{3, 1, U"a\U0001F600"};
    const Case c = random_case(rng, 8);
    std::set<std::u32string> prefixes;
    for (const auto& entry : c.keys) {
        for (std::size_t n = 1; n <= entry.first.size(); ++n)
            prefixes.insert(entry.first.substr(0, n));
    }
    const std::u32string query = testing::random_text(rng, 10, kAlphabet);
    const auto k = static_cast<std::uint32_t>(rng() % 4);
    BandRows<M, ModelCosts> rows(query, k, Budget{k, k, 0}, &model);
    Descent<typename EveryNode<BandRows<M, ModelCosts>>::Frame> descent;
    const std::size_t stop_after = 1 + rng() % (prefixes.size() + prefixes.size() / 4 + 1);
    EveryNode<BandRows<M, ModelCosts>> walk{*c.trie, rows, descent, stop_after, {}};
    rows.start();
    descent.open({c.trie->first_child(CompactTrie::kRoot), c.trie->end_child(CompactTrie::kRoot)});
    Interrupt interrupt;
    const bool finished = descent.run(walk, rows, interrupt);

    ASSERT_EQ(finished, stop_after > prefixes.size());
    ASSERT_EQ(walk.seen.size(), std::min(stop_after, prefixes.size()));
    auto prefix = prefixes.begin();
    for (const auto& [path, unit, cost] : walk.seen) {
        ASSERT_EQ(path, *prefix++);
        const std::uint64_t d = distance(kSwaps, path, query);
        ASSERT_EQ(unit, std::min<std::uint64_t>(d, k + 1));
        if (d <= k) {
            ASSERT_EQ(cost, reference::model_cost(path, query, model.edit, model.cheap,
                                                  model.vowels, kSwaps));
        }
    }
}

TEST(Descent, VisitsEveryNodeInOrderWithItsPathAndRow) {
    std::mt19937 rng(1012026);
    for (int round = 0; round < 400; ++round) {
        check_descent<Metric::levenshtein>(rng);
        check_descent<Metric::osa>(rng);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace morlatch
