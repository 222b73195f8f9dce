// A sounds-like key for English words: words pronounced alike mostly get
// keys within an edit or two of each other, however they are spelt. The key
// keeps the first letter's sound and the consonant skeleton: letter groups
// that spell one sound become one letter ("ph" and "f", "ck" and "k", soft
// "c" and "s"), doubled letters become one, silent letters go, and each
// group of vowels inside the word becomes one "a".
#pragma once

#include <string>
#include <string_view>

namespace morlatch::spell {

// The key of the lower-case `lower`: characters outside a-z are dropped, and
// a word with a character beyond ASCII (or with no key left) keys as itself.
[[nodiscard]] std::u32string sounds_like(std::u32string_view lower);

}  // namespace morlatch::spell
