// How paths are built and how they are shown.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "engine/climb.h"
#include "engine/report.h"
#include "engine/walk.h"
#include "platform/file_system.h"

namespace engine {
namespace {

using platform::TextEncoding;

std::string Escaped(const std::string& path, TextEncoding encoding = TextEncoding::kUtf8) {
  std::string out = "<";
  AppendEscaped(&out, path, encoding);
  return out;
}

TEST(AppendEscapedTest, ControlCharactersBecomeVisibleEscapes) {
  EXPECT_EQ(Escaped("a\nb"), "<a\\nb");
  EXPECT_EQ(Escaped("\r\t"), "<\\r\\t");
  EXPECT_EQ(Escaped("\x1b[2J"), "<\\x1b[2J");
  EXPECT_EQ(Escaped("\x01x\x1f"), "<\\x01x\\x1f");
  EXPECT_EQ(Escaped("del\x7f"), "<del\\x7f");
}

TEST(AppendEscapedTest, BackslashInANameIsDoubledWhereItIsNoSeparator) {
  // "a\\n" shown as is would read as the escape of "a<line feed>".
  if (platform::kPathSeparator == '\\') {
    EXPECT_EQ(Escaped("C:\\p\\a"), "<C:\\p\\a");
    GTEST_SKIP() << "a backslash is the separator here, never part of a name";
  }
  for (TextEncoding encoding : {TextEncoding::kUtf8, TextEncoding::kCp949}) {
    EXPECT_EQ(Escaped("a\\n", encoding), "<a\\\\n");
    EXPECT_EQ(Escaped("\\x1b\\", encoding), "<\\\\x1b\\\\");
    // Past the first eight bytes, where whole words are copied unexamined.
    EXPECT_EQ(Escaped("/home/user/odd\\name/x.obj", encoding),
              "</home/user/odd\\\\name/x.obj");
  }
}

TEST(AppendEscapedTest, C1ControlsAreEscapedInUtf8Only) {
  EXPECT_EQ(Escaped("a\xc2\x9b"
                    "1m"),
            "<a\\u009b1m");  // CSI, U+009B
  EXPECT_EQ(Escaped("\xc2\x80\xc2\x9f"), "<\\u0080\\u009f");
  EXPECT_EQ(Escaped("\xc2\xa0"), "<\xc2\xa0");  // no-break space is printable
  EXPECT_EQ(Escaped("end\xc2"), "<end\xc2");
  // In CP949 the same two bytes are one Hangul syllable.
  EXPECT_EQ(Escaped("a\xc2\x9b", TextEncoding::kCp949), "<a\xc2\x9b");
  EXPECT_EQ(Escaped("a\n", TextEncoding::kCp949), "<a\\n");
}

TEST(AppendEscapedTest, MultiByteTextIsKept) {
  const std::string korean_utf8 = "프로젝트/빌드 결과";
  EXPECT_EQ(Escaped(korean_utf8), "<" + korean_utf8);
  const std::string chinese_utf8 = "项目/调试";
  EXPECT_EQ(Escaped(chinese_utf8), "<" + chinese_utf8);
  const std::string korean_cp949 = "\xc7\xc1\xb7\xce\xc1\xa7\xc6\xae";  // 프로젝트
  EXPECT_EQ(Escaped(korean_cp949, TextEncoding::kCp949), "<" + korean_cp949);
}

// Whatever a name holds, no output byte may reach the terminal as a control.
bool HoldsControl(const std::string& text, TextEncoding encoding) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return true;
    if (encoding == TextEncoding::kUtf8 && c == 0xc2 && i + 1 < text.size() &&
        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      return true;
    }
  }
  return false;
}

TEST(AppendEscapedTest, NoPairOfBytesLeavesAControlInTheOutput) {
  for (TextEncoding encoding : {TextEncoding::kUtf8, TextEncoding::kCp949}) {
    for (int a = 0; a < 256; ++a) {
      for (int b = 0; b < 256; ++b) {
        const std::string name = {'x', static_cast<char>(a), static_cast<char>(b), '\xc2'};
        std::string out;
        AppendEscaped(&out, name, encoding);
        ASSERT_FALSE(HoldsControl(out, encoding)) << "bytes " << a << " " << b;
      }
    }
  }
}

TEST(PathsTest, OneSeparatorBetweenFolderAndNameEvenBelowRootSlash) {
  if (platform::kPathSeparator != '/') GTEST_SKIP() << "the rule for '/' roots is POSIX's";
  for (const auto& [folder, name, joined] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"/", "x.obj", "/x.obj"}, {"/r", "b", "/r/b"}, {"/a/long-name", "c", "/a/long-name/c"}}) {
    std::string path = folder;
    platform::AppendPathComponent(&path, name);
    EXPECT_EQ(path, joined);
  }
}

// Whether a path lies within a folder decides which git work tree, ceiling
// or trash a folder belongs to: a name that merely starts alike is not
// within, and separators at the end don't count.
TEST(PathsTest, WithinAFolderOnlyAtItsSeparators) {
  const auto shown = [](std::string path) {
    for (char& c : path) {
      if (c == '/') c = platform::kPathSeparator;
    }
    return path;
  };
  // path, folder, within, rest ("/" between names whatever the system).
  for (const auto& [path, folder, within, rest] :
       std::vector<std::tuple<std::string, std::string, bool, std::string>>{
           {"/a/b/c", "/a", true, "b/c"},
           {"/a/b/c", "/a/", true, "b/c"},
           {"/a/b/", "/a", true, "b"},
           {"/a", "/a", true, ""},
           {"/a", "/a//", true, ""},
           {"/a/b", "/", true, "a/b"},
           {"/", "/", true, ""},
           {"/ab", "/a", false, ""},
           {"/a", "/a/b", false, ""},
           {"/a/b", "", false, ""},
           {"", "/a", false, ""}}) {
    std::string got = "unset";
    EXPECT_EQ(IsWithin(shown(path), shown(folder), &got), within) << path << " in " << folder;
    if (within) {
      EXPECT_EQ(got, rest) << path << " in " << folder;
    }
    EXPECT_EQ(IsWithin(shown(path), shown(folder)), within) << "without the rest";
  }
  // What PathAbove cuts off is what lies within what it leaves.
  std::string rest;
  EXPECT_TRUE(IsWithin(shown("/x/y/z"), PathAbove(shown("/x/y/z"), 2), &rest));
  EXPECT_EQ(rest, "y/z");
  EXPECT_TRUE(IsWithin(shown("/x"), PathAbove(shown("/x"), 1), &rest));
  EXPECT_EQ(rest, "x");
}

}  // namespace
}  // namespace engine
