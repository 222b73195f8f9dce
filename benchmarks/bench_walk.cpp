// Native throughput of fuzzy_match over a word list, without the interpreter.
//
// Builds the trie arrays in level order with the tests' reference builder (the
// layout of benchmarks/bench_match.py), then times fuzzy_match for each
// max_dist over a fixed, seeded sample of words with random typos. Visited nodes are counted by a
// second, untimed walk (Matcher::visits), so nodes/s is exact. For instruction counts run
// one distance under callgrind and collect only the queries:
//
//   valgrind --tool=callgrind --toggle-collect='morlatch::fuzzy_match*'
//            bench_walk --dist 2 --queries 40 --repeat 1
//
// Built with -DMORLATCH_BUILD_BENCHMARKS=ON (target bench_walk), or by hand, e.g.
//   g++ -std=c++20 -O2 -DNDEBUG -Isrc -Itests/cpp benchmarks/bench_walk.cpp
//       build/perf/libmorlatch_core.a -o build/perf/bench_walk
// (one command line).
//
// A second table times the search layout's own search (CompactTrie::search,
// the banded kernel) on every query, with Levenshtein's distance and with
// transpositions, and their ratio.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/trie.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/matcher.hpp"
#include "prefix/search/query.hpp"
#include "reference.hpp"

namespace {

using morlatch::Trie;

// Keeps the timed searches from being optimised away.
volatile std::size_t hits_sink = 0;

// Decodes UTF-8 without validation: the word list is well formed.
std::u32string decode(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t c = len == 1 ? b : b & (0x7F >> len);
        for (int k = 1; k < len && i + k < s.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        out.push_back(c);
        i += len;
    }
    return out;
}

Trie build_level_order(const std::vector<std::u32string>& words) {
    morlatch::reference::Keys keys;
    for (std::size_t i = 0; i < words.size(); ++i) {
        keys.emplace_back(words[i], static_cast<morlatch::Payload>(i));
    }
    return morlatch::reference::build_trie(keys);
}

std::uint64_t count_visits(const Trie& t, std::u32string_view query, std::uint64_t max_dist) {
    morlatch::Matcher matcher(query, max_dist, std::nullopt);
    morlatch::Interrupt none;
    matcher.walk(t, none);
    return matcher.visits();
}

}  // namespace

int main(int argc, char** argv) {
    std::string words_path = "/usr/share/dict/american-english";
    std::size_t queries = 400;
    int repeat = 3;
    int only_dist = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view flag = argv[i];
        if (flag == "--words") {
            words_path = argv[i + 1];
        } else if (flag == "--queries") {
            queries = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (flag == "--repeat") {
            repeat = std::atoi(argv[i + 1]);
        } else if (flag == "--dist") {
            only_dist = std::atoi(argv[i + 1]);
        } else {
            std::fprintf(stderr, "unknown flag %s\n", argv[i]);
            return 2;
        }
    }

    std::ifstream in(words_path);
    std::vector<std::u32string> words;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) words.push_back(decode(line));
    }
    if (words.empty()) {
        std::fprintf(stderr, "no words in %s\n", words_path.c_str());
        return 1;
    }
    const Trie trie = build_level_order(words);
    const auto sample = morlatch::reference::typo_queries(words, queries, 20240601);
    std::printf("data: %zu words, %zu nodes; %zu queries\n", words.size(), trie.node_chars.size(),
                sample.size());
    std::printf("%8s %7s %8s %9s %10s %9s\n", "max_dist", "queries", "hits/q", "nodes/q", "q/s",
                "Mnodes/s");

    for (std::uint64_t max_dist = 0; max_dist <= 3; ++max_dist) {
        if (only_dist >= 0 && max_dist != static_cast<std::uint64_t>(only_dist)) continue;
        // Fewer queries at larger distances, as in bench_match.py.
        const std::size_t share = std::array<std::size_t, 4>{1, 1, 4, 8}[max_dist];
        const std::size_t take =
            only_dist >= 0 ? sample.size() : std::max<std::size_t>(1, sample.size() / share);
        std::uint64_t visits = 0;
        std::uint64_t hits = 0;
        if (repeat > 1) {
            for (std::size_t q = 0; q < take; ++q)
                visits += count_visits(trie, sample[q], max_dist);
        }
        double best = 1e300;
        for (int r = 0; r < repeat; ++r) {
            hits = 0;
            const auto t0 = std::chrono::steady_clock::now();
            for (std::size_t q = 0; q < take; ++q) {
                hits += morlatch::fuzzy_match(trie, sample[q], max_dist, std::nullopt).size();
            }
            const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
            best = std::min(best, dt.count());
        }
        if (repeat <= 1) {
            // Counted after the timed pass so that callgrind's totals stay
            // those of fuzzy_match alone (the counting walk is not in it).
            for (std::size_t q = 0; q < take; ++q)
                visits += count_visits(trie, sample[q], max_dist);
        }
        const double n = static_cast<double>(take);
        std::printf("%8llu %7zu %8.1f %9.0f %10.0f %9.2f\n",
                    static_cast<unsigned long long>(max_dist), take, hits / n, visits / n, n / best,
                    static_cast<double>(visits) / best / 1e6);
    }

    const std::unique_ptr<morlatch::CompactTrie> compact = morlatch::CompactTrie::build(trie);
    (void)compact->reverse_index();  // built once, outside the timings
    std::printf("\nsearch layout, %zu queries\n%8s %12s %16s %7s\n", sample.size(), "max_dist",
                "q/s", "q/s with swaps", "ratio");
    for (std::uint64_t max_dist = 0; max_dist <= 3; ++max_dist) {
        if (only_dist >= 0 && max_dist != static_cast<std::uint64_t>(only_dist)) continue;
        double best[2] = {1e300, 1e300};
        for (int r = 0; r < std::max(repeat, 1); ++r) {
            for (const bool swaps : {false, true}) {
                morlatch::Interrupt none;
                std::size_t found = 0;
                const auto t0 = std::chrono::steady_clock::now();
                for (const std::u32string& query : sample) {
                    found +=
                        compact->search(query, max_dist, std::nullopt, none, swaps).hits.size();
                }
                const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
                best[swaps] = std::min(best[swaps], dt.count());
                hits_sink = found;
            }
        }
        const double n = static_cast<double>(sample.size());
        std::printf("%8llu %12.0f %16.0f %7.2f\n", static_cast<unsigned long long>(max_dist),
                    n / best[0], n / best[1], best[1] / best[0]);
    }
    return 0;
}
