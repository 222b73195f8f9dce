#include "catalog/split.hpp"

#include <array>
#include <cstring>

namespace morlatch::catalog {

ByteKinds byte_kinds(std::string_view symbols, char separator) {
    ByteKinds kind{};
    for (int c = 0; c < 256; ++c) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0x80;
        kind[static_cast<std::size_t>(c)] = alnum ? 1 : 0;
    }
    for (const char c : symbols) {
        kind[static_cast<unsigned char>(c)] = 2;
    }
    kind[static_cast<unsigned char>(separator)] = 3;
    return kind;
}

bool ascii_spans(const ByteKinds& kinds, std::string_view text,
                 std::vector<std::pair<std::uint32_t, std::uint32_t>>& spans) {
    spans.clear();
    std::uint32_t start = 0;
    bool inside = false;
    for (std::uint32_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80) {
            return false;
        }
        const std::uint8_t k = kinds[byte];
        if (k == 1 && !inside) {
            start = at;
            inside = true;
        } else if (k != 1 && inside) {
            spans.emplace_back(start, at);
            inside = false;
        }
        if (k == 2) {
            spans.emplace_back(at, at + 1);
        }
    }
    if (inside) {
        spans.emplace_back(start, static_cast<std::uint32_t>(text.size()));
    }
    return true;
}

bool ascii_terms(const AsciiTerms& rule, std::string_view text, std::size_t most,
                 std::vector<std::u32string>& terms) {
    thread_local std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    thread_local std::string word;
    if (!ascii_spans(rule.kinds, text, spans)) {
        return false;
    }
    terms.clear();
    for (std::size_t w = 0; w < spans.size() && w < most; ++w) {
        word.assign(text.substr(spans[w].first, spans[w].second - spans[w].first));
        if (rule.lower) {
            for (char& c : word) {
                c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            }
        }
        const auto synonym = rule.synonyms.find(word);
        if (synonym != rule.synonyms.end()) {
            terms.push_back(synonym->second);
        } else {
            terms.emplace_back(word.begin(), word.end());
        }
    }
    return true;
}

namespace {

// The distinct words of a split and their numbers: an open-addressing
// table of (hash, number) slots, doubled when half full. The hash is
// salted per run (an address), so that no text is made offline to collide.
class WordTable {
public:
    explicit WordTable(std::vector<std::string_view>& distinct)
        : distinct_(distinct), salt_(reinterpret_cast<std::uintptr_t>(this) | 1), slots_(1024) {}

    // The word's number, given it one (the next) when it is new.
    std::uint32_t number(std::string_view word) {
        const std::uint64_t h = hash(word);
        for (std::size_t at = h & (slots_.size() - 1);; at = (at + 1) & (slots_.size() - 1)) {
            Slot& slot = slots_[at];
            if (slot.number == kEmpty) {
                slot = {h, static_cast<std::uint32_t>(distinct_.size())};
                distinct_.push_back(word);
                if (2 * distinct_.size() > slots_.size()) {
                    grow();
                }
                return static_cast<std::uint32_t>(distinct_.size() - 1);
            }
            if (slot.hash == h && distinct_[slot.number] == word) {
                return slot.number;
            }
        }
    }

private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t number = kEmpty;
    };

    std::uint64_t hash(std::string_view word) const noexcept {
        std::uint64_t h = salt_ ^ (word.size() * 0x9E3779B97F4A7C15u);
        std::size_t at = 0;
        for (; at + 8 <= word.size(); at += 8) {
            std::uint64_t chunk = 0;
            std::memcpy(&chunk, word.data() + at, 8);
            h = (h ^ chunk) * 0xBF58476D1CE4E5B9u;
            h ^= h >> 29;
        }
        std::uint64_t tail = 0;
        std::memcpy(&tail, word.data() + at, word.size() - at);
        h = (h ^ tail) * 0x94D049BB133111EBu;
        return h ^ (h >> 31);
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.number == kEmpty) {
                continue;
            }
            std::size_t at = slot.hash & (slots_.size() - 1);
            while (slots_[at].number != kEmpty) {
                at = (at + 1) & (slots_.size() - 1);
            }
            slots_[at] = slot;
        }
    }

    std::vector<std::string_view>& distinct_;
    std::uint64_t salt_;
    std::vector<Slot> slots_;
};

}  // namespace

Split split_words(std::string_view blob, char separator, std::string_view symbols) {
    const ByteKinds kind = byte_kinds(symbols, separator);
    Split out;
    out.offsets.push_back(0);
    WordTable numbers(out.distinct);
    auto add = [&](std::string_view word) { out.words.push_back(numbers.number(word)); };
    std::size_t i = 0;
    while (i < blob.size()) {
        const std::uint8_t k = kind[static_cast<unsigned char>(blob[i])];
        if (k == 1) {
            std::size_t end = i + 1;
            while (end < blob.size() && kind[static_cast<unsigned char>(blob[end])] == 1) {
                ++end;
            }
            add(blob.substr(i, end - i));
            i = end;
            continue;
        }
        if (k == 2) {
            add(blob.substr(i, 1));
        } else if (k == 3) {
            out.offsets.push_back(out.words.size());
        }
        ++i;
    }
    out.offsets.push_back(out.words.size());
    return out;
}

void renumber(std::vector<std::uint32_t>& words, std::vector<std::uint64_t>& offsets,
              std::span<const std::uint32_t> table) {
    std::size_t kept = 0;
    std::size_t read = 0;
    for (std::size_t text = 1; text < offsets.size(); ++text) {
        for (; read < offsets[text]; ++read) {
            const std::uint32_t number = table[words[read]];
            if (number != kDropped) {
                words[kept++] = number;
            }
        }
        offsets[text] = kept;
    }
    words.resize(kept);
}

}  // namespace morlatch::catalog
