#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "target_rule.h"

namespace {

// Spelled out again here, on purpose: a typo in the program's table must not
// be able to hide behind the same typo in the test.
const std::vector<std::string> kExpectedOrder = {
    "pch", "mdp", "clw", "obj", "aps", "cpl", "awk", "tmp", "exp", "idb", "opt", "map",
    "ilk", "scc", "bsc", "sbr", "manifest", "dep", "log", "suo", "tlb", "ncb", "ncp", "bak"};

TEST(TargetRule, ListsTheTwentyFourExtensionsInDisplayOrder) {
    ASSERT_EQ(bench::kListedExtensions.size(), kExpectedOrder.size());
    for (std::size_t i = 0; i < kExpectedOrder.size(); ++i) {
        EXPECT_EQ(bench::kListedExtensions[i], kExpectedOrder[i]) << "index " << i;
    }
}

TEST(TargetRule, ExtensionIsTheTextAfterTheLastDot) {
    EXPECT_EQ(bench::extensionOf("main.obj"), "obj");
    EXPECT_EQ(bench::extensionOf("backup.tar.bak"), "bak");
    EXPECT_EQ(bench::extensionOf("Makefile"), "Makefile");
    EXPECT_EQ(bench::extensionOf(".suo"), "suo");
    EXPECT_EQ(bench::extensionOf("report."), "");
    EXPECT_EQ(bench::extensionOf(""), "");
}

TEST(TargetRule, EveryListedExtensionMatchesInEachShapeOfName) {
    for (const std::string& extension : kExpectedOrder) {
        SCOPED_TRACE(extension);
        EXPECT_TRUE(bench::isListedName("main." + extension));
        EXPECT_TRUE(bench::isListedName("a.b." + extension));
        EXPECT_TRUE(bench::isListedName(extension));
        EXPECT_TRUE(bench::isListedName("." + extension));
    }
}

TEST(TargetRule, NearMissesOfEveryExtensionAreKept) {
    for (const std::string& extension : kExpectedOrder) {
        SCOPED_TRACE(extension);
        std::string upper = extension;
        for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
        EXPECT_FALSE(bench::isListedName("main." + upper));
        EXPECT_FALSE(bench::isListedName("main." + extension + "s"));
        EXPECT_FALSE(bench::isListedName("main." + extension.substr(1)));
        EXPECT_FALSE(bench::isListedName("main." + extension.substr(0, extension.size() - 1)));
        EXPECT_FALSE(bench::isListedName("main." + extension + ".txt"));
        EXPECT_FALSE(bench::isListedName("x" + extension));
    }
}

TEST(TargetRule, NamesWithoutAListedExtensionAreKept) {
    for (const char* name : {"report.", "", ".", "main.cpp", "Proj.Ncb", "app.manifes", "MAIN.OBJ", "objx"}) {
        EXPECT_FALSE(bench::isListedName(name)) << name;
    }
}

}  // namespace
