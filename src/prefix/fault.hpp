// Forwards to base/fault.hpp: the fault type lives below both the byte format and
// the searches.
#pragma once

#include "base/fault.hpp"
