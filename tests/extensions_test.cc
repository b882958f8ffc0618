#include "engine/extensions.h"

#include <gtest/gtest.h>

namespace engine {
namespace {

TEST(ExtensionsTest, ListHoldsTheByproductExtensionsInDisplayOrder) {
  ExtensionList list;
  BuildExtensionList(list);
  ASSERT_EQ(list.size(), 24u);
  EXPECT_EQ(list.front(), "pch");
  EXPECT_EQ(list[16], "manifest");
  EXPECT_EQ(list.back(), "bak");
}

}  // namespace
}  // namespace engine
