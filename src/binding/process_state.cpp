#include "binding/process_state.hpp"

namespace morlatch::binding {

ProcessState& process() {
    static ProcessState state;
    return state;
}

}  // namespace morlatch::binding
