#include "catalog/split.hpp"

#include <array>
#include <unordered_map>

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

Split split_words(std::string_view blob, char separator, std::string_view symbols) {
    const ByteKinds kind = byte_kinds(symbols, separator);
    Split out;
    out.offsets.push_back(0);
    std::unordered_map<std::string_view, std::uint32_t> numbers;
    auto add = [&](std::string_view word) {
        const auto [at, added] =
            numbers.try_emplace(word, static_cast<std::uint32_t>(out.distinct.size()));
        if (added) {
            out.distinct.push_back(word);
        }
        out.words.push_back(at->second);
    };
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
