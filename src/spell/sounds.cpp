#include "spell/sounds.hpp"

#include <string>

namespace morlatch::spell {

namespace {

bool vowel(char c) {
    return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u' || c == 'y';
}

// The character at `at`, or 0 past the end.
char at_or_none(const std::string& text, std::size_t at) {
    return at < text.size() ? text[at] : '\0';
}

// One left-to-right pass over `text`: at each position, `rule(text, at,
// out)` either writes a replacement and returns how many characters it
// consumed, or returns 0 to keep the character. Rules look at the text as
// it was before the pass, as a regular expression substitution does.
template <class Rule>
std::string pass(const std::string& text, Rule rule) {
    std::string out;
    out.reserve(text.size() + 4);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t used = rule(text, at, out);
        if (used == 0) {
            out.push_back(text[at]);
            ++at;
        } else {
            at += used;
        }
    }
    return out;
}

// A pass replacing each occurrence of `from` by `to`.
std::string replaced(const std::string& text, std::string_view from, std::string_view to) {
    return pass(text, [&](const std::string& s, std::size_t at, std::string& out) -> std::size_t {
        if (std::string_view(s).substr(at).starts_with(from)) {
            out.append(to);
            return from.size();
        }
        return 0;
    });
}

// The spelling-to-sound rules, in order, on a text of a-z only.
std::string sounded(std::string key) {
    // Silent first letters: "gn", "kn", "pn", "wr", "ps".
    if (key.size() >= 2 && ((key[1] == 'n' && (key[0] == 'g' || key[0] == 'k' || key[0] == 'p')) ||
                            (key[0] == 'w' && key[1] == 'r') || (key[0] == 'p' && key[1] == 's'))) {
        key.erase(0, 1);
    }
    if (key.ends_with("mb")) {
        key.pop_back();
    }
    key = replaced(key, "ph", "f");
    key = pass(key, [](const std::string& s, std::size_t at, std::string& out) -> std::size_t {
        (void)out;  // a silent "gh" before a consonant or at the end
        if (s.compare(at, 2, "gh") == 0 && (at + 2 == s.size() || !vowel(s[at + 2]))) {
            return 2;
        }
        return 0;
    });
    key = replaced(key, "tch", "ch");
    key = pass(key, [](const std::string& s, std::size_t at, std::string& out) -> std::size_t {
        const char next = at_or_none(s, at + 2);
        if (s.compare(at, 2, "dg") == 0 && (next == 'e' || next == 'i' || next == 'y')) {
            out.push_back('j');
            return 2;
        }
        return 0;
    });
    key = replaced(key, "sch", "sk");
    key = pass(key, [](const std::string& s, std::size_t at, std::string& out) -> std::size_t {
        const char next = at_or_none(s, at + 1);
        if (s[at] == 'c' && (next == 'e' || next == 'i' || next == 'y')) {
            out.push_back('s');
            return 1;
        }
        return 0;
    });
    key = pass(key, [](const std::string& s, std::size_t at, std::string& out) -> std::size_t {
        if (s[at] != 'c' && s[at] != 'q') {
            return 0;
        }
        out.push_back('k');
        return s[at] == 'c' && at_or_none(s, at + 1) == 'k' ? 2 : 1;
    });
    key = replaced(key, "x", "ks");
    key = replaced(key, "wh", "w");
    key = pass(key, [](const std::string& s, std::size_t at, std::string& out) -> std::size_t {
        const char second = at_or_none(s, at + 1);
        const char third = at_or_none(s, at + 2);
        const bool hushed =
            ((s[at] == 's' || s[at] == 'c') && second == 'h') ||
            ((s[at] == 't' || s[at] == 's') && second == 'i' && (third == 'a' || third == 'o'));
        if (hushed) {
            out.push_back('X');
            return 2;
        }
        return 0;
    });
    key = replaced(key, "th", "0");
    key = replaced(key, "z", "s");
    key = replaced(key, "v", "f");
    // Doubled letters as one.
    std::string single;
    for (const char c : key) {
        if (single.empty() || single.back() != c) {
            single.push_back(c);
        }
    }
    // An "h" after a vowel and not before one is silent; then each run of
    // vowels is one "a".
    std::string sounds;
    for (std::size_t at = 0; at < single.size(); ++at) {
        const char c = single[at];
        if (c == 'h' && at > 0 && vowel(single[at - 1]) && !vowel(at_or_none(single, at + 1))) {
            continue;
        }
        if (vowel(c)) {
            const bool run = at > 0 && vowel(single[at - 1]);
            if (!run) {
                sounds.push_back('a');
            }
            continue;
        }
        sounds.push_back(c);
    }
    // A final vowel sound after the first letter is dropped.
    if (sounds.size() >= 2 && sounds.back() == 'a') {
        sounds.pop_back();
    }
    return sounds;
}

}  // namespace

std::u32string sounds_like(std::u32string_view lower) {
    std::string letters;
    for (const char32_t c : lower) {
        if (c > 0x7f) {
            return std::u32string(lower);  // only English letters are keyed
        }
        if (c >= U'a' && c <= U'z') {
            letters.push_back(static_cast<char>(c));
        }
    }
    const std::string key = sounded(std::move(letters));
    if (key.empty()) {
        return std::u32string(lower);
    }
    std::u32string wide(key.begin(), key.end());
    // A word that starts with a vowel keeps which one.
    const char32_t first = lower.empty() ? U'\0' : lower.front();
    if (wide.front() == U'a' && (first == U'a' || first == U'e' || first == U'i' || first == U'o' ||
                                 first == U'u' || first == U'y')) {
        wide.front() = first;
    }
    return wide;
}

}  // namespace morlatch::spell
