// Internal faults: broken invariants that abandon the current call.
//
// A Fault carries its message and the source location where it arose. The
// core throws it; the CPython boundary turns it into the module's
// PanicException after writing a report to standard error. Checked
// accessors below raise it with the fixed texts that callers see (texts.hpp).
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <utility>

#include "base/texts.hpp"

namespace morlatch {

class Fault : public std::exception {
public:
    explicit Fault(std::string message,
                   std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

[[noreturn]] inline void fault(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw Fault(std::move(message), where);
}

// Bounds-checked element access on any contiguous container.
template <class Container>
decltype(auto) at(Container& c, std::size_t index,
                  std::source_location where = std::source_location::current()) {
    if (index >= c.size()) [[unlikely]] {
        throw Fault(index_out_of_bounds_message(c.size(), index), where);
    }
    return c[index];
}

template <class T>
const T& unwrap(const std::optional<T>& value,
                std::source_location where = std::source_location::current()) {
    if (!value) [[unlikely]] {
        throw Fault(unwrap_none_message, where);
    }
    return *value;
}

}  // namespace morlatch
