// Splitting many texts at once against the byte-by-byte reference: random
// blobs of ASCII words, symbols, bytes past ASCII and separators, with
// enough distinct words that the word table grows many times.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "catalog/split.hpp"
#include "reference.hpp"

namespace morlatch {
namespace {

TEST(CatalogSplit, WordsAndNumbersAsTheReference) {
    std::mt19937 rng(29);
    // Letters, digits, symbols, spaces, punctuation that is neither, bytes
    // past ASCII and the separator.
    const std::string alphabet = "abAB019&.- ,\x80\xc3\xa9|";
    for (const std::size_t size : {0, 1, 50, 200000, 2000000}) {
        std::string blob;
        while (blob.size() < size) {
            // Mostly long words from a wide alphabet, so that most are new.
            if (rng() % 4 == 0) {
                blob.push_back(alphabet[rng() % alphabet.size()]);
            } else {
                for (std::size_t n = 1 + rng() % 12; n > 0; --n) {
                    blob.push_back(static_cast<char>('a' + rng() % 26));
                }
            }
        }
        const auto want = reference::split_words(blob, '|', "&.");
        const catalog::Split got = catalog::split_words(blob, '|', "&.");
        ASSERT_EQ(got.distinct.size(), want.distinct.size()) << size;
        for (std::size_t w = 0; w < want.distinct.size(); ++w) {
            ASSERT_EQ(got.distinct[w], want.distinct[w]);
        }
        EXPECT_EQ(got.words, want.words);
        EXPECT_EQ(got.offsets, want.offsets);
    }
}

}  // namespace
}  // namespace morlatch
