#include "engine/extensions.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace engine {
namespace {

TEST(ExtensionsTest, ListHoldsTheByproductExtensionsInDisplayOrder) {
  ExtensionList list;
  BuildExtensionList(list);
  ASSERT_EQ(list.size(), 24u);
  EXPECT_EQ(list.front(), "pch");
  EXPECT_EQ(list[16], "manifest");
  EXPECT_EQ(list.back(), "bak");
  EXPECT_EQ(std::set<std::string>(list.begin(), list.end()).size(), 24u) << "duplicates";
}

// The rule applied to whole names, as the walk applies it.
bool IsTargetName(const std::string& name) {
  ExtensionList list;
  BuildExtensionList(list);
  return IsListedExtension(ExtensionOf(name), list) == 1;
}

TEST(ExtensionsTest, OnlyTheExactTextAfterTheLastDotCounts) {
  // A name without a dot is its own extension; one ending in a dot has none.
  for (const char* name : {"main.obj", "backup.tar.bak", ".suo", "log", "tmp", "app.manifest"}) {
    EXPECT_TRUE(IsTargetName(name)) << name;
  }
  for (const char* name : {"MAIN.OBJ", "Proj.Ncb", "notes.obj.txt", "Makefile", "report.", ".",
                           "app.manifes", "app.manifests", "a.objx"}) {
    EXPECT_FALSE(IsTargetName(name)) << name;
  }
  EXPECT_EQ(ExtensionOf("report."), "");
  EXPECT_EQ(ExtensionOf("log"), "log");
}

}  // namespace
}  // namespace engine
