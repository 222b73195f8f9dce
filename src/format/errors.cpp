#include "format/errors.hpp"

#include "base/texts.hpp"

namespace morlatch::format {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

std::string_view name(IntegerType type) {
    switch (type) {
        case IntegerType::U32:
            return "U32";
        case IntegerType::U64:
            return "U64";
        case IntegerType::U128:
            return "U128";
        case IntegerType::Reserved:
            break;
    }
    return "Reserved";
}

std::string render(const DecodeError& error) {
    using E = DecodeError;
    return std::visit(
        Overloaded{
            [](const E::UnexpectedEnd& e) { return unexpected_end_rendering(e.additional); },
            [](const E::InvalidIntegerType& e) {
                return invalid_integer_type_rendering(name(e.expected), name(e.found));
            },
            [](const E::UnexpectedVariant& e) {
                return unexpected_variant_rendering(e.type_name, e.allowed.min, e.allowed.max,
                                                    e.found);
            },
            [](const E::InvalidCharEncoding& e) {
                return invalid_char_encoding_rendering(e.bytes);
            },
            [](const E::OutsideUsizeRange& e) { return outside_usize_range_rendering(e.value); },
        },
        error.kind);
}

}  // namespace morlatch::format
