// The texts that callers see and match exactly: argument errors, fault
// messages, the fault exception's qualified name and the renderings of
// decode errors.
//
// DO NOT REWORD ANYTHING IN THIS FILE. Callers compare these texts
// character for character (the tests pin them); a change of wording, case,
// punctuation or spacing breaks them. New texts may be added.
//
// Plain C++ over std:: types, so that the core and the binding share it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace morlatch {

// The parts one after the other (appending sidesteps a false -Wrestrict of GCC 12).
inline std::string concat_text(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const std::string_view part : parts) {
        out += part;
    }
    return out;
}

// ---- internal faults ----------------------------------------------------

inline std::string index_out_of_bounds_message(std::size_t len, std::size_t index) {
    return concat_text({"index out of bounds: the len is ", std::to_string(len),
                        " but the index is ", std::to_string(index)});
}

inline constexpr const char* unwrap_none_message = "called `Option::unwrap()` on a `None` value";

// Followed by the rendering of the error (see below).
inline constexpr const char* unwrap_err_prefix = "called `Result::unwrap()` on an `Err` value: ";

inline std::string cycle_message(std::size_t node, std::size_t depth, std::size_t node_count) {
    return concat_text({"the trie arrays contain a cycle: node ", std::to_string(node),
                        " was reached ", std::to_string(depth),
                        " edges below the root, but the trie has only ", std::to_string(node_count),
                        " nodes"});
}

inline std::string encoded_size_mismatch_message(std::size_t written, std::size_t size) {
    return concat_text({"encoded trie is ", std::to_string(written), " bytes but the buffer holds ",
                        std::to_string(size)});
}

// For a fault that carries no text of its own.
inline constexpr const char* generic_fault_message = "a fault happened in the native code";

// ---- renderings of byte-format errors (after unwrap_err_prefix) ---------

inline std::string unexpected_end_rendering(std::uint64_t additional) {
    return concat_text({"UnexpectedEnd { additional: ", std::to_string(additional), " }"});
}

// The encoder's only error: its output buffer ended early.
inline constexpr const char* encode_unexpected_end_rendering = "UnexpectedEnd";

// `expected` and `found` are integer type names: "U32", "U64", "U128", "Reserved".
inline std::string invalid_integer_type_rendering(std::string_view expected,
                                                  std::string_view found) {
    return concat_text({"InvalidIntegerType { expected: ", expected, ", found: ", found, " }"});
}

// Type names carried by bad presence tags.
inline constexpr const char* option_char_type_name = "core::option::Option<char>";
inline constexpr const char* option_u32_type_name = "core::option::Option<u32>";

inline std::string unexpected_variant_rendering(std::string_view type_name, std::uint32_t min,
                                                std::uint32_t max, std::uint32_t found) {
    return concat_text({"UnexpectedVariant { type_name: \"", type_name,
                        "\", allowed: Range { min: ", std::to_string(min), ", max: ",
                        std::to_string(max), " }, found: ", std::to_string(found), " }"});
}

inline std::string invalid_char_encoding_rendering(const std::array<std::uint8_t, 4>& bytes) {
    std::string out = "InvalidCharEncoding([";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) out += ", ";
        out += std::to_string(unsigned{bytes[i]});
    }
    return out + "])";
}

inline std::string outside_usize_range_rendering(std::uint64_t value) {
    return concat_text({"OutsideUsizeRange(", std::to_string(value), ")"});
}

// ---- the fault exception and its report ----------------------------------

inline constexpr const char* panic_exception_name = "fennic_runtime.PanicException";

// printf formats: thread name, then file, line and column where known, then the message.
inline constexpr const char* panic_report_format = "thread '%s' panicked at %s:%u:%u:\n%s\n";
inline constexpr const char* panic_report_format_without_location = "thread '%s' panicked:\n%s\n";
inline constexpr const char* main_thread_name = "main";
inline constexpr const char* other_thread_name = "<unnamed>";

// Written before the process aborts, when turning a failure into an
// exception fails in turn.
inline constexpr const char* boundary_abort_message = "uncaught panic at ffi boundary\n";

inline constexpr const char* no_exception_set_message =
    "attempted to fetch exception but none was set";

// ---- argument errors ------------------------------------------------------

inline std::string too_many_positional_message(std::string_view callable, std::size_t takes,
                                               std::size_t given) {
    return concat_text({callable, "() takes ", std::to_string(takes), " positional arguments but ",
                        std::to_string(given), given == 1 ? " was given" : " were given"});
}

inline std::string unexpected_keyword_message(std::string_view callable, std::string_view name) {
    return concat_text({callable, "() got an unexpected keyword argument '", name, "'"});
}

inline std::string multiple_values_message(std::string_view callable, std::string_view name) {
    return concat_text({callable, "() got multiple values for argument '", name, "'"});
}

// Names quoted and joined: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
inline std::string missing_arguments_message(std::string_view callable,
                                             std::span<const std::string_view> names) {
    std::string out =
        concat_text({callable, "() missing ", std::to_string(names.size()),
                     " required positional argument", names.size() == 1 ? "" : "s", ": "});
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += concat_text({"'", names[i], "'"});
    }
    return out;
}

// PyUnicode_FromFormat format: the parameter name, then the original message.
inline constexpr const char* argument_error_format = "argument '%s': %U";

inline std::string cannot_convert_message(std::string_view type_name, std::string_view target) {
    return concat_text({"'", type_name, "' object cannot be converted to '", target, "'"});
}

// The targets that cannot_convert_message names.
inline constexpr const char* str_target_name = "PyString";
inline constexpr const char* sequence_target_name = "Sequence";
inline constexpr const char* prefix_search_target_name = "PrefixSearch";

inline constexpr const char* unknown_type_name = "<unknown>";
inline constexpr const char* out_of_range_conversion_message =
    "out of range integral type conversion attempted";
inline constexpr const char* str_to_vec_message = "Can't extract `str` to `Vec`";

// ---- the module and its class ----------------------------------------------

// PyErr_Format format: the type's name.
inline constexpr const char* no_constructor_format = "No constructor defined for %U";
inline constexpr const char* no_constructor_unknown_message =
    "No constructor defined for <unknown>";
inline constexpr const char* class_init_error_message =
    "An error occurred while initializing class PrefixSearch";
inline constexpr const char* subinterpreter_message =
    "_morlatch does not yet support subinterpreters: it can be imported in one interpreter per "
    "process only";

}  // namespace morlatch
