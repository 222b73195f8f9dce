#include "spell/channel.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <ranges>
#include <span>
#include <utility>

namespace morlatch::spell {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();

}  // namespace

Channel::Channel(const std::vector<Edit>& edits, const Rates& rates) : rates_(rates) {
    for (const Edit& edit : edits) {
        auto found = edits_.find(std::u32string_view(edit.source));
        if (found == edits_.end()) {
            const std::u32string& held = sources_.emplace_back(edit.source);
            found = edits_.emplace(std::u32string_view(held), Targets{kNever, {}}).first;
            longest_source_ = std::max(longest_source_, edit.source.size());
        }
        Targets& targets = found->second;
        if (edit.target.empty()) {
            targets.erase_cost = std::min(targets.erase_cost, edit.cost);
            continue;
        }
        const char32_t first = edit.target.front();
        auto bucket =
            std::lower_bound(targets.by_first.begin(), targets.by_first.end(), first,
                             [](const auto& entry, char32_t c) { return entry.first < c; });
        if (bucket == targets.by_first.end() || bucket->first != first) {
            bucket = targets.by_first.insert(bucket, {first, {}});
        }
        bucket->second.push_back({edit.target, edit.cost});
    }
    prefixes_.emplace_back();
    for (const auto& [source, targets] : edits_) {
        std::uint32_t node = 0;
        for (const char32_t c : source) {
            auto& next = prefixes_[node].next;
            auto child =
                std::ranges::lower_bound(next, c, {}, &std::pair<char32_t, std::uint32_t>::first);
            if (child == next.end() || child->first != c) {
                const auto fresh = static_cast<std::uint32_t>(prefixes_.size());
                next.insert(child, {c, fresh});
                node = fresh;
                prefixes_.emplace_back();  // after the insert: `next` may move
            } else {
                node = child->second;
            }
        }
        prefixes_[node].targets = &targets;
    }
}

void Channel::sources_at(std::u32string_view word, std::size_t at,
                         std::vector<std::pair<std::size_t, const Targets*>>& found) const {
    found.clear();
    std::uint32_t node = 0;
    for (std::size_t size = 1; at + size <= word.size(); ++size) {
        const auto& next = prefixes_[node].next;
        const auto child = std::ranges::lower_bound(next, word[at + size - 1], {},
                                                    &std::pair<char32_t, std::uint32_t>::first);
        if (child == next.end() || child->first != word[at + size - 1]) {
            return;
        }
        node = child->second;
        if (prefixes_[node].targets != nullptr) {
            found.emplace_back(size, prefixes_[node].targets);
        }
    }
}

double Channel::cost(std::u32string_view typed, std::u32string_view word, std::size_t band,
                     double bound) const {
    Scratch scratch;
    return cost(scratch, typed, word, band, bound);
}

double Channel::cost(Scratch& scratch, std::u32string_view typed, std::u32string_view word,
                     std::size_t band, double bound) const {
    const std::size_t n = word.size();
    const std::size_t m = typed.size();
    const std::size_t reach = (n > m ? n - m : m - n) + band;
    const std::size_t width = m + 1;
    // best[i * width + j]: the cheapest way to turn word[:i] into typed[:j].
    std::vector<double>& best = scratch.best;
    best.assign((n + 1) * width, kNever);
    best[0] = 0.0;
    // row_least[i]: the cheapest cell of row i so far. Every edit moves
    // down at most `ahead` rows, so once the rows from i on that a step can
    // reach all cost more than the bound, nothing that follows can come in
    // under it.
    std::vector<double>& row_least = scratch.row_least;
    row_least.assign(n + 1, kNever);
    row_least[0] = 0.0;
    const std::size_t ahead = std::max<std::size_t>(longest_source_, 2);
    const auto relax = [&](std::size_t i, std::size_t j, double value) {
        double& cell = best[i * width + j];
        cell = std::min(cell, value);
        row_least[i] = std::min(row_least[i], value);
    };
    // The learned sources that start at row i, as (size, targets), found
    // once per row rather than once per cell.
    auto& sources = scratch.sources;
    for (std::size_t i = 0; i <= n; ++i) {
        const auto reachable = std::span(row_least).subspan(i, std::min(ahead, n - i) + 1);
        if (std::ranges::min(reachable) > bound) {
            return kNever;
        }
        sources_at(word, i, sources);
        const std::size_t first = i > reach ? i - reach : 0;
        const std::size_t last = std::min(m, i + reach);
        for (std::size_t j = first; j <= last; ++j) {
            const double here = best[i * width + j];
            if (here == kNever) {
                continue;
            }
            if (i < n && j < m) {
                relax(i + 1, j + 1, word[i] == typed[j] ? here : here + rates_.substitute);
            }
            if (i < n) {
                relax(i + 1, j, here + rates_.remove);
            }
            if (j < m) {
                relax(i, j + 1, here + rates_.insert);
            }
            if (i + 1 < n && j + 1 < m && word[i] == typed[j + 1] && word[i + 1] == typed[j]) {
                relax(i + 2, j + 2, here + rates_.swap);
            }
            for (const auto& [size, targets] : sources) {
                relax(i + size, j, here + targets->erase_cost);
                if (j == m) {
                    continue;
                }
                const auto bucket =
                    std::lower_bound(targets->by_first.begin(), targets->by_first.end(), typed[j],
                                     [](const auto& entry, char32_t c) { return entry.first < c; });
                if (bucket == targets->by_first.end() || bucket->first != typed[j]) {
                    continue;
                }
                const std::u32string_view rest = typed.substr(j);
                for (const Targets::Target& target : bucket->second) {
                    if (rest.starts_with(target.text)) {
                        relax(i + size, j + target.text.size(), here + target.cost);
                    }
                }
            }
        }
    }
    return best[n * width + m];
}

std::vector<Channel::Scored> Channel::rank(std::u32string_view typed,
                                           const std::vector<std::u32string>& words,
                                           const std::vector<double>& priors, std::size_t limit,
                                           double max_cost, std::size_t band) const {
    if (limit == 0) {
        return {};
    }
    std::vector<std::size_t> order(words.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // The first word first (the caller's best guess, which sets a tight cut
    // early), then the likeliest priors first.
    std::ranges::stable_sort(order | std::views::drop(1),
                             [&](std::size_t a, std::size_t b) { return priors[a] > priors[b]; });
    // The word without its boundary marks, for ties.
    const auto bare = [&](std::size_t at) {
        const std::u32string_view word = words[at];
        return word.substr(1, word.size() - 2);
    };
    const auto before = [&](const Scored& a, const Scored& b) {
        return a.score > b.score || (a.score == b.score && bare(a.at) < bare(b.at));
    };
    std::vector<Scored> kept;
    kept.reserve(limit + 1);
    Scratch scratch;
    for (const std::size_t at : order) {
        double bound = max_cost;
        if (kept.size() == limit) {
            // A hair over, so that a tie with the last kept is still scored.
            bound = std::min(bound, priors[at] - kept.back().score + 1e-9);
        }
        if (bound < 0.0) {
            break;  // the priors only fall from here on
        }
        const double spent = cost(scratch, typed, words[at], band, bound);
        if (spent > bound) {
            continue;
        }
        const Scored scored{at, priors[at] - spent};
        kept.insert(std::ranges::upper_bound(kept, scored, before), scored);
        if (kept.size() > limit) {
            kept.pop_back();
        }
    }
    return kept;
}

}  // namespace morlatch::spell
