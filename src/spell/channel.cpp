#include "spell/channel.hpp"

#include <algorithm>
#include <limits>
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
}

double Channel::cost(std::u32string_view typed, std::u32string_view word, std::size_t band) const {
    const std::size_t n = word.size();
    const std::size_t m = typed.size();
    const std::size_t reach = (n > m ? n - m : m - n) + band;
    const std::size_t width = m + 1;
    // best[i * width + j]: the cheapest way to turn word[:i] into typed[:j].
    std::vector<double> best((n + 1) * width, kNever);
    best[0] = 0.0;
    const auto relax = [&](std::size_t i, std::size_t j, double value) {
        double& cell = best[i * width + j];
        cell = std::min(cell, value);
    };
    // The learned sources that start at each position of word, as (size,
    // targets), found once rather than once per cell.
    std::vector<std::pair<std::size_t, const Targets*>> sources;
    std::vector<std::size_t> source_start(n + 2, 0);
    for (std::size_t i = 0; i <= n; ++i) {
        source_start[i] = sources.size();
        for (std::size_t size = 1; size <= std::min(longest_source_, n - i); ++size) {
            const auto found = edits_.find(word.substr(i, size));
            if (found != edits_.end()) {
                sources.emplace_back(size, &found->second);
            }
        }
    }
    source_start[n + 1] = sources.size();
    for (std::size_t i = 0; i <= n; ++i) {
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
            for (std::size_t s = source_start[i]; s < source_start[i + 1]; ++s) {
                const auto [size, targets] = sources[s];
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

}  // namespace morlatch::spell
