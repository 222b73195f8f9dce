// libFuzzer target: the searches over decoded tries against brute force.
//
// Input: one byte for k (0..3), one for the limit (none, or 0..7), one for
// the query's length (0..7) and one per query character (from "abcdé"), then
// a trie image. Images that do not decode, and tries whose root paths are too
// many to walk quickly (shared children), are skipped.
//
// Every hit must be a key within k of the query at its plain Levenshtein
// distance, ending at a node with the hit's payload. Where the trie is a
// proper one below the root (ids in range, every node reached once, every
// child with a character, siblings with distinct characters), the search must
// finish without a fault and find exactly the brute-force hits (with a limit:
// that many of them), and exact_match must find exactly the query. Where the
// search layout takes the trie, its search with transpositions must find
// exactly the keys within k by the optimal string alignment distance.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "base/fault.hpp"
#include "format/codec.hpp"
#include "prefix/file/store.hpp"
#include "prefix/search/query.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace {

using morlatch::Match;
using morlatch::Trie;
namespace reference = morlatch::reference;

using Search = std::vector<Match> (*)(const Trie&, std::u32string_view, std::uint64_t,
                                      std::optional<std::uint64_t>);

struct NamedSearch {
    const char* name;
    Search run;
};

// What the module runs: the store of the arrays, which searches through the
// layout where the arrays pass its check and walks them plainly otherwise.
std::vector<Match> module_search(const Trie& trie, std::u32string_view query, std::uint64_t k,
                                 std::optional<std::uint64_t> limit) {
    const morlatch::Store store(trie);
    morlatch::NoLock lock;
    const morlatch::HitList found = store.fuzzy_match(query, k, limit, lock);
    std::vector<Match> matches;
    for (const morlatch::HitList::Hit& hit : found.hits) {
        matches.push_back(Match{std::u32string(found.key(hit)), hit.payload, hit.distance});
    }
    return matches;
}

// The searches under test, each checked on every input. The first is the
// plain walk; any other must also return exactly what it returns whenever
// both finish.
const NamedSearch searches[] = {
    {"plain walk", &morlatch::fuzzy_match},
    {"module search", &module_search},
};

[[noreturn]] void report(const char* search, const std::string& what) {
    std::fprintf(stderr, "fuzz_walk: %s: %s\n", search, what.c_str());
    std::abort();
}

using morlatch::testing::path_count;
using reference::child_ids;
using reference::levenshtein;
using reference::osa;

std::optional<char32_t> char_of(const Trie& t, std::uint32_t id) {
    return id < t.node_chars.size() ? t.node_chars[id] : std::nullopt;
}

using Hit = std::tuple<std::u32string, std::uint32_t, std::uint64_t>;

// Whether some root path spells key and ends at a node with that payload.
bool spelled_with_payload(const Trie& t, const std::u32string& key, std::uint32_t payload) {
    std::set<std::uint32_t> at{0};
    for (char32_t c : key) {
        std::set<std::uint32_t> next;
        for (std::uint32_t n : at) {
            if (const auto ids = child_ids(t, n)) {
                for (std::uint32_t id : *ids) {
                    if (char_of(t, id) == c) next.insert(id);
                }
            }
        }
        at = std::move(next);
    }
    return std::any_of(at.begin(), at.end(), [&](std::uint32_t n) {
        return n < t.node_payloads.size() && t.node_payloads[n] == payload;
    });
}

std::string describe(const std::vector<Hit>& hits) {
    std::string out;
    for (const auto& [key, payload, distance] : hits) {
        out += "(";
        for (char32_t c : key) out += c < 0x80 ? static_cast<char>(c) : '?';
        out += ", " + std::to_string(payload) + ", " + std::to_string(distance) + ") ";
    }
    return out;
}

std::vector<Hit> as_hits(const std::vector<Match>& matches) {
    std::vector<Hit> hits;
    for (const Match& m : matches) hits.emplace_back(m.key, m.payload, m.distance);
    return hits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint64_t k = data[0] % 4;
    const std::optional<std::uint64_t> limit =
        data[1] < 128 ? std::nullopt : std::optional<std::uint64_t>(data[1] % 8);
    const std::size_t length = data[2] % 8;
    if (size < 3 + length) return 0;
    static constexpr char32_t alphabet[] = U"abcd\u00E9";
    std::u32string query;
    for (std::size_t i = 0; i < length; ++i) query += alphabet[data[3 + i] % 5];
    const auto decoded = morlatch::format::decode(std::span(data + 3 + length, size - 3 - length));
    if (!decoded) return 0;
    const Trie trie = morlatch::format::DecodeResult(decoded).value();
    if (trie.node_payloads.size() > 256 || path_count(trie, 5000) >= 5000) return 0;

    const auto keys = reference::proper_keys(trie);
    std::vector<Hit> expected;
    if (keys) {
        for (const auto& [key, payload] : *keys) {
            const std::uint64_t d = levenshtein(key, query);
            if (d <= k) expected.emplace_back(key, payload, d);
        }
        std::sort(expected.begin(), expected.end());
    }

    std::optional<std::vector<Hit>> first;
    for (const NamedSearch& search : searches) {
        std::vector<Hit> hits;
        try {
            hits = as_hits(search.run(trie, query, k, limit));
        } catch (const morlatch::Fault& fault) {
            if (keys) report(search.name, "faulted on a proper trie: " + fault.message());
            continue;
        }
        if (limit && hits.size() > *limit) report(search.name, "more hits than the limit");
        for (const auto& [key, payload, distance] : hits) {
            if (key.empty() || distance > k || distance != levenshtein(key, query)) {
                report(search.name, "wrong distance in " + describe({{key, payload, distance}}));
            }
            if (!spelled_with_payload(trie, key, payload)) {
                report(search.name, "no node spells " + describe({{key, payload, distance}}));
            }
        }
        if (keys) {
            std::vector<Hit> sorted = hits;
            std::sort(sorted.begin(), sorted.end());
            const bool ok = limit
                                ? sorted.size() == std::min<std::size_t>(*limit, expected.size()) &&
                                      std::includes(expected.begin(), expected.end(),
                                                    sorted.begin(), sorted.end())
                                : sorted == expected;
            if (!ok)
                report(search.name, "found " + describe(hits) + "expected " + describe(expected));
        }
        if (!first) {
            first = hits;
        } else if (hits != *first) {
            report(search.name, "differs from the plain walk: " + describe(hits));
        }
    }

    // With transpositions (the ranked searches' distance), the search layout
    // must find exactly the keys within k by the swap-aware distance.
    if (const auto compact = morlatch::CompactTrie::build(trie)) {
        if (!keys) report("search with transpositions", "layout built for an improper trie");
        std::vector<Hit> want;
        for (const auto& [key, payload] : *keys) {
            const std::uint64_t d = osa(key, query);
            if (d <= k) want.emplace_back(key, payload, d);
        }
        std::sort(want.begin(), want.end());
        morlatch::Interrupt none;
        const morlatch::HitList found = compact->search(query, k, std::nullopt, none, true);
        std::vector<Hit> got;
        for (const morlatch::HitList::Hit& hit : found.hits) {
            got.emplace_back(std::u32string(found.key(hit)), hit.payload, hit.distance);
        }
        std::sort(got.begin(), got.end());
        if (got != want) {
            report("search with transpositions",
                   "found " + describe(got) + "expected " + describe(want));
        }
    }

    // exact_match: the query itself when it is a key.
    std::optional<Match> exact;
    try {
        exact = morlatch::exact_match(trie, query);
    } catch (const morlatch::Fault& fault) {
        if (keys) report("exact_match", "faulted on a proper trie: " + fault.message());
        return 0;
    }
    if (exact && (exact->key != query || exact->distance != 0 ||
                  !spelled_with_payload(trie, query, exact->payload))) {
        report("exact_match", "wrong hit " + describe(as_hits({*exact})));
    }
    if (keys) {
        const auto it = std::find_if(keys->begin(), keys->end(),
                                     [&](const auto& entry) { return entry.first == query; });
        const bool want = it != keys->end();
        if (want != exact.has_value() || (exact && exact->payload != it->second)) {
            report("exact_match", "disagrees with the key list");
        }
    }
    return 0;
}
