// Forwards to base/trie.hpp: the trie arrays type lives below both the byte format and
// the searches.
#pragma once

#include "base/trie.hpp"
