// The error model's costs, which the row kernel (band.hpp) and the corrector
// (weighted.hpp) share.
#pragma once

#include <cstdint>
#include <string>

namespace morlatch {

// The costs of the error model, in thousandths of a nat (natural log units).
struct ErrorModel {
    std::uint32_t edit = 0;   // inserting, deleting or replacing a character
    std::uint32_t cheap = 0;  // doubling or undoubling a letter, swapping two
                              // neighbours, one vowel for another
    std::u32string vowels;
};

}  // namespace morlatch
