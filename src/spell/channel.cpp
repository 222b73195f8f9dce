#include "spell/channel.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <ranges>
#include <span>
#include <utility>

namespace morlatch::spell {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();

}  // namespace

std::uint32_t PrefixForest::add(const std::vector<std::u32string_view>& texts,
                                std::vector<std::uint32_t>& ends) {
    const auto root = static_cast<std::uint32_t>(parent_.size());
    parent_.push_back(kNone);
    label_.push_back(0);
    // The nodes of the previous text's path; sorted texts share a prefix
    // with the one before and add the rest as new nodes, depth first.
    std::vector<std::uint32_t> path{root};
    std::u32string_view before;
    ends.clear();
    for (const std::u32string_view text : texts) {
        std::size_t shared = 0;
        while (shared < before.size() && shared < text.size() && before[shared] == text[shared]) {
            ++shared;
        }
        path.resize(shared + 1);
        for (std::size_t at = shared; at < text.size(); ++at) {
            path.push_back(static_cast<std::uint32_t>(parent_.size()));
            parent_.push_back(path[at]);
            label_.push_back(text[at]);
        }
        ends.push_back(path.back());
        before = text;
    }
    return root;
}

void PrefixForest::finish() {
    // A parent's children were made in the order of their characters.
    first_.assign(parent_.size() + 1, 0);
    for (const std::uint32_t parent : parent_) {
        if (parent != kNone) {
            ++first_[parent + 1];
        }
    }
    std::partial_sum(first_.begin(), first_.end(), first_.begin());
    edges_.resize(first_.back());
    std::vector<std::uint32_t> next(first_.begin(), first_.end() - 1);
    for (std::uint32_t node = 0; node < parent_.size(); ++node) {
        if (parent_[node] != kNone) {
            edges_[next[parent_[node]]++] = {label_[node], node};
        }
    }
    parent_.shrink_to_fit();
    label_ = {};
}

Channel::Channel(const std::vector<Edit>& edits, const Rates& rates)
    : rates_(rates),
      least_change_(std::min({rates.substitute, rates.remove, rates.insert, rates.swap})) {
    // The cheapest cost of each learned (source, typed side), by source.
    std::map<std::u32string_view, std::map<std::u32string_view, double>> learned;
    for (const Edit& edit : edits) {
        if (edit.source.empty()) {
            continue;  // an edit must start somewhere in the word
        }
        if (edit.cost < 0.0) {
            least_change_ = -kNever;  // no bound holds
        } else if (edit.source != edit.target) {
            least_change_ = std::min(least_change_, edit.cost);
        }
        const auto [at, fresh] = learned[edit.source].try_emplace(edit.target, edit.cost);
        at->second = std::min(at->second, edit.cost);
        longest_source_ = std::max(longest_source_, edit.source.size());
    }
    if (least_change_ < 0.0) {
        least_change_ = -kNever;
    }
    std::vector<std::u32string_view> texts;
    std::vector<std::uint32_t> ends;
    std::vector<std::uint32_t> roots;
    for (const auto& [source, targets] : learned) {
        texts.clear();
        for (const auto& [target, cost] : targets) {
            if (!target.empty()) {
                texts.push_back(target);
            }
        }
        const std::uint32_t root = typed_.add(texts, ends);
        roots.push_back(root);
        typed_cost_.resize(typed_.size(), kNever);
        auto end = ends.begin();
        for (const auto& [target, cost] : targets) {
            typed_cost_[target.empty() ? root : *end++] = cost;
        }
    }
    typed_.finish();
    typed_least_ = typed_cost_;
    for (auto node = static_cast<std::uint32_t>(typed_.size()); node-- > 0;) {
        if (const std::uint32_t up = typed_.parent(node); up != PrefixForest::kNone) {
            typed_least_[up] = std::min(typed_least_[up], typed_least_[node]);
        }
    }
    texts.clear();
    for (const auto& [source, targets] : learned) {
        texts.push_back(source);
    }
    sources_.add(texts, ends);
    sources_.finish();
    typed_root_.assign(sources_.size(), PrefixForest::kNone);
    for (std::size_t k = 0; k < ends.size(); ++k) {
        typed_root_[ends[k]] = roots[k];
    }
}

double Channel::cost(std::u32string_view typed, std::u32string_view word, std::size_t band,
                     double bound) const {
    return Query(*this, typed, band).cost(word, bound);
}

std::vector<Channel::Scored> Channel::rank(std::u32string_view typed,
                                           const std::vector<std::u32string>& words,
                                           const std::vector<double>& priors, std::size_t limit,
                                           double max_cost, std::size_t band) const {
    return Query(*this, typed, band).rank(words, priors, limit, max_cost);
}

Channel::Query::Query(const Channel& channel, std::u32string_view typed, std::size_t band)
    : channel_(&channel), typed_(typed), band_(band) {}

void Channel::Query::reset(const Channel& channel, std::u32string_view typed, std::size_t band) {
    channel_ = &channel;
    typed_.assign(typed);
    band_ = band;
    known_count_ = 0;
}

double Channel::Query::cost(std::u32string_view word, double bound) {
    Kept* at = nullptr;
    for (Kept& each : std::span(known_).first(known_count_)) {
        if (each.word == word) {
            at = &each;
            break;
        }
    }
    if (at == nullptr) {
        if (known_count_ == known_.size()) {
            known_.emplace_back();
        }
        at = &known_[known_count_++];
        at->word.assign(word);
    } else if (const Known& known = at->known; known.spent <= known.bound || bound <= known.bound) {
        // Known exactly, or known to exceed a bound at least as wide.
        return known.spent;
    }
    const double spent = search(word, bound);
    at->known = Known{spent, bound};
    return spent;
}

double Channel::Query::search(std::u32string_view word, double bound) {
    const std::u32string_view typed = typed_;
    const Channel& channel = *channel_;
    const Rates& rates = channel.rates_;
    const std::size_t n = word.size();
    const std::size_t m = typed.size();
    const std::size_t reach = (n > m ? n - m : m - n) + band_;
    const std::size_t width = m + 1;
    // best[i * width + j]: the cheapest way to turn word[:i] into typed[:j].
    std::vector<double>& best = best_;
    best.assign((n + 1) * width, kNever);
    best[0] = 0.0;
    // row_least[i]: the cheapest cell of row i so far. Every edit moves
    // down at most `ahead` rows, so once the rows from i on that a step can
    // reach all cost more than the bound, nothing that follows can come in
    // under it. Costs are never negative, so neither can a cell dearer than
    // the bound lead anywhere under it.
    std::vector<double>& row_least = row_least_;
    row_least.assign(n + 1, kNever);
    row_least[0] = 0.0;
    const std::size_t ahead = std::max<std::size_t>(channel.longest_source_, 2);
    const auto relax = [&](std::size_t i, std::size_t j, double value) {
        double& cell = best[i * width + j];
        cell = std::min(cell, value);
        row_least[i] = std::min(row_least[i], value);
    };
    for (std::size_t i = 0; i <= n; ++i) {
        const auto reachable = std::span(row_least).subspan(i, std::min(ahead, n - i) + 1);
        if (std::ranges::min(reachable) > bound) {
            return kNever;
        }
        // The learned sources that start at row i, found once per row.
        sources_.clear();
        for (std::uint32_t node = 0, size = 1; i + size <= n; ++size) {
            node = channel.sources_.child(node, word[i + size - 1]);
            if (node == PrefixForest::kNone) {
                break;
            }
            if (const std::uint32_t root = channel.typed_root_[node]; root != PrefixForest::kNone) {
                sources_.push_back(
                    {size, root, channel.typed_least_[root], channel.typed_cost_[root]});
            }
        }
        const std::size_t first = i > reach ? i - reach : 0;
        const std::size_t last = std::min(m, i + reach);
        for (std::size_t j = first; j <= last; ++j) {
            const double here = best[i * width + j];
            if (here == kNever || here > bound) {
                continue;
            }
            if (i < n && j < m) {
                relax(i + 1, j + 1, word[i] == typed[j] ? here : here + rates.substitute);
            }
            if (i < n) {
                relax(i + 1, j, here + rates.remove);
            }
            if (j < m) {
                relax(i, j + 1, here + rates.insert);
            }
            if (i + 1 < n && j + 1 < m && word[i] == typed[j + 1] && word[i + 1] == typed[j]) {
                relax(i + 2, j + 2, here + rates.swap);
            }
            // Each learned edit of a source here whose typed side follows.
            const auto& costs = channel.typed_cost_;
            for (const auto& [size, root, least, empty] : sources_) {
                if (here + least > bound) {
                    continue;  // every edit of this source lands above the bound
                }
                relax(i + size, j, here + empty);
                std::uint32_t node = root;
                for (std::size_t k = j; k < m; ++k) {
                    node = channel.typed_.child(node, typed[k]);
                    if (node == PrefixForest::kNone || here + channel.typed_least_[node] > bound) {
                        break;
                    }
                    if (costs[node] != kNever) {
                        relax(i + size, k + 1, here + costs[node]);
                    }
                }
            }
        }
    }
    return best[n * width + m];
}

std::vector<Channel::Scored> Channel::Query::rank(std::span<const std::u32string> words,
                                                  std::span<const double> priors, std::size_t limit,
                                                  double max_cost) {
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
    for (const std::size_t at : order) {
        double bound = max_cost;
        if (kept.size() == limit) {
            // A hair over, so that a tie with the last kept is still scored.
            bound = std::min(bound, priors[at] - kept.back().score + 1e-9);
        }
        if (bound < 0.0) {
            break;  // the priors only fall from here on
        }
        const double spent = cost(words[at], bound);
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
