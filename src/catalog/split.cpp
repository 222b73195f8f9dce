#include "catalog/split.hpp"

#include <array>
#include <unordered_map>

namespace morlatch::catalog {

Split split_words(std::string_view blob, char separator, std::string_view symbols) {
    // 0: between words, 1: inside a word, 2: a word of its own, 3: separator.
    std::array<std::uint8_t, 256> kind{};
    for (int c = 0; c < 256; ++c) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0x80;
        kind[static_cast<std::size_t>(c)] = alnum ? 1 : 0;
    }
    for (const char c : symbols) {
        kind[static_cast<unsigned char>(c)] = 2;
    }
    kind[static_cast<unsigned char>(separator)] = 3;
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
