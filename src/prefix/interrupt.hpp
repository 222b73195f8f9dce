// A hook that long walks call now and then, so that the caller can abandon
// them (for instance on Ctrl-C): the hook throws, and the walk unwinds.
#pragma once

#include <cstdint>

namespace morlatch {

class Interrupt {
public:
    using Check = void (*)(void* context);

    constexpr Interrupt() noexcept = default;
    constexpr Interrupt(Check check, void* context) noexcept : check_(check), context_(context) {}

    // Visits between two checks: rare enough to cost nothing measurable,
    // often enough to answer within a few milliseconds.
    static constexpr std::uint32_t kInterval = 1u << 14;

    // Counts one unit of work and runs the check every kInterval units.
    void tick() {
        if (--countdown_ == 0) [[unlikely]] {
            countdown_ = kInterval;
            if (check_ != nullptr) {
                check_(context_);
            }
        }
    }

private:
    Check check_ = nullptr;
    void* context_ = nullptr;
    std::uint32_t countdown_ = kInterval;
};

}  // namespace morlatch
