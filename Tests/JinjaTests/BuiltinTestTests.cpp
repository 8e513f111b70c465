#include <gtest/gtest.h>

#include "Jinja/Tests.hpp"

namespace jinja {
namespace {

TEST(BuiltinTestTests, TableHoldsEveryName) { EXPECT_EQ(Tests::builtIn().size(), 39u); }

}  // namespace
}  // namespace jinja
