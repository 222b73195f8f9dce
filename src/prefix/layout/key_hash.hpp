// A fingerprint of a set of keys that a layout and its reverse index must
// share: each key's polynomial hash modulo the prime 2**61 - 1, at a base
// drawn at random for each check, mixed and summed over the keys.
//
// Two different key sets give the same sum only by chance: the hashes of
// two different keys agree for at most `length` of the prime's bases, and
// the base is not known until the check runs, so no file can be made
// offline to collide. Each character counts as its code point plus one, so
// a trailing U+0000 changes the hash as any other character does.
#pragma once

#include <cstdint>

namespace morlatch {

class KeyHash {
public:
    static constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;

    // `base` and `salt` are reduced into range; a base below 2 is raised.
    KeyHash(std::uint64_t base, std::uint64_t salt) noexcept
        : base_(base % kPrime < 2 ? 2 : base % kPrime), salt_(salt) {}

    // A base and salt from the system's random source (or, failing that,
    // from the clock and addresses).
    static KeyHash drawn();

    std::uint64_t base() const noexcept { return base_; }

    // The hash of a key extended by `ch` at its end, given base ** (its
    // length) (forward), or at its start (backward: the reverse index's
    // path, which reads a key from its end).
    std::uint64_t append(std::uint64_t hash, char32_t ch, std::uint64_t power) const noexcept {
        return add(hash, multiply(std::uint64_t{ch} + 1, power));
    }
    std::uint64_t prepend(std::uint64_t hash, char32_t ch) const noexcept {
        return add(multiply(hash, base_), std::uint64_t{ch} + 1);
    }
    std::uint64_t next_power(std::uint64_t power) const noexcept { return multiply(power, base_); }

    // A key's contribution to the sum (splitmix64's finalizer of the salted
    // hash, so that the sum does not add the hashes linearly).
    std::uint64_t mixed(std::uint64_t hash) const noexcept {
        std::uint64_t x = hash ^ salt_;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
        return x ^ (x >> 31);
    }

private:
    static std::uint64_t add(std::uint64_t a, std::uint64_t b) noexcept {
        const std::uint64_t sum = a + b;
        return sum >= kPrime ? sum - kPrime : sum;
    }
    static std::uint64_t multiply(std::uint64_t a, std::uint64_t b) noexcept {
        const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
        const std::uint64_t low = static_cast<std::uint64_t>(product) & kPrime;
        const std::uint64_t high = static_cast<std::uint64_t>(product >> 61);
        return add(low, high);
    }

    std::uint64_t base_;
    std::uint64_t salt_;
};

}  // namespace morlatch
