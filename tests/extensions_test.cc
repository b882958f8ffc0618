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

TEST(ExtensionsTest, AnyListAnswersExactlyForItsOwnEntries) {
  // Entries that share a length class and a last byte, the empty one and
  // long ones: the index must still find each and only them.
  ExtensionList list;
  for (const char* entry : {"idb", "ncb", "tlb", "", "manifest", "manifests", "x.tlb"}) {
    list.Add(entry);
  }
  for (const char* entry : {"idb", "ncb", "tlb", "", "manifest", "manifests", "x.tlb"}) {
    EXPECT_EQ(IsListedExtension(entry, list), 1) << entry;
  }
  for (const char* other : {"nlb", "tb", "b", "xmanifests", "manifestss", "anifests", "IDB", "y.tlb"}) {
    EXPECT_EQ(IsListedExtension(other, list), 0) << other;
  }
  EXPECT_EQ(IsListedExtension("", ExtensionList()), 0);
}

}  // namespace
}  // namespace engine
