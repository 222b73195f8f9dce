// Obviously-correct references that the C++ tests, the fuzz targets and the
// native benchmark compare the core against: a trie builder, a reader of the
// trie arrays, the Levenshtein and optimal string alignment distances, a model
// of the plain walk, a way to catch the fault of a call, and the seeded typo
// generator for queries. (tests/reference.py is the same for the Python side.)
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "base/trie.hpp"
#include "reference_format.hpp"  // the byte format's model

namespace morlatch::reference {

using Keys = std::vector<std::pair<std::u32string, std::optional<Payload>>>;

// How build_trie numbers the nodes: level order (breadth first, as the
// package's builder does), depth first (pre-order), or depth first and then
// shuffled (the root stays 0).
enum class Numbering { level, depth, random };

// Lays keys out as a trie: the children of each node consecutive and in
// code-point order, ids in the given numbering (`rng` shuffles for random).
// A key given twice keeps its last payload; the empty key puts its payload
// on the root.
inline Trie build_trie(const Keys& keys, Numbering numbering = Numbering::level,
                       std::mt19937* rng = nullptr) {
    struct Node {
        std::map<char32_t, std::size_t> kids;
        std::optional<Payload> payload;
        std::optional<char32_t> ch;
    };
    std::vector<Node> tree(1);
    for (const auto& [key, payload] : keys) {
        std::size_t node = 0;
        for (const char32_t c : key) {
            auto it = tree[node].kids.find(c);
            if (it == tree[node].kids.end()) {
                tree.push_back(Node{{}, std::nullopt, c});
                it = tree[node].kids.emplace(c, tree.size() - 1).first;
            }
            node = it->second;
        }
        tree[node].payload = payload;
    }
    std::vector<std::size_t> order;  // tree index by id
    if (numbering == Numbering::level) {
        order.push_back(0);
        for (std::size_t i = 0; i < order.size(); ++i) {
            for (const auto& kid : tree[order[i]].kids) order.push_back(kid.second);
        }
    } else {
        std::vector<std::size_t> stack{0};
        while (!stack.empty()) {
            const std::size_t node = stack.back();
            stack.pop_back();
            order.push_back(node);
            for (auto it = tree[node].kids.rbegin(); it != tree[node].kids.rend(); ++it) {
                stack.push_back(it->second);
            }
        }
        if (numbering == Numbering::random && rng != nullptr) {
            std::shuffle(order.begin() + 1, order.end(), *rng);
        }
    }
    std::vector<NodeId> id(tree.size());
    for (std::size_t i = 0; i < order.size(); ++i) id[order[i]] = static_cast<NodeId>(i);
    Trie t;
    for (const std::size_t node : order) {
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_indices.size()));
        t.node_chars.push_back(tree[node].ch);
        t.node_payloads.push_back(tree[node].payload);
        for (const auto& kid : tree[node].kids) t.child_indices.push_back(id[kid.second]);
    }
    return t;
}

// The child ids of node n as the arrays describe them (child_indices from
// node_shifts[n] up to the next node's shift, or to the end for the last
// node), or nothing where reading them goes past an array's end.
inline std::optional<std::vector<NodeId>> child_ids(const Trie& t, std::uint64_t n) {
    if (n >= t.node_shifts.size()) return std::nullopt;
    const std::uint64_t start = t.node_shifts[n];
    const std::uint64_t end =
        n + 1 < t.node_shifts.size() ? t.node_shifts[n + 1] : t.child_indices.size();
    std::vector<NodeId> ids;
    for (std::uint64_t i = start; i < end; ++i) {
        if (i >= t.child_indices.size()) return std::nullopt;
        ids.push_back(t.child_indices[i]);
    }
    return ids;
}

// Every key below the root with its payload, when the arrays form a proper
// trie (every child list readable, every child id in range with a character,
// every node reached once, siblings with distinct characters); nothing
// otherwise.
inline std::optional<std::vector<std::pair<std::u32string, Payload>>> proper_keys(const Trie& t) {
    std::vector<std::pair<std::u32string, Payload>> keys;
    std::vector<bool> seen(t.node_payloads.size());
    if (seen.empty()) return std::nullopt;
    std::vector<std::pair<NodeId, std::u32string>> todo{{0, U""}};
    seen[0] = true;
    while (!todo.empty()) {
        auto [node, text] = todo.back();
        todo.pop_back();
        if (!text.empty() && t.node_payloads[node]) keys.emplace_back(text, *t.node_payloads[node]);
        const auto ids = child_ids(t, node);
        if (!ids) return std::nullopt;
        std::set<char32_t> chars;
        for (const NodeId id : *ids) {
            if (id >= seen.size() || seen[id] || id >= t.node_chars.size() || !t.node_chars[id] ||
                !chars.insert(*t.node_chars[id]).second) {
                return std::nullopt;
            }
            seen[id] = true;
            todo.emplace_back(id, text + *t.node_chars[id]);
        }
    }
    return keys;
}

// Plain two-row Levenshtein distance: unit insert, delete, substitute.
inline std::uint64_t levenshtein(std::u32string_view a, std::u32string_view b) {
    std::vector<std::uint64_t> prev(b.size() + 1), cur(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1])});
        }
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

// What the walk model saw: the hits (key, node, distance) in the order found,
// the nodes visited, and the fault that ended the walk ("" for none).
struct Walk {
    std::vector<std::tuple<std::u32string, NodeId, std::uint64_t>> hits;
    std::uint64_t visits = 0;
    std::string fault;

    bool operator==(const Walk&) const = default;
};

// The plain walk step by step, on the arrays as given: depth first from the
// root; every pending node carries its own copy of its path text and of its
// parent's full Levenshtein row; a node with a payload whose last cell is
// within max_dist is a hit; a node whose row minimum exceeds max_dist, or any
// node once `limit` hits are found, enters no children (its children are read
// all the same); the child on the query's next character goes first (of
// several, the last), the others follow in array order. A node past the
// payloads, or deeper than the trie has nodes, faults before its visit.
inline Walk walk(const Trie& t, std::u32string_view query, std::uint64_t max_dist,
                 std::optional<std::uint64_t> limit = std::nullopt) {
    struct Node {
        NodeId id;
        std::u32string prefix;
        std::vector<std::uint64_t> parent_row;
    };
    Walk out;
    const std::size_t n = query.size();
    std::vector<Node> stack{{0, U"", {}}};
    try {
        while (!stack.empty()) {
            Node node = std::move(stack.back());
            stack.pop_back();
            const std::optional<Payload> payload = at(t.node_payloads, node.id);
            if (node.prefix.size() >= t.node_payloads.size()) {
                fault(cycle_message(node.id, node.prefix.size(), t.node_payloads.size()));
            }
            ++out.visits;
            std::vector<std::uint64_t> row(n + 1);
            for (std::size_t i = 0; i <= n; ++i) row[i] = i;
            const bool full = limit && out.hits.size() >= *limit;
            if (!node.prefix.empty()) {
                const std::vector<std::uint64_t>& p = node.parent_row;
                row[0] = p[0] + 1;
                for (std::size_t i = 1; i <= n; ++i) {
                    row[i] = std::min({p[i] + 1, row[i - 1] + 1,
                                       p[i - 1] + (node.prefix.back() != query[i - 1])});
                }
                if (payload && row[n] <= max_dist && !full) {
                    out.hits.emplace_back(node.prefix, node.id, row[n]);
                }
            }
            // The children as the arrays list them, faulting at the first bad read.
            const std::size_t start = at(t.node_shifts, node.id);
            const std::uint32_t after = node.id + 1;  // ids are 32-bit
            const std::size_t end = after >= static_cast<std::uint32_t>(t.node_shifts.size())
                                        ? t.child_indices.size()
                                        : t.node_shifts[after];
            std::vector<std::pair<char32_t, NodeId>> below;
            for (std::size_t i = start; i < end; ++i) {
                const NodeId child = at(t.child_indices, i);
                below.emplace_back(unwrap(at(t.node_chars, child)), child);
            }
            if ((limit && out.hits.size() >= *limit) ||
                *std::min_element(row.begin(), row.end()) > max_dist) {
                continue;
            }
            std::optional<std::pair<char32_t, NodeId>> promoted;
            std::vector<std::pair<char32_t, NodeId>> chosen;
            for (const auto& child : below) {
                if (node.prefix.size() < n && child.first == query[node.prefix.size()]) {
                    promoted = child;  // a later one replaces an earlier one
                } else {
                    chosen.push_back(child);
                }
            }
            if (promoted) chosen.insert(chosen.begin(), *promoted);
            for (auto it = chosen.rbegin(); it != chosen.rend(); ++it) {
                stack.push_back(Node{it->second, node.prefix + it->first, row});
            }
        }
    } catch (const Fault& f) {
        out.fault = f.message();
    }
    return out;
}

// Optimal string alignment distance: Levenshtein plus the swap of two
// adjacent characters as one edit (a swapped pair is not edited again); three
// plain rows.
inline std::uint64_t osa(std::u32string_view a, std::u32string_view b) {
    std::vector<std::uint64_t> two_up(b.size() + 1), prev(b.size() + 1), cur(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                cur[j] = std::min(cur[j], two_up[j - 2] + 1);
            }
        }
        std::swap(two_up, prev);
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

// The fault that fn() raises, or nothing when it returns normally.
template <class Fn>
std::optional<Fault> fault_of(Fn&& fn) {
    try {
        fn();
    } catch (const Fault& f) {
        return f;
    }
    return std::nullopt;
}

// The message of the fault that fn() raises; "(no fault)" when it returns.
template <class Fn>
std::string fault_message(Fn&& fn) {
    const std::optional<Fault> f = fault_of(std::forward<Fn>(fn));
    return f ? f->message() : "(no fault)";
}

// text with `edits` random edits, each at a random place: replace, delete
// or insert a letter of `letters` (an edit that falls past the end inserts).
inline std::u32string typo(std::mt19937& rng, std::u32string text, int edits,
                           std::u32string_view letters = U"abcdefghijklmnopqrstuvwxyz") {
    for (int e = 0; e < edits; ++e) {
        const std::size_t pos = rng() % (text.size() + 1);
        const unsigned kind = rng() % 3;
        const char32_t letter = letters[rng() % letters.size()];
        if (kind == 0 && pos < text.size()) {
            text[pos] = letter;
        } else if (kind == 1 && pos < text.size()) {
            text.erase(pos, 1);
        } else {
            text.insert(text.begin() + static_cast<std::ptrdiff_t>(pos), letter);
        }
    }
    return text;
}

// count seeded words of the list (drawn with replacement), each with 0, 1, 1
// or 2 random edits of lowercase letters: the native benchmark's queries.
inline std::vector<std::u32string> typo_queries(const std::vector<std::u32string>& words,
                                                std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::u32string> out;
    for (std::size_t q = 0; q < count; ++q) {
        const std::u32string& word = words[rng() % words.size()];
        out.push_back(typo(rng, word, std::array{0, 1, 1, 2}[rng() % 4]));
    }
    return out;
}

// ---- the error model's costs ---------------------------------------------------

// The cost of the cheapest alignment that edits `key` into `word`: a letter
// of the key left out costs `cheap` when it repeats the one before it, a
// letter added to the word `cheap` when it repeats the word's letter before
// it, a vowel for a vowel and (with swaps) a swap of neighbours `cheap`;
// every other edit `edit`. Whole rows, as tests/reference.py's model_cost.
inline std::uint64_t model_cost(std::u32string_view key, std::u32string_view word,
                                std::uint64_t edit, std::uint64_t cheap, std::u32string_view vowels,
                                bool swaps) {
    const auto vowel = [&](char32_t c) { return vowels.find(c) != std::u32string_view::npos; };
    const auto drop = [&](std::size_t i) {
        return i >= 2 && key[i - 1] == key[i - 2] ? cheap : edit;
    };
    const auto add = [&](std::size_t j) {
        return j >= 2 && word[j - 1] == word[j - 2] ? cheap : edit;
    };
    std::vector<std::vector<std::uint64_t>> rows(key.size() + 1,
                                                 std::vector<std::uint64_t>(word.size() + 1));
    for (std::size_t j = 1; j <= word.size(); ++j) rows[0][j] = rows[0][j - 1] + add(j);
    for (std::size_t i = 1; i <= key.size(); ++i) {
        rows[i][0] = rows[i - 1][0] + drop(i);
        for (std::size_t j = 1; j <= word.size(); ++j) {
            const char32_t a = key[i - 1];
            const char32_t b = word[j - 1];
            const std::uint64_t change = a == b ? 0 : vowel(a) && vowel(b) ? cheap : edit;
            std::uint64_t best = std::min(
                {rows[i - 1][j - 1] + change, rows[i - 1][j] + drop(i), rows[i][j - 1] + add(j)});
            if (swaps && i > 1 && j > 1 && a == word[j - 2] && key[i - 2] == b) {
                best = std::min(best, rows[i - 2][j - 2] + cheap);
            }
            rows[i][j] = best;
        }
    }
    return rows[key.size()][word.size()];
}

// Every cell of the distance table of `a` against `b`: cell [i][j] is the
// Levenshtein (or, with swaps, optimal string alignment) distance between
// a's first i characters and b's first j.
inline std::vector<std::vector<std::uint64_t>> distance_table(std::u32string_view a,
                                                              std::u32string_view b, bool swaps) {
    std::vector<std::vector<std::uint64_t>> d(a.size() + 1,
                                              std::vector<std::uint64_t>(b.size() + 1));
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        d[i][0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (swaps && i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d;
}

// ---- the speller's channel --------------------------------------------------------

// A learned substring edit: `source` in the word typed as `target`, at `cost`.
struct LearnedEdit {
    std::u32string source;
    std::u32string target;
    double cost;
};

// The cheapest way to edit all of `word` into all of `typed`: single
// characters substituted, removed or inserted at their rates, neighbours
// swapped, and any learned edit whose source (never empty) ends at a cell of
// the word and whose target ends at the same cell of the typed word. Every
// alignment, no band; the whole table, no bound.
inline double channel_cost(std::u32string_view typed, std::u32string_view word,
                           const std::vector<LearnedEdit>& edits, double substitute, double remove,
                           double insert, double swap) {
    const std::size_t n = word.size();
    const std::size_t m = typed.size();
    const double never = std::numeric_limits<double>::infinity();
    std::vector<std::vector<double>> best(n + 1, std::vector<double>(m + 1, never));
    best[0][0] = 0.0;
    for (std::size_t i = 0; i <= n; ++i) {
        for (std::size_t j = 0; j <= m; ++j) {
            double& cell = best[i][j];
            if (i > 0 && j > 0) {
                cell = std::min(
                    cell, best[i - 1][j - 1] + (word[i - 1] == typed[j - 1] ? 0.0 : substitute));
            }
            if (i > 0) cell = std::min(cell, best[i - 1][j] + remove);
            if (j > 0) cell = std::min(cell, best[i][j - 1] + insert);
            if (i > 1 && j > 1 && word[i - 2] == typed[j - 1] && word[i - 1] == typed[j - 2]) {
                cell = std::min(cell, best[i - 2][j - 2] + swap);
            }
            for (const LearnedEdit& edit : edits) {
                const std::size_t a = edit.source.size();
                const std::size_t b = edit.target.size();
                if (a > 0 && a <= i && b <= j && word.substr(i - a, a) == edit.source &&
                    typed.substr(j - b, b) == edit.target) {
                    cell = std::min(cell, best[i - a][j - b] + edit.cost);
                }
            }
        }
    }
    return best[n][m];
}

// ---- catalog word split ------------------------------------------------------

// The words of texts joined by `separator`, byte by byte: runs of ASCII
// letters and digits and of bytes past ASCII, and each byte of `symbols` on
// its own; numbered by first appearance. (distinct, per word its number,
// per text where its words start, one more at the end.)
struct WordSplit {
    std::vector<std::string> distinct;
    std::vector<std::uint32_t> words;
    std::vector<std::uint64_t> offsets{0};
};

inline WordSplit split_words(std::string_view blob, char separator, std::string_view symbols) {
    WordSplit out;
    std::map<std::string, std::uint32_t> numbers;
    auto add = [&](const std::string& word) {
        const auto [at, added] =
            numbers.try_emplace(word, static_cast<std::uint32_t>(out.distinct.size()));
        if (added) {
            out.distinct.push_back(word);
        }
        out.words.push_back(at->second);
    };
    std::string run;
    for (const char c : blob) {
        const auto byte = static_cast<unsigned char>(c);
        const bool inside = std::isalnum(byte) != 0 || byte >= 0x80;
        if (inside && c != separator && symbols.find(c) == std::string_view::npos) {
            run.push_back(c);
            continue;
        }
        if (!run.empty()) {
            add(run);
            run.clear();
        }
        if (c == separator) {
            out.offsets.push_back(out.words.size());
        } else if (symbols.find(c) != std::string_view::npos) {
            add(std::string(1, c));
        }
    }
    if (!run.empty()) {
        add(run);
    }
    out.offsets.push_back(out.words.size());
    return out;
}

}  // namespace morlatch::reference
