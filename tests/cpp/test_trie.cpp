#include <gtest/gtest.h>

#include "prefix/trie.hpp"

namespace morlatch {
namespace {

TEST(Trie, EmptyTrieFaults) {
    Trie t;
    EXPECT_THROW(t.get_children(0), Fault);
    EXPECT_THROW(t.get_payload(0), Fault);
}

}  // namespace
}  // namespace morlatch
